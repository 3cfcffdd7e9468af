// A fatal signal removes the output file this run is writing, erases the
// progress line and then ends the program by the same signal.
#include "driver/signals.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "driver/progress.h"

namespace {

// The output file to remove if a signal ends the run: its name, and its device
// and inode so that only that very file is removed. Written while the signals
// are blocked, before the handlers can run.
char g_remove_path[PATH_MAX];
dev_t g_remove_dev;
ino_t g_remove_ino;
volatile sig_atomic_t g_remove_armed = 0;

constexpr int cfg_fatal_signals[] = {SIGINT, SIGTERM, SIGHUP};

// Removes the output file if it is still the regular file this run created or
// truncated, and not something put in its place since. Async-signal-safe.
void remove_output() {
  if (!g_remove_armed) return;
  g_remove_armed = 0;
  struct stat st;
  if (lstat(g_remove_path, &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == g_remove_dev &&
      st.st_ino == g_remove_ino)
    unlink(g_remove_path);
}

void on_fatal_signal(int sig) {
  remove_output();
  progress_erase_from_signal();
  // SA_RESETHAND has put back the default action: dying of the signal tells
  // the parent how the run ended.
  raise(sig);
}

// A run started under nohup must go on past a hangup: a signal the parent
// set to be ignored (nohup, background jobs of a non-interactive shell)
// stays ignored.
void install_signal_handlers() {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_fatal_signal;
  sa.sa_flags = SA_RESETHAND;
  sigemptyset(&sa.sa_mask);
  for (int sig : cfg_fatal_signals) sigaddset(&sa.sa_mask, sig);
  for (int sig : cfg_fatal_signals) {
    struct sigaction old;
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    sigaction(sig, &sa, nullptr);
  }
}

// The mapped ranges whose SIGBUS is a file changed under the run, and what
// to say then. Written by the one thread that maps, read by the handler.
struct fault_range {
  const char* volatile p;
  volatile size_t n;
  char line[PATH_MAX + 64];
  size_t len;
};
fault_range g_fault[cfg_fault_slots];

void on_sigbus(int sig, siginfo_t* info, void*) {
  const char* a = static_cast<const char*>(info->si_addr);
  for (const fault_range& r : g_fault) {
    if (r.p && a >= r.p && a < r.p + r.n) {
      // Threads that touch the mapping too may fault at once: one speaks,
      // the others wait for its exit.
      static std::atomic<bool> taken{false};
      if (taken.exchange(true))
        for (;;) pause();
      remove_output();
      progress_erase_from_signal();
      ssize_t k = write(STDERR_FILENO, r.line, r.len);
      (void)k;
      _exit(1);
    }
  }
  signal(sig, SIG_DFL);
  raise(sig);
}

}  // namespace

void set_mapping_fault_message(fault_slot slot, const char* line) {
  fault_range& r = g_fault[static_cast<unsigned>(slot)];
  r.len = std::min(std::strlen(line), sizeof r.line);
  std::memcpy(r.line, line, r.len);
}

void arm_mapping_fault(fault_slot slot, const void* p, size_t n) {
  static bool installed = false;
  if (p && !installed) {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_sigaction = on_sigbus;
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGBUS, &sa, nullptr);
    installed = true;
  }
  fault_range& r = g_fault[static_cast<unsigned>(slot)];
  r.p = nullptr;  // the handler never sees a new start with the old length
  r.n = n;
  r.p = static_cast<const char*>(p);
}

void catch_fatal_signals() { install_signal_handlers(); }

void ignore_file_size_signal() { signal(SIGXFSZ, SIG_IGN); }

void block_fatal_signals(bool block) {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : cfg_fatal_signals) sigaddset(&set, sig);
  sigprocmask(block ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

bool arm_output_removal(const char* name, const struct stat& st) {
  char resolved[PATH_MAX];
  const char* path = realpath(name, resolved) ? resolved : name;
  if (std::strlen(path) >= sizeof g_remove_path) return false;
  std::strcpy(g_remove_path, path);
  g_remove_dev = st.st_dev;
  g_remove_ino = st.st_ino;
  g_remove_armed = 1;
  install_signal_handlers();
  return true;
}

void remove_output_after_failure() {
  if (!g_remove_armed) return;
  block_fatal_signals(true);
  remove_output();
}

void disarm_output_removal() { g_remove_armed = 0; }
