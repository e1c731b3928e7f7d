// The log call. This first version writes plain lines to standard error; the
// prefix flags, levels and outputs grow here.
#include "liblog.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "libpal.h"

int log2_vprintf(log2*, uint32_t level, const char* tag, const char*, int, const char* func,
                 const char* fmt, va_list ap) {
  int saved = errno;
  if ((level & 0xff) <= LV_DBG) {
    char line[8192];
    int n = snprintf(line, sizeof line, "%s(): ", func);
    vsnprintf(line + n, sizeof line - n, fmt, ap);
    size_t len = strlen(line);
    if (level & LV_SYS) snprintf(line + len, sizeof line - len, "%s\n", os_errno_str(saved, nullptr, 0));
    len = strlen(line);
    if (len == 0 || line[len - 1] != '\n') snprintf(line + len, sizeof line - len, "\n");
    (void)tag;
    fputs(line, stderr);
    fflush(stderr);
  }
  errno = saved;
  return 0;
}

int log2_printf(log2* h, uint32_t level, const char* tag, const char* src, int line,
                const char* func, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  log2_vprintf(h, level, tag, src, line, func, fmt, ap);
  va_end(ap);
  return 0;
}

void log2_assert_fail(const char* tag, const char* src, int line, const char* func, const char* expr) {
  log2_printf(nullptr, LV_ERR, tag, src, line, func, "expr[%s]: assert failed\n", expr);
}
