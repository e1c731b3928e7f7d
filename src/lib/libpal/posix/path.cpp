// Path operations and stat primitives on POSIX: delete, links, junctions,
// directories, attributes and times.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "file_imp.h"
#include "liblog.h"

WY_LOG_TAG("pal");

namespace {

os_time_ns ts_of(const struct statx_timestamp& t) { return {t.tv_sec, t.tv_nsec}; }
os_time_ns ts_of(const struct timespec& t) { return {t.tv_sec, (uint32_t)t.tv_nsec}; }

uint32_t kind_of(uint32_t mode) {
  if (S_ISDIR(mode)) return OS_PATH_DIR;
  if (S_ISBLK(mode)) return OS_PATH_BLOCK;
  return OS_PATH_FILE;
}

struct timespec to_utime(const os_time_ns& t) {
  struct timespec r;
  if (t.sec == 0) {
    r.tv_sec = 0;
    r.tv_nsec = UTIME_OMIT;
  } else {
    r.tv_sec = (time_t)t.sec;
    r.tv_nsec = t.nsec < 1000000000u ? (long)t.nsec : 0;
  }
  return r;
}

// Leaves errno as the failure that the caller is reporting.
void unlink_keep_errno(const char* path) {
  int saved = errno;
  unlink(path);
  errno = saved;
}

}  // namespace

const char* os_path_last(const char* path) {
  if (path == nullptr) return "";
  const char* s = strrchr(path, '/');
  return s ? s + 1 : path;
}

int os_statx_at(int dirfd, const char* path, int at_flags, os_stat_t* st) {
  *st = os_stat_t{};
  struct statx sx;
  if (statx(dirfd, path, at_flags | AT_STATX_SYNC_AS_STAT, STATX_BASIC_STATS | STATX_BTIME, &sx) == 0) {
    st->mode = sx.stx_mode;
    st->uid = sx.stx_uid;
    st->gid = sx.stx_gid;
    st->size = sx.stx_size;
    st->nlink = sx.stx_nlink;
    st->dev = ((uint64_t)sx.stx_dev_major << 32) | sx.stx_dev_minor;
    st->ino = sx.stx_ino;
    st->atime = ts_of(sx.stx_atime);
    st->mtime = ts_of(sx.stx_mtime);
    st->ctime = ts_of(sx.stx_ctime);
    if (sx.stx_mask & STATX_BTIME) st->btime = ts_of(sx.stx_btime);
    st->kind = kind_of(st->mode);
    return 0;
  }
  if (errno != ENOSYS) return -1;
  // Kernels before statx: no birth time.
  struct stat sb;
  if (fstatat(dirfd, path, &sb, at_flags) < 0) return -1;
  st->mode = sb.st_mode;
  st->uid = sb.st_uid;
  st->gid = sb.st_gid;
  st->size = (uint64_t)sb.st_size;
  st->nlink = sb.st_nlink;
  st->dev = sb.st_dev;
  st->ino = sb.st_ino;
  st->atime = ts_of(sb.st_atim);
  st->mtime = ts_of(sb.st_mtim);
  st->ctime = ts_of(sb.st_ctim);
  st->kind = kind_of(st->mode);
  return 0;
}

uint32_t os_attrib_from_mode(const char* name, uint32_t st_mode, bool link_is_dir) {
  uint32_t a = 0;
  bool link = S_ISLNK(st_mode);
  a |= (S_ISDIR(st_mode) || (link && link_is_dir)) ? OS_ATTR_DIRECTORY : OS_ATTR_ARCHIVE;
  if (!(st_mode & S_IWUSR)) a |= OS_ATTR_READONLY;
  if (name != nullptr && name[0] == '.') a |= OS_ATTR_HIDDEN;
  if (link) a |= OS_ATTR_LINK;
  return a;
}

int os_file_stat(const char* path, bool follow, os_stat_t* st) {
  if (!WY_CHECK(path && st)) {
    errno = EINVAL;
    return -1;
  }
  if (os_statx_at(AT_FDCWD, path, follow ? 0 : AT_SYMLINK_NOFOLLOW, st) < 0) return -1;
  bool link_is_dir = false;
  if (S_ISLNK(st->mode)) {
    struct stat sb;
    link_is_dir = stat(path, &sb) == 0 && S_ISDIR(sb.st_mode);
  }
  st->attrib = os_attrib_from_mode(os_path_last(path), st->mode, link_is_dir);
  return 0;
}

int os_readlink(const char* path, std::string* target) {
  if (!WY_CHECK(path && target)) {
    errno = EINVAL;
    return -1;
  }
  std::string buf(256, '\0');
  for (;;) {
    ssize_t n = readlink(path, buf.data(), buf.size());
    if (n < 0) return -1;
    if ((size_t)n < buf.size()) {
      buf.resize((size_t)n);
      *target = std::move(buf);
      return 0;
    }
    if (buf.size() >= (1u << 20)) {
      errno = ENAMETOOLONG;
      return -1;
    }
    buf.resize(buf.size() * 4);
  }
}

bool os_path_exists(const char* path) {
  struct stat sb;
  return path != nullptr && lstat(path, &sb) == 0;
}

int os_path_resolve(const char* path, std::string* out) {
  if (!WY_CHECK(path && out)) {
    errno = EINVAL;
    return -1;
  }
  std::string p = path;
  if (p.empty()) {
    errno = ENOENT;
    return -1;
  }
  if (p[0] != '/') {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) return -1;
    p = std::string(cwd) + "/" + p;
  }
  // The deepest existing ancestor is resolved by the kernel; the rest, which
  // holds no links yet, is appended component by component.
  std::vector<std::string> tail;
  std::string head = p;
  char* real = nullptr;
  while ((real = realpath(head.c_str(), nullptr)) == nullptr) {
    if (errno != ENOENT && errno != ENOTDIR) return -1;
    while (head.size() > 1 && head.back() == '/') head.pop_back();
    size_t cut = head.find_last_of('/');
    if (cut == std::string::npos) return -1;
    tail.push_back(head.substr(cut + 1));
    head = cut == 0 ? "/" : head.substr(0, cut);
  }
  std::string r = real;
  free(real);
  for (auto it = tail.rbegin(); it != tail.rend(); ++it) {
    if (it->empty() || *it == ".") continue;
    if (*it == "..") {
      size_t cut = r.find_last_of('/');
      r = cut == 0 || cut == std::string::npos ? "/" : r.substr(0, cut);
      continue;
    }
    if (r.back() != '/') r += '/';
    r += *it;
  }
  *out = std::move(r);
  return 0;
}

// ---------------------------------------------------------------------------
// Attributes and times.

int os_apply_attrib(int fd, const char* path, uint32_t attrib) {
  struct stat sb;
  if ((fd >= 0 ? fstat(fd, &sb) : stat(path, &sb)) < 0) return -1;
  mode_t m = sb.st_mode & 07777;
  mode_t nm = (attrib & OS_ATTR_READONLY) ? (m & ~(mode_t)0222) : (m | S_IWUSR);
  if (nm == m) return 0;
  return (fd >= 0 ? fchmod(fd, nm) : chmod(path, nm)) < 0 ? -1 : 0;
}

namespace {

// Our effective user never changes while we run.
bool is_root() {
  static const bool root = geteuid() == 0;
  return root;
}

int apply_stat(int fd, const char* path, bool follow, const os_set_stat* st, const os_known_owner* known) {
  struct stat sb;
  sb.st_mode = 0;
  // Through an open file with a mode given there is nothing to look up: a
  // descriptor is never a link and the old mode is not needed.
  bool need_stat = fd < 0 || st->mode == 0;
  if (need_stat && (fd >= 0 ? fstat(fd, &sb) : follow ? stat(path, &sb) : lstat(path, &sb)) < 0) return -1;
  bool link = S_ISLNK(sb.st_mode);
  // What the open found may stand for the file only without set-id bits:
  // writes and owner changes may clear those behind our back.
  if (known != nullptr && (!known->valid || fd < 0 || (known->mode & 06000) != 0)) known = nullptr;
  // Owners first: chown clears set-id bits that the mode may want back.
  bool same_owner = known != nullptr && known->uid == st->uid && known->gid == st->gid;
  if (st->set_owner && is_root() && !same_owner) {
    int r = fd >= 0 ? fchown(fd, st->uid, st->gid)
                    : link ? lchown(path, st->uid, st->gid) : chown(path, st->uid, st->gid);
    if (r < 0) return -1;
  }
  if (!link && (st->mode != 0 || (st->attrib & OS_ATTR_READONLY))) {
    mode_t m = st->mode != 0 ? (mode_t)(st->mode & 07777) : (sb.st_mode & 07777);
    if (st->attrib & OS_ATTR_READONLY) m &= ~(mode_t)0222;
    bool same_mode = known != nullptr && (known->mode & 07777) == m;
    if (!same_mode && (fd >= 0 ? fchmod(fd, m) : chmod(path, m)) < 0) return -1;
  }
  // The creation time cannot be set on POSIX; only access and write times.
  if (st->times.atime.sec != 0 || st->times.mtime.sec != 0) {
    struct timespec ts[2] = {to_utime(st->times.atime), to_utime(st->times.mtime)};
    int r = fd >= 0 ? futimens(fd, ts) : utimensat(AT_FDCWD, path, ts, link ? AT_SYMLINK_NOFOLLOW : 0);
    if (r < 0) return -1;
  }
  return 0;
}

}  // namespace

int os_apply_stat(int fd, const char* path, bool follow, const os_set_stat* st, os_known_owner* known) {
  if (apply_stat(fd, path, follow, st, known) < 0) {
    if (known != nullptr) known->valid = false;
    return -1;
  }
  if (known != nullptr) {
    // What was set is what the file has now.
    if (st->set_owner && is_root()) known->uid = st->uid, known->gid = st->gid;
    if (st->attrib & OS_ATTR_READONLY) known->valid = false;
    else if (st->mode != 0) known->mode = (known->mode & ~07777u) | (st->mode & 07777);
  }
  return 0;
}

int os_file_set_stat(os_file2* file, const os_set_stat* st) {
  if (!WY_CHECK(file && st)) {
    errno = EINVAL;
    return -1;
  }
  return os_file_ioctl(file, OS_IOCTL_SET_STAT_IMP, const_cast<os_set_stat*>(st)) ? 0 : -1;
}

int os_path_set_stat(const char* path, const os_set_stat* st) {
  if (!WY_CHECK(path && st)) {
    errno = EINVAL;
    return -1;
  }
  return os_apply_stat(-1, path, false, st);
}

int os_path_set_times(const char* path, const os_file_times* t, bool follow) {
  if (!WY_CHECK(path && t)) {
    errno = EINVAL;
    return -1;
  }
  struct timespec ts[2] = {to_utime(t->atime), to_utime(t->mtime)};
  return utimensat(AT_FDCWD, path, ts, follow ? 0 : AT_SYMLINK_NOFOLLOW) < 0 ? -1 : 0;
}

int os_path_set_attrib(const char* path, uint32_t attrib) {
  if (!WY_CHECK(path)) {
    errno = EINVAL;
    return -1;
  }
  return os_apply_attrib(-1, path, attrib);
}

// ---------------------------------------------------------------------------
// Delete, links, directories.

int os_file_delete(const char* path) {
  if (!WY_CHECK(path)) {
    errno = EINVAL;
    return -1;
  }
  return unlink(path) < 0 ? -1 : 0;
}

int os_symlink2(const char* link, const char* target, bool is_dir, const os_set_stat* st) {
  (void)is_dir;  // a POSIX link has no kind of its own
  if (!WY_CHECK(link && target)) {
    errno = EINVAL;
    return -1;
  }
  // Long-path prefixes are Windows spelling, never part of the target.
  if (strncmp(target, "\\\\?\\", 4) == 0) target += 4;
  else if (strncmp(target, "\\?\\", 3) == 0) target += 3;
  if (symlink(target, link) < 0) {
    if (errno != ENOENT) return -1;
    int eno = errno;
    if (os_mkdirs_parent(link) < 0) {
      errno = eno;
      return -1;
    }
    if (symlink(target, link) < 0) return -1;
  }
  if (st != nullptr && os_apply_stat(-1, link, false, st) < 0) {
    unlink_keep_errno(link);
    return -1;
  }
  return 0;
}

int os_create_junction(const char* path, const char* target, const os_set_stat* st) {
  if (!WY_CHECK(path && target)) {
    errno = EINVAL;
    return -1;
  }
  if (strncmp(target, "\\??\\", 4) == 0) target += 4;
  std::string full = target;
  if (target[0] != '/') {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) return -1;
    full = std::string(cwd) + (cwd[1] ? "/" : "") + target;
  }
  return os_symlink2(path, full.c_str(), true, st);
}

int os_mkdirs(const char* path) {
  if (!WY_CHECK(path)) {
    errno = EINVAL;
    return -1;
  }
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  if (p.empty()) {
    errno = ENOENT;
    return -1;
  }
  // Something that is not a directory on the way is refused as access
  // denied, the answer callers already act on.
  auto make = [](const std::string& dir) {
    if (mkdir(dir.c_str(), 0777) == 0) return 0;
    int eno = errno;
    struct stat sb;
    if (eno == EEXIST || eno == ENOTDIR) {
      if (eno == EEXIST && stat(dir.c_str(), &sb) == 0 && S_ISDIR(sb.st_mode)) return 0;
      errno = EACCES;
      return -1;
    }
    errno = eno;
    return -1;
  };
  for (size_t i = 1; i < p.size(); i++) {
    if (p[i] != '/' || p[i - 1] == '/') continue;
    std::string prefix = p.substr(0, i);
    struct stat sb;
    if (stat(prefix.c_str(), &sb) == 0) {
      if (!S_ISDIR(sb.st_mode)) {
        errno = EACCES;
        return -1;
      }
      continue;
    }
    if (errno != ENOENT || make(prefix) < 0) return -1;
  }
  return make(p);
}

int os_mkdirs_parent(const char* path) {
  if (!WY_CHECK(path)) {
    errno = EINVAL;
    return -1;
  }
  const char* s = strrchr(path, '/');
  if (s == nullptr || s == path) return 0;
  return os_mkdirs(std::string(path, (size_t)(s - path)).c_str());
}

int os_rmdir(const char* path) {
  if (!WY_CHECK(path)) {
    errno = EINVAL;
    return -1;
  }
  return rmdir(path) < 0 ? -1 : 0;
}
