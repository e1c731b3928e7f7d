// The root jail on Linux: peer paths resolved beneath one directory
// descriptor by openat2(RESOLVE_BENEATH), or by a component-by-component
// O_NOFOLLOW walk where the kernel lacks it. Every step after the
// resolution is an *at() call on the verified parent or an f*() call on the
// opened object; a peer's path never reaches a path-based system call.
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "file_imp.h"
#include "liblog.h"
#include "pal_root.h"

WY_LOG_TAG("pal");

namespace {

constexpr int kMaxLinks = 40;         // as the kernel's own limit on nested links
constexpr int kOpenat2Retries = 64;   // EAGAIN: a rename raced the lookup
constexpr int kMaxTrashTries = 1000;  // fresh names tried in the trash
constexpr int kMaxUpLevels = 4096;    // parents walked to find the trash's ancestors

std::atomic<bool> g_force_walk{false};
std::atomic<bool> g_no_openat2{false};  // the kernel answered ENOSYS once

/// Closes its descriptor at scope end; errno is kept across the close.
class fd_own {
 public:
  explicit fd_own(int fd = -1) : fd_(fd) {}
  ~fd_own() { reset(); }
  fd_own(fd_own&& o) noexcept : fd_(o.release()) {}
  fd_own& operator=(fd_own&& o) noexcept {
    if (this != &o) {
      reset();
      fd_ = o.release();
    }
    return *this;
  }
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  int release() {
    int f = fd_;
    fd_ = -1;
    return f;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0) {
      int eno = errno;
      close(fd_);
      errno = eno;
    }
    fd_ = fd;
  }

 private:
  int fd_;
};

int fail(int eno) {
  errno = eno;
  return -1;
}

}  // namespace

/// The descriptor of the served directory, shared with the listings and
/// files opened beneath it so that they never outlive it.
struct os_root_dir {
  int fd = -1;
  uint64_t dev = 0, ino = 0;
  ~os_root_dir() {
    if (fd >= 0) close(fd);
  }
};

struct os_root {
  std::shared_ptr<os_root_dir> dir;
  int trash_fd = -1;
  mutable std::atomic<uint64_t> trash_seq{0};
  ~os_root() {
    if (trash_fd >= 0) close(trash_fd);
  }
};

namespace {

std::vector<std::string> split_native(const std::string& s) {
  std::vector<std::string> v;
  size_t i = 0;
  while (i <= s.size()) {
    size_t j = s.find('/', i);
    if (j == std::string::npos) j = s.size();
    v.push_back(s.substr(i, j - i));
    i = j + 1;
  }
  return v;
}

// The text of the link `name` beneath `dfd`; with an empty name, of the
// link that `dfd` itself is (opened O_PATH | O_NOFOLLOW).
int read_link_at(int dfd, const char* name, std::string* out) {
  std::string buf(256, '\0');
  for (;;) {
    ssize_t n = readlinkat(dfd, name, buf.data(), buf.size());
    if (n < 0) return -1;
    if ((size_t)n < buf.size()) {
      buf.resize((size_t)n);
      *out = std::move(buf);
      return 0;
    }
    if (buf.size() >= (1u << 20)) return fail(ENAMETOOLONG);
    buf.resize(buf.size() * 4);
  }
}

// The walk for kernels without openat2. Each component is opened with
// O_PATH | O_NOFOLLOW beneath the descriptor of the one before it, so a
// directory swapped for a link is seen as a link, never passed through. A
// link is resolved by hand: an absolute text is refused; a relative one is
// spliced into what is left, its ".." going back to a directory already
// opened on the way, and one that climbs above the root is refused.
int walk_beneath(int rootfd, const std::string& rel, int flags, mode_t mode, bool follow_last) {
  std::deque<std::string> todo;
  if (!rel.empty())
    for (auto& c : split_native(rel)) todo.push_back(std::move(c));
  std::vector<fd_own> stack;
  int links = 0;
  auto cur = [&] { return stack.empty() ? rootfd : stack.back().get(); };
  auto open_last = [&](const char* name) {
    int fd;
    do fd = openat(cur(), name, flags | O_NOFOLLOW | O_CLOEXEC, mode); while (fd < 0 && errno == EINTR);
    return fd;
  };
  auto splice = [&](const std::string& target) {
    if (++links > kMaxLinks) return fail(ELOOP);
    if (target.empty()) return fail(ENOENT);
    if (target[0] == '/') return fail(EACCES);
    std::vector<std::string> parts = split_native(target);
    for (auto it = parts.rbegin(); it != parts.rend(); ++it) todo.push_front(*it);
    return 0;
  };
  if (todo.empty()) return open_last(".");
  while (!todo.empty()) {
    std::string c = std::move(todo.front());
    todo.pop_front();
    bool last = todo.empty();
    if (c.empty() || c == "." || c == "..") {
      if (c == "..") {
        if (stack.empty()) return fail(EACCES);
        stack.pop_back();
      }
      if (last) return open_last(".");
      continue;
    }
    if (last) {
      int fd = open_last(c.c_str());
      if (fd >= 0) {
        struct stat sb;
        // O_PATH | O_NOFOLLOW opens a link itself.
        if (!follow_last || !(flags & O_PATH) || fstat(fd, &sb) < 0 || !S_ISLNK(sb.st_mode)) return fd;
        std::string target;
        int r = read_link_at(fd, "", &target);
        close(fd);
        if (r < 0 || splice(target) < 0) return -1;
        continue;
      }
      int eno = errno;
      struct stat sb;
      if (!follow_last || (eno != ELOOP && eno != ENOTDIR) || fstatat(cur(), c.c_str(), &sb, AT_SYMLINK_NOFOLLOW) < 0 ||
          !S_ISLNK(sb.st_mode))
        return fail(eno);
      std::string target;
      if (read_link_at(cur(), c.c_str(), &target) < 0 || splice(target) < 0) return -1;
      continue;
    }
    fd_own fd(openat(cur(), c.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.ok()) return -1;
    struct stat sb;
    if (fstat(fd.get(), &sb) < 0) return -1;
    if (S_ISLNK(sb.st_mode)) {
      std::string target;
      if (read_link_at(fd.get(), "", &target) < 0 || splice(target) < 0) return -1;
      continue;
    }
    if (!S_ISDIR(sb.st_mode)) return fail(ENOTDIR);
    stack.push_back(std::move(fd));
  }
  return fail(ENOENT);  // not reached: the last component returns above
}

// `rel` (a checked relative path, "" for the root) opened with `flags`
// beneath the root. The last component is followed only with follow_last,
// and then only where it stays beneath. An escape is EACCES.
int open_beneath(const os_root_dir& d, const std::string& rel, int flags, mode_t mode, bool follow_last) {
  if (!(flags & (O_CREAT | O_TMPFILE))) mode = 0;  // openat2 refuses a mode it does not use
  if (!g_force_walk.load(std::memory_order_relaxed) && !g_no_openat2.load(std::memory_order_relaxed)) {
    struct open_how how = {};
    how.flags = (uint64_t)(flags | O_CLOEXEC | (follow_last ? 0 : O_NOFOLLOW));
    how.mode = mode;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    const char* p = rel.empty() ? "." : rel.c_str();
    for (int i = 0; i < kOpenat2Retries; i++) {
      long fd = syscall(SYS_openat2, d.fd, p, &how, sizeof how);
      if (fd >= 0) return (int)fd;
      if (errno == EINTR || errno == EAGAIN) continue;
      if (errno == EXDEV) return fail(EACCES);  // the path leads out of the root
      if (errno != ENOSYS) return -1;
      g_no_openat2 = true;
      LOGI("openat2 missing: paths beneath a root are walked component by component\n");
      break;
    }
    // Still EAGAIN after the retries: the walk needs no retry.
  }
  int fd = walk_beneath(d.fd, rel, flags, mode, follow_last);
  if (fd < 0 && errno == EXDEV) errno = EACCES;
  return fd;
}

// Splits a checked relative path into its parent and last component.
void split_last(const std::string& rel, std::string* parent, std::string* name) {
  size_t s = rel.rfind('/');
  *parent = s == std::string::npos ? std::string() : rel.substr(0, s);
  *name = s == std::string::npos ? rel : rel.substr(s + 1);
}

// The verified parent directory of `rel` (not the root itself) as an
// O_PATH descriptor, and the last component beneath it.
int open_parent(const os_root_dir& d, const std::string& rel, std::string* name) {
  std::string parent;
  split_last(rel, &parent, name);
  return open_beneath(d, parent, O_PATH | O_DIRECTORY, 0, true);
}

// Checks `path` and refuses the root itself where an operation cannot take it.
int check(const char* path, std::string* rel, bool root_ok) {
  if (path == nullptr) return fail(EINVAL);
  if (os_root_check(path, rel) < 0) return -1;
  if (!root_ok && rel->empty()) return fail(EACCES);
  return 0;
}

// True when `rel` resolves, links followed, to a directory beneath the root.
bool is_dir_beneath(const os_root_dir& d, const std::string& rel) {
  int eno = errno;
  fd_own fd(open_beneath(d, rel, O_PATH | O_DIRECTORY, 0, true));
  errno = eno;
  return fd.ok();
}

struct timespec utime_of(const os_time_ns& t) {
  struct timespec r;
  r.tv_sec = (time_t)t.sec;
  r.tv_nsec = t.sec == 0 ? UTIME_OMIT : t.nsec < 1000000000u ? (long)t.nsec : 0;
  return r;
}

// A link's own times and owners, on its verified parent.
int apply_link_stat(int pfd, const char* name, const os_set_stat* st) {
  static const bool is_root = geteuid() == 0;
  if (st->set_owner && is_root && fchownat(pfd, name, st->uid, st->gid, AT_SYMLINK_NOFOLLOW) < 0) return -1;
  if (st->times.atime.sec != 0 || st->times.mtime.sec != 0) {
    struct timespec ts[2] = {utime_of(st->times.atime), utime_of(st->times.mtime)};
    if (utimensat(pfd, name, ts, AT_SYMLINK_NOFOLLOW) < 0) return -1;
  }
  return 0;
}

// Applies `st` to the object open as `fd` (O_PATH, never a link). An O_PATH
// descriptor takes neither fchmod nor futimens, so the call goes through its
// /proc/self/fd entry, which names this very object and no path of a peer.
// Without /proc the object is opened again beneath its parent, and used
// only when it is still the same one.
int apply_object_stat(int fd, int pfd, const char* name, const os_set_stat* st) {
  char proc[64];
  snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
  if (os_apply_stat(-1, proc, true, st) == 0) return 0;
  if (errno != ENOENT || pfd < 0) return -1;
  struct stat want, got;
  if (fstat(fd, &want) < 0) return -1;
  int of = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (S_ISDIR(want.st_mode) ? O_DIRECTORY : 0);
  fd_own again(openat(pfd, name, of));
  if (!again.ok()) return -1;
  if (fstat(again.get(), &got) < 0) return -1;
  if (got.st_dev != want.st_dev || got.st_ino != want.st_ino) return fail(ENOENT);
  return os_apply_stat(again.get(), nullptr, true, st);
}

int set_stat_beneath(const os_root_dir& d, const std::string& rel, const os_set_stat* st) {
  if (rel.empty()) return apply_object_stat(d.fd, -1, nullptr, st);
  std::string name;
  fd_own pfd(open_parent(d, rel, &name));
  if (!pfd.ok()) return -1;
  fd_own fd(openat(pfd.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.ok()) return -1;
  struct stat sb;
  if (fstat(fd.get(), &sb) < 0) return -1;
  if (S_ISLNK(sb.st_mode)) return apply_link_stat(pfd.get(), name.c_str(), st);
  return apply_object_stat(fd.get(), pfd.get(), name.c_str(), st);
}

int mkdirs_beneath(const os_root_dir& d, const std::string& rel) {
  if (rel.empty()) return 0;
  {
    fd_own fd(open_beneath(d, rel, O_PATH | O_DIRECTORY, 0, true));
    if (fd.ok()) return 0;
    // Something that is not a directory on the way is access denied, as
    // os_mkdirs answers.
    if (errno == ENOTDIR) return fail(EACCES);
    if (errno != ENOENT) return -1;
  }
  // Each prefix is resolved from the root again and a missing one created
  // beneath the descriptor of the prefix before it.
  std::vector<std::string> comps = split_native(rel);
  fd_own cur;
  std::string prefix;
  for (const std::string& c : comps) {
    if (!prefix.empty()) prefix += '/';
    prefix += c;
    fd_own next(open_beneath(d, prefix, O_PATH | O_DIRECTORY, 0, true));
    if (!next.ok()) {
      if (errno == ENOTDIR) return fail(EACCES);
      if (errno != ENOENT) return -1;
      if (mkdirat(cur.ok() ? cur.get() : d.fd, c.c_str(), 0777) < 0 && errno != EEXIST) return -1;
      next.reset(open_beneath(d, prefix, O_PATH | O_DIRECTORY, 0, true));
      if (!next.ok()) {
        // A file or a dangling link stands where the directory should be.
        if (errno == ENOTDIR || errno == ENOENT || errno == ELOOP) return fail(EACCES);
        return -1;
      }
    }
    cur = std::move(next);
  }
  return 0;
}

// A name in the trash no one has used: the time, a counter and the last
// component, cut to fit NAME_MAX.
std::string trash_name(const os_root* r, const std::string& last) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  char head[64];
  snprintf(head, sizeof head, "%lld.%09ld-%llu-", (long long)ts.tv_sec, ts.tv_nsec,
           (unsigned long long)r->trash_seq.fetch_add(1));
  std::string n = head;
  size_t room = 255 - n.size();
  std::string tail = last.substr(0, room);
  while (!tail.empty() && tail.size() < last.size() && ((unsigned char)last[tail.size()] & 0xC0) == 0x80)
    tail.pop_back();  // whole UTF-8 characters
  return n + tail;
}

int move_to_trash(const os_root* r, int pfd, const std::string& name) {
  for (int i = 0; i < kMaxTrashTries; i++) {
    std::string fresh = trash_name(r, name);
    // Never over something already in the trash.
    if (renameat2(pfd, name.c_str(), r->trash_fd, fresh.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno == EEXIST) continue;
    if (errno != EINVAL && errno != ENOSYS) return -1;
    // A file system without RENAME_NOREPLACE: the name is fresh by its
    // counter, checked once more just before.
    struct stat sb;
    if (fstatat(r->trash_fd, fresh.c_str(), &sb, AT_SYMLINK_NOFOLLOW) == 0) continue;
    return renameat(pfd, name.c_str(), r->trash_fd, fresh.c_str()) < 0 ? -1 : 0;
  }
  return fail(EEXIST);
}

// True when the directory open as `fd` is the root or lies beneath it:
// its parents are walked up by descriptor to the top of the tree.
bool inside_root(const os_root_dir& d, int fd) {
  fd_own cur(fcntl(fd, F_DUPFD_CLOEXEC, 0));
  if (!cur.ok()) return false;
  for (int i = 0; i < kMaxUpLevels; i++) {
    struct stat sb;
    if (fstat(cur.get(), &sb) < 0) return false;
    if ((uint64_t)sb.st_dev == d.dev && (uint64_t)sb.st_ino == d.ino) return true;
    fd_own up(openat(cur.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!up.ok()) return false;
    struct stat ub;
    if (fstat(up.get(), &ub) < 0) return false;
    if (ub.st_dev == sb.st_dev && ub.st_ino == sb.st_ino) return false;  // the top
    cur = std::move(up);
  }
  return false;
}

}  // namespace

void os_root_force_walk(bool on) { g_force_walk = on; }

os_root* os_root_open(const char* dir) {
  if (!WY_CHECK(dir)) {
    errno = EINVAL;
    return nullptr;
  }
  int fd;
  do fd = open(dir, O_PATH | O_DIRECTORY | O_CLOEXEC); while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    LOGX(LV_DBG | LV_SYS, "open root [%s] error: ", dir);
    return nullptr;
  }
  auto d = std::make_shared<os_root_dir>();
  d->fd = fd;
  struct stat sb;
  if (fstat(fd, &sb) < 0) return nullptr;
  d->dev = sb.st_dev;
  d->ino = sb.st_ino;
  auto r = std::make_unique<os_root>();
  r->dir = std::move(d);
  return r.release();
}

void os_root_close(os_root* r) { std::unique_ptr<os_root> own(r); }

int os_root_set_trash(os_root* r, const char* trash) {
  if (!WY_CHECK(r && trash)) return fail(EINVAL);
  fd_own fd(open(trash, O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!fd.ok()) return -1;
  struct stat sb;
  if (fstat(fd.get(), &sb) < 0) return -1;
  // A rename is the whole move: it works only on the root's file system.
  if ((uint64_t)sb.st_dev != r->dir->dev) {
    LOGE("trash [%s] is on another file system than the root\n", trash);
    return fail(EXDEV);
  }
  // A trash a peer could reach would hand back what others removed.
  if (inside_root(*r->dir, fd.get())) {
    LOGE("trash [%s] lies inside the root\n", trash);
    return fail(EINVAL);
  }
  if (r->trash_fd >= 0) close(r->trash_fd);
  r->trash_fd = fd.release();
  return 0;
}

os_file2* os_at_file_open(const os_root* r, const char* path, uint64_t flags) {
  if (r == nullptr) return os_file_open(path, flags);
  std::string rel;
  if (check(path, &rel, true) < 0) return nullptr;
  if (flags & OS_FILE_SHADOW) {
    errno = ENOTSUP;
    return nullptr;
  }
  bool writable = false;
  int of = os_file_open_flags(flags, &writable);
  const os_root_dir& d = *r->dir;
  int fd = open_beneath(d, rel, of, 0666, false);
  if (fd < 0 && errno == ENOENT && (of & O_CREAT) && !rel.empty()) {
    std::string parent, name;
    split_last(rel, &parent, &name);
    int eno = errno;
    if (mkdirs_beneath(d, parent) == 0) {
      fd = open_beneath(d, rel, of, 0666, false);
    } else {
      errno = eno;
    }
  }
  if (fd < 0 && errno == EISDIR && !writable) fd = open_beneath(d, rel, O_RDONLY | O_DIRECTORY, 0, false);
  // A peer never opens through a link: whatever it points at, the answer
  // is the jail's (the link may lead out).
  if (fd < 0 && errno == ELOOP) errno = EACCES;
  if (fd < 0) {
    LOGX(LV_DBG | LV_SYS, "open [%s] flags=0x%llx error: ", path, (unsigned long long)flags);
    return nullptr;
  }
  auto f = std::make_unique<os_file2>();
  f->path = path;
  std::shared_ptr<os_root_dir> keep = r->dir;
  auto unlink_hook = [keep, rel]() -> int {
    if (rel.empty()) return fail(EACCES);
    std::string name;
    fd_own pfd(open_parent(*keep, rel, &name));
    if (!pfd.ok()) return -1;
    return unlinkat(pfd.get(), name.c_str(), 0) < 0 ? -1 : 0;
  };
  f->ops = os_file_local_from_fd(fd, rel.empty() ? "." : rel.c_str(), flags, unlink_hook);
  if (!f->ops) return nullptr;
  return f.release();
}

int os_at_stat(const os_root* r, const char* path, os_stat_t* st) {
  if (r == nullptr) return os_file_stat(path, false, st);
  if (!WY_CHECK(st)) return fail(EINVAL);
  std::string rel;
  if (check(path, &rel, true) < 0) return -1;
  const os_root_dir& d = *r->dir;
  if (rel.empty()) {
    if (os_statx_at(d.fd, "", AT_EMPTY_PATH, st) < 0) return -1;
    st->attrib = os_attrib_from_mode(nullptr, st->mode, false);
    return 0;
  }
  std::string name;
  fd_own pfd(open_parent(d, rel, &name));
  if (!pfd.ok()) return -1;
  if (os_statx_at(pfd.get(), name.c_str(), AT_SYMLINK_NOFOLLOW, st) < 0) return -1;
  bool link_is_dir = S_ISLNK(st->mode) && is_dir_beneath(d, rel);
  st->attrib = os_attrib_from_mode(name.c_str(), st->mode, link_is_dir);
  return 0;
}

int os_at_readlink(const os_root* r, const char* path, std::string* target) {
  if (r == nullptr) return os_readlink(path, target);
  if (!WY_CHECK(target)) return fail(EINVAL);
  std::string rel, name;
  if (check(path, &rel, false) < 0) return -1;
  fd_own pfd(open_parent(*r->dir, rel, &name));
  if (!pfd.ok()) return -1;
  return read_link_at(pfd.get(), name.c_str(), target);
}

os_dir_uptr os_at_dir_open(const os_root* r, const char* path) {
  if (r == nullptr) return os_dir_open(path);
  std::string rel;
  if (check(path, &rel, true) < 0) return nullptr;
  int fd = open_beneath(*r->dir, rel, O_RDONLY | O_DIRECTORY, 0, true);
  if (fd < 0) return nullptr;
  std::shared_ptr<os_root_dir> keep = r->dir;
  std::string base = rel.empty() ? std::string() : rel + "/";
  return os_dir_from_fd(fd, [keep, base](const char* name) { return is_dir_beneath(*keep, base + name); });
}

int os_at_mkdirs(const os_root* r, const char* path) {
  if (r == nullptr) return os_mkdirs(path);
  std::string rel;
  if (check(path, &rel, true) < 0) return -1;
  return mkdirs_beneath(*r->dir, rel);
}

int os_at_set_stat(const os_root* r, const char* path, const os_set_stat* st) {
  if (r == nullptr) return os_path_set_stat(path, st);
  if (!WY_CHECK(st)) return fail(EINVAL);
  std::string rel;
  if (check(path, &rel, true) < 0) return -1;
  return set_stat_beneath(*r->dir, rel, st);
}

int os_at_set_times(const os_root* r, const char* path, const os_file_times* t) {
  if (r == nullptr) return os_path_set_times(path, t, false);
  if (!WY_CHECK(t)) return fail(EINVAL);
  std::string rel;
  if (check(path, &rel, true) < 0) return -1;
  os_set_stat st;
  st.times = *t;
  return set_stat_beneath(*r->dir, rel, &st);
}

int os_at_unlink(const os_root* r, const char* path) {
  if (r == nullptr) return os_file_delete(path);
  std::string rel, name;
  if (check(path, &rel, false) < 0) return -1;
  fd_own pfd(open_parent(*r->dir, rel, &name));
  if (!pfd.ok()) return -1;
  return unlinkat(pfd.get(), name.c_str(), 0) < 0 ? -1 : 0;
}

int os_at_rmdir(const os_root* r, const char* path) {
  if (r == nullptr) return os_rmdir(path);
  std::string rel, name;
  if (check(path, &rel, false) < 0) return -1;
  fd_own pfd(open_parent(*r->dir, rel, &name));
  if (!pfd.ok()) return -1;
  return unlinkat(pfd.get(), name.c_str(), AT_REMOVEDIR) < 0 ? -1 : 0;
}

int os_at_symlink(const os_root* r, const char* link, const char* target, const os_set_stat* st) {
  if (r == nullptr) return os_symlink2(link, target, false, st);
  if (!WY_CHECK(target)) return fail(EINVAL);
  std::string rel, name;
  if (check(link, &rel, false) < 0) return -1;
  // Long-path prefixes are Windows spelling, never part of the target.
  if (strncmp(target, "\\\\?\\", 4) == 0) target += 4;
  else if (strncmp(target, "\\?\\", 3) == 0) target += 3;
  const os_root_dir& d = *r->dir;
  fd_own pfd(open_parent(d, rel, &name));
  if (!pfd.ok() && errno == ENOENT) {
    std::string parent;
    split_last(rel, &parent, &name);
    if (mkdirs_beneath(d, parent) < 0) return -1;
    pfd.reset(open_parent(d, rel, &name));
  }
  if (!pfd.ok()) return -1;
  if (symlinkat(target, pfd.get(), name.c_str()) < 0) return -1;
  if (st != nullptr && apply_link_stat(pfd.get(), name.c_str(), st) < 0) {
    int eno = errno;
    unlinkat(pfd.get(), name.c_str(), 0);
    return fail(eno);
  }
  return 0;
}

int os_at_remove(const os_root* r, const char* path) {
  if (r == nullptr) return os_win_remove_maybe_recycle(path);
  std::string rel, name;
  if (check(path, &rel, false) < 0) return -1;
  fd_own pfd(open_parent(*r->dir, rel, &name));
  if (!pfd.ok()) return errno == ENOENT ? 0 : -1;
  struct stat sb;
  if (fstatat(pfd.get(), name.c_str(), &sb, AT_SYMLINK_NOFOLLOW) < 0) return errno == ENOENT ? 0 : -1;
  int ret = r->trash_fd >= 0 ? move_to_trash(r, pfd.get(), name) : os_remove_tree_at(pfd.get(), name.c_str());
  if (ret < 0 && errno == ENOENT) return 0;  // gone meanwhile
  if (ret < 0) LOGD("del [%s] errno=%d\n", path, errno);
  return ret;
}
