// The lexical half of the root jail: a peer's path taken apart before
// anything is resolved. Refused paths are never "cleaned" into another one.
#include <cerrno>
#include <string>
#include <string_view>

#include "pal_root.h"

namespace {

bool is_sep(char c) { return c == '/' || c == '\\'; }

int refuse() {
  errno = EACCES;
  return -1;
}

}  // namespace

int os_root_check(std::string_view path, std::string* rel) {
  if (path.empty() || path.size() > OS_ROOT_MAX_PATH) return refuse();
  if (path.find('\0') != std::string_view::npos) return refuse();
  // "C:x", "C:\x": a drive, or a path relative to a drive's current
  // directory, is never a name beneath the root.
  char c0 = path[0];
  if (path.size() >= 2 && path[1] == ':' && ((c0 >= 'A' && c0 <= 'Z') || (c0 >= 'a' && c0 <= 'z'))) return refuse();
  size_t i = 0;
  if (is_sep(path[0])) {
    i = 1;
    // "//host/share" and "\\?\x" are other name spaces, not the root.
    if (i < path.size() && is_sep(path[i])) return refuse();
  }
  std::string out;
  while (i < path.size()) {
    size_t j = i;
    while (j < path.size() && !is_sep(path[j])) j++;
    std::string_view comp = path.substr(i, j - i);
    bool last = j >= path.size() || j + 1 == path.size();  // a single trailing separator ends the path
    if (comp.empty()) return refuse();                     // "a//b", "a/" + "/"
    if (comp == "..") return refuse();
    if (comp != ".") {
      if (!out.empty()) out += '/';
      out.append(comp);
    }
    if (last) break;
    i = j + 1;
  }
  if (rel) *rel = std::move(out);
  return 0;
}
