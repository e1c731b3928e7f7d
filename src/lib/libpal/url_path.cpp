// Local paths (joining, cleaning, telling absolute from relative) and dotted
// version numbers.
#include <cstring>
#include <string>
#include <string_view>

#include "liblog.h"
#include "pal_url.h"

WY_LOG_TAG("pal");

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }
bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
  return s;
}

}  // namespace

bool path_is_absolute(const char* path) {
  if (!WY_CHECK(path != nullptr)) return false;
  if (is_letter(path[0]) && path[1] == ':') return true;
  if (path[0] == '/' || path[0] == '\\' || path[0] == '~') return true;
  return strstr(path, "://") != nullptr || strstr(path, ":\\") != nullptr;
}

char* path_build(char* out, size_t out_size, const char* dir, const char* name) {
  if (!WY_CHECK(out != nullptr && out_size > 0 && dir != nullptr && name != nullptr)) return nullptr;
  std::string s(dir);
  if (s.empty() || (s.back() != '/' && s.back() != '\\')) s += '/';
  s += name;
  str_ncpy(out, out_size < PATH_BUF_SIZE ? out_size : PATH_BUF_SIZE, s);
  return out;
}

// There are no drives, device prefixes or network shares on POSIX, so the
// cleaner only normalises separators. ".." is kept: "a/link/.." is not "a"
// when link is a symbolic link, and the kernel resolves it correctly.
char* path_clean(char* path) {
  if (!WY_CHECK(path != nullptr)) return nullptr;
  std::string_view in(path);
  for (;;) {  // blanks and quotes, possibly nested
    std::string_view t = trim(in);
    if (t.size() >= 2 && (t.front() == '"' || t.front() == '\'') && t.back() == t.front())
      t = t.substr(1, t.size() - 2);
    if (t == in) break;
    in = t;
  }
  std::string s(in);
  for (char& c : s) {
    if (c == '\\') c = '/';
  }
  if (s.rfind("file://", 0) == 0) {
    s.erase(0, 7);
  } else if (!s.empty() && s.find_first_not_of('/') == std::string::npos) {
    s = "/";
  } else {
    std::string out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
      if (s[i] == '/' && !out.empty() && out.back() == '/') {
        ++i;
        continue;
      }
      // "./" at the start of a component means nothing; keep a lone "."
      // and a trailing "/." (which follows a symbolic link to a directory).
      bool comp_start = out.empty() || out.back() == '/';
      if (comp_start && s[i] == '.' && i + 1 < s.size() && s[i + 1] == '/') {
        i += 2;
        continue;
      }
      out += s[i++];
    }
    if (out.empty() && !s.empty()) out = ".";
    s = std::string(trim(out));
  }
  memcpy(path, s.c_str(), s.size() + 1);  // never longer than the input
  return path;
}

uint64_t str_version_to_u64(const char* ver) {
  if (ver == nullptr) return 0;
  uint64_t v = 0;
  int parts = 0;
  const char* p = ver;
  for (;;) {
    uint64_t n = 0;
    while (*p >= '0' && *p <= '9') {
      n = n * 10 + (*p - '0');
      if (n > 0xffff) n = 0xffff;  // a part never spills into its neighbour
      ++p;
    }
    if (++parts > 4) return 0;
    v |= n << (16 * (4 - parts));
    if (*p != '.') break;
    ++p;
  }
  if ((v >> 48) == 0) return 0;
  return v;
}

int str_version_cmp(const char* a, const char* b) {
  uint64_t x = str_version_to_u64(a), y = str_version_to_u64(b);
  return x == y ? 0 : (x > y ? 1 : -1);
}
