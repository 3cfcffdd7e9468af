// What the command line asks for, the files it names, the block the mode
// needs, and the lines and exit status a run ends with.
#include "driver/cli.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "driver/block.h"
#include "driver/fdio.h"
#include "driver/input.h"
#include "driver/serve.h"
#include "driver/signals.h"
#include "lrdedup.h"

namespace {

// The encoder's first line: the sizes of the chunk index in slots (its flat
// table) and of the window, and the bytes of the index's record of an entry
// being moved, as the program has always printed them.
constexpr char cfg_start_line[] = "cfg_tblsize=53687091 cfg_decwinsize=1048576000 sizeof(hinf)=28\n";

constexpr char cfg_usage[] = "usage: lrdedup e|d <input> <output>   ('-' for standard input or output)\n";
constexpr char cfg_modes[] =
    "  e    encode <input> into a stream (any mode not starting with 'd' encodes)\n"
    "  d    decode a stream written by 'lrdedup e' back into the original data\n"
    "  -    as <input>, read standard input; as <output>, write standard output\n";

struct cli_args {
  bool decode;
  bool in_std, out_std;  // '-': standard input, standard output
  const char* in_path;
  const char* out_path;
  const char* in_name;  // in messages: the path, or "(stdin)"
  const char* out_name;
};

struct cli_files {
  int in_fd = -1;
  struct stat in_st;
  int out_fd = STDOUT_FILENO;
  // The data goes to standard output: by '-', or by a name such as
  // /dev/stdout that opens the same pipe or file (a device like /dev/null
  // does not count). The statistics then go to standard error.
  bool data_on_stdout = false;
  int stats_fd = STDOUT_FILENO;
  const char* stats_name = "(stdout)";
  input_source in;  // the encoder's input, kept as its history
  lrd_encoder* enc = nullptr;
  lrd_decoder* dec = nullptr;
  // Stops every thread and lets the input go: the encoder's helper first,
  // as it may read the input's mapping, where a file cut short raises
  // SIGBUS. A run that ends early does so before the process exits.
  void release() {
    lrd_encoder_free(enc);
    lrd_decoder_free(dec);
    enc = nullptr;
    dec = nullptr;
    input_close(&in);
  }
  ~cli_files() { release(); }
};

void error_line(const std::string& msg) { std::fprintf(stderr, "lrdedup: %s\n", msg.c_str()); }

// error_line, and the output removed if this run created or truncated it.
// The exit status.
int fail(const std::string& msg) {
  error_line(msg);
  remove_output_after_failure();
  return 1;
}

// fail() for memory of `bytes` that cannot be had: false.
bool fail_alloc(uint64_t bytes) {
  fail(std::string("cannot allocate ") + std::to_string(bytes >> 20) + " MiB: " + std::strerror(ENOMEM));
  return false;
}

// fail() for memory that `what` cannot have: false.
bool fail_memory(const char* what) {
  fail(std::string("cannot allocate memory for ") + what + ": " + std::strerror(ENOMEM));
  return false;
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Writes `text` to fd whole, through the write that fails, so that an error
// names that write's own cause. False, with errno set, on an error.
bool put_text(int fd, const std::string& text) {
  return write_all(fd, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// Prints `text` on standard output for --help and --version: the exit status.
int answer(const std::string& text) {
  if (!put_text(STDOUT_FILENO, text)) {
    error_line(sys_error("(stdout)"));
    return 1;
  }
  return 0;
}

// Reads the command line into *a: -1 when a run follows, else the exit
// status of a request answered here (help, version, too few arguments).
int parse(int argc, char** argv, cli_args* a) {
  if (argc == 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")))
    return answer(std::string(cfg_usage) + cfg_modes);
  if (argc == 2 && (!std::strcmp(argv[1], "--version") || !std::strcmp(argv[1], "-V")))
    return answer("lrdedup " LRDEDUP_VERSION "\n");
  if (argc < 4) {
    std::fputs(cfg_usage, stderr);
    return 1;
  }
  a->decode = argv[1][0] == 'd';
  a->in_std = std::strcmp(argv[2], "-") == 0;
  a->out_std = std::strcmp(argv[3], "-") == 0;
  a->in_path = argv[2];
  a->out_path = argv[3];
  a->in_name = a->in_std ? "(stdin)" : argv[2];
  a->out_name = a->out_std ? "(stdout)" : argv[3];
  return -1;
}

// '-' cannot name a standard descriptor that was closed (closed_std as
// reopen_closed_std_fds returns it). False after the message.
bool std_sides_open(const cli_args& a, unsigned closed_std) {
  const bool in_closed = a.in_std && (closed_std & 1), out_closed = a.out_std && (closed_std & 2);
  if (!in_closed && !out_closed) return true;
  errno = EBADF;
  error_line(sys_error(in_closed ? a.in_name : a.out_name));
  return false;
}

// Opens the input and refuses a directory, and a terminal to decode from.
// False after the message.
bool open_input(const cli_args& a, cli_files* f) {
  f->in_fd = a.in_std ? STDIN_FILENO : open(a.in_path, O_RDONLY | O_NOCTTY);
  if (f->in_fd < 0 || fstat(f->in_fd, &f->in_st) != 0) {
    error_line(sys_error(a.in_name));
    return false;
  }
  if (S_ISDIR(f->in_st.st_mode)) {
    errno = EISDIR;
    error_line(sys_error(a.in_name));
    return false;
  }
  if (a.decode && isatty(f->in_fd)) {
    error_line(std::string(a.in_name) + ": refusing to read a compressed stream from a terminal");
    return false;
  }
  return true;
}

// Creates or truncates a named output, arming its removal when it is a
// regular file that standard output does not write to. False after the
// message.
bool create_output(const cli_args& a, cli_files* f) {
  // Opening the output truncates it: refuse first if it is the input itself.
  struct stat st;
  if (stat(a.out_path, &st) == 0 && S_ISREG(st.st_mode) && same_file(st, f->in_st)) {
    error_line(std::string(a.out_name) + ": output is the input file");
    return false;
  }
  // No signal may end the run between creating the file and arming its removal.
  block_fatal_signals(true);
  f->out_fd = open(a.out_path, O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY, 0666);
  if (f->out_fd < 0) {
    error_line(sys_error(a.out_name));
    return false;
  }
  // What was opened, to remove it after a failure; its name tells where the
  // descriptor cannot. Knowing neither, the run cannot keep its promise to
  // leave no half-written output, and does not start.
  if (fstat(f->out_fd, &st) != 0 && stat(a.out_path, &st) != 0) {
    error_line(sys_error(a.out_name));
    return false;
  }
  // Standard output that cannot be looked at may be this very file: the
  // statistics then go to standard error, where they cannot mix with the data.
  struct stat std_st;
  f->data_on_stdout =
      (fstat(STDOUT_FILENO, &std_st) != 0 || same_file(st, std_st)) && !S_ISCHR(st.st_mode);
  // Never a device, and never the file standard output writes to.
  if (S_ISREG(st.st_mode) && !f->data_on_stdout) arm_output_removal(a.out_path, st);
  block_fatal_signals(false);
  return true;
}

// Opens the output (standard output for '-') and refuses a terminal to
// encode to. False after the message.
bool open_output(const cli_args& a, cli_files* f) {
  f->data_on_stdout = a.out_std;
  if (!a.out_std && !create_output(a, f)) return false;
  if (f->data_on_stdout) {
    f->stats_fd = STDERR_FILENO;
    f->stats_name = "(stderr)";
  }
  if (!a.decode && isatty(f->out_fd)) {
    fail(std::string(a.out_name) + ": refusing to write a compressed stream to a terminal");
    return false;
  }
  return true;
}

// The output opened again for reading, for its mapping (the descriptor that
// writes it is write-only, and a FIFO opened for reading too would never see
// its reader go), and in *start the offset where the data begins: standard
// output may start anywhere in its file. -1 where the bytes this run writes
// might not stay as written, so that only the window is exact: not a regular
// file, appended to (such writes go to the end, wherever the offset), data
// after the start (holes would leave it in place), the file that standard
// error's lines go into, or one that cannot be read.
int open_output_for_reading(const cli_args& a, const cli_files& f, uint64_t* start) {
  struct stat st, rst, est;
  if (fstat(f.out_fd, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  const int flags = fcntl(f.out_fd, F_GETFL);
  const off_t at = lseek(f.out_fd, 0, SEEK_CUR);
  if (flags < 0 || (flags & O_APPEND) || at < 0 || st.st_size > at) return -1;
  if (fstat(STDERR_FILENO, &est) == 0 && same_file(st, est)) return -1;
  const std::string path = a.out_std ? "/proc/self/fd/" + std::to_string(f.out_fd) : a.out_path;
  const int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
  if (fd >= 0 && (fstat(fd, &rst) != 0 || !same_file(st, rst))) {
    close(fd);
    return -1;
  }
  *start = static_cast<uint64_t>(at);
  return fd;
}

// The decoder, with the output file itself as its history when it is a
// regular file this run writes and can map, else with its window. False
// after the message.
bool set_up_decoder(const cli_args& a, cli_files* f, output_map* m) {
  // A corrupt stream is decoded to its end and its first fault reported then.
  lrd_decoder_params p;
  lrd_decoder_params_default(&p);
  p.decode_through = 1;
  if (lrd_decoder_create(&f->dec, &p) != LRD_OK) return fail_memory("the decoder");
  // The input buffer stays put until the decoder has taken it all.
  lrd_decoder_set_stable_input(f->dec);
  const int rfd = open_output_for_reading(a, *f, &m->start);
  const bool file = rfd >= 0 && map_output(m, rfd);
  if (rfd >= 0) close(rfd);  // the mapping stays
  if (file) {
    arm_mapping_fault(1, m->p, m->len);
    lrd_decoder_set_history(f->dec, m->p);
  }
  return true;
}

// Sets up the mode's coder; the encoder then prints its first line. False
// after the message.
bool set_up_coder(const cli_args& a, cli_files* f, output_map* m) {
  set_mapping_fault_message(0, (std::string("lrdedup: ") + a.in_name + ": file changed size while reading\n").c_str());
  set_mapping_fault_message(1, (std::string("lrdedup: ") + a.out_name + ": file changed size while writing\n").c_str());
  if (a.decode) return set_up_decoder(a, f, m);
  if (!input_open(&f->in, f->in_fd, f->in_st, true)) return fail_alloc(cfg_in_ring);
  // The encoder's index grows with the input: a refusal of memory ends the
  // run then. Without its staging memory or its helper the encoder writes
  // the same stream, only more slowly.
  if (lrd_encoder_create(&f->enc, nullptr) != LRD_OK) return fail_memory("the encoder");
  if (!put_text(f->stats_fd, cfg_start_line)) {
    fail(sys_error(f->stats_name));
    return false;
  }
  return true;
}

// What a run leaves for the report.
struct run_result {
  lrd_stats st{};
  int fault = LRD_FAULT_NONE;
  uint64_t fault_offset = 0;
};

// Runs the coder over the files and closes the output. False after the
// message, with the output removed.
bool run(const cli_args& a, cli_files* f, output_map* m, run_result* r) {
  serve_io io;
  io.in_fd = f->in_fd;
  io.out_fd = f->out_fd;
  io.in_name = a.in_name;
  io.out_name = a.out_name;
  io.file_out = m->p != nullptr;
  io.outmap_len = m->len;
  io.file_start = m->start;
  std::string err;
  bool ok = a.decode ? serve_decoder(f->dec, io, &err) : serve_encoder(f->enc, &f->in, io, &err);
  if (f->enc) lrd_encoder_stats(f->enc, &r->st);
  if (f->dec) {
    lrd_decoder_stats(f->dec, &r->st);
    r->fault = lrd_decoder_fault(f->dec, &r->fault_offset);
  }
  f->release();
  arm_mapping_fault(1, nullptr, 0);
  unmap_output(m);
  // close() reports the errors of writes that were delayed (NFS, quotas).
  if (ok && close(f->out_fd) != 0 && errno != EINTR) {
    err = sys_error(a.out_name);
    ok = false;
  }
  if (!ok) {
    fail(err);
    return false;
  }
  return true;
}

// Prints the statistics, after which the output is kept, and names a corrupt
// stream's first fault: the exit status. A run whose statistics cannot be
// printed has failed, and its output goes.
int report(const cli_args& a, const cli_files& f, const run_result& r) {
  const lrd_stats& st = r.st;
  std::string stats = a.decode ? "" : "c_discard=" + std::to_string(st.discarded) + "\n";
  stats += driver_stats_line(st.bytes, st.chunks);
  if (!put_text(f.stats_fd, stats)) return fail(sys_error(f.stats_name));
  disarm_output_removal();
  if (!a.decode && st.collided > 0) {
    // The output is right: those chunks went in full. Worth knowing all the
    // same, as such pairs do not come about by chance.
    error_line(std::string(a.in_name) + ": " + std::to_string(st.collided) +
               (st.collided == 1 ? " chunk had" : " chunks had") +
               " the key of an earlier chunk but other bytes; written in full");
  }
  if (r.fault != LRD_FAULT_NONE) {
    error_line(std::string(a.in_name) + ": corrupt stream: " + lrd_fault_string(r.fault) + " at offset " +
               std::to_string(r.fault_offset));
    return 1;
  }
  return 0;
}

}  // namespace

int lrdedup_main(int argc, char** argv) {
  const unsigned closed_std = reopen_closed_std_fds();
  cli_args a{};
  if (const int status = parse(argc, argv, &a); status >= 0) return status;
  ignore_file_size_signal();
  cli_files f;
  if (!std_sides_open(a, closed_std) || !open_input(a, &f) || !open_output(a, &f)) return 1;
  output_map m;
  run_result r;
  if (!set_up_coder(a, &f, &m) || !run(a, &f, &m, &r)) return 1;
  return report(a, f, r);
}
