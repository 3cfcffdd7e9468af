// The lines a run ends with: its errors, its statistics or summary, and the
// exit status they leave.
#pragma once

#include <cstdint>
#include <string>

#include "driver/run.h"
#include "driver/serve.h"
#include "lrdedup.h"

// What a run leaves for the report.
struct run_result {
  bool decode = false;
  const char* in_name = "";
  bool data_on_stdout = false;
  int stats_fd = 1;  // the mode form's statistics go here
  const char* stats_name = "(stdout)";
  lrd_stats st{};
  serve_totals totals;
  int fault = LRD_FAULT_NONE;
  uint64_t fault_offset = 0;
};

// "lrdedup: msg" on standard error.
void run_error_line(const std::string& msg);

// run_error_line, and the output removed if this run created or truncated
// it: the exit status, 1.
int run_fail(const std::string& msg);

// Prints what `talk` asks for, after which the output is kept, and names a
// corrupt stream's first fault: the exit status. A run whose lines cannot be
// printed has failed, and its output goes.
int run_report(run_talk talk, const run_result& r);
