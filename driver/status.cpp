// The messages a status stands for.
#include "driver/status.h"

#include <cstring>

status status::no_memory(uint64_t bytes) {
  return message("cannot allocate " + std::to_string(bytes >> 20) + " MiB: " + std::strerror(ENOMEM));
}

std::string status::line(const char* name, const char* doing) const {
  switch (code_) {
    case code::ok:
      return {};
    case code::sys:
      return std::string(name) + ": " + std::strerror(err_);
    case code::changed_size:
      return std::string(name) + ": file changed size while " + doing;
    case code::message:
      break;
  }
  return text_;
}
