// The local file on POSIX: regular files, directories, block devices, FIFOs
// and character devices behind one operations table.
#include <fcntl.h>
#include <linux/fs.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "file_imp.h"
#include "liblog.h"

WY_LOG_TAG("pal");

namespace {

constexpr uint32_t kReadTimeoutMs = 10000;
constexpr uint32_t kWriteTimeoutMs = 30000;

const char* fs_name_of(long type) {
  switch ((unsigned long)type) {
    case 0xEF53: return "ext4";
    case 0x01021994: return "tmpfs";
    case 0x58465342: return "xfs";
    case 0x9123683E: return "btrfs";
    case 0x794C7630: return "overlay";
    case 0x6969: return "nfs";
    case 0x4D44: return "vfat";
    case 0x5346544E: return "ntfs";
    case 0x65735546: return "fuse";
    case 0x2FC12FC1: return "zfs";
    case 0x9FA0: return "proc";
    case 0x62656572: return "sysfs";
    case 0x1373: return "devfs";
    case 0x858458F6: return "ramfs";
    default: return "unknown";
  }
}

class local_file final : public os_file_ops {
 public:
  local_file(int fd, uint32_t kind, const char* path, bool seekable, std::function<int()> unlink_hook)
      : fd_(fd), kind_(kind), path_(path), seekable_(seekable), unlink_hook_(std::move(unlink_hook)) {}
  ~local_file() override { exit(); }

  const char* name() const override { return "file"; }

  int exit() override {
    if (fd_ < 0) return 0;
    int r = ::close(fd_);
    fd_ = -1;
    return r < 0 ? -1 : 0;
  }

  int64_t pread(void* buf, size_t size, int64_t off) override {
    if (!seekable_) return stream_io(buf, size, false);
    auto* p = static_cast<char*>(buf);
    size_t done = 0;
    while (done < size) {
      size_t want = size - done;
      ssize_t n = ::pread(fd_, p + done, want, off + (int64_t)done);
      if (n < 0) {
        if (errno == EINTR) continue;
        LOGES("ReadFile offset=%lld size=%d error: ", (long long)off, (int)size);
        return -1;
      }
      if (n == 0) break;  // end of file
      done += (size_t)n;
      // A regular file reads short only at its end; asking again would
      // cost one more call per file just to hear 0.
      if (kind_ == OS_PATH_FILE && (size_t)n < want) break;
    }
    return (int64_t)done;
  }

  int64_t pwrit(const void* data, size_t size, int64_t off) override {
    if (!seekable_) return stream_io(const_cast<void*>(data), size, true);
    auto* p = static_cast<const char*>(data);
    size_t done = 0;
    while (done < size) {
      ssize_t n = ::pwrite(fd_, p + done, size - done, off + (int64_t)done);
      if (n < 0) {
        if (errno == EINTR) continue;
        LOGES("WriteFile offset=%lld size=%d error: ", (long long)off, (int)size);
        // What reached the file before a full disk still counts.
        return done ? (int64_t)done : -1;
      }
      done += (size_t)n;
    }
    return (int64_t)done;
  }

  int64_t read(void* buf, size_t size) override {
    int64_t n = pread(buf, size, off_);
    if (n > 0) off_ += n;
    return n;
  }

  int64_t writ(const void* data, size_t size) override {
    int64_t n = pwrit(data, size, off_);
    if (n > 0) off_ += n;
    return n;
  }

  int64_t readv(const os_iovec* list, int count) override {
    return vec(list, count, [&](const os_iovec& v) { return read(v.buf, v.len); });
  }
  int64_t writv(const os_iovec* list, int count) override {
    return vec(list, count, [&](const os_iovec& v) { return writ(v.buf, v.len); });
  }
  int64_t preadv(const os_iovec* list, int count, int64_t off) override {
    return vec(list, count, [&](const os_iovec& v) {
      int64_t n = pread(v.buf, v.len, off);
      if (n > 0) off += n;
      return n;
    });
  }
  int64_t pwritv(const os_iovec* list, int count, int64_t off) override {
    return vec(list, count, [&](const os_iovec& v) {
      int64_t n = pwrit(v.buf, v.len, off);
      if (n > 0) off += n;
      return n;
    });
  }

  int sync() override {
    if (fsync(fd_) < 0) {
      if (!seekable_ && errno == EINVAL) return 0;  // pipes and terminals hold nothing
      LOGES("fsync [%s] error: ", path_.c_str());
      return -1;
    }
    return 0;
  }

  int truncate(int64_t length) override {
    if (length < 0) {
      errno = EINVAL;
      return -1;
    }
    if (ftruncate(fd_, length) < 0) {
      LOGES("ftruncate [%s] len=%lld error: ", path_.c_str(), (long long)length);
      return -1;
    }
    off_ = length;
    return 0;
  }

  int64_t seek(int64_t offset, int whence) override {
    int64_t base;
    if (kind_ == OS_PATH_BLOCK && whence != SEEK_SET) {
      LOGE("mode=seek_end error: volume not support mode\n");
      errno = EINVAL;
      return -1;
    }
    if (whence == SEEK_SET) {
      base = 0;
    } else if (whence == SEEK_CUR) {
      base = off_;
    } else if (whence == SEEK_END) {
      base = size();
      if (base < 0) return -1;
    } else {
      errno = EINVAL;
      return -1;
    }
    if (base + offset < 0) {
      errno = EINVAL;
      return -1;
    }
    off_ = base + offset;
    return off_;
  }

  int64_t offset() override { return off_; }

  int64_t size() override {
    if (kind_ == OS_PATH_BLOCK) return dev_size_;
    struct stat sb;
    if (fstat(fd_, &sb) < 0) return -1;
    return sb.st_size;
  }

  int ioctl(uint32_t cmd, void* arg) override;

  int fd() const { return fd_; }
  uint32_t kind() const { return kind_; }
  int64_t dev_size_ = 0;
  int64_t off_ = 0;
  os_file_id id_;
  os_known_owner owner_;  // as the open found it

 private:
  // FIFOs, terminals and other character devices: plain read/write with the
  // per-file time-out, which regular files never need.
  int64_t stream_io(void* buf, size_t size, bool wr) {
    struct pollfd pfd = {fd_, (short)(wr ? POLLOUT : POLLIN), 0};
    uint32_t to = wr ? wr_timeout_ : rd_timeout_;
    int pr;
    do pr = poll(&pfd, 1, (int)to); while (pr < 0 && errno == EINTR);
    if (pr == 0) {
      LOGD("WaitForSingleObject ret=WAIT_TIMEOUT\n");
      errno = EIO;  // a time-out is reported as a device i/o error
      return -1;
    }
    ssize_t n;
    do n = wr ? ::write(fd_, buf, size) : ::read(fd_, buf, size); while (n < 0 && errno == EINTR);
    if (n < 0) {
      if (wr)
        LOGES("WriteFile offset=%lld size=%d error: ", (long long)off_, (int)size);
      else
        LOGES("ReadFile offset=%lld size=%d error: ", (long long)off_, (int)size);
    }
    return n;
  }

  template <typename Fn>
  static int64_t vec(const os_iovec* list, int count, Fn one) {
    int64_t total = 0;
    for (int i = 0; i < count; i++) {
      if (list[i].buf == nullptr || list[i].len == 0) break;
      int64_t n = one(list[i]);
      if (n < 0) return -1;
      total += n;
      if ((size_t)n < list[i].len) break;
    }
    return total;
  }

  int fd_;
  uint32_t kind_;
  std::string path_;
  bool seekable_;
  uint32_t rd_timeout_ = kReadTimeoutMs;
  uint32_t wr_timeout_ = kWriteTimeoutMs;
  std::function<int()> unlink_hook_;
};

int local_file::ioctl(uint32_t cmd, void* arg) {
  int last = errno;  // command 1 classifies the error the caller just met
  if (cmd != OS_IOCTL_ERR_CLASS && cmd != OS_IOCTL_XATTR && arg == nullptr) {
    errno = EINVAL;
    return 0;
  }
  switch (cmd) {
    case OS_IOCTL_INFO: {
      auto* info = static_cast<os_file_info*>(arg);
      *info = os_file_info{};
      info->kind = kind_;
      info->offset = off_;
      info->size = size();
      info->sector_size = 512;
      if (kind_ == OS_PATH_BLOCK) {
        int ss = 0;
        if (::ioctl(fd_, BLKSSZGET, &ss) == 0 && ss > 0 && ss <= (16 << 20)) info->sector_size = (uint32_t)ss;
      }
      struct statfs sf;
      snprintf(info->fs_name, sizeof info->fs_name, "%s",
               fstatfs(fd_, &sf) == 0 ? fs_name_of((long)sf.f_type) : "unknown");
      return 1;
    }
    case OS_IOCTL_ERR_CLASS: {
      if (arg == nullptr) {
        errno = EINVAL;
        return 0;
      }
      uint64_t cls = 3;
      if (last == 0) cls = 0;
      else if (last == EIO) cls = 1;
      else if (last == ENOENT || last == ENODEV || last == ENXIO) cls = 2;
      *static_cast<uint64_t*>(arg) = cls;
      errno = last;
      return 1;
    }
    case OS_IOCTL_STAT: {
      auto* st = static_cast<os_stat_t*>(arg);
      if (os_statx_at(fd_, "", AT_EMPTY_PATH, st) < 0) return 0;
      st->kind = kind_;
      st->attrib = os_attrib_from_mode(os_path_last(path_.c_str()), st->mode, false);
      return 1;
    }
    case OS_IOCTL_SET_TIMES: {
      os_set_stat s;
      s.times = *static_cast<const os_file_times*>(arg);
      return os_apply_stat(fd_, nullptr, true, &s) == 0 ? 1 : 0;
    }
    case OS_IOCTL_LOCK: {
      auto* lk = static_cast<const os_file_lock*>(arg);
      struct flock fl = {};
      fl.l_type = (short)(!lk->lock ? F_UNLCK : lk->exclusive ? F_WRLCK : F_RDLCK);
      fl.l_whence = SEEK_SET;
      fl.l_start = lk->offset;
      fl.l_len = lk->len;
      // Open-file-description locks: two opens of one file conflict even in
      // one process, as byte-range locks on handles do.
      int r;
      do r = fcntl(fd_, lk->wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl); while (r < 0 && errno == EINTR);
      if (r < 0) {
        LOGD("fcntl lock [%s] offset=%lld len=%lld eno=%d\n", path_.c_str(), (long long)lk->offset,
             (long long)lk->len, errno);
        return 0;
      }
      return 1;
    }
    case OS_IOCTL_RD_TIMEOUT: rd_timeout_ = *static_cast<const uint32_t*>(arg); return 1;
    case OS_IOCTL_WR_TIMEOUT: wr_timeout_ = *static_cast<const uint32_t*>(arg); return 1;
    case OS_IOCTL_FD_IMP:
      if (kind_ != OS_PATH_FILE || !seekable_) return 0;
      *static_cast<int*>(arg) = fd_;
      return 1;
    case OS_IOCTL_ID_IMP:
      *static_cast<os_file_id*>(arg) = id_;
      return 1;
    case OS_IOCTL_SET_STAT_IMP:
      return os_apply_stat(fd_, nullptr, true, static_cast<const os_set_stat*>(arg), &owner_) == 0 ? 1 : 0;
    case OS_IOCTL_UNLINK_IMP:
      *static_cast<int*>(arg) = unlink_hook_ ? 1 : 0;
      if (!unlink_hook_) return 0;
      return unlink_hook_() == 0 ? 1 : 0;
    case OS_IOCTL_SET_ATTRIB:
      return os_apply_attrib(fd_, nullptr, *static_cast<const uint32_t*>(arg)) == 0 ? 1 : 0;
    default:
      errno = ENOTSUP;
      return 0;
  }
}

}  // namespace

int os_file_open_flags(uint64_t flags, bool* writable) {
  int of = O_CLOEXEC;
  if (flags & OS_FILE_READ) of |= O_RDONLY;
  else if (flags & OS_FILE_WRITE) of |= O_WRONLY;
  else if (flags & OS_FILE_RDWR) of |= O_RDWR;
  else of |= O_RDONLY;
  *writable = (of & O_ACCMODE) != O_RDONLY;
  if (flags & OS_FILE_CREATE) of |= O_CREAT;
  if (flags & OS_FILE_NOFOLLOW) of |= O_NOFOLLOW;
  // Truncating needs write access, as it does on every platform we know.
  if ((flags & OS_FILE_TRUNC) && *writable) of |= O_TRUNC;
  // Write-through without O_DIRECT: O_DIRECT demands aligned buffers and
  // offsets that our callers do not promise.
  if (flags & OS_FILE_DIRECT) of |= O_DSYNC;
  return of;
}

std::unique_ptr<os_file_ops> os_file_local_init(const char* path, uint64_t flags) {
  if (flags & OS_FILE_SHADOW) {
    errno = ENOTSUP;
    LOGD("os_vss_mount [%s] error: [%s]\n", path, "Not supported.");
    return nullptr;
  }
  bool writable = false;
  int of = os_file_open_flags(flags, &writable);
  struct stat sb;
  int fd = -1;
  // Open first and look at what was opened: one path lookup instead of two.
  // Only a volume lock needs to know beforehand that the path is a device.
  if (flags & OS_FILE_LOCK_VOL) {
    if (stat(path, &sb) == 0 && S_ISBLK(sb.st_mode)) of = (of & ~(O_CREAT | O_TRUNC)) | O_EXCL;
  }
  do fd = open(path, of, 0666); while (fd < 0 && errno == EINTR);
  if (fd < 0 && errno == EISDIR && !writable) {
    // A directory opened for reading (a create flag made open refuse it).
    do fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC); while (fd < 0 && errno == EINTR);
  }
  if (fd < 0) {
    int eno = errno;
    LOGX(LV_DBG | LV_SYS, "open [%s] flags=0x%llx error: ", path, (unsigned long long)flags);
    // Leave the parents behind so that the caller's retry succeeds.
    if (eno == ENOENT && (of & O_CREAT)) os_mkdirs_parent(path);
    errno = eno;
    return nullptr;
  }
  return os_file_local_from_fd(fd, path, flags);
}

std::unique_ptr<os_file_ops> os_file_local_from_fd(int fd, const char* path, uint64_t flags,
                                                   std::function<int()> unlink_hook) {
  uint32_t kind = OS_PATH_FILE;
  bool seekable = true;
  struct stat sb;
  bool have_stat = fstat(fd, &sb) == 0;
  if (have_stat) {
    if (S_ISDIR(sb.st_mode)) kind = OS_PATH_DIR;
    else if (S_ISBLK(sb.st_mode)) kind = OS_PATH_BLOCK;
    else if (!S_ISREG(sb.st_mode)) seekable = false;
  }
  auto f = std::make_unique<local_file>(fd, kind, path, seekable, std::move(unlink_hook));
  // The device number in the form os_file_stat gives, so the two compare.
  if (have_stat) {
    f->id_ = {((uint64_t)major(sb.st_dev) << 32) | minor(sb.st_dev), (uint64_t)sb.st_ino, (int64_t)sb.st_size};
    f->owner_ = {true, (uint32_t)sb.st_uid, (uint32_t)sb.st_gid, (uint32_t)sb.st_mode};
  }
  if (kind == OS_PATH_BLOCK) {
    uint64_t bytes = 0;
    if (::ioctl(fd, BLKGETSIZE64, &bytes) < 0) {
      LOGES("BLKGETSIZE64 [%s] error: ", path);
      return nullptr;
    }
    f->dev_size_ = (int64_t)bytes;
  }
  if (kind == OS_PATH_FILE && seekable) {
    if (flags & OS_FILE_SEQ) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    else if (flags & (OS_FILE_RANDOM | OS_FILE_DIRECT)) posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
  }
  if (flags & OS_FILE_APPEND) {
    int64_t sz = f->size();
    if (sz < 0) return nullptr;
    f->off_ = sz;
  }
  return f;
}

int64_t os_file_copy_range(os_file2* in, int64_t in_off, os_file2* out, int64_t out_off, size_t len) {
  int ifd = -1, ofd = -1;
  if (!in || !out || !os_file_ioctl(in, OS_IOCTL_FD_IMP, &ifd) || !os_file_ioctl(out, OS_IOCTL_FD_IMP, &ofd)) {
    errno = ENOTSUP;
    return OS_COPY_UNSUPPORTED;
  }
  loff_t io = in_off, oo = out_off;
  ssize_t n;
  do n = copy_file_range(ifd, &io, ofd, &oo, len, 0); while (n < 0 && errno == EINTR);
  // What the kernel answers for a pair it will not copy itself (another
  // file system, a kernel without the call, a file system without support).
  if (n < 0 && (errno == ENOTSUP || errno == EOPNOTSUPP || errno == EXDEV || errno == ENOSYS || errno == EINVAL))
    return OS_COPY_UNSUPPORTED;
  return n;
}

int os_file_get_id(os_file2* file, os_file_id* id) {
  if (!WY_CHECK(file && id)) {
    errno = EINVAL;
    return -1;
  }
  if (strcmp(file->ops->name(), "file") != 0 || !os_file_ioctl(file, OS_IOCTL_ID_IMP, id)) {
    errno = ENOTSUP;
    return -1;
  }
  return 0;
}
