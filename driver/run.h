// One run of the program: one input coded into one output, with the lines
// it prints and the exit status it ends with. Both command-line forms are
// made of such runs.
#pragma once

#include "lrdedup.h"

// What a run prints besides its errors.
enum class run_talk {
  mode_lines,  // the mode form's: the start and statistics lines, on standard
               // output, or on standard error when the data goes there
  quiet,       // nothing
  summary,     // "in: X MB -> Y MB (Z%)" on standard error when the data goes to a file
  verbose      // that line wherever the data goes, then the statistics lines, on standard error
};

struct run_job {
  bool decode = false;
  const char* in_path = "-";   // "-": standard input
  const char* out_path = "-";  // "-": standard output
  run_talk talk = run_talk::mode_lines;
  // An output that exists as a regular file is refused and left as it is.
  bool keep_existing = false;
  // A new output file gets the input file's permission bits and its access
  // and modification times once its data is complete.
  bool carry_attrs = false;
  // The coders' parameters; null: the library's defaults.
  const lrd_encoder_params* enc_params = nullptr;
  const lrd_decoder_params* dec_params = nullptr;
  // Standard descriptors found closed at the start (reopen_closed_std_fds).
  unsigned closed_std = 0;
};

// Runs the job: the exit status, 0 or 1, after the lines it prints. A run
// that fails leaves no output file it created or truncated, unless the
// stream was corrupt (what it decodes of it is kept).
int run_one(const run_job& j);
