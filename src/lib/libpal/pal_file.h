// The file object, the path operations beside it, and the stat/directory
// primitives the directory reader and the copy engine are built on.
//
// Every call reports failure as -1 (or NULL / 0 where stated) with the cause
// in the calling thread's errno; os_verr_get (pal_err.h) turns it into a verr.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------
// Open flags of os_file_open.
enum : uint64_t {
  OS_FILE_READ = 0x1,          // read access
  OS_FILE_WRITE = 0x2,         // write access (when 0x1 is clear)
  OS_FILE_RDWR = 0x4,          // read and write (when 0x1 and 0x2 are clear)
  OS_FILE_CREATE = 0x8,        // create when missing
  OS_FILE_APPEND = 0x10,       // position at the end after opening
  OS_FILE_TRUNC = 0x20,        // truncate (needs write access)
  OS_FILE_DIRECT = 0x40,       // write-through, random access
  OS_FILE_SHARE_ALL = 0x80,    // share bits: no meaning on POSIX, accepted
  OS_FILE_SHARE_NOWR = 0x100,
  OS_FILE_SHARE_WR1 = 0x200,
  OS_FILE_SHARE_WR2 = 0x400,
  OS_FILE_SEQ = 0x1000,        // sequential-scan hint
  OS_FILE_RANDOM = 0x2000,     // random-access hint (only without 0x1000)
  OS_FILE_SHADOW = 0x10000,    // read through a shadow copy: not supported here
  OS_FILE_NOFOLLOW = 0x20000,  // the last component must not be a symbolic link (ELOOP)
  OS_FILE_LOCK_VOL = 0x40000000,  // exclusive open of a block device
};

/// Path kinds of a local file (os_file_info.kind, os_stat_t.kind).
enum : uint32_t {
  OS_PATH_FILE = 0,   // ordinary file (also FIFOs, character devices)
  OS_PATH_BLOCK = 2,  // block device: size measured from the device at open
  OS_PATH_DIR = 8,    // an existing directory, opened read-only
};

/// Seconds since 1970 plus nanoseconds.
struct os_time_ns {
  int64_t sec = 0;
  uint32_t nsec = 0;
};

/// lstat/fstat-like information.
struct os_stat_t {
  uint32_t kind = 0;    // OS_PATH_* of the object
  uint32_t mode = 0;    // full st_mode (type and permission bits)
  uint32_t uid = 0;
  uint32_t gid = 0;
  uint32_t attrib = 0;  // derived attribute word (os_attrib_from_mode)
  uint64_t size = 0;
  uint64_t nlink = 0;
  uint64_t dev = 0;
  uint64_t ino = 0;
  os_time_ns atime, mtime, ctime;  // access, write, status change
  os_time_ns btime;                // birth time; 0 when the file system has none
};

/// Info record of ioctl 0.
struct os_file_info {
  uint32_t kind = 0;         // OS_PATH_* ("dev" kinds report 0)
  int64_t offset = 0;        // current offset
  int64_t size = 0;
  uint32_t sector_size = 0;  // logical sector of a block device, else 512
  char fs_name[32] = {};     // file-system type name ("ext4", "tmpfs", ...; "unknown")
};

/// Times record of ioctl 3 and the set-stat record: a time with sec == 0
/// stays unchanged. Creation time cannot be set on POSIX and is ignored.
struct os_file_times {
  os_time_ns atime, mtime, btime;  // access, write, creation
};

/// Lock record of ioctl 4: a byte range (len 0 = to the end and beyond),
/// locked or unlocked; `wait` blocks until the lock is granted.
struct os_file_lock {
  int64_t offset = 0;
  int64_t len = 0;
  uint8_t lock = 1;       // 1 lock, 0 unlock
  uint8_t exclusive = 1;  // 1 write lock, 0 shared (read) lock
  uint8_t wait = 0;
};

/// ioctl commands.
enum : uint32_t {
  OS_IOCTL_INFO = 0,          // os_file_info*
  OS_IOCTL_ERR_CLASS = 1,     // uint64_t*: 0 none, 1 media, 2 gone, 3 other
  OS_IOCTL_STAT = 2,          // os_stat_t*
  OS_IOCTL_SET_TIMES = 3,     // const os_file_times*
  OS_IOCTL_LOCK = 4,          // const os_file_lock*
  OS_IOCTL_RD_TIMEOUT = 5,    // const uint32_t* (ms)
  OS_IOCTL_WR_TIMEOUT = 6,    // const uint32_t* (ms)
  OS_IOCTL_XATTR = 7,         // reserved: always "not supported"
  OS_IOCTL_SET_ATTRIB = 8,    // const uint32_t* attribute word
};

/// One entry of the vector forms; a NULL buffer or a length of 0 ends a list.
struct os_iovec {
  void* buf;
  size_t len;
};

/// Operations table of a file kind. An implementation object holds its own
/// handle; a slot it does not override is "not supported": the default logs
/// "expr[ctx->ops->SLOT]: assert failed" and returns -1 (0 for ioctl/exit),
/// with errno ENOTSUP.
class os_file_ops {
 public:
  virtual ~os_file_ops() = default;
  virtual const char* name() const = 0;
  virtual int exit();
  virtual int64_t read(void* buf, size_t size);
  virtual int64_t writ(const void* data, size_t size);
  virtual int64_t pread(void* buf, size_t size, int64_t offset);
  virtual int64_t pwrit(const void* data, size_t size, int64_t offset);
  virtual int64_t readv(const os_iovec* list, int count);
  virtual int64_t writv(const os_iovec* list, int count);
  virtual int64_t preadv(const os_iovec* list, int count, int64_t offset);
  virtual int64_t pwritv(const os_iovec* list, int count, int64_t offset);
  virtual int sync();
  virtual int truncate(int64_t length);
  virtual int64_t seek(int64_t offset, int whence);
  virtual int64_t offset();
  virtual int64_t size();
  virtual int ioctl(uint32_t cmd, void* arg);
};

/// A registered driver: asked first by os_file_open whether it takes a path.
class os_file_drv {
 public:
  virtual ~os_file_drv() = default;
  virtual const char* name() const = 0;
  /// True when this driver handles `path` (the cleaned path).
  virtual bool probe(const char* path) const = 0;
  /// The implementation object, or nullptr with errno set.
  virtual std::unique_ptr<os_file_ops> init(const char* path, uint64_t flags) const = 0;
};

/// Registers a driver (at most four; the first that takes a path wins).
/// Returns 0, or -1 (errno EMFILE) when four are registered or drv is null.
/// The driver must outlive every later os_file_open.
int os_file_register_driver(const os_file_drv* drv);
/// Removes a registered driver; 0, or -1 when it was not registered.
int os_file_unregister_driver(const os_file_drv* drv);

/// The file object.
struct os_file2 {
  std::unique_ptr<os_file_ops> ops;
  std::string path;             // the path as opened (after cleaning)
  uint8_t delete_on_close = 0;  // unlink `path` when closed
};

/// Cleans a path a user typed: trims blanks and one pair of surrounding
/// quotes (repeated until nothing changes) and drops a leading "file://" (or
/// "file:\\") prefix. Backslashes are kept: they are ordinary name
/// characters on POSIX. os_file_open never cleans: names from listings are
/// used exactly as they are.
std::string os_file_clean_path(const char* path);

/// Opens `path`, verbatim, with the open flags: a registered driver, a built-in device
/// ("/dev/" or "\dev\" + "null", "zero", "random", "stdin", "stdout",
/// "stderr") or the local file. Returns the object (free it with
/// os_file_close), or nullptr with errno set. A create that fails because a
/// parent directory is missing creates the parents and still fails, so a
/// second open succeeds.
os_file2* os_file_open(const char* path, uint64_t flags);
/// Runs the kind's exit, unlinks the path when delete_on_close is set, frees
/// the object. Returns the exit result; 0 for a null file (logged).
int os_file_close(os_file2* file);
/// Bytes read at the current offset (advanced), 0 at end of file or for a
/// size of 0, -1 on error.
int64_t os_file_read(os_file2* file, void* buf, size_t size);
/// Bytes written at the current offset (advanced), -1 on error.
int64_t os_file_write(os_file2* file, const void* data, size_t size);
/// Bytes read at `offset`, 0 at or past the end; the offset is unchanged.
int64_t os_file_pread(os_file2* file, void* buf, size_t size, int64_t offset);
/// Bytes written at `offset`; the offset is unchanged. -1 on error.
int64_t os_file_pwrite(os_file2* file, const void* data, size_t size, int64_t offset);
/// Vector read/write at the current offset: moves to `offset` first when it
/// differs from the current one and moves back afterwards. Entries go in
/// order; a short entry ends the call with the total so far, a failing entry
/// makes it -1.
int64_t os_file_readv(os_file2* file, const os_iovec* list, int count, int64_t offset);
int64_t os_file_writv(os_file2* file, const os_iovec* list, int count, int64_t offset);
/// Vector forms at `offset` without touching the current offset.
int64_t os_file_preadv(os_file2* file, const os_iovec* list, int count, int64_t offset);
int64_t os_file_pwritv(os_file2* file, const os_iovec* list, int count, int64_t offset);
/// Flushes system buffers: 0 or -1.
int os_file_fsync(os_file2* file);
/// Sets the file's length and moves the offset there: 0 or -1.
int os_file_truncate(os_file2* file, int64_t length);
/// New offset (whence SEEK_SET/SEEK_CUR/SEEK_END) or -1.
int64_t os_file_seek(os_file2* file, int64_t offset, int whence);
/// Current offset, -1 for a null file.
int64_t os_file_offset(os_file2* file);
/// Size in bytes (measured now; for block devices at open), -1 on error.
int64_t os_file_size(os_file2* file);
/// Runs an ioctl command (OS_IOCTL_*): non-zero on success, 0 on failure
/// with errno set (ENOTSUP for command 7 and unknown commands).
int os_file_ioctl(os_file2* file, uint32_t cmd, void* arg);

/// os_file_copy_range's answer for a pair the kernel cannot copy.
constexpr int64_t OS_COPY_UNSUPPORTED = -2;

/// Copies up to `len` bytes from `in` at `in_off` to `out` at `out_off`
/// inside the kernel, without passing them through a buffer of ours. Both
/// must be local regular files. Returns the bytes copied, which may be fewer
/// than asked without meaning the end (a nearly full disk copies short), 0
/// at the end of `in`; OS_COPY_UNSUPPORTED when this pair cannot be copied
/// this way at all (the caller reads and writes instead); -1 with errno for
/// a failure of this call.
int64_t os_file_copy_range(os_file2* in, int64_t in_off, os_file2* out, int64_t out_off, size_t len);

/// Identity of an open local file, as seen when it was opened.
struct os_file_id {
  uint64_t dev = 0;
  uint64_t ino = 0;
  int64_t size = 0;  // size at open
};
/// Fills `id` for a local file without another system call. 0, or -1 (errno
/// ENOTSUP) for devices and drivers.
int os_file_get_id(os_file2* file, os_file_id* id);

/// Deleter so callers can hold a file object in a std::unique_ptr.
struct os_file_closer {
  void operator()(os_file2* f) const { os_file_close(f); }
};
using os_file_uptr = std::unique_ptr<os_file2, os_file_closer>;

// ---------------------------------------------------------------------------
// Attributes, stat records and the set-stat record.

enum : uint32_t {
  OS_ATTR_READONLY = 0x01,
  OS_ATTR_HIDDEN = 0x02,
  OS_ATTR_DIRECTORY = 0x10,
  OS_ATTR_ARCHIVE = 0x20,  // "other": anything that is not a directory
  OS_ATTR_LINK = 0x400,
};

/// Attribute word of an entry: 0x10 for a directory (or a link to one), 0x20
/// otherwise, 0x01 when the owner cannot write, 0x02 for a name starting with
/// ".", 0x400 for a symbolic link. `name` is the last component (may be null).
uint32_t os_attrib_from_mode(const char* name, uint32_t st_mode, bool link_is_dir);

/// Stat of a path; `follow` false stats a link itself. Fills attrib from the
/// path's last component (a link to a directory counts as a directory).
/// Returns 0 or -1 with errno.
int os_file_stat(const char* path, bool follow, os_stat_t* st);
/// The text of a symbolic link, verbatim. 0 or -1 with errno (EINVAL: not a link).
int os_readlink(const char* path, std::string* target);
/// True when something (a dangling link included) exists at the path.
bool os_path_exists(const char* path);
/// The absolute form of `path` with every symbolic link of its existing part
/// resolved; the part that does not exist yet is appended with "." and ".."
/// taken lexically. Two paths that name one place give the same text. 0 or
/// -1 with errno.
int os_path_resolve(const char* path, std::string* out);

/// What the copy engine applies to a file, directory or link.
struct os_set_stat {
  uint32_t attrib = 0;   // only bit 0x01 (read-only) is applied: clears write bits
  uint32_t mode = 0;     // permission bits; 0 leaves them unchanged
  uint32_t uid = 0, gid = 0;
  bool set_owner = false;  // chown to uid/gid (only when running as root)
  os_file_times times;     // 0 seconds leaves a time unchanged
};

/// Applies permissions (mode, read-only), owners (root only) and times through
/// an open file. 0 or -1 with errno.
int os_file_set_stat(os_file2* file, const os_set_stat* st);
/// The same on a path; a symbolic link itself gets its times and owners
/// (links have no permissions of their own). 0 or -1 with errno.
int os_path_set_stat(const char* path, const os_set_stat* st);
/// Sets access/write times of a path (0 seconds: unchanged); `follow` false
/// sets a link's own times. 0 or -1.
int os_path_set_times(const char* path, const os_file_times* t, bool follow);
/// Applies an attribute word: 0x01 set clears every write bit; 0x01 clear
/// gives the owner write permission back. 0 or -1.
int os_path_set_attrib(const char* path, uint32_t attrib);

// ---------------------------------------------------------------------------
// Path operations. Each returns 0 or -1 with errno.

/// Deletes a file or link (not a directory).
int os_file_delete(const char* path);
/// Moves the path (file, link or directory tree) into the freedesktop.org
/// trash of its volume when that volume already has one, else removes it.
/// A path that does not exist counts as removed (0).
int os_win_remove_maybe_recycle(const char* path);
/// Creates a symbolic link `link` -> `target` (text kept verbatim after a
/// leading "\\?\" or "\?\" is dropped), creating missing parents; with `st`
/// its times and owners are set. `is_dir` only documents the target's kind
/// on POSIX. On failure nothing is left at `link` and errno is kept.
int os_symlink2(const char* link, const char* target, bool is_dir, const os_set_stat* st);
/// A junction is a symbolic link to the target's absolute path (a relative
/// target is taken from the current directory; a leading "\??\" is dropped).
int os_create_junction(const char* path, const char* target, const os_set_stat* st);
/// Creates the directory with every missing parent. An existing directory
/// succeeds; an existing non-directory on the way fails with EACCES.
int os_mkdirs(const char* path);
/// os_mkdirs of the path without its last component (0 when it has none).
int os_mkdirs_parent(const char* path);
/// Removes an empty directory.
int os_rmdir(const char* path);

// ---------------------------------------------------------------------------
// Directory listing.

/// One entry of a directory, without "." and "..".
struct os_dirent {
  std::string name;
  os_stat_t st;              // lstat of the entry (attrib filled)
  std::string link;          // target text of a symbolic link, else empty
  bool link_is_dir = false;  // the link resolves to a directory
};

struct os_dir;  // an open directory listing
struct os_dir_closer {
  void operator()(os_dir* d) const;
};
using os_dir_uptr = std::unique_ptr<os_dir, os_dir_closer>;

/// Opens a directory for listing; nullptr with errno on failure.
os_dir_uptr os_dir_open(const char* path);
/// Next entry: 1 with `ent` filled, 0 at the end, -1 on a read error (errno).
/// An entry that vanishes between listing and stat is skipped.
int os_dir_read(os_dir* dir, os_dirent* ent);
/// Ends a listing (the same as letting the pointer go).
void os_dir_close(os_dir_uptr dir);
/// One-shot listing in directory order: 0 or -1 with errno.
int os_dir_list(const char* path, std::vector<os_dirent>* out);
