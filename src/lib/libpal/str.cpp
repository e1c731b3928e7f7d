// Bounded copies and formatted writes.
#include <cstdio>
#include <cstring>

#include "liblog.h"
#include "pal_str.h"

WY_LOG_TAG("pal");

size_t str_ncpy(char* dst, size_t size, std::string_view src) {
  if (dst == nullptr || size == 0) return 0;
  size_t n = src.size() < size - 1 ? src.size() : size - 1;
  if (n > 0) memcpy(dst, src.data(), n);
  dst[n] = '\0';
  return n;
}

size_t str_cpy(char* dst, size_t size, const char* src) {
  return str_ncpy(dst, size, src ? std::string_view(src) : std::string_view());
}

int str_vsnprintf(char* buf, size_t size, const char* fmt, va_list ap) {
  if (!WY_CHECK(buf != nullptr && size > 0 && fmt != nullptr)) return -1;
  int need = vsnprintf(buf, size, fmt, ap);
  if (need < 0) {
    buf[0] = '\0';
    return -1;
  }
  if (static_cast<size_t>(need) >= size) {
    LOGE("need_size=%u buf_size=%u fmt=[%s]\n", static_cast<unsigned>(need) + 1,
         static_cast<unsigned>(size), fmt);
    return -1;
  }
  return need;
}

int str_snprintf(char* buf, size_t size, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int r = str_vsnprintf(buf, size, fmt, ap);
  va_end(ap);
  return r;
}

namespace {

size_t vappend(std::string* out, const char* fmt, va_list ap) {
  va_list ap2;
  va_copy(ap2, ap);
  char small[256];
  int need = vsnprintf(small, sizeof small, fmt, ap2);
  va_end(ap2);
  if (need < 0) return 0;
  if (static_cast<size_t>(need) < sizeof small) {
    out->append(small, need);
  } else {
    size_t old = out->size();
    out->resize(old + need + 1);
    vsnprintf(out->data() + old, need + 1, fmt, ap);
    out->resize(old + need);
  }
  return static_cast<size_t>(need);
}

}  // namespace

std::string str_format(const char* fmt, ...) {
  std::string s;
  va_list ap;
  va_start(ap, fmt);
  vappend(&s, fmt, ap);
  va_end(ap);
  return s;
}

size_t str_appendf(std::string* out, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  size_t n = vappend(out, fmt, ap);
  va_end(ap);
  return n;
}
