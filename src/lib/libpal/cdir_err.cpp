#include <cstdarg>
#include <cstdio>

#include "pal_err.h"

int cdir_err_set(cdir_err* e, const char* src, const char* func, int line, int verr,
                 const char* fmt, ...) {
  if (e == nullptr) return verr;
  e->src = src;
  e->func = func;
  e->line = line;
  e->verr = verr;
  char buf[4096];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  e->msg = buf;
  return verr;
}
