// The option form of the command line, `lrdedup [OPTIONS] [FILE...]`: its
// options, and the output each FILE gets.
#pragma once

#include <string>
#include <vector>

// What the options ask for.
struct cli_options {
  bool decode = false;        // -d, --decompress, --uncompress
  bool to_stdout = false;     // -c, --stdout
  const char* out_path = nullptr;  // -o FILE
  bool remove_input = false;  // --rm (-k, --keep: not)
  bool force = false;         // -f, --force
  int verbosity = 1;          // 0: -q; 1: the summary; 2: -v, the statistics too
  bool threads_set = false;   // -T N, --threads=N
  unsigned threads = 0;
  bool first_copy = false;    // --first-copy
  std::vector<const char*> files;  // none: standard input to standard output
};

// How reading the options ended.
enum class options_end { run, help, version, failed };

// Reads the arguments after the program's name into *o; `failed` after the
// message (an unknown option, a missing or wrong value, -o or -c with more
// than one input).
options_end parse_options(int argc, char** argv, cli_options* o);

// The output of `file` ("-": standard input) in *out ("-": standard output).
// False with the reason in *err ("name: reason") for a file to decode that
// lacks the suffix and has no output named.
bool output_name(const cli_options& o, const char* file, std::string* out, std::string* err);

// The suffix of a stream's file name.
constexpr char cfg_suffix[] = ".lrd";
