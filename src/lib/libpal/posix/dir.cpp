// Directory listing on POSIX: names with their lstat records, link texts
// and whether a link leads to a directory.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>

#include "file_imp.h"
#include "liblog.h"

WY_LOG_TAG("pal");

struct os_dir {
  DIR* d = nullptr;
  // Set for a listing beneath a root: whether a link leads to a directory
  // is asked beneath the root, never by following the link.
  std::function<bool(const char*)> link_dir;
  ~os_dir() {
    if (d != nullptr) closedir(d);
  }
};

void os_dir_closer::operator()(os_dir* d) const { std::unique_ptr<os_dir> own(d); }

os_dir_uptr os_dir_open(const char* path) {
  if (!WY_CHECK(path)) {
    errno = EINVAL;
    return nullptr;
  }
  DIR* d = opendir(path);
  if (d == nullptr) return nullptr;
  os_dir_uptr r(std::make_unique<os_dir>().release());
  r->d = d;
  return r;
}

os_dir_uptr os_dir_from_fd(int fd, std::function<bool(const char*)> link_dir) {
  DIR* d = fdopendir(fd);
  if (d == nullptr) {
    int eno = errno;
    close(fd);
    errno = eno;
    return nullptr;
  }
  os_dir_uptr r(std::make_unique<os_dir>().release());
  r->d = d;
  r->link_dir = std::move(link_dir);
  return r;
}

int os_dir_read(os_dir* dir, os_dirent* ent) {
  if (!WY_CHECK(dir && ent)) {
    errno = EINVAL;
    return -1;
  }
  int dfd = dirfd(dir->d);
  for (;;) {
    errno = 0;
    struct dirent* de = readdir(dir->d);
    if (de == nullptr) return errno ? -1 : 0;
    const char* n = de->d_name;
    if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) continue;
    ent->name = n;
    ent->link.clear();
    ent->link_is_dir = false;
    if (os_statx_at(dfd, n, AT_SYMLINK_NOFOLLOW, &ent->st) < 0) {
      if (errno == ENOENT) continue;  // removed while we listed
      return -1;
    }
    if (S_ISLNK(ent->st.mode)) {
      char buf[4096];
      ssize_t len = readlinkat(dfd, n, buf, sizeof buf);
      if (len < 0) {
        if (errno == ENOENT) continue;
        return -1;
      }
      // Link texts longer than a path buffer are kept whole.
      if ((size_t)len == sizeof buf) {
        std::string big(1 << 16, '\0');
        len = readlinkat(dfd, n, big.data(), big.size());
        if (len < 0) return -1;
        ent->link.assign(big.data(), (size_t)len);
      } else {
        ent->link.assign(buf, (size_t)len);
      }
      struct stat sb;
      ent->link_is_dir = dir->link_dir ? dir->link_dir(n) : fstatat(dfd, n, &sb, 0) == 0 && S_ISDIR(sb.st_mode);
    }
    ent->st.attrib = os_attrib_from_mode(n, ent->st.mode, ent->link_is_dir);
    return 1;
  }
}

void os_dir_close(os_dir_uptr dir) { dir.reset(); }

int os_dir_list(const char* path, std::vector<os_dirent>* out) {
  if (!WY_CHECK(out)) {
    errno = EINVAL;
    return -1;
  }
  out->clear();
  os_dir_uptr d = os_dir_open(path);
  if (!d) return -1;
  for (;;) {
    os_dirent e;
    int r = os_dir_read(d.get(), &e);
    if (r < 0) return -1;
    if (r == 0) return 0;
    out->push_back(std::move(e));
  }
}
