// The choice among implementations of one operation: a table of them, the
// fastest one this build and CPU run taken once, and a switch for tests.
#pragma once

#include <atomic>
#include <cstddef>

#include "chunk/cpu.h"

namespace lrd {

// One implementation: its enumerator, its short name, its function (null
// where this build has none), the CPU features it needs (cpu.h), and whether
// the choice by CPU should take it where it runs (null: yes); a version may
// run and still lose.
template <typename Impl, typename Fn>
struct dispatch_entry {
  Impl impl;
  const char* name;
  Fn* fn;
  unsigned needs;
  bool (*worth)() = nullptr;
};

// True when entry i of the table is for enumerator i, as dispatch requires.
template <typename Impl, typename Fn, size_t N>
constexpr bool dispatch_in_order(const dispatch_entry<Impl, Fn> (&table)[N]) {
  for (size_t i = 0; i < N; i++)
    if (static_cast<size_t>(table[i].impl) != i) return false;
  return true;
}

// The choice for one operation. Impl enumerates the implementations from 0,
// where 0 is "auto": the first usable one of a preference list. Where the
// build alone decides (its baseline runs the preferred version), that one is
// chosen at compile time and the CPU is never asked. Otherwise the table's
// entry 0 holds the function to be called before any choice is made; it calls
// choose() and then the function chosen. Calls go through fn(): one load and
// an indirect call, no test. Construct with constinit, at namespace scope.
template <typename Impl, typename Fn, size_t N, size_t P>
class dispatch {
 public:
  constexpr dispatch(const dispatch_entry<Impl, Fn> (&table)[N], const Impl (&prefer)[P])
      : table_(table),
        prefer_(prefer),
        impl_(settled(table, prefer)),
        fn_(table[static_cast<size_t>(settled(table, prefer))].fn) {}

  // The function to call now.
  Fn* fn() const { return fn_.load(std::memory_order_relaxed); }

  // True when this build and this CPU can run impl (auto: always).
  bool supported(Impl impl) const {
    const size_t i = static_cast<size_t>(impl);
    return i < N && table_[i].fn && cpu_has(table_[i].needs);
  }

  // Makes fn() return impl's function (auto: the preferred one, chosen by CPU
  // again). Returns false and changes nothing when impl is unsupported.
  bool force(Impl impl) {
    if (!supported(impl)) return false;
    set(impl == Impl{} ? best() : impl);
    return true;
  }

  // The implementation fn() stands for (never auto once anything is chosen),
  // making the choice if none is made yet.
  Impl current() {
    Impl impl = impl_.load(std::memory_order_relaxed);
    if (impl == Impl{}) {
      impl = best();
      set(impl);
    }
    return impl;
  }

  // The choice by CPU, made and returned; for entry 0's function.
  Fn* choose() {
    set(best());
    return fn();
  }

  const char* name(Impl impl) const {
    const size_t i = static_cast<size_t>(impl);
    return i < N ? table_[i].name : "?";
  }

 private:
  // The choice the build makes alone: the first version of the preference
  // list, when the baseline has all it needs (so it is built here) and no
  // question of the CPU may pass it over; otherwise auto, and the first call
  // chooses. The function pointers are left alone: an external function's
  // address is not a constant to compare in every build (not under the
  // sanitizers).
  static constexpr Impl settled(const dispatch_entry<Impl, Fn> (&table)[N], const Impl (&prefer)[P]) {
    const dispatch_entry<Impl, Fn>& e = table[static_cast<size_t>(prefer[0])];
    return (e.needs & ~cpu_baseline) == 0 && e.worth == nullptr ? prefer[0] : Impl{};
  }

  // The first usable implementation of the preference list that is worth
  // taking on this CPU. REQUIRES: its last one runs anywhere.
  Impl best() const {
    for (size_t k = 0; k + 1 < P; k++) {
      const dispatch_entry<Impl, Fn>& e = table_[static_cast<size_t>(prefer_[k])];
      if (supported(prefer_[k]) && (!e.worth || e.worth())) return prefer_[k];
    }
    return prefer_[P - 1];
  }

  void set(Impl impl) {
    impl_.store(impl, std::memory_order_relaxed);
    fn_.store(table_[static_cast<size_t>(impl)].fn, std::memory_order_relaxed);
  }

  const dispatch_entry<Impl, Fn>* table_;
  const Impl* prefer_;
  std::atomic<Impl> impl_;
  std::atomic<Fn*> fn_;
};

}  // namespace lrd
