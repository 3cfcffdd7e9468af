// A run's last lines: the mode form's statistics, the option form's summary,
// the warnings and the fault of a corrupt stream.
#include "driver/run_report.h"

#include <unistd.h>

#include <cstdio>
#include <string>

#include "driver/fdio.h"
#include "driver/signals.h"

namespace {

status put_text(int fd, const std::string& text) {
  return write_all(fd, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// A size as people read it: bytes below 10 kB, kB below 10 MB, else MB
// (powers of ten, as the progress line counts), rounded.
std::string size_text(uint64_t n) {
  if (n < 10000) return std::to_string(n) + " B";
  if (n < 10000000) return std::to_string((n + 500) / 1000) + " kB";
  return std::to_string((n + 500000) / 1000000) + " MB";
}

// The statistics lines: "c_discard=…" (encoding) and "sum=… x=… avglen=…".
std::string stats_lines(const run_result& r) {
  std::string text = r.decode ? "" : "c_discard=" + std::to_string(r.st.discarded) + "\n";
  return text + driver_stats_line(r.st.bytes, r.st.chunks);
}

// The summary of a run: "name: 1208 MB -> 702 MB (58.1%)\n"; decoding,
// without the ratio.
std::string run_summary_line(const run_result& r) {
  // The uncompressed side is the coder's count, the other the loop's.
  const uint64_t in = r.decode ? r.totals.in : r.st.bytes, out = r.decode ? r.st.bytes : r.totals.out;
  std::string line = std::string(r.in_name) + ": " + size_text(in) + " -> " + size_text(out);
  if (!r.decode && in > 0) {
    char ratio[32];
    std::snprintf(ratio, sizeof ratio, " (%.1f%%)", 100.0 * static_cast<double>(out) / static_cast<double>(in));
    line += ratio;
  }
  return line + "\n";
}

// What `talk` prints before the output is kept, and where (*where, the name
// a failure is told with).
status put_lines(run_talk talk, const run_result& r, const char** where) {
  if (talk == run_talk::mode_lines) {
    *where = r.stats_name;
    return put_text(r.stats_fd, stats_lines(r));
  }
  std::string text;
  if (talk == run_talk::verbose || (talk == run_talk::summary && !r.data_on_stdout)) text = run_summary_line(r);
  if (talk == run_talk::verbose) text += stats_lines(r);
  *where = "(stderr)";
  return text.empty() ? status() : put_text(STDERR_FILENO, text);
}

}  // namespace

void run_error_line(const std::string& msg) { std::fprintf(stderr, "lrdedup: %s\n", msg.c_str()); }

int run_fail(const std::string& msg) {
  run_error_line(msg);
  remove_output_after_failure();
  return 1;
}

int run_report(run_talk talk, const run_result& r) {
  const char* where = "";
  if (status s = put_lines(talk, r, &where); !s.ok()) return run_fail(s.line(where, "writing"));
  disarm_output_removal();
  if (!r.decode && r.st.collided > 0 && talk != run_talk::quiet) {
    // The output is right: those chunks went in full. Worth knowing all the
    // same, as such pairs do not come about by chance.
    run_error_line(std::string(r.in_name) + ": " + std::to_string(r.st.collided) +
                   (r.st.collided == 1 ? " chunk had" : " chunks had") +
                   " the key of an earlier chunk but other bytes; written in full");
  }
  if (r.fault != LRD_FAULT_NONE) {
    run_error_line(std::string(r.in_name) + ": corrupt stream: " + lrd_fault_string(r.fault) + " at offset " +
                   std::to_string(r.fault_offset));
    return 1;
  }
  return 0;
}
