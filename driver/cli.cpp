// The command line's two forms, told apart by the first argument: the
// option form `lrdedup [OPTIONS] [FILE...]`, and the mode form
// `lrdedup e|d <input> <output>`; each is made of runs (driver/run.h).
#include "driver/cli.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "driver/fdio.h"
#include "driver/options.h"
#include "driver/run.h"
#include "driver/signals.h"
#include "lrdedup.h"

namespace {

constexpr char cfg_usage[] =
    "usage: lrdedup [OPTIONS] [FILE...]   FILE to FILE.lrd; with -d, FILE.lrd to FILE\n"
    "       lrdedup e|d <input> <output>  ('-' for standard input or output)\n";
constexpr char cfg_help[] =
    "With no FILE, or FILE '-', standard input to standard output.\n"
    "  -d, --decompress  decode (also --uncompress)\n"
    "  -c, --stdout      write to standard output\n"
    "  -o OUT            write the output of the one FILE to OUT\n"
    "  -k, --keep        keep the input (the default)\n"
    "      --rm          remove the input after a successful run into a file\n"
    "  -f, --force       overwrite an existing output\n"
    "  -q, --quiet       print nothing but errors\n"
    "  -v, --verbose     print the statistics lines too, on standard error\n"
    "  -T N, --threads=N helper threads of the library (0: none)\n"
    "      --first-copy  the index keeps a key's first copy\n"
    "  -h, --help        print this and exit\n"
    "  -V, --version     print the version and exit\n"
    "  --                the arguments that follow are files\n"
    "The mode form, when the first argument does not begin with '-' or is '-':\n"
    "  e    encode <input> into a stream (any mode not starting with 'd' encodes)\n"
    "  d    decode a stream written by 'lrdedup e' back into the original data\n"
    "  -    as <input>, read standard input; as <output>, write standard output\n";

void error_line(const std::string& msg) { std::fprintf(stderr, "lrdedup: %s\n", msg.c_str()); }

// Prints `text` on standard output for --help and --version: the exit status.
int answer(const std::string& text) {
  if (status s = write_all(STDOUT_FILENO, reinterpret_cast<const uint8_t*>(text.data()), text.size()); !s.ok()) {
    error_line(s.line("(stdout)", "writing"));
    return 1;
  }
  return 0;
}

// The mode form: one run, its output truncated if it exists, its lines on
// standard output unless the data goes there.
int mode_form(int argc, char** argv, unsigned closed_std) {
  if (argc < 4) {
    std::fputs(cfg_usage, stderr);
    return 1;
  }
  run_job j;
  j.decode = argv[1][0] == 'd';
  j.in_path = argv[2];
  j.out_path = argv[3];
  j.closed_std = closed_std;
  return run_one(j);
}

// The options' settings as the library takes them, asked of it once before
// any file is touched. False after the message.
bool settings_taken(const cli_options& o, const lrd_encoder_params& ep, const lrd_decoder_params& dp) {
  if (!o.threads_set && !o.first_copy) return true;
  int r;
  if (o.decode) {
    lrd_decoder* d = nullptr;
    r = lrd_decoder_create(&d, &dp);
    lrd_decoder_free(d);
  } else {
    lrd_encoder* e = nullptr;
    r = lrd_encoder_create(&e, &ep);
    lrd_encoder_free(e);
  }
  if (r != LRD_ERROR_PARAM) return true;  // memory is for the runs to report
  std::string given = o.threads_set ? "-T " + std::to_string(o.threads) : "";
  if (o.first_copy && !o.decode) given += given.empty() ? "--first-copy" : " --first-copy";
  error_line("the library refuses " + given + ": " + lrd_error_string(r));
  return false;
}

// Removes a run's input for --rm, once its output is a file (not standard
// output or a device such as /dev/null): false after the message.
bool remove_input(const char* file, const std::string& out) {
  struct stat st;
  if (!std::strcmp(file, "-") || stat(out.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return true;
  if (unlink(file) == 0) return true;
  error_line(sys_error(file) + " (not removed)");
  return false;
}

// The option form: each FILE a run of its own, the others going on after
// one fails. The exit status: 1 if any failed.
int option_form(const cli_options& o, unsigned closed_std) {
  lrd_encoder_params ep{};
  lrd_decoder_params dp{};
  lrd_encoder_params_default(&ep);
  lrd_decoder_params_default(&dp);
  if (o.threads_set) ep.threads = dp.threads = o.threads;
  ep.first_copy = o.first_copy ? 1 : 0;
  if (!settings_taken(o, ep, dp)) return 1;
  run_job j;
  j.decode = o.decode;
  j.talk = o.verbosity == 0 ? run_talk::quiet : o.verbosity == 1 ? run_talk::summary : run_talk::verbose;
  j.keep_existing = !o.force;
  j.carry_attrs = true;
  j.enc_params = &ep;
  j.dec_params = &dp;
  j.closed_std = closed_std;
  std::vector<const char*> files = o.files;
  if (files.empty()) files.push_back("-");
  int status = 0;
  for (const char* file : files) {
    std::string out, err;
    if (!output_name(o, file, &out, &err)) {
      error_line(err);
      status = 1;
      continue;
    }
    j.in_path = file;
    j.out_path = out.c_str();
    // A failed run leaves the signals blocked once it has removed its output.
    block_fatal_signals(false);
    if (run_one(j) != 0) {
      status = 1;
    } else if (o.remove_input && out != "-" && !remove_input(file, out)) {
      status = 1;
    }
  }
  return status;
}

}  // namespace

int lrdedup_main(int argc, char** argv) {
  const unsigned closed_std = reopen_closed_std_fds();
  ignore_file_size_signal();
  catch_fatal_signals();
  if (argc > 1 && (argv[1][0] != '-' || !std::strcmp(argv[1], "-"))) return mode_form(argc, argv, closed_std);
  cli_options o;
  switch (parse_options(argc, argv, &o)) {
    case options_end::help: return answer(std::string(cfg_usage) + cfg_help);
    case options_end::version: return answer(std::string("lrdedup ") + lrd_version_string() + "\n");
    case options_end::failed: return 1;
    case options_end::run: break;
  }
  return option_form(o, closed_std);
}
