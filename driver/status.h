// The driver's one result type: what a call that failed says, in the form
// the run's one-line message is made from.
#pragma once

#include <cerrno>
#include <cstdint>
#include <string>

// Ok, or the reason a call failed: a system call's error (errno), a file
// that another process changed under the run (cut short, or written
// through the same descriptor), or a message already made. Cheap when ok:
// per-buffer calls return it.
class [[nodiscard]] status {
 public:
  enum class code : unsigned char { ok, sys, changed_size, message };

  status() = default;
  static status sys(int err) { return status(code::sys, err, {}); }
  static status from_errno() { return sys(errno); }
  static status changed_size() { return status(code::changed_size, EIO, {}); }
  static status message(std::string line) { return status(code::message, 0, std::move(line)); }
  // "cannot allocate N MiB: " and the text of ENOMEM.
  static status no_memory(uint64_t bytes);

  bool ok() const { return code_ == code::ok; }
  code kind() const { return code_; }
  int err() const { return err_; }

  // The one-line message for a failure on the file `name` while `doing`
  // ("reading", "writing"): "name: " and the text of errno, "name: file
  // changed size while doing", or the message itself.
  std::string line(const char* name, const char* doing) const;

 private:
  status(code c, int err, std::string text) : code_(c), err_(err), text_(std::move(text)) {}

  code code_ = code::ok;
  int err_ = 0;
  std::string text_;
};
