// Local wall-clock time stamps for log lines and file names.
#include <time.h>

#include "../fmt_put.h"
#include "liblog.h"
#include "pal_fmt.h"

WY_LOG_TAG("pal");

int os_get_time_type2(int type, char* buf, size_t len) {
  if (buf != nullptr && len > 0) buf[0] = '\0';
  if (type < 0 || type > 8) {
    LOGE("invalid type=%d", type);
    return -2;
  }
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm t{};
  localtime_r(&ts.tv_sec, &t);
  int Y = t.tm_year + 1900, M = t.tm_mon + 1, D = t.tm_mday;
  int h = t.tm_hour, m = t.tm_min, s = t.tm_sec;
  // Fractions are cut, never rounded up into the next second.
  int ms = (int)(ts.tv_nsec / 1000000), us = (int)(ts.tv_nsec / 1000), ns = (int)ts.tv_nsec;
  switch (type) {
    case 0: return fmt_put(buf, len, "%04d-%02d-%02d %02d:%02d:%02d", Y, M, D, h, m, s);
    case 1: return fmt_put(buf, len, "%04d-%02d-%02d %02d:%02d:%02d.%03d", Y, M, D, h, m, s, ms);
    case 2: return fmt_put(buf, len, "%04d-%02d-%02d %02d:%02d:%02d.%06d", Y, M, D, h, m, s, us);
    case 3: return fmt_put(buf, len, "%04d-%02d-%02d %02d:%02d:%02d.%09d", Y, M, D, h, m, s, ns);
    case 4: return fmt_put(buf, len, "%02d:%02d:%02d", h, m, s);
    case 5: return fmt_put(buf, len, "%02d:%02d:%02d.%03d", h, m, s, ms);
    case 6: return fmt_put(buf, len, "%04d%02d%02d%02d%02d%02d", Y, M, D, h, m, s);
    case 7: return fmt_put(buf, len, "%04d%02d%02d%02d%02d%02d%03d", Y, M, D, h, m, s, ms);
    default: return fmt_put(buf, len, "%04d%02d%02d%02d%02d%02d%06d", Y, M, D, h, m, s, us);
  }
}
