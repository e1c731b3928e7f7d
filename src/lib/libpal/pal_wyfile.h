// wyfile: the buffered stream layer on top of the file object, used by the
// log file and the ini files. Every stream operation takes the stream's lock.
//
// Failures return -1 (or nullptr) with errno set, as the file object does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "pal_file.h"

constexpr uint32_t VFILE_MAGIC = 0x4C494656;  // "VFIL"
constexpr size_t WYFILE_BUF_SIZE = 262144;

/// Share codes given beside the mode.
enum : int {
  WY_SH_DENYRW = 16,  // adds no share bits
  WY_SH_DENYWR = 32,  // 0x500
  WY_SH_DENYRD = 48,  // 0x600
  WY_SH_DENYNO = 64,  // 0x700
  WY_SH_SECURE = 128, // 0x100 for a read-only stream
};

struct wyfile;

/// Opens a stream. `mode` starts with "r" (read), "w" (write, create,
/// truncate) or "a" (write, create, every write at the end); then "+" makes it
/// read and write, "b"/"t" pick binary or text (text does no line-end
/// translation on POSIX); any other character ends the mode. `share` is one
/// of the WY_SH_* codes. With `drv` the file object comes from that driver
/// instead of the usual path lookup. Returns the stream or nullptr (errno
/// EINVAL for a bad mode or share code, else the open's error).
wyfile* wyfile_vfs_open(const char* path, const char* mode, int share, const os_file_drv* drv);
/// wyfile_vfs_open without a driver.
wyfile* wyfile_fsopen(const char* path, const char* mode, int share);
/// wyfile_fsopen with WY_SH_DENYNO (others may read and write).
wyfile* wyfile_open(const char* path, const char* mode);
/// Flushes, closes the file, clears the magic and frees the stream. Returns 0,
/// or -1 when the flush or the close failed (the stream is freed anyway).
int wyfile_close(wyfile* f);

/// Buffered write of `size` bytes: the count, or -1. With line buffering on,
/// everything up to the last "\n" reaches the file before the call returns.
int64_t wyfile_write(wyfile* f, const void* data, size_t size);
/// Writes a text: its length or -1.
int64_t wyfile_puts(wyfile* f, const char* s);
/// Formatted write: the length written or -1.
int64_t wyfile_printf(wyfile* f, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
/// Buffered read: bytes read (0 at end of file) or -1.
int64_t wyfile_read(wyfile* f, void* buf, size_t size);
/// Reads one line without its "\n" into `line` (lines longer than 1 MiB come
/// in pieces): 1 when something was read, 0 at end of file, -1 on error.
int wyfile_gets(wyfile* f, std::string* line);
/// Writes out the stream's buffered data; with f == nullptr every open
/// stream that was opened for writing. 0 or -1 (some stream failed).
int wyfile_flush(wyfile* f);
/// Turns line buffering on or off: 0, -1 for a bad stream.
int wyfile_set_linebuf(wyfile* f, bool on);
/// Moves the stream position (SEEK_SET/CUR/END): the new position or -1.
int64_t wyfile_seek(wyfile* f, int64_t offset, int whence);
/// The stream position, -1 for a bad stream.
int64_t wyfile_tell(wyfile* f);
/// File size including buffered data (flushed first), or -1.
int64_t wyfile_size(wyfile* f);
/// The last `n` bytes of the file (fewer when it is smaller) into `out`,
/// after a flush; the stream position is unchanged. Bytes read or -1.
int64_t wyfile_read_tail(wyfile* f, size_t n, std::string* out);
/// True when something exists at the path.
bool wyfile_exists(const char* path);

struct wyfile_closer {
  void operator()(wyfile* f) const { wyfile_close(f); }
};
using wyfile_uptr = std::unique_ptr<wyfile, wyfile_closer>;
