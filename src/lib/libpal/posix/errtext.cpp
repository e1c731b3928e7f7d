// System error texts on POSIX.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "pal_err.h"

const char* os_errno_str(int eno, char* buf, size_t len) {
  static thread_local char tbuf[4096];
  if (buf == nullptr || len == 0) {
    buf = tbuf;
    len = sizeof tbuf;
  }
  if (eno == 0) {
    snprintf(buf, len, "ok");
    return buf;
  }
  int saved = errno;
  char tmp[1024];
  // GNU strerror_r may return a static string instead of filling tmp.
  const char* s = strerror_r(eno, tmp, sizeof tmp);
  if (s == nullptr || *s == '\0' || strncmp(s, "Unknown error", 13) == 0)
    snprintf(buf, len, "unkown os_errno=%u (0x%x)", (unsigned)eno, (unsigned)eno);
  else
    snprintf(buf, len, "%s", s);
  size_t n = strlen(buf);
  while (n > 0 && (buf[n - 1] == ' ' || buf[n - 1] == '\n' || buf[n - 1] == '\r')) buf[--n] = '\0';
  errno = saved;
  return buf;
}

const char* os_last_errno_str() { return os_errno_str(errno, nullptr, 0); }
