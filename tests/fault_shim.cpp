// A preloaded library that makes one call of the program fail: the Nth call
// of one C library function, across all threads, returns its error with the
// errno asked for. The fault sweep (fault_test) runs the program under it.
//
//   LRD_FAULT=name:N:errno   fail call N (from 1) of `name` with that errno
//   LRD_FAULT_COUNT=path     at exit, write "name count" lines for every call
//
// Only the program's own calls pass here (those of the C library's insides,
// such as malloc's, do not), which is what the sweep is about.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>

namespace {

// The wrapped functions, in one list: each gets a counter and a real twin.
#define LRD_FAULT_CALLS(X) \
  X(open) X(read) X(preadv2) X(poll) X(write) X(writev) X(vmsplice) X(pwrite) X(mmap) X(mremap) X(munmap) X(madvise) X(ftruncate) X(fstat) X(stat) \
  X(lstat) X(close) X(fcntl) X(lseek) X(pthread_create)

enum call_id {
#define LRD_ID(name) id_##name,
  LRD_FAULT_CALLS(LRD_ID)
#undef LRD_ID
  id_count
};

const char* const g_names[] = {
#define LRD_NAME(name) #name,
    LRD_FAULT_CALLS(LRD_NAME)
#undef LRD_NAME
};

std::atomic<unsigned long> g_calls[id_count];
int g_fault_id = -1;
unsigned long g_fault_n = 0;
int g_fault_errno = 0;

__attribute__((constructor)) void shim_init() {
  const char* spec = getenv("LRD_FAULT");
  if (!spec) return;
  char name[64];
  unsigned long n = 0;
  int e = 0;
  if (sscanf(spec, "%63[^:]:%lu:%d", name, &n, &e) != 3) return;
  for (int i = 0; i < id_count; i++)
    if (!strcmp(name, g_names[i])) g_fault_id = i;
  g_fault_n = n;
  g_fault_errno = e;
}

__attribute__((destructor)) void shim_report() {
  const char* path = getenv("LRD_FAULT_COUNT");
  if (!path) return;
  FILE* f = fopen(path, "w");
  if (!f) return;
  for (int i = 0; i < id_count; i++) fprintf(f, "%s %lu\n", g_names[i], g_calls[i].load());
  fclose(f);
}

// Counts the call; true when it is the one to fail (errno is then set).
bool fails(call_id id) {
  const unsigned long k = g_calls[id].fetch_add(1) + 1;
  if (id != g_fault_id || k != g_fault_n) return false;
  errno = g_fault_errno;
  return true;
}

template <class F>
F real(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

#define LRD_REAL(name) static auto real_##name = real<decltype(&::name)>(#name)

extern "C" {

int open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list ap;
    va_start(ap, flags);
    mode = static_cast<mode_t>(va_arg(ap, int));
    va_end(ap);
  }
  LRD_REAL(open);
  return fails(id_open) ? -1 : real_open(path, flags, mode);
}

ssize_t read(int fd, void* p, size_t n) {
  LRD_REAL(read);
  return fails(id_read) ? -1 : real_read(fd, p, n);
}

ssize_t preadv2(int fd, const struct iovec* v, int n, off_t off, int flags) {
  LRD_REAL(preadv2);
  return fails(id_preadv2) ? -1 : real_preadv2(fd, v, n, off, flags);
}

int poll(struct pollfd* f, nfds_t n, int timeout) {
  LRD_REAL(poll);
  return fails(id_poll) ? -1 : real_poll(f, n, timeout);
}

ssize_t writev(int fd, const struct iovec* v, int n) {
  LRD_REAL(writev);
  return fails(id_writev) ? -1 : real_writev(fd, v, n);
}

ssize_t vmsplice(int fd, const struct iovec* v, size_t n, unsigned flags) {
  LRD_REAL(vmsplice);
  return fails(id_vmsplice) ? -1 : real_vmsplice(fd, v, n, flags);
}

ssize_t write(int fd, const void* p, size_t n) {
  LRD_REAL(write);
  return fails(id_write) ? -1 : real_write(fd, p, n);
}

ssize_t pwrite(int fd, const void* p, size_t n, off_t off) {
  LRD_REAL(pwrite);
  return fails(id_pwrite) ? -1 : real_pwrite(fd, p, n, off);
}

void* mmap(void* a, size_t n, int prot, int flags, int fd, off_t off) {
  LRD_REAL(mmap);
  return fails(id_mmap) ? MAP_FAILED : real_mmap(a, n, prot, flags, fd, off);
}

void* mremap(void* old, size_t old_n, size_t new_n, int flags, ...) {
  void* to = nullptr;
  if (flags & MREMAP_FIXED) {
    va_list ap;
    va_start(ap, flags);
    to = va_arg(ap, void*);
    va_end(ap);
  }
  LRD_REAL(mremap);
  return fails(id_mremap) ? MAP_FAILED : real_mremap(old, old_n, new_n, flags, to);
}

int munmap(void* a, size_t n) {
  LRD_REAL(munmap);
  return fails(id_munmap) ? -1 : real_munmap(a, n);
}

int madvise(void* a, size_t n, int advice) {
  LRD_REAL(madvise);
  return fails(id_madvise) ? -1 : real_madvise(a, n, advice);
}

int ftruncate(int fd, off_t n) {
  LRD_REAL(ftruncate);
  return fails(id_ftruncate) ? -1 : real_ftruncate(fd, n);
}

int fstat(int fd, struct stat* st) {
  LRD_REAL(fstat);
  return fails(id_fstat) ? -1 : real_fstat(fd, st);
}

int stat(const char* path, struct stat* st) {
  LRD_REAL(stat);
  return fails(id_stat) ? -1 : real_stat(path, st);
}

int lstat(const char* path, struct stat* st) {
  LRD_REAL(lstat);
  return fails(id_lstat) ? -1 : real_lstat(path, st);
}

int close(int fd) {
  LRD_REAL(close);
  return fails(id_close) ? -1 : real_close(fd);
}

// Every fcntl command the program uses takes an int or a pointer, both
// passed in one register.
int fcntl(int fd, int cmd, ...) {
  va_list ap;
  va_start(ap, cmd);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  LRD_REAL(fcntl);
  return fails(id_fcntl) ? -1 : real_fcntl(fd, cmd, arg);
}

off_t lseek(int fd, off_t off, int whence) {
  LRD_REAL(lseek);
  return fails(id_lseek) ? -1 : real_lseek(fd, off, whence);
}

// A thread refused: its stack could not be mapped, or the process has as
// many threads as it may.
int pthread_create(pthread_t* t, const pthread_attr_t* attr, void* (*fn)(void*), void* arg) {
  LRD_REAL(pthread_create);
  if (fails(id_pthread_create)) return g_fault_errno;
  return real_pthread_create(t, attr, fn, arg);
}

}  // extern "C"
