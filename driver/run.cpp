// One run: the files it names, the coder it needs, and the lines and exit
// status it ends with.
#include "driver/run.h"

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
#include "driver/run_report.h"
#include "driver/serve.h"
#include "driver/signals.h"

namespace {

// The encoder's first line: the sizes of the chunk index in slots (its flat
// table) and of the window, and the bytes of the index's record of an entry
// being moved, as the program has always printed them.
constexpr char cfg_start_line[] = "cfg_tblsize=53687091 cfg_decwinsize=1048576000 sizeof(hinf)=28\n";

// The number after `label` in `line`, read at compile time.
constexpr uint64_t line_number(const char* line, const char* label) {
  for (const char* p = line; *p; p++) {
    size_t k = 0;
    while (label[k] && p[k] == label[k]) k++;
    if (label[k]) continue;
    uint64_t v = 0;
    for (p += k; *p >= '0' && *p <= '9'; p++) v = v * 10 + static_cast<uint64_t>(*p - '0');
    return v;
  }
  return 0;
}
static_assert(line_number(cfg_start_line, "cfg_decwinsize=") == LRD_WINDOW, "the start-up line names the window");

struct run_names {
  bool in_std, out_std;  // '-': standard input, standard output
  const char* in_name;   // in messages: the path, or "(stdin)"
  const char* out_name;
};

struct run_files {
  int in_fd = -1;
  struct stat in_st;
  int out_fd = STDOUT_FILENO;
  // The data goes to standard output: by '-', or by a name such as
  // /dev/stdout that opens the same pipe or file (a device like /dev/null
  // does not count). The statistics then go to standard error.
  bool data_on_stdout = false;
  bool out_file = false;  // the output is a regular file this run created or truncated
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
    in.close();
  }
  // The input is only read, and an output still open here belongs to a run
  // that failed already: neither close has anything left to report.
  ~run_files() {
    release();
    if (in_fd > STDERR_FILENO) (void)close(in_fd);
    if (out_fd > STDERR_FILENO) (void)close(out_fd);
  }
};

// run_fail() for a coder that cannot be made: false.
bool fail_create(int r, const char* what) {
  if (r == LRD_ERROR_PARAM)
    run_fail(std::string("the library refuses the parameters of ") + what + ": " + lrd_error_string(r));
  else
    run_fail(std::string("cannot allocate memory for ") + what + ": " + std::strerror(ENOMEM));
  return false;
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// '-' cannot name a standard descriptor that was closed (closed_std as
// reopen_closed_std_fds returns it). False after the message.
bool std_sides_open(const run_names& n, unsigned closed_std) {
  const bool in_closed = n.in_std && (closed_std & 1), out_closed = n.out_std && (closed_std & 2);
  if (!in_closed && !out_closed) return true;
  errno = EBADF;
  run_error_line(sys_error(in_closed ? n.in_name : n.out_name));
  return false;
}

// Opens the input and refuses a directory, and a terminal to decode from.
// False after the message.
bool open_input(const run_job& j, const run_names& n, run_files* f) {
  f->in_fd = n.in_std ? STDIN_FILENO : open(j.in_path, O_RDONLY | O_NOCTTY);
  if (f->in_fd < 0 || fstat(f->in_fd, &f->in_st) != 0) {
    run_error_line(sys_error(n.in_name));
    return false;
  }
  if (S_ISDIR(f->in_st.st_mode)) {
    errno = EISDIR;
    run_error_line(sys_error(n.in_name));
    return false;
  }
  if (j.decode && isatty(f->in_fd)) {
    run_error_line(std::string(n.in_name) + ": refusing to read a compressed stream from a terminal");
    return false;
  }
  return true;
}

// Opens the named output as the job says: created or truncated, or, when
// an existing one is to be kept, created only if missing (anything but a
// regular file is written as it is). -1 after the message.
int open_named_output(const run_job& j, const run_names& n, const run_files& f) {
  // A new file stays private until it is complete and gets the input's bits.
  const mode_t mode = j.carry_attrs && !n.in_std && S_ISREG(f.in_st.st_mode) ? 0600 : 0666;
  if (!j.keep_existing) return open(j.out_path, O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY, mode);
  int fd = open(j.out_path, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY, mode);
  if (fd >= 0 || errno != EEXIST) return fd;
  struct stat st;
  fd = open(j.out_path, O_WRONLY | O_NOCTTY | O_NONBLOCK);
  const bool seen = fd >= 0 && fstat(fd, &st) == 0;
  if (fd >= 0 && (!seen || S_ISREG(st.st_mode))) {
    // A regular file is refused as existing; a failed fstat with its own errno.
    const int e = seen ? EEXIST : errno;
    (void)close(fd);  // nothing written through it
    errno = e;
    fd = -1;
  }
  // Left non-blocking where refused: the writes then wait on EAGAIN (fdio).
  if (fd >= 0) (void)fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

// Creates or truncates a named output, arming its removal when it is a
// regular file that standard output does not write to. False after the
// message.
bool create_output(const run_job& j, const run_names& n, run_files* f) {
  // Opening the output truncates it: refuse first if it is the input itself.
  struct stat st;
  if (stat(j.out_path, &st) == 0 && S_ISREG(st.st_mode) && same_file(st, f->in_st)) {
    run_error_line(std::string(n.out_name) + ": output is the input file");
    return false;
  }
  // No signal may end the run between creating the file and arming its removal.
  block_fatal_signals(true);
  f->out_fd = open_named_output(j, n, *f);
  if (f->out_fd < 0) {
    run_error_line(errno == EEXIST && j.keep_existing ? std::string(n.out_name) + ": already exists; not overwritten"
                                                      : sys_error(n.out_name));
    block_fatal_signals(false);
    return false;
  }
  // What was opened, to remove it after a failure; its name tells where the
  // descriptor cannot. Knowing neither, the run cannot keep its promise to
  // leave no half-written output, and does not start.
  if (fstat(f->out_fd, &st) != 0 && stat(j.out_path, &st) != 0) {
    run_error_line(sys_error(n.out_name));
    block_fatal_signals(false);
    return false;
  }
  // Standard output that cannot be looked at may be this very file: the
  // statistics then go to standard error, where they cannot mix with the data.
  struct stat std_st;
  f->data_on_stdout =
      (fstat(STDOUT_FILENO, &std_st) != 0 || same_file(st, std_st)) && !S_ISCHR(st.st_mode);
  // Never a device, and never the file standard output writes to.
  f->out_file = S_ISREG(st.st_mode) && !f->data_on_stdout;
  if (f->out_file) arm_output_removal(j.out_path, st);
  block_fatal_signals(false);
  return true;
}

// Opens the output (standard output for '-') and refuses a terminal to
// encode to. False after the message.
bool open_output(const run_job& j, const run_names& n, run_files* f) {
  f->data_on_stdout = n.out_std;
  if (!n.out_std && !create_output(j, n, f)) return false;
  if (f->data_on_stdout || j.talk != run_talk::mode_lines) {
    f->stats_fd = STDERR_FILENO;
    f->stats_name = "(stderr)";
  }
  if (!j.decode && isatty(f->out_fd)) {
    run_fail(std::string(n.out_name) + ": refusing to write a compressed stream to a terminal");
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
int open_output_for_reading(const run_job& j, const run_names& n, const run_files& f, uint64_t* start) {
  struct stat st, rst, est;
  if (fstat(f.out_fd, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  const int flags = fcntl(f.out_fd, F_GETFL);
  const off_t at = lseek(f.out_fd, 0, SEEK_CUR);
  if (flags < 0 || (flags & O_APPEND) || at < 0 || st.st_size > at) return -1;
  if (fstat(STDERR_FILENO, &est) == 0 && same_file(st, est)) return -1;
  const std::string path = n.out_std ? "/proc/self/fd/" + std::to_string(f.out_fd) : j.out_path;
  const int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
  if (fd >= 0 && (fstat(fd, &rst) != 0 || !same_file(st, rst))) {
    (void)close(fd);  // read-only, nothing to report
    return -1;
  }
  *start = static_cast<uint64_t>(at);
  return fd;
}

// The decoder, with the output file itself as its history when it is a
// regular file this run writes and can map, else with its window. False
// after the message.
bool set_up_decoder(const run_job& j, const run_names& n, run_files* f, output_map* m) {
  // A corrupt stream is decoded to its end, and its first fault reported then.
  lrd_decoder_params p;
  lrd_decoder_params_default(&p);
  if (j.dec_params) p = *j.dec_params;
  p.decode_through = 1;
  if (const int r = lrd_decoder_create(&f->dec, &p); r != LRD_OK) return fail_create(r, "the decoder");
  // The input buffer stays put until the decoder has taken it all.
  lrd_decoder_set_stable_input(f->dec);
  const int rfd = open_output_for_reading(j, n, *f, &m->start);
  const bool file = rfd >= 0 && map_output(m, rfd);
  if (rfd >= 0) (void)close(rfd);  // the mapping stays; read-only, nothing to report
  if (file) {
    arm_mapping_fault(fault_slot::output, m->p, m->len);
    lrd_decoder_set_history(f->dec, m->p);
  }
  return true;
}

// Writes `text` to fd whole.
status put_text(int fd, const std::string& text) {
  return write_all(fd, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// Sets up the job's coder; the mode form's encoder then prints its first
// line. False after the message.
bool set_up_coder(const run_job& j, const run_names& n, run_files* f, output_map* m) {
  const std::string in_changed = status::changed_size().line(n.in_name, "reading"),
                    out_changed = status::changed_size().line(n.out_name, "writing");
  set_mapping_fault_message(fault_slot::input, ("lrdedup: " + in_changed + "\n").c_str());
  set_mapping_fault_message(fault_slot::output, ("lrdedup: " + out_changed + "\n").c_str());
  if (j.decode) return set_up_decoder(j, n, f, m);
  if (status s = f->in.open(f->in_fd, f->in_st, true); !s.ok()) {
    run_fail(s.line(n.in_name, "reading"));
    return false;
  }
  // The encoder's index grows with the input: a refusal of memory ends the
  // run then. Without its staging memory or its helper the encoder writes
  // the same stream, only more slowly.
  if (const int r = lrd_encoder_create(&f->enc, j.enc_params); r != LRD_OK) return fail_create(r, "the encoder");
  if (j.talk == run_talk::mode_lines)
    if (status s = put_text(f->stats_fd, cfg_start_line); !s.ok()) {
      run_fail(s.line(f->stats_name, "writing"));
      return false;
    }
  return true;
}

// Gives the complete output file the input file's permission bits and
// times; a failure is a warning, as the data is whole.
void carry_attrs(const run_job& j, const run_names& n, const run_files& f) {
  if (!j.carry_attrs || n.in_std || !f.out_file || !S_ISREG(f.in_st.st_mode)) return;
  const struct timespec times[2] = {f.in_st.st_atim, f.in_st.st_mtim};
  if ((fchmod(f.out_fd, f.in_st.st_mode & 0777) != 0 || futimens(f.out_fd, times) != 0) &&
      j.talk != run_talk::quiet)
    run_error_line(std::string(n.out_name) + ": cannot take the input's mode and times: " + std::strerror(errno));
}

// Runs the coder over the files and closes the output. False after the
// message, with the output removed.
bool run(const run_job& j, const run_names& n, run_files* f, output_map* m, run_result* r) {
  serve_io io;
  io.in_fd = f->in_fd;
  io.out_fd = f->out_fd;
  io.in_name = n.in_name;
  io.out_name = n.out_name;
  io.file_out = m->p != nullptr;
  io.outmap_len = m->len;
  io.file_start = m->start;
  status s = j.decode ? serve_decoder(f->dec, io, &r->totals) : serve_encoder(f->enc, &f->in, io, &r->totals);
  if (f->enc) lrd_encoder_stats(f->enc, &r->st);
  if (f->dec) {
    lrd_decoder_stats(f->dec, &r->st);
    r->fault = lrd_decoder_fault(f->dec, &r->fault_offset);
  }
  f->release();
  arm_mapping_fault(fault_slot::output, nullptr, 0);
  unmap_output(m);
  if (s.ok()) carry_attrs(j, n, *f);
  // close() reports the errors of writes that were delayed (NFS, quotas);
  // standard output is closed as a copy, for the runs that may follow (a
  // copy refused leaves its delayed errors to the exit's close).
  const int cfd = f->out_fd == STDOUT_FILENO ? dup(STDOUT_FILENO) : f->out_fd;
  f->out_fd = -1;
  const bool closed = cfd < 0 || close(cfd) == 0 || errno == EINTR;
  if (s.ok() && !closed) s = status::from_errno();
  if (!s.ok()) {
    run_fail(s.line(n.out_name, "writing"));
    return false;
  }
  return true;
}

}  // namespace

int run_one(const run_job& j) {
  run_names n;
  n.in_std = std::strcmp(j.in_path, "-") == 0;
  n.out_std = std::strcmp(j.out_path, "-") == 0;
  n.in_name = n.in_std ? "(stdin)" : j.in_path;
  n.out_name = n.out_std ? "(stdout)" : j.out_path;
  run_files f;
  if (!std_sides_open(n, j.closed_std) || !open_input(j, n, &f) || !open_output(j, n, &f)) return 1;
  output_map m;
  run_result r;
  if (!set_up_coder(j, n, &f, &m) || !run(j, n, &f, &m, &r)) return 1;
  r.decode = j.decode;
  r.in_name = n.in_name;
  r.data_on_stdout = f.data_on_stdout;
  r.stats_fd = f.stats_fd;
  r.stats_name = f.stats_name;
  return run_report(j.talk, r);
}
