// Faults for real runs: loaded with LD_PRELOAD, this library stands in for
// the C library calls that read and write local files, and fails or
// shortens those on the files a test names. The program under test runs as
// built; only the answers of its system calls change, the way a bad disk, a
// full disk or a kernel without the call would change them.
//
// A rule is read from the environment:
//   WYFAULT_PATH   a substring of the path given to open(); the descriptor
//                  it gives is hit until it is closed. Every file when empty
//                  or unset
//   WYFAULT_OP     the calls it hits, comma-separated: pread, pwrite,
//                  copy_file_range (hit when either of its files matches);
//                  all three when unset
//   WYFAULT_ERRNO  the error the call fails with (EIO, ENOSPC, EXDEV, ENOSYS,
//                  EROFS, EACCES); none when unset
//   WYFAULT_AFTER  bytes the hit calls (of all its files together) move
//                  before the error comes; a call that would cross that
//                  point moves only what is left, as the kernel answers a
//                  read that runs into a bad block
//   WYFAULT_SHORT  every hit call moves at most this many bytes
//   WYFAULT_LOG    a file where every injected error and every shortened
//                  call is noted as "<call> fault|short <fd>", so a test can
//                  tell that the rule met the calls it was meant for
// Files opened beneath a directory with openat2 (made through syscall())
// are matched by the path given to it as well.
// A second rule may follow with the same names and the suffix _2
// (WYFAULT_PATH_2, ...), e.g. to fail every kernel copy and one file's reads.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kMaxFd = 1 << 16;
constexpr int kRules = 2;

enum Op : unsigned { kPread = 1, kPwrite = 2, kCopy = 4 };

struct Rule {
  bool on = false;
  char path[4096] = "";
  unsigned ops = kPread | kPwrite | kCopy;
  int eno = 0;
  long long after = 0;
  long long cap = 0;
  std::atomic<long long> moved{0};
};

Rule rules[kRules];
// Bit r set: the descriptor was opened on a path rule r hits.
std::atomic<uint8_t> hit[kMaxFd];
int log_fd = -1;

using open_fn = int (*)(const char*, int, ...);
using openat_fn = int (*)(int, const char*, int, ...);
using pread_fn = ssize_t (*)(int, void*, size_t, off_t);
using pwrite_fn = ssize_t (*)(int, const void*, size_t, off_t);
using copy_fn = ssize_t (*)(int, off64_t*, int, off64_t*, size_t, unsigned);
using close_fn = int (*)(int);
using syscall_fn = long (*)(long, ...);

std::atomic<open_fn> real_open, real_open64;
std::atomic<openat_fn> real_openat, real_openat64;
std::atomic<pread_fn> real_pread, real_pread64;
std::atomic<pwrite_fn> real_pwrite, real_pwrite64;
std::atomic<copy_fn> real_copy;
std::atomic<close_fn> real_close;
std::atomic<syscall_fn> real_syscall;

/// The next definition of `name` after ours (the C library's, or a
/// sanitizer's that leads there), looked up on first use: another library's
/// constructor may open a file before ours has run.
template <typename F>
F real(std::atomic<F>& slot, const char* name) {
  F f = slot.load();
  if (f == nullptr) {
    f = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
    slot.store(f);
  }
  return f;
}

int errno_named(const char* s) {
  static const struct {
    const char* name;
    int eno;
  } known[] = {{"EIO", EIO},       {"ENOSPC", ENOSPC}, {"EXDEV", EXDEV},
               {"ENOSYS", ENOSYS}, {"EROFS", EROFS},   {"EACCES", EACCES}};
  for (auto& k : known)
    if (strcmp(s, k.name) == 0) return k.eno;
  return atoi(s);
}

const char* env(const char* name, int rule) {
  char key[64];
  snprintf(key, sizeof key, rule == 0 ? "%s" : "%s_%d", name, rule + 1);
  return getenv(key);
}

void read_rule(int i) {
  Rule& r = rules[i];
  const char* path = env("WYFAULT_PATH", i);
  const char* ops = env("WYFAULT_OP", i);
  const char* eno = env("WYFAULT_ERRNO", i);
  const char* after = env("WYFAULT_AFTER", i);
  const char* cap = env("WYFAULT_SHORT", i);
  r.on = path || ops || eno || after || cap;
  if (!r.on) return;
  if (path) snprintf(r.path, sizeof r.path, "%s", path);
  if (ops) {
    r.ops = 0;
    if (strstr(ops, "pread")) r.ops |= kPread;
    if (strstr(ops, "pwrite")) r.ops |= kPwrite;
    if (strstr(ops, "copy_file_range")) r.ops |= kCopy;
  }
  if (eno) r.eno = errno_named(eno);
  if (after) r.after = atoll(after);
  if (cap) r.cap = atoll(cap);
}

__attribute__((constructor)) void init() {
  for (int i = 0; i < kRules; i++) read_rule(i);
  if (const char* log = getenv("WYFAULT_LOG"))
    log_fd = real(real_open, "open")(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

void note(const char* call, const char* what, int fd) {
  if (log_fd < 0) return;
  char line[128];
  int n = snprintf(line, sizeof line, "%s %s %d\n", call, what, fd);
  if (write(log_fd, line, (size_t)n) < 0) {
    // Nowhere to report it; the test sees the note missing.
  }
}

int opened(int fd, const char* path) {
  if (fd < 0 || fd >= kMaxFd) return fd;
  uint8_t bits = 0;
  for (int i = 0; i < kRules; i++)
    if (rules[i].on && (rules[i].path[0] == '\0' || strstr(path, rules[i].path))) bits |= uint8_t(1u << i);
  hit[fd].store(bits);
  return fd;
}

bool is_hit(int fd, int rule) { return fd >= 0 && fd < kMaxFd && (hit[fd].load() >> rule & 1u); }

/// What the rules make of one call moving `len` bytes on `fd` (and `fd2`,
/// the other file of a kernel copy): false with errno set when it fails,
/// else true with `len` cut to what it may move. `mask` receives the rules
/// that count the bytes it then moves.
bool apply(Op op, const char* call, int fd, int fd2, size_t* len, unsigned* mask) {
  *mask = 0;
  size_t want = *len;
  for (int i = 0; i < kRules; i++) {
    Rule& r = rules[i];
    if (!r.on || !(r.ops & op) || !(is_hit(fd, i) || is_hit(fd2, i))) continue;
    *mask |= 1u << i;
    if (r.eno != 0) {
      long long left = r.after - r.moved.load();
      if (left <= 0) {
        note(call, "fault", fd);
        errno = r.eno;
        return false;
      }
      if ((long long)*len > left) *len = (size_t)left;
    }
    if (r.cap > 0 && (long long)*len > r.cap) *len = (size_t)r.cap;
  }
  if (*len < want) note(call, "short", fd);
  return true;
}

ssize_t counted(ssize_t n, unsigned mask) {
  if (n > 0)
    for (int i = 0; i < kRules; i++)
      if (mask >> i & 1u) rules[i].moved += n;
  return n;
}

int mode_arg(int flags, va_list ap) {
  return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(ap, int) : 0;
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  int mode = mode_arg(flags, ap);
  va_end(ap);
  return opened(real(real_open, "open")(path, flags, mode), path);
}

int open64(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  int mode = mode_arg(flags, ap);
  va_end(ap);
  return opened(real(real_open64, "open64")(path, flags, mode), path);
}

int openat(int dir, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  int mode = mode_arg(flags, ap);
  va_end(ap);
  return opened(real(real_openat, "openat")(dir, path, flags, mode), path);
}

int openat64(int dir, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  int mode = mode_arg(flags, ap);
  va_end(ap);
  return opened(real(real_openat64, "openat64")(dir, path, flags, mode), path);
}

long syscall(long number, ...) noexcept {
  // No system call takes more than six arguments.
  va_list ap;
  va_start(ap, number);
  long a[6];
  for (long& x : a) x = va_arg(ap, long);
  va_end(ap);
  long r = real(real_syscall, "syscall")(number, a[0], a[1], a[2], a[3], a[4], a[5]);
#ifdef SYS_openat2
  if (number == SYS_openat2 && r >= 0) {
    int saved = errno;
    opened(static_cast<int>(r), reinterpret_cast<const char*>(a[1]));
    errno = saved;
  }
#endif
  return r;
}

int close(int fd) {
  if (fd >= 0 && fd < kMaxFd) hit[fd].store(0);
  return real(real_close, "close")(fd);
}

ssize_t pread(int fd, void* buf, size_t len, off_t off) {
  unsigned mask;
  if (!apply(kPread, "pread", fd, -1, &len, &mask)) return -1;
  return counted(real(real_pread, "pread")(fd, buf, len, off), mask);
}

ssize_t pread64(int fd, void* buf, size_t len, off64_t off) {
  unsigned mask;
  if (!apply(kPread, "pread", fd, -1, &len, &mask)) return -1;
  return counted(real(real_pread64, "pread64")(fd, buf, len, off), mask);
}

ssize_t pwrite(int fd, const void* buf, size_t len, off_t off) {
  unsigned mask;
  if (!apply(kPwrite, "pwrite", fd, -1, &len, &mask)) return -1;
  return counted(real(real_pwrite, "pwrite")(fd, buf, len, off), mask);
}

ssize_t pwrite64(int fd, const void* buf, size_t len, off64_t off) {
  unsigned mask;
  if (!apply(kPwrite, "pwrite", fd, -1, &len, &mask)) return -1;
  return counted(real(real_pwrite64, "pwrite64")(fd, buf, len, off), mask);
}

ssize_t copy_file_range(int in, off64_t* in_off, int out, off64_t* out_off, size_t len, unsigned flags) {
  unsigned mask;
  if (!apply(kCopy, "copy_file_range", in, out, &len, &mask)) return -1;
  return counted(real(real_copy, "copy_file_range")(in, in_off, out, out_off, len, flags), mask);
}

}  // extern "C"
