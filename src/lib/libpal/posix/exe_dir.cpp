// The running executable on POSIX: /proc/self/exe, getpid, the host
// name, the terminal test and backtrace().
#include <execinfo.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "pal_exe.h"

int os_exe_dir(char* buf, size_t len) {
  if (buf == nullptr || len == 0) return -1;
  buf[0] = '\0';
  int saved = errno;
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  errno = saved;
  if (n <= 0) return -1;
  path[n] = '\0';
  char* slash = strrchr(path, '/');
  if (slash == nullptr) return -1;
  // The root directory keeps its one separator.
  size_t dlen = slash == path ? 1 : static_cast<size_t>(slash - path);
  if (dlen >= len) return -1;
  memcpy(buf, path, dlen);
  buf[dlen] = '\0';
  return static_cast<int>(dlen);
}

uint32_t os_exe_pid() { return static_cast<uint32_t>(getpid()); }

namespace {
struct host_name {
  char h[256] = {0};
  host_name() {
    int saved = errno;
    if (gethostname(h, sizeof h - 1) != 0) h[0] = '\0';
    errno = saved;
    if (h[0] == '\0' || strcmp(h, "(none)") == 0) snprintf(h, sizeof h, "unknown");
  }
};
}  // namespace

const char* os_exe_host_name() {
  static const host_name name;  // read once: the name does not change under us
  return name.h;
}

bool os_exe_stderr_tty() {
  int saved = errno;
  bool tty = isatty(STDERR_FILENO) == 1;
  errno = saved;
  return tty;
}

int os_exe_stderr_columns() {
  int saved = errno;
  struct winsize ws {};
  int cols = ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 ? ws.ws_col : 80;
  errno = saved;
  return cols;
}

size_t os_exe_stack_text(char* buf, size_t len) {
  if (buf == nullptr || len == 0) return 0;
  buf[0] = '\0';
  int saved = errno;
  void* frames[64];
  int n = backtrace(frames, 64);
  // backtrace_symbols allocates one block with malloc; it is released by free.
  std::unique_ptr<char*, decltype(&free)> syms(backtrace_symbols(frames, n), &free);
  size_t used = 0;
  for (int i = 1; i < n && used + 1 < len; ++i) {
    int w = snprintf(buf + used, len - used, "%s%s", used ? "\n" : "",
                     syms ? syms.get()[i] : "?");
    if (w < 0) break;
    used += static_cast<size_t>(w);
    if (used >= len) used = len - 1;
  }
  buf[used] = '\0';
  errno = saved;
  return used;
}
