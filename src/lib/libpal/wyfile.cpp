// The buffered stream layer. One buffer serves both directions: it holds
// either pending writes or read-ahead, never both.
#include "pal_wyfile.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "liblog.h"
#include "pal_init.h"

WY_LOG_TAG("pal");

struct wyfile {
  uint32_t magic = VFILE_MAGIC;
  std::mutex mu;
  os_file_uptr file;
  std::vector<char> buf = std::vector<char>(WYFILE_BUF_SIZE);
  size_t wlen = 0;  // pending write bytes at buf[0..wlen)
  size_t rpos = 0;  // read-ahead at buf[rpos..rlen)
  size_t rlen = 0;
  bool can_read = false;
  bool can_write = false;
  bool append = false;
  bool text = true;  // kept for the mode's sake: POSIX text has no line-end translation
  bool linebuf = false;
};

namespace {

constexpr size_t kMaxLine = 1 << 20;

// Streams opened for writing, for the flush of every stream.
std::mutex g_list_mu;
std::vector<wyfile*> g_list;

#define WYLOCK(f, fail)                                              \
  if (!WY_CHECK(f!=NULL) || !WY_CHECK(f->magic==VFILE_MAGIC)) {       \
    errno = EINVAL;                                                   \
    return fail;                                                      \
  }                                                                   \
  std::lock_guard<std::mutex> wylock_(f->mu)

// Writes out the pending bytes (the first `n` of them). Failed bytes are
// dropped: the caller learns of the loss and the buffer cannot fill for ever.
int flush_n(wyfile* f, size_t n) {
  if (n == 0) return 0;
  if (f->append && os_file_seek(f->file.get(), 0, SEEK_END) < 0) return -1;
  int64_t w = os_file_write(f->file.get(), f->buf.data(), n);
  int ret = w == (int64_t)n ? 0 : -1;
  if (w >= 0 && w < (int64_t)n && errno == 0) errno = ENOSPC;
  memmove(f->buf.data(), f->buf.data() + n, f->wlen - n);
  f->wlen -= n;
  return ret;
}

int flush_locked(wyfile* f) { return flush_n(f, f->wlen); }

// Gives back read-ahead so the file offset is the stream position again.
int drop_readahead(wyfile* f) {
  size_t unread = f->rlen - f->rpos;
  f->rpos = f->rlen = 0;
  if (unread && os_file_seek(f->file.get(), -(int64_t)unread, SEEK_CUR) < 0) return -1;
  return 0;
}

int64_t write_locked(wyfile* f, const char* p, size_t size) {
  if (!f->can_write) {
    errno = EBADF;
    return -1;
  }
  if (f->rlen && drop_readahead(f) < 0) return -1;
  size_t done = 0;
  while (done < size) {
    if (f->wlen == f->buf.size() && flush_locked(f) < 0) return -1;
    size_t n = std::min(size - done, f->buf.size() - f->wlen);
    memcpy(f->buf.data() + f->wlen, p + done, n);
    f->wlen += n;
    done += n;
  }
  if (f->linebuf && f->wlen) {
    const char* b = f->buf.data();
    const void* nl = memrchr(b, '\n', f->wlen);
    if (nl != nullptr && flush_n(f, (size_t)(static_cast<const char*>(nl) - b) + 1) < 0) return -1;
  }
  return (int64_t)size;
}

// Refills the read-ahead; bytes available, 0 at end, -1 on error.
int64_t fill(wyfile* f) {
  if (f->rpos < f->rlen) return (int64_t)(f->rlen - f->rpos);
  if (f->wlen && flush_locked(f) < 0) return -1;
  int64_t n = os_file_read(f->file.get(), f->buf.data(), f->buf.size());
  f->rpos = 0;
  f->rlen = n > 0 ? (size_t)n : 0;
  return n;
}

}  // namespace

wyfile* wyfile_vfs_open(const char* path, const char* mode, int share, const os_file_drv* drv) {
  if (!WY_CHECK(path && mode)) {
    errno = EINVAL;
    return nullptr;
  }
  if (!pl_started()) {
    LOGW("pl_init must call..\n");
    pl_init();
  }
  auto f = std::make_unique<wyfile>();
  uint64_t flags;
  switch (mode[0]) {
    case 'r': flags = OS_FILE_READ; f->can_read = true; break;
    case 'w': flags = OS_FILE_WRITE | OS_FILE_CREATE | OS_FILE_TRUNC; f->can_write = true; break;
    case 'a': flags = OS_FILE_WRITE | OS_FILE_CREATE | OS_FILE_APPEND; f->can_write = f->append = true; break;
    default:
      LOGD("mode=[%s] error\n", mode);
      errno = EINVAL;
      return nullptr;
  }
  for (const char* m = mode + 1; *m; m++) {
    if (*m == '+') {
      flags = (flags & ~(uint64_t)(OS_FILE_READ | OS_FILE_WRITE | OS_FILE_RDWR)) | OS_FILE_RDWR;
      f->can_read = f->can_write = true;
    } else if (*m == 'b') {
      f->text = false;
    } else if (*m == 't') {
      f->text = true;
    } else {
      break;
    }
  }
  switch (share) {
    case WY_SH_DENYRW: break;
    case WY_SH_DENYWR: flags |= 0x500; break;
    case WY_SH_DENYRD: flags |= 0x600; break;
    case WY_SH_DENYNO: flags |= 0x700; break;
    case WY_SH_SECURE: if (!f->can_write) flags |= 0x100; break;
    default:
      LOGD("share=%d error\n", share);
      errno = EINVAL;
      return nullptr;
  }
  if (drv != nullptr) {
    std::unique_ptr<os_file_ops> ops = drv->init(path, flags);
    if (!ops) return nullptr;
    f->file.reset(std::make_unique<os_file2>().release());
    f->file->ops = std::move(ops);
    f->file->path = path;
  } else {
    f->file.reset(os_file_open(path, flags));
    if (!f->file) return nullptr;
  }
  wyfile* raw = f.release();  // owned by the caller until wyfile_close
  if (raw->can_write) {
    std::lock_guard<std::mutex> lk(g_list_mu);
    g_list.push_back(raw);
  }
  return raw;
}

wyfile* wyfile_fsopen(const char* path, const char* mode, int share) {
  return wyfile_vfs_open(path, mode, share, nullptr);
}

wyfile* wyfile_open(const char* path, const char* mode) { return wyfile_fsopen(path, mode, WY_SH_DENYNO); }

int wyfile_close(wyfile* f) {
  if (!WY_CHECK(f!=NULL) || !WY_CHECK(f->magic==VFILE_MAGIC)) {
    errno = EINVAL;
    return -1;
  }
  // Leave the list before taking the stream's lock: the flush of every
  // stream takes the two in the other order.
  if (f->can_write) {
    std::lock_guard<std::mutex> lk(g_list_mu);
    g_list.erase(std::remove(g_list.begin(), g_list.end(), f), g_list.end());
  }
  std::unique_ptr<wyfile> own(f);
  int ret;
  {
    std::lock_guard<std::mutex> lk(f->mu);
    ret = flush_locked(f);
    if (os_file_close(f->file.release()) < 0) ret = -1;
    f->magic = 0;
  }
  return ret;
}

int64_t wyfile_write(wyfile* f, const void* data, size_t size) {
  WYLOCK(f, -1);
  if (!WY_CHECK(data != nullptr || size == 0)) return -1;
  return write_locked(f, static_cast<const char*>(data), size);
}

int64_t wyfile_puts(wyfile* f, const char* s) {
  WYLOCK(f, -1);
  if (!WY_CHECK(s)) return -1;
  return write_locked(f, s, strlen(s));
}

int64_t wyfile_printf(wyfile* f, const char* fmt, ...) {
  WYLOCK(f, -1);
  if (!WY_CHECK(fmt)) return -1;
  va_list ap;
  va_start(ap, fmt);
  char small[1024];
  va_list ap2;
  va_copy(ap2, ap);
  int n = vsnprintf(small, sizeof small, fmt, ap);
  va_end(ap);
  int64_t r;
  if (n < 0) {
    r = -1;
  } else if ((size_t)n < sizeof small) {
    r = write_locked(f, small, (size_t)n);
  } else {
    std::string big((size_t)n + 1, '\0');
    vsnprintf(big.data(), big.size(), fmt, ap2);
    r = write_locked(f, big.data(), (size_t)n);
  }
  va_end(ap2);
  return r;
}

int64_t wyfile_read(wyfile* f, void* buf, size_t size) {
  WYLOCK(f, -1);
  if (!WY_CHECK(buf != nullptr || size == 0)) return -1;
  if (!f->can_read) {
    errno = EBADF;
    return -1;
  }
  char* p = static_cast<char*>(buf);
  size_t done = 0;
  while (done < size) {
    int64_t avail = fill(f);
    if (avail < 0) return done ? (int64_t)done : -1;
    if (avail == 0) break;
    size_t n = std::min(size - done, (size_t)avail);
    memcpy(p + done, f->buf.data() + f->rpos, n);
    f->rpos += n;
    done += n;
  }
  return (int64_t)done;
}

int wyfile_gets(wyfile* f, std::string* line) {
  WYLOCK(f, -1);
  if (!WY_CHECK(line)) return -1;
  if (!f->can_read) {
    errno = EBADF;
    return -1;
  }
  line->clear();
  bool any = false;
  while (line->size() < kMaxLine) {
    int64_t avail = fill(f);
    if (avail < 0) return any ? 1 : -1;
    if (avail == 0) break;
    any = true;
    const char* b = f->buf.data() + f->rpos;
    size_t n = std::min((size_t)avail, kMaxLine - line->size());
    const void* nl = memchr(b, '\n', n);
    if (nl != nullptr) {
      size_t k = (size_t)(static_cast<const char*>(nl) - b);
      line->append(b, k);
      f->rpos += k + 1;
      return 1;
    }
    line->append(b, n);
    f->rpos += n;
  }
  return any ? 1 : 0;
}

int wyfile_flush(wyfile* f) {
  if (f == nullptr) {
    std::lock_guard<std::mutex> lk(g_list_mu);
    int ret = 0;
    for (wyfile* s : g_list) {
      std::lock_guard<std::mutex> sl(s->mu);
      if (flush_locked(s) < 0) ret = -1;
    }
    return ret;
  }
  WYLOCK(f, -1);
  return flush_locked(f);
}

int wyfile_set_linebuf(wyfile* f, bool on) {
  WYLOCK(f, -1);
  f->linebuf = on;
  return 0;
}

int64_t wyfile_seek(wyfile* f, int64_t offset, int whence) {
  WYLOCK(f, -1);
  if (flush_locked(f) < 0 || drop_readahead(f) < 0) return -1;
  return os_file_seek(f->file.get(), offset, whence);
}

int64_t wyfile_tell(wyfile* f) {
  WYLOCK(f, -1);
  int64_t off = os_file_offset(f->file.get());
  if (off < 0) return -1;
  return off + (int64_t)f->wlen - (int64_t)(f->rlen - f->rpos);
}

int64_t wyfile_size(wyfile* f) {
  WYLOCK(f, -1);
  if (flush_locked(f) < 0) return -1;
  return os_file_size(f->file.get());
}

int64_t wyfile_read_tail(wyfile* f, size_t n, std::string* out) {
  WYLOCK(f, -1);
  if (!WY_CHECK(out)) return -1;
  if (flush_locked(f) < 0) return -1;
  int64_t size = os_file_size(f->file.get());
  if (size < 0) return -1;
  int64_t from = size > (int64_t)n ? size - (int64_t)n : 0;
  out->assign((size_t)(size - from), '\0');
  int64_t r = out->empty() ? 0 : os_file_pread(f->file.get(), out->data(), out->size(), from);
  if (r < 0) {
    out->clear();
    return -1;
  }
  out->resize((size_t)r);
  return r;
}

bool wyfile_exists(const char* path) { return os_path_exists(path); }
