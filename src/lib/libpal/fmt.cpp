// Size, rate, count and duration texts.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "fmt_put.h"
#include "liblog.h"
#include "pal_fmt.h"

WY_LOG_TAG("pal");

int fmt_put(char* buf, size_t len, const char* fmt, ...) {
  if (buf == nullptr || len == 0) return 0;
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf, len, fmt, ap);
  va_end(ap);
  if (n < 0) {
    buf[0] = '\0';
    return 0;
  }
  if ((size_t)n >= len) {
    LOGW("need_size=%u buf_size=%u fmt=[%s]\n", (unsigned)n + 1, (unsigned)len, fmt);
    return (int)len - 1;
  }
  return n;
}

const char* str_human_size(uint64_t n, char* buf, size_t len) {
  static const char kUnits[] = "KMGTPEZY";
  if (n < 1024) {
    fmt_put(buf, len, "%llu", (unsigned long long)n);
    return buf;
  }
  uint64_t v = n;
  unsigned tenths = 0;
  char unit = 'K';
  // Only the last step's remainder is rounded into tenths: 1048575 shows as
  // 1024.0K rather than 1.0M, as the tool has always printed it.
  for (int i = 0; i < 8; ++i) {
    tenths = (unsigned)(((v % 1024) * 10 + 512) >> 10);
    unit = kUnits[i];
    bool last = v < 1048576;
    v >>= 10;
    if (last) break;
  }
  if (tenths == 10) {
    ++v;
    tenths = 0;
  }
  fmt_put(buf, len, "%llu.%u%c", (unsigned long long)v, tenths, unit);
  return buf;
}

namespace {

struct size_suffix {
  const char* name;
  double factor;
};

// Order matters: matching ignores case and the first match wins, so "KB"
// and "kb" mean 1000 while "K" and "k" mean 1024.
constexpr size_suffix kSuffixes[] = {
    {"c", 1},
    {"w", 2},
    {"b", 512},
    {"kB", 1000},
    {"kD", 1000},
    {"k", 1024},
    {"KB", 1000},
    {"KD", 1000},
    {"K", 1024},
    {"MB", 1000000},
    {"MD", 1000000},
    {"M", 1048576},
    {"GB", 1000000000},
    {"GD", 1000000000},
    {"G", 1073741824},
    {"TB", 1e12},
    {"T", 1099511627776.0},
    {"PB", 1e15},
    {"P", 1125899906842624.0},
};

bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Strict "digits[.digits]" without the locale's decimal point; anything
// else is not a size.
bool parse_decimal(const char* s, size_t n, double* out) {
  double v = 0;
  double scale = 1;
  bool dot = false;
  size_t digits = 0;
  for (size_t i = 0; i < n; ++i) {
    char c = s[i];
    if (c == '.' && !dot) {
      dot = true;
    } else if (is_digit(c)) {
      ++digits;
      if (dot) {
        scale /= 10;
        v += (c - '0') * scale;
      } else {
        v = v * 10 + (c - '0');
      }
    } else {
      return false;
    }
  }
  *out = v;
  return digits > 0;
}

}  // namespace

uint64_t str_size_parse(const char* s) {
  if (s == nullptr || *s == '\0') return 0;
  if (strchr(" \t\r\n+-", *s) != nullptr) return 0;
  size_t n = strnlen(s, 258);
  if (n > 256) return 0;
  size_t letters = 0;
  while (letters < 3 && letters < n && is_alpha(s[n - 1 - letters])) ++letters;
  if (letters == 3 || letters == n) return 0;
  double v;
  if (!parse_decimal(s, n - letters, &v)) return 0;
  const char* suf = s + n - letters;
  while (*suf != '\0') {
    const size_suffix* hit = nullptr;
    for (const size_suffix& e : kSuffixes) {
      if (strncasecmp(suf, e.name, strlen(e.name)) == 0) {
        hit = &e;
        break;
      }
    }
    if (hit == nullptr) return 0;
    v *= hit->factor;
    suf += strlen(hit->name);
  }
  // Converting a double at or beyond 2^64 is undefined; such a size is as
  // unusable as a malformed one.
  if (!(v < 18446744073709551616.0)) return 0;
  return (uint64_t)v;
}

const char* str_rate(double x, char* buf, size_t len) {
  if (x > 1073741824.0)
    fmt_put(buf, len, "%0.3fGB/S", x / 1073741824.0);
  else if (x > 1048576.0)
    fmt_put(buf, len, "%0.2fMB/S", x / 1048576.0);
  else if (x > 1024.0)
    fmt_put(buf, len, "%0.1fKB/S", x / 1024.0);
  else
    fmt_put(buf, len, "%0.0fB/S", x);
  return buf;
}

const char* str_count(uint64_t n, char* buf, size_t len) {
  if (n >= 100000000)
    fmt_put(buf, len, "%0.2f Y", (double)n / 1e8);
  else if (n < 1000)
    fmt_put(buf, len, "%llu B", (unsigned long long)n);
  else if (n < 10000)
    fmt_put(buf, len, "%0.2f Q", (double)n / 1000);
  else
    fmt_put(buf, len, "%0.2f W", (double)n / 10000);
  return buf;
}

const char* str_duration(double x, char* buf, size_t len) {
  // A clock that went back or a bad division must not reach the integer
  // conversions below, where NaN and huge values are undefined.
  if (!(x >= 0)) x = 0;
  if (x > 1e15) x = 1e15;
  long long s = (long long)x;
  long long days = s >= 86400 ? s / 86400 : 0;
  long long r = s - days * 86400;
  long long hours = r >= 3600 ? r / 3600 : 0;
  r -= hours * 3600;
  long long minutes = r >= 60 ? r / 60 : 0;
  r -= minutes * 60;
  double sec = (x - (double)s) + (double)r;
  char tmp[64];
  snprintf(tmp, sizeof tmp, "%.3f", sec);
  const char* frac = strchr(tmp, '.');
  if (frac == nullptr) frac = "";
  int secs = (int)sec;
  if (days > 0)
    fmt_put(buf, len, "%lld_%02lld:%02lld:%02d%s", days, hours, minutes, secs, frac);
  else if (hours == 0)
    fmt_put(buf, len, "%02lld:%02d%s", minutes, secs, frac);
  else
    fmt_put(buf, len, "%02lld:%02lld:%02d%s", hours, minutes, secs, frac);
  return buf;
}
