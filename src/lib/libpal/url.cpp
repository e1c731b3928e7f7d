// URL splitting, query editing and escaping; local paths (joining,
// cleaning, telling absolute from relative) and dotted version numbers.
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "liblog.h"
#include "pal_url.h"

WY_LOG_TAG("pal");

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }
bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

std::string_view trim_blanks(std::string_view s) {
  while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
  return s;
}

// URLs come from command lines and configuration files where they are often
// quoted, sometimes twice ("'wyp://h/x'").
std::string_view trim_blanks_quotes(std::string_view s) {
  for (;;) {
    std::string_view t = trim_blanks(s);
    if (t.size() >= 2 && (t.front() == '"' || t.front() == '\'') && t.back() == t.front()) {
      t = t.substr(1, t.size() - 2);
    }
    if (t == s) return t;
    s = t;
  }
}

// Appends parts one after another into the caller's buffer, each ending in
// NUL; a part that does not fit is cut and the later ones become "".
class part_writer {
 public:
  part_writer(char* buf, size_t size) : buf_(buf), size_(size) {}
  const char* put(std::string_view s) {
    if (used_ >= size_) return "";
    char* p = buf_ + used_;
    used_ += str_ncpy(p, size_ - used_, s) + 1;
    return p;
  }

 private:
  char* buf_;
  size_t size_;
  size_t used_ = 0;
};

int hex_val(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool needs_escape(unsigned char c) { return c < 33 || c >= 127 || strchr("#%&+;=?", c) != nullptr; }

constexpr const char kKeyForbidden[] = ";/\\\"'?:@# &=";

const char* mode_name(int mode) {
  switch (mode) {
    case URL_SET_ALWAYS: return "set_always";
    case URL_SET_NOT_EXIST: return "set_not_exist";
    case URL_SET_EXIST: return "set_exist";
    case URL_DEL_EXIST: return "del_exist";
    default: return "unknown";
  }
}

std::string escape(std::string_view in) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(in.size());
  for (unsigned char c : in) {
    if (needs_escape(c)) {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string unescape(std::string_view in) {
  std::string out;
  out.reserve(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '%') {
      out += in[i];
      continue;
    }
    if (i + 1 >= in.size()) break;  // a lone "%" at the end
    int h = hex_val(in[i + 1]);
    if (h < 0) {  // "%" before a non-hex character: keep the character
      out += in[i + 1];
      i += 1;
      continue;
    }
    if (i + 2 >= in.size()) break;  // "%X" at the end
    int l = hex_val(in[i + 2]);
    if (l >= 0) out += static_cast<char>(h * 16 + l);
    i += 2;  // either the byte, or all three characters dropped
  }
  return out;
}

// The query edit itself, on a copy; returns the reason of a refusal or null.
const char* set_query(std::string* url, const char* key, const std::string& val, int mode) {
  if (mode < URL_SET_ALWAYS || mode > URL_DEL_EXIST) return "unknown mode";
  size_t q = url->find('?');
  if (q == std::string::npos || q + 1 == url->size()) {
    if (q != std::string::npos) url->erase(q);
    if (mode == URL_SET_ALWAYS || mode == URL_SET_NOT_EXIST) str_appendf(url, "?%s=%s", key, val.c_str());
    return nullptr;
  }
  std::string prefix = std::string(key) + "=";
  std::string out = url->substr(0, q);
  std::string_view query = std::string_view(*url).substr(q + 1);
  bool found = false;
  char joiner = '?';
  for (;;) {
    size_t amp = query.find('&');
    std::string_view item = query.substr(0, amp);
    bool is_key = item.substr(0, prefix.size()) == prefix;
    found = found || is_key;
    if (!is_key || mode == URL_SET_NOT_EXIST) {
      out += joiner;
      out += item;
      joiner = '&';
    } else if (mode != URL_DEL_EXIST) {
      str_appendf(&out, "%c%s=%s", joiner, key, val.c_str());
      joiner = '&';
    }
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  if (!found && (mode == URL_SET_ALWAYS || mode == URL_SET_NOT_EXIST))
    str_appendf(&out, "%c%s=%s", joiner, key, val.c_str());
  *url = std::move(out);
  return nullptr;
}

}  // namespace

int url_parser(url_t* u, char* buf, size_t buf_size, const char* text) {
  if (!WY_CHECK(u != nullptr && buf != nullptr && buf_size > 0 && text != nullptr)) return -1;
  *u = url_t{};
  std::string_view raw(text, strnlen(text, URL_BUF_SIZE - 1));
  std::string s(trim_blanks_quotes(raw));
  for (char& c : s) {
    if (c == '\\') c = '/';
  }
  part_writer w(buf, buf_size);
  std::string_view rest(s);
  if (rest.substr(0, 3) == "///") {
    u->scheme = w.put("name");
    rest.remove_prefix(3);
  } else if (size_t p = rest.find("://"); p != std::string_view::npos) {
    u->scheme = w.put(rest.substr(0, p));
    rest.remove_prefix(p + 3);
  } else {
    size_t q = rest.find('?');
    u->scheme = w.put("file");
    u->path = w.put(rest.substr(0, q));
    if (q != std::string_view::npos) u->query = w.put(rest.substr(q + 1));
    return 0;
  }

  // User information: everything before the first "@", wherever it is.
  if (size_t at = rest.find('@'); at != std::string_view::npos) {
    std::string_view info = rest.substr(0, at);
    size_t colon = info.find(':');
    u->user = w.put(info.substr(0, colon));
    if (colon != std::string_view::npos) u->password = w.put(info.substr(colon + 1));
    rest.remove_prefix(at + 1);
  }

  if (!rest.empty() && rest.front() == '[') {
    size_t end = rest.find(']');
    u->host = w.put(rest.substr(1, end == std::string_view::npos ? std::string_view::npos : end - 1));
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
  } else {
    size_t end = rest.find_first_of(" &/:?\\");
    u->host = w.put(rest.substr(0, end));
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
  }

  if (!rest.empty() && rest.front() == ':') {
    rest.remove_prefix(1);
    // Up to 11 digits; held in 64 bits so no count of digits can overflow.
    int64_t port = 0;
    for (int i = 0; i < 11 && !rest.empty() && rest.front() >= '0' && rest.front() <= '9'; ++i) {
      port = port * 10 + (rest.front() - '0');
      rest.remove_prefix(1);
    }
    u->port = port > INT32_MAX ? INT32_MAX : static_cast<int>(port);
  }

  while (!rest.empty() && is_blank(rest.front())) rest.remove_prefix(1);
  size_t end = rest.find_first_of("#?");
  std::string_view path = rest.substr(0, end);
  u->path = w.put(path.empty() ? std::string_view("/") : path);
  rest.remove_prefix(path.size());

  // A fragment before the query ("p#f?q") is skipped over to the query.
  if (size_t q = rest.find('?'); q != std::string_view::npos) rest.remove_prefix(q);
  if (!rest.empty() && rest.front() == '?') {
    while (!rest.empty() && (rest.front() == '?' || is_blank(rest.front()))) rest.remove_prefix(1);
    size_t hash = rest.find('#');
    u->query = w.put(rest.substr(0, hash));
    rest.remove_prefix(hash == std::string_view::npos ? rest.size() : hash);
  }
  if (!rest.empty() && rest.front() == '#') u->fragment = w.put(rest.substr(1));
  return 0;
}

int url_get_path(const char* text, char* out, size_t out_size) {
  if (!WY_CHECK(out != nullptr && out_size > 0)) return -1;
  out[0] = '\0';
  url_t u;
  std::string buf(URL_BUF_SIZE, '\0');
  if (url_parser(&u, buf.data(), buf.size(), text) != 0 || u.path[0] == '\0') return -1;
  str_cpy(out, out_size, u.path);
  return 0;
}

int url_set_query(char* url, size_t url_size, const char* key, const char* val, int mode) {
  const char* why = nullptr;
  std::string escaped;
  if (url == nullptr || url_size == 0) {
    why = "url cannot be null";
  } else if (key == nullptr || val == nullptr) {
    why = "key or val cannot be null";
  } else if (key[0] == '\0') {
    why = "key cannot be empty";
  } else if (strpbrk(key, kKeyForbidden) != nullptr) {
    why = "key cannot contain [" ";/\\\"'?:@# &=" "]";
  } else {
    escaped = escape(val);
    if (escaped.empty() && mode != URL_DEL_EXIST) why = "val cannot be empty";
  }
  std::string s;
  if (why == nullptr) {
    s.assign(url, strnlen(url, url_size));
    why = set_query(&s, key, escaped, mode);
    if (why == nullptr && (s.size() >= url_size || s.size() >= URL_BUF_SIZE)) why = "url too long";
  }
  if (why != nullptr) {
    std::string shown = url ? std::string(url, strnlen(url, url_size)) : std::string();
    LOGE("url=[%s] key=[%s] val=[%s] escape=[%d] mode=[%s] error: %s\n", shown.c_str(),
         key ? key : "(null)", val ? val : "(null)", 1, mode_name(mode), why);
    return -1;
  }
  memcpy(url, s.c_str(), s.size() + 1);
  return 0;
}

int url_set_query(char* url, size_t url_size, const char* key, int val, int mode) {
  return url_set_query(url, url_size, key, std::to_string(val).c_str(), mode);
}

int str_escape_url_args(const char* in, char* out, size_t out_size) {
  if (!WY_CHECK(in != nullptr && out != nullptr && out_size > 0)) return -1;
  std::string e = escape(in);
  if (e.size() >= out_size || e.size() >= URL_BUF_SIZE) {
    out[0] = '\0';
    return -1;
  }
  memcpy(out, e.c_str(), e.size() + 1);
  return 0;
}

int str_unescape_url_args(const char* in, char* out, size_t out_size) {
  if (!WY_CHECK(in != nullptr && out != nullptr)) return -1;
  size_t len = strlen(in);
  // The result is never longer than the text; the text's length plus the NUL
  // is therefore always enough.
  if (out_size <= len) return -1;
  std::string u = unescape(std::string_view(in, len));
  memcpy(out, u.data(), u.size());
  out[u.size()] = '\0';
  return 0;
}

int url_query_get_value(const char* query, const char* key, char* out, size_t out_size) {
  if (!WY_CHECK(query != nullptr && key != nullptr && out != nullptr && out_size > 0)) return -1;
  std::string_view rest(query);
  for (;;) {
    size_t amp = rest.find('&');
    std::string_view item = rest.substr(0, amp);
    size_t eq = item.find('=');
    if (eq == std::string_view::npos) return -1;
    if (trim_blanks(item.substr(0, eq)) == key) {
      std::string v = unescape(trim_blanks(item.substr(eq + 1)));
      if (v.size() >= out_size) return -1;
      memcpy(out, v.data(), v.size());
      out[v.size()] = '\0';
      return 0;
    }
    if (amp == std::string_view::npos) return -1;
    rest.remove_prefix(amp + 1);
  }
}

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
  std::string s(trim_blanks_quotes(path));
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
    s = std::string(trim_blanks(out));
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

std::string url_for_log(const char* url) {
  if (url == nullptr) return "";
  std::string s(url);
  size_t scheme = s.find("://");
  if (scheme != std::string::npos) {
    size_t host = scheme + 3;
    size_t end = s.find_first_of("/?", host);
    if (end == std::string::npos) end = s.size();
    size_t at = s.rfind('@', end);
    if (at != std::string::npos && at >= host) {
      size_t colon = s.find(':', host);
      if (colon != std::string::npos && colon < at) s.replace(colon + 1, at - colon - 1, "***");
    }
  }
  // A proxy URL travels base64-encoded in the query; it may hold a password.
  for (size_t q = s.find('?'); q != std::string::npos;) {
    size_t key = q + 1;
    if (s.compare(key, 10, "proxy_url=") == 0) {
      size_t v = key + 10, e = s.find('&', v);
      s.replace(v, (e == std::string::npos ? s.size() : e) - v, "***");
    }
    q = s.find('&', key);
  }
  return s;
}
