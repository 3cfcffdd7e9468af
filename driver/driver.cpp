// The driver: the only part of the program that touches files, memory mappings
// and signals. The coders see two 64 KiB buffers and nothing else.
#include "driver/driver.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "driver/progress.h"

namespace {

uint8_t g_inbuf[cfg_iobuf];
uint8_t g_outbuf[cfg_iobuf];
coder g_coder;

// Path of an output file to remove if a signal ends the run; empty otherwise.
// Written before the handlers are installed, read only by them.
char g_remove_path[4096];

void on_fatal_signal(int sig) {
  if (g_remove_path[0]) unlink(g_remove_path);
  signal(sig, SIG_DFL);
  raise(sig);
}

void install_signal_handlers() {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_fatal_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
}

std::string sys_error(const char* name) { return std::string(name) + ": " + std::strerror(errno); }

// Writes all n bytes, resuming after short writes and signals.
bool write_all(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    ssize_t k = write(fd, p, n);
    if (k < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

// Reads up to n bytes; 0 at the end of the input, -1 on an error.
ssize_t read_some(int fd, uint8_t* p, size_t n) {
  for (;;) {
    ssize_t k = read(fd, p, n);
    if (k >= 0 || errno != EINTR) return k;
  }
}

const char* fault_text(uint32_t fault) {
  switch (fault) {
    case fault_truncated_ref: return "stream ends inside a reference";
    case fault_zero_distance: return "reference with distance 0";
    case fault_far_distance: return "reference beyond the 1000 MiB window";
    case fault_before_start: return "reference before the start of the data";
    default: return "unknown fault";
  }
}

void error_line(const std::string& msg) { std::fprintf(stderr, "lrdedup: %s\n", msg.c_str()); }

// The mode's large block: anonymous memory comes zero-filled and is committed
// only where touched, so a small input costs little of it.
void* map_block(size_t bytes) {
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                 -1, 0);
  if (p == MAP_FAILED) return nullptr;
#ifdef MADV_HUGEPAGE
  // The index is probed at random and the window written straight through:
  // huge pages save most TLB misses and page faults in both.
  madvise(p, bytes, MADV_HUGEPAGE);
#endif
  return p;
}

}  // namespace

bool driver_serve(coder* c, coro_task (*body)(coder*), int in_fd, int out_fd,
                  const char* in_name, const char* out_name, std::string* err) {
  coro_header* h = &c->coro;
  h->outptr = h->outbeg = g_outbuf;
  h->outend = g_outbuf + cfg_iobuf;
  h->inpptr = h->inpbeg = h->inpend = nullptr;
  h->inp_before = 0;
  h->state = REQ_DONE;
  h->f_eof = 0;
  h->handle = nullptr;

  progress prog;
  progress_start(&prog, in_fd, out_fd);
  bool ok = true;
  for (;;) {
    uint32_t r = coro_call(c, body);
    if (r == REQ_DONE) break;
    if (r == REQ_INPUT) {
      h->inp_before += static_cast<uint64_t>(h->inpend - h->inpbeg);
      ssize_t n = read_some(in_fd, g_inbuf, cfg_iobuf);
      if (n < 0) {
        *err = sys_error(in_name);
        ok = false;
        break;
      }
      if (n == 0) h->f_eof = 1;
      h->inpptr = h->inpbeg = g_inbuf;
      h->inpend = g_inbuf + n;
      progress_update(&prog, h->inp_before + static_cast<uint64_t>(n), 0);
    } else if (r == REQ_OUTPUT) {
      if (!write_all(out_fd, g_outbuf, cfg_iobuf)) {
        *err = sys_error(out_name);
        ok = false;
        break;
      }
      h->outptr = h->outbeg = g_outbuf;
      h->outend = g_outbuf + cfg_iobuf;
      progress_update(&prog, 0, cfg_iobuf);
    }
  }
  if (ok && !write_all(out_fd, h->outbeg, static_cast<size_t>(h->outptr - h->outbeg))) {
    *err = sys_error(out_name);
    ok = false;
  }
  progress_end(&prog);
  coro_finish(h);
  return ok;
}

std::string driver_stats_line(uint64_t sum, uint64_t x) {
  // Tenths of the average chunk length, without forming 10 * sum.
  uint64_t q = x ? (sum / x) * 10 + (sum % x) * 10 / x : 0;
  char line[128];
  std::snprintf(line, sizeof line, "sum=%" PRIu64 " x=%" PRIu64 " avglen=%" PRIu64 ".%" PRIu64 "\n",
                sum, x, q / 10, q % 10);
  return line;
}

int lrdedup_main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: lrdedup e|d <input> <output>   ('-' for standard input or output)\n");
    return 1;
  }
  // A file size limit should fail the write (and so the run), not kill us
  // with a half-written output left behind.
  signal(SIGXFSZ, SIG_IGN);
  const bool decode = argv[1][0] == 'd';
  const bool in_std = std::strcmp(argv[2], "-") == 0;
  const bool out_std = std::strcmp(argv[3], "-") == 0;
  const char* in_name = in_std ? "(stdin)" : argv[2];
  const char* out_name = out_std ? "(stdout)" : argv[3];
  // With the data on standard output, the statistics go to standard error.
  FILE* stats = out_std ? stderr : stdout;

  int in_fd = in_std ? STDIN_FILENO : open(argv[2], O_RDONLY);
  if (in_fd < 0) {
    error_line(sys_error(in_name));
    return 1;
  }
  struct stat in_st;
  if (fstat(in_fd, &in_st) != 0) {
    error_line(sys_error(in_name));
    return 1;
  }
  if (S_ISDIR(in_st.st_mode)) {
    errno = EISDIR;
    error_line(sys_error(in_name));
    return 1;
  }
  if (decode && isatty(in_fd)) {
    error_line(std::string(in_name) + ": refusing to read a compressed stream from a terminal");
    return 1;
  }

  int out_fd = STDOUT_FILENO;
  bool remove_on_failure = false;
  if (!out_std) {
    // Opening the output truncates it: refuse first if it is the input itself.
    struct stat out_st;
    if (stat(argv[3], &out_st) == 0 && out_st.st_dev == in_st.st_dev && out_st.st_ino == in_st.st_ino) {
      error_line(std::string(out_name) + ": output is the input file");
      return 1;
    }
    out_fd = open(argv[3], O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (out_fd < 0) {
      error_line(sys_error(out_name));
      return 1;
    }
    // Only a regular file we wrote is removed after a failure, never a device.
    struct stat st;
    if (fstat(out_fd, &st) == 0 && S_ISREG(st.st_mode) &&
        std::strlen(argv[3]) < sizeof g_remove_path) {
      std::strcpy(g_remove_path, argv[3]);
      remove_on_failure = true;
      install_signal_handlers();
    }
  }
  auto fail = [&](const std::string& msg) {
    error_line(msg);
    if (remove_on_failure) unlink(g_remove_path);
    return 1;
  };
  if (!decode && isatty(out_fd))
    return fail(std::string(out_name) + ": refusing to write a compressed stream to a terminal");

  coder* c = &g_coder;
  const index_cfg cfg = index_cfg_default();
  const size_t block_bytes = decode ? cfg_decwinsize : index_table_bytes(cfg);
  void* block = map_block(block_bytes);
  if (!block) {
    errno = ENOMEM;
    return fail(std::string("cannot allocate ") + std::to_string(block_bytes >> 20) +
                " MiB: " + std::strerror(ENOMEM));
  }
  if (decode) {
    c->win = static_cast<uint8_t*>(block);
    c->winpos = 0;
    c->winsize = cfg_decwinsize;
  } else {
    index_init(&c->idx, static_cast<hslot*>(block), cfg);
    std::fprintf(stats, "cfg_tblsize=%i cfg_decwinsize=%i sizeof(hinf)=%i\n",
                 static_cast<int>(cfg_tblsize), static_cast<int>(cfg_decwinsize),
                 static_cast<int>(sizeof(hinf)));
    std::fflush(stats);
  }

  std::string err;
  bool ok = driver_serve(c, decode ? decoder_run : encoder_run, in_fd, out_fd, in_name, out_name, &err);
  munmap(block, block_bytes);
  if (ok && out_fd != STDOUT_FILENO && close(out_fd) != 0) {
    err = sys_error(out_name);
    ok = false;
  }
  if (!ok) return fail(err);
  if (out_std && close(STDOUT_FILENO) != 0 && errno != EINTR) return fail(sys_error(out_name));
  g_remove_path[0] = '\0';

  if (!decode) std::fprintf(stats, "c_discard=%" PRIu64 "\n", c->c_discard);
  std::fputs(driver_stats_line(c->sum, c->x).c_str(), stats);
  if (std::fflush(stats) != 0) return 1;
  if (decode && c->fault != fault_none) {
    error_line(std::string(in_name) + ": corrupt stream: " + fault_text(c->fault) + " at offset " +
               std::to_string(c->fault_offset));
    return 1;
  }
  return 0;
}
