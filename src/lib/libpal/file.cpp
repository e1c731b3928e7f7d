// The file object: path cleaning, choice of the operations table, and the
// public wrappers that check each slot before calling it.
#include <cerrno>
#include <cstring>
#include <mutex>

#include "file_imp.h"
#include "liblog.h"
#include "pal_file.h"

WY_LOG_TAG("pal");

// ---------------------------------------------------------------------------
// The "not supported" slots: the assertion line names the slot the way the
// callers' checks always have, so logs from every kind read alike.

#define WY_SLOT_MISSING(slot) \
  log2_assert_fail(wy_log_tag_, __FILE__, __LINE__, __func__, "ctx->ops->" slot)

int os_file_ops::exit() { WY_SLOT_MISSING("exit"); return 0; }
int64_t os_file_ops::read(void*, size_t) { WY_SLOT_MISSING("read"); errno = ENOTSUP; return -1; }
int64_t os_file_ops::writ(const void*, size_t) { WY_SLOT_MISSING("writ"); errno = ENOTSUP; return -1; }
int64_t os_file_ops::pread(void*, size_t, int64_t) { WY_SLOT_MISSING("pread"); errno = ENOTSUP; return -1; }
int64_t os_file_ops::pwrit(const void*, size_t, int64_t) {
  WY_SLOT_MISSING("pwrit");
  errno = ENOTSUP;
  return -1;
}
int64_t os_file_ops::readv(const os_iovec*, int) { WY_SLOT_MISSING("readv"); errno = ENOTSUP; return -1; }
int64_t os_file_ops::writv(const os_iovec*, int) { WY_SLOT_MISSING("writv"); errno = ENOTSUP; return -1; }
int64_t os_file_ops::preadv(const os_iovec*, int, int64_t) {
  WY_SLOT_MISSING("preadv");
  errno = ENOTSUP;
  return -1;
}
int64_t os_file_ops::pwritv(const os_iovec*, int, int64_t) {
  WY_SLOT_MISSING("pwritv");
  errno = ENOTSUP;
  return -1;
}
int os_file_ops::sync() { WY_SLOT_MISSING("sync"); errno = ENOTSUP; return -1; }
int os_file_ops::truncate(int64_t) { WY_SLOT_MISSING("truncate"); errno = ENOTSUP; return -1; }
int64_t os_file_ops::seek(int64_t, int) { WY_SLOT_MISSING("seek"); errno = ENOTSUP; return -1; }
int64_t os_file_ops::offset() { WY_SLOT_MISSING("offset"); errno = ENOTSUP; return -1; }
int64_t os_file_ops::size() { WY_SLOT_MISSING("size"); errno = ENOTSUP; return -1; }
int os_file_ops::ioctl(uint32_t, void*) { WY_SLOT_MISSING("ioctl"); errno = ENOTSUP; return 0; }

// ---------------------------------------------------------------------------
// Registered drivers.

namespace {
constexpr int kMaxDrivers = 4;
std::mutex g_drv_mu;
const os_file_drv* g_drv[kMaxDrivers];

const os_file_drv* find_driver(const char* path) {
  std::lock_guard<std::mutex> lk(g_drv_mu);
  for (const os_file_drv* d : g_drv)
    if (d != nullptr && d->probe(path)) return d;
  return nullptr;
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
}  // namespace

int os_file_register_driver(const os_file_drv* drv) {
  if (!WY_CHECK(drv != nullptr)) {
    errno = EINVAL;
    return -1;
  }
  std::lock_guard<std::mutex> lk(g_drv_mu);
  for (const os_file_drv*& d : g_drv) {
    if (d == nullptr) {
      d = drv;
      return 0;
    }
  }
  errno = EMFILE;
  return -1;
}

int os_file_unregister_driver(const os_file_drv* drv) {
  std::lock_guard<std::mutex> lk(g_drv_mu);
  for (const os_file_drv*& d : g_drv) {
    if (d != nullptr && d == drv) {
      d = nullptr;
      return 0;
    }
  }
  errno = ENOENT;
  return -1;
}

// ---------------------------------------------------------------------------
// Opening.

std::string os_file_clean_path(const char* path) {
  std::string p = path ? path : "";
  for (;;) {
    size_t before = p.size();
    size_t b = 0, e = p.size();
    while (b < e && is_blank(p[b])) b++;
    while (e > b && is_blank(p[e - 1])) e--;
    p = p.substr(b, e - b);
    if (p.size() >= 2 && p.front() == '"' && p.back() == '"') p = p.substr(1, p.size() - 2);
    if (p.size() == before) break;
  }
  // A URL-style local path: "file:///tmp/x" names "/tmp/x". The Windows form
  // "file:\\" (and its "\?\" long-path tail) is accepted for the same reason.
  if (p.compare(0, 7, "file://") == 0) {
    p.erase(0, 7);
  } else if (p.compare(0, 7, "file:\\\\") == 0) {
    p.erase(0, 7);
    if (p.compare(0, 3, "?\\") == 0) p.erase(0, 2);
  }
  return p;
}

os_file2* os_file_open(const char* path, uint64_t flags) {
  if (!WY_CHECK(path)) {
    errno = EINVAL;
    return nullptr;
  }
  auto f = std::make_unique<os_file2>();
  // Used exactly as given: on POSIX blanks, quotes and backslashes are
  // ordinary name characters, and the names come from listings. Only the
  // words a user typed get os_file_clean_path, before they reach here.
  f->path = path;
  if (f->path.empty()) {
    errno = ENOENT;
    return nullptr;
  }
  const char* p = f->path.c_str();
  if (const os_file_drv* d = find_driver(p)) {
    f->ops = d->init(p, flags);
  } else {
    if (strncmp(p, "/dev/", 5) == 0 || strncmp(p, "\\dev\\", 5) == 0) f->ops = os_file_dev_init(p + 5, flags);
    // "/dev/" with a name that is no kind (a disk, a tty) is a local file.
    if (!f->ops) f->ops = os_file_local_init(p, flags);
  }
  if (!f->ops) return nullptr;
  return f.release();  // owned by the caller until os_file_close
}

int os_file_close(os_file2* file) {
  if (!WY_CHECK(file)) return 0;
  std::unique_ptr<os_file2> f(file);
  int ret = f->ops->exit();
  if (f->delete_on_close) {
    int saved = errno;
    // A file opened beneath a root removes itself beneath the root: its
    // path is a peer's path, never one for a path-based call.
    int hooked = 0;
    if (strcmp(f->ops->name(), "file") == 0) f->ops->ioctl(OS_IOCTL_UNLINK_IMP, &hooked);
    if (!hooked) os_file_delete(f->path.c_str());
    errno = saved;
  }
  return ret;
}

// ---------------------------------------------------------------------------
// Wrappers.

int64_t os_file_read(os_file2* file, void* buf, size_t size) {
  if (!WY_CHECK(file && buf)) return -1;
  if (size == 0) return 0;
  return file->ops->read(buf, size);
}

int64_t os_file_write(os_file2* file, const void* data, size_t size) {
  if (!WY_CHECK(file && data)) return -1;
  if (size == 0) return 0;
  return file->ops->writ(data, size);
}

int64_t os_file_pread(os_file2* file, void* buf, size_t size, int64_t offset) {
  if (!WY_CHECK(file && buf)) return -1;
  if (size == 0) return 0;
  return file->ops->pread(buf, size, offset);
}

int64_t os_file_pwrite(os_file2* file, const void* data, size_t size, int64_t offset) {
  if (!WY_CHECK(file && data)) return -1;
  if (size == 0) return 0;
  return file->ops->pwrit(data, size, offset);
}

namespace {
// Moves to `offset` for the vector call and back afterwards, as the callers
// of the current-offset vector forms expect.
template <typename Fn>
int64_t at_offset(os_file2* file, int64_t offset, Fn fn) {
  int64_t cur = file->ops->offset();
  if (cur < 0) return -1;
  bool moved = offset != cur;
  if (moved && file->ops->seek(offset, 0) < 0) return -1;
  int64_t r = fn();
  if (moved) {
    int saved = errno;
    if (file->ops->seek(cur, 0) < 0) return -1;
    errno = saved;
  }
  return r;
}
}  // namespace

int64_t os_file_readv(os_file2* file, const os_iovec* list, int count, int64_t offset) {
  if (!WY_CHECK(file && list && count)) return -1;
  return at_offset(file, offset, [&] { return file->ops->readv(list, count); });
}

int64_t os_file_writv(os_file2* file, const os_iovec* list, int count, int64_t offset) {
  if (!WY_CHECK(file && list && count)) return -1;
  return at_offset(file, offset, [&] { return file->ops->writv(list, count); });
}

int64_t os_file_preadv(os_file2* file, const os_iovec* list, int count, int64_t offset) {
  if (!WY_CHECK(file && list && count)) return -1;
  return file->ops->preadv(list, count, offset);
}

int64_t os_file_pwritv(os_file2* file, const os_iovec* list, int count, int64_t offset) {
  if (!WY_CHECK(file && list && count)) return -1;
  return file->ops->pwritv(list, count, offset);
}

int os_file_fsync(os_file2* file) {
  if (!WY_CHECK(file)) return -1;
  return file->ops->sync();
}

int os_file_truncate(os_file2* file, int64_t length) {
  if (!WY_CHECK(file)) return -1;
  return file->ops->truncate(length);
}

int64_t os_file_seek(os_file2* file, int64_t offset, int whence) {
  if (!WY_CHECK(file)) return -1;
  return file->ops->seek(offset, whence);
}

int64_t os_file_offset(os_file2* file) {
  if (!WY_CHECK(file)) return -1;
  return file->ops->offset();
}

int64_t os_file_size(os_file2* file) {
  if (!WY_CHECK(file)) return -1;
  return file->ops->size();
}

int os_file_ioctl(os_file2* file, uint32_t cmd, void* arg) {
  if (!WY_CHECK(file)) return 0;
  return file->ops->ioctl(cmd, arg);
}
