// INI text parser. It reads line by line through a fixed 1024-byte line
// buffer, so a file that loads here loads the same wherever the format is
// read with that limit.
#include <cstring>

#include "iniparser.h"
#include "liblog.h"

WY_LOG_TAG("conf");

namespace {

constexpr size_t kLineSize = 1024;

// Whitespace as the C locale sees it; bytes from 0x80 up never count.
bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

std::string_view strip(std::string_view s) {
  while (!s.empty() && is_ws(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_ws(s.back())) s.remove_suffix(1);
  return s;
}

enum class line_kind { error, empty, comment, section, value };

// Classifies one joined line. For a section `name` is set; for a pair `key`
// and `val`. The rules follow the scanf patterns "[%[^]]", "%[^=] = \"%[^\"]\"",
// "%[^=] = '%[^']'", "%[^=] = %[^;#]", "%[^=] = %[;#]" and "%[^=] %[=]",
// tried in that order.
line_kind classify(std::string_view raw, std::string* name, std::string* key, std::string* val) {
  std::string_view line = strip(raw);
  if (line.empty()) return line_kind::empty;
  if (line[0] == '#' || line[0] == ';') return line_kind::comment;
  if (line[0] == '[' && line.back() == ']') {
    std::string_view in = line.substr(1);
    *name = std::string(strip(in.substr(0, in.find(']'))));
    return line_kind::section;
  }
  // Every remaining pattern starts with "%[^=]" (at least one character)
  // and then needs the "=".
  size_t eq = line.find('=');
  if (eq == 0 || eq == std::string_view::npos) return line_kind::error;
  *key = std::string(strip(line.substr(0, eq)));
  std::string_view rest = line.substr(eq + 1);
  while (!rest.empty() && is_ws(rest.front())) rest.remove_prefix(1);
  if (!rest.empty() && (rest[0] == '"' || rest[0] == '\'')) {
    std::string_view in = rest.substr(1);
    std::string_view quoted = in.substr(0, in.find(rest[0]));
    if (!quoted.empty()) {
      *val = std::string(quoted);  // kept as written, ";" and "#" included
      return line_kind::value;
    }
  }
  std::string_view v = strip(rest.substr(0, rest.find_first_of(";#")));
  if (v == "\"\"" || v == "''") v = {};
  // An empty value here is the "%[;#]" or "%[=]" case: a key with nothing
  // (or only a note) after the "=".
  *val = std::string(v);
  return line_kind::value;
}

// A byte stream read the way fgets reads: up to a limit, stopping after LF,
// with an end flag that is set only once a read ran out of bytes.
class mem_stream {
 public:
  mem_stream(const char* data, size_t size) : data_(data), size_(size) {}
  void skip(size_t n) { pos_ = n < size_ ? n : size_; }
  // Reads into `buf` at most `max` bytes and NUL-terminates; false when
  // nothing could be read.
  bool gets(char* buf, size_t max) {
    if (pos_ >= size_) {
      eof_ = true;
      return false;
    }
    size_t n = 0;
    while (n < max) {
      if (pos_ >= size_) {
        eof_ = true;
        break;
      }
      char c = data_[pos_++];
      buf[n++] = c;
      if (c == '\n') break;
    }
    buf[n] = '\0';
    return true;
  }
  bool eof() const { return eof_; }

 private:
  const char* data_;
  size_t size_;
  size_t pos_ = 0;
  bool eof_ = false;
};

}  // namespace

std::unique_ptr<dictionary> iniparser_load_all(const char* data, size_t size) {
  auto d = std::make_unique<dictionary>();
  mem_stream in(data, size);
  if (size >= 3 && memcmp(data, "\xEF\xBB\xBF", 3) == 0) in.skip(3);

  std::string comments;  // comment and blank lines waiting for their entry
  std::string section;
  char line[kLineSize] = {};
  size_t last = 0;
  int lineno = 0;
  std::string name, key, val;
  while (in.gets(line + last, kLineSize - last - 1)) {
    ++lineno;
    size_t len = strlen(line);
    if (len <= 1) {
      comments += '\n';
      continue;
    }
    if (line[len - 1] != '\n' && !in.eof()) {
      LOGE("input line too long in (%d): \n", lineno);
      return nullptr;
    }
    while (len > 0 && is_ws(line[len - 1])) line[--len] = '\0';
    last = len > 0 ? len - 1 : 0;
    if (line[last] == '\\') {
      LOGD("null_line_3\n");
      continue;  // the next physical line is read over the backslash
    }
    int rc = 0;
    switch (classify(std::string_view(line, len), &name, &key, &val)) {
      case line_kind::error:
        LOGD("syntax error in (%d):\n-> %s\n", lineno, line);
        break;
      case line_kind::empty:
        comments += '\n';
        break;
      case line_kind::comment:
        comments.append(line, len);
        comments += '\n';
        break;
      case line_kind::section:
        section = name;
        rc = dictionary_set(d.get(), section, nullptr, comments.empty() ? nullptr : comments.c_str());
        comments.clear();
        break;
      case line_kind::value:
        rc = dictionary_set(d.get(), section + '\t' + key, val.c_str(),
                            comments.empty() ? nullptr : comments.c_str());
        comments.clear();
        break;
    }
    memset(line, 0, sizeof line);
    last = 0;
    if (rc != 0) {
      LOGE("memory allocation failure\n");
      break;
    }
  }
  d->trailing = std::move(comments);
  return d;
}
