// System error texts on POSIX.
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <locale.h>

#include "pal_err.h"

namespace {

// Log lines are read and grepped in English whatever locale the process was
// started with, so the texts come from the "C" locale. Should that locale be
// unavailable we fall back to the process's own.
locale_t text_locale() {
  static const locale_t loc = newlocale(LC_ALL_MASK, "C", (locale_t)0);
  return loc;
}

}  // namespace

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
  const char* s;
  char tmp[1024];
  if (locale_t loc = text_locale(); loc != (locale_t)0) {
    s = strerror_l(eno, loc);
  } else {
    // GNU strerror_r may return a static string instead of filling tmp.
    s = strerror_r(eno, tmp, sizeof tmp);
  }
  if (s == nullptr || *s == '\0' || strncmp(s, "Unknown error", 13) == 0)
    snprintf(buf, len, "unkown os_errno=%u (0x%x)", (unsigned)eno, (unsigned)eno);
  else
    snprintf(buf, len, "%s", s);
  size_t n = strlen(buf);
  while (n > 0 && (buf[n - 1] == ' ' || buf[n - 1] == '\t' || buf[n - 1] == '\n' || buf[n - 1] == '\r'))
    buf[--n] = '\0';
  errno = saved;
  return buf;
}

const char* os_last_errno_str() { return os_errno_str(errno, nullptr, 0); }

const char* os_last_errstr() { return os_errno_str(errno, nullptr, 0); }
