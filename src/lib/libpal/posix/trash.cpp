// Deletion that can be undone: the freedesktop.org trash of the file's
// volume when that volume already has one, else a plain removal.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "file_imp.h"
#include "liblog.h"

WY_LOG_TAG("pal");

namespace {

constexpr int kMaxNameTries = 10000;
constexpr size_t kMaxTrashBase = 200;  // leaves room for ".NNNN.trashinfo" in NAME_MAX

struct trash_dir {
  std::string dir;     // the Trash directory
  std::string prefix;  // stripped from the absolute path for Path= ("" for the home trash)
};

bool is_dir_not_link(const std::string& p, struct stat* sb) {
  return lstat(p.c_str(), sb) == 0 && S_ISDIR(sb->st_mode);
}

std::string url_escape_path(const std::string& p) {
  static const char hex[] = "0123456789ABCDEF";
  std::string r;
  for (unsigned char c : p) {
    if (isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
      r += (char)c;
    } else {
      r += '%';
      r += hex[c >> 4];
      r += hex[c & 15];
    }
  }
  return r;
}

// The absolute spelling of `path` with its parent's links resolved and the
// last component kept as it is (it may itself be a link we are moving).
bool absolute_of(const char* path, std::string* abs) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  size_t s = p.rfind('/');
  std::string parent = s == std::string::npos ? "." : s == 0 ? "/" : p.substr(0, s);
  std::string base = s == std::string::npos ? p : p.substr(s + 1);
  if (base.empty() || base == "." || base == "..") {
    errno = EINVAL;
    return false;
  }
  char* rp = realpath(parent.c_str(), nullptr);
  if (rp == nullptr) return false;
  std::string r = rp;
  free(rp);  // realpath's buffer comes from the C library's allocator
  *abs = (r == "/" ? "" : r) + "/" + base;
  return true;
}

// Mount point of the volume holding `abs`: the highest ancestor on its device.
std::string top_dir_of(const std::string& abs, dev_t dev) {
  std::string top = abs.substr(0, abs.rfind('/'));
  if (top.empty()) return "/";
  for (;;) {
    size_t s = top.rfind('/');
    std::string up = s == 0 ? "/" : top.substr(0, s);
    struct stat sb;
    if (stat(up.c_str(), &sb) < 0 || sb.st_dev != dev) return top;
    if (up == "/") return up;
    top = up;
  }
}

bool find_trash(const std::string& abs, dev_t dev, trash_dir* out) {
  struct stat sb;
  std::string data;
  const char* xdg = getenv("XDG_DATA_HOME");
  if (xdg != nullptr && xdg[0] == '/') {
    data = xdg;
  } else if (const char* home = getenv("HOME"); home != nullptr && home[0] == '/') {
    data = std::string(home) + "/.local/share";
  }
  if (!data.empty() && stat((data + "/Trash").c_str(), &sb) == 0 && S_ISDIR(sb.st_mode) && sb.st_dev == dev) {
    *out = {data + "/Trash", ""};
    return true;
  }
  std::string top = top_dir_of(abs, dev);
  std::string t = (top == "/" ? "" : top) + "/.Trash-" + std::to_string(getuid());
  if (is_dir_not_link(t, &sb) && sb.st_uid == getuid() && sb.st_dev == dev) {
    *out = {t, top == "/" ? "/" : top + "/"};
    return true;
  }
  return false;
}

bool ensure_dir(const std::string& d) {
  if (mkdir(d.c_str(), 0700) == 0) return true;
  struct stat sb;
  return errno == EEXIST && is_dir_not_link(d, &sb);
}

int move_to_trash(const std::string& abs, const trash_dir& t) {
  std::string files = t.dir + "/files", info = t.dir + "/info";
  if (!ensure_dir(files) || !ensure_dir(info)) return -1;
  std::string base = abs.substr(abs.rfind('/') + 1);
  if (base.size() > kMaxTrashBase) {
    size_t n = kMaxTrashBase;
    while (n > 0 && ((unsigned char)base[n] & 0xC0) == 0x80) n--;  // whole UTF-8 characters
    base.resize(n);
  }
  std::string rel = abs;
  if (!t.prefix.empty() && rel.compare(0, t.prefix.size(), t.prefix) == 0) rel.erase(0, t.prefix.size());

  time_t now = time(nullptr);
  struct tm tm;
  localtime_r(&now, &tm);
  char date[64];
  snprintf(date, sizeof date, "%04d-%02d-%02dT%02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
           tm.tm_hour, tm.tm_min, tm.tm_sec);
  std::string body = "[Trash Info]\nPath=" + url_escape_path(rel) + "\nDeletionDate=" + date + "\n";

  for (int i = 1; i <= kMaxNameTries; i++) {
    std::string name = i == 1 ? base : base + "." + std::to_string(i);
    std::string ipath = info + "/" + name + ".trashinfo";
    std::string fpath = files + "/" + name;
    // The info file is the reservation of the name (O_EXCL), as the trash
    // layout asks, so two deleters never pick the same name.
    int fd = open(ipath.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return -1;
    }
    ssize_t w = write(fd, body.data(), body.size());
    int weno = errno;
    close(fd);
    if (w != (ssize_t)body.size()) {
      unlink(ipath.c_str());
      errno = w < 0 ? weno : ENOSPC;
      return -1;
    }
    struct stat sb;
    if (lstat(fpath.c_str(), &sb) == 0) {  // a stale entry without its info file
      unlink(ipath.c_str());
      continue;
    }
    if (rename(abs.c_str(), fpath.c_str()) < 0) {
      int eno = errno;
      unlink(ipath.c_str());
      errno = eno;
      return -1;
    }
    return 0;
  }
  errno = EEXIST;
  return -1;
}

}  // namespace

int os_remove_tree_at(int dfd, const char* name) {
  if (unlinkat(dfd, name, 0) == 0 || errno == ENOENT) return 0;
  if (errno != EISDIR && errno != EPERM) return -1;
  int fd = openat(dfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  DIR* d = fdopendir(fd);
  if (d == nullptr) {
    close(fd);
    return -1;
  }
  int ret = 0;
  while (struct dirent* de = readdir(d)) {
    const char* n = de->d_name;
    if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) continue;
    if (os_remove_tree_at(fd, n) < 0) ret = -1;
  }
  int eno = errno;
  closedir(d);
  if (ret < 0) {
    errno = eno;
    return -1;
  }
  return unlinkat(dfd, name, AT_REMOVEDIR) < 0 && errno != ENOENT ? -1 : 0;
}

int os_win_remove_maybe_recycle(const char* path) {
  if (!WY_CHECK(path)) {
    errno = EINVAL;
    return -1;
  }
  struct stat sb;
  if (lstat(path, &sb) < 0) {
    if (errno == ENOENT) return 0;  // already gone counts as removed
    LOGD("del [%s] errno=%d\n", path, errno);
    return -1;
  }
  std::string abs;
  if (!absolute_of(path, &abs)) {
    LOGD("del [%s] errno=%d\n", path, errno);
    return -1;
  }
  trash_dir t;
  int r;
  if (find_trash(abs, sb.st_dev, &t)) {
    r = move_to_trash(abs, t);
  } else {
    r = os_remove_tree_at(AT_FDCWD, abs.c_str());
  }
  if (r < 0) {
    if (errno == ENOENT) return 0;
    LOGD("del [%s] errno=%d\n", path, errno);
    return -1;
  }
  return 0;
}
