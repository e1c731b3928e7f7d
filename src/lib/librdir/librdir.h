// librdir: the directory reader, the multi-file list object and the stat
// records with their tab-separated text forms.
//
// Listings and multi-file lists travel as text, one record per line, fields
// separated by tabs. The same forms come from the local objects here and
// from the server, so the copy engine parses both with the same code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "pal_err.h"
#include "pal_file.h"
#include "pal_root.h"

// ---------------------------------------------------------------------------
// Stat records

/// Bits of a stat record's flags field.
enum : uint32_t {
  RDIR_TYPE_MASK = 0xFF,       // low byte: entry type
  RDIR_TYPE_DIR = 1,
  RDIR_TYPE_FILE = 2,
  RDIR_FLAG_LINK = 0x100,      // symbolic link or junction: size 0, never a directory
  RDIR_FLAG_JUNCTION = 0x200,  // with RDIR_FLAG_LINK: the link is a junction
  RDIR_FLAG_ATTRIB = 0x800,    // the attrib field is valid
};

/// Largest payload of a read-list data record (bits 0-29 of its header).
constexpr uint32_t RDIR_MAX_MLEN = 0x3FFFFFFF;

/// One stat record. As a container item, name and link point into the
/// container's string pool (link is nullptr when the entry has none); as an
/// argument they may point anywhere (an empty link counts as none).
/// Times are seconds since 1970-01-01 UTC (0 when the platform has none).
struct mstat_item {
  const char* name = "";
  const char* link = nullptr;
  uint32_t flags = 0;
  uint32_t attrib = 0;
  uint32_t mode = 0;
  uint32_t uid = 0;
  uint32_t gid = 0;
  int64_t size = 0;
  int64_t atime = 0;  // access
  int64_t wtime = 0;  // write
  int64_t ctime = 0;  // creation
};

/// Stat container: one directory's records, reference counted so that the
/// lists can be handed between threads without copying.
struct mstat;

/// Parameters of a new container: the string pool's block size and the
/// item array's first capacity (0 picks the defaults, 64 KiB and 16).
struct mstat_param {
  uint32_t pool_block = 0;
  uint32_t item_init = 0;
};

/// New empty container with a reference count of 0 (one holder), or nullptr
/// when memory runs out. `p` may be nullptr.
mstat* mstat_new(const mstat_param* p = nullptr);
/// Adds a holder (atomically). Every holder releases with mstat_exit.
/// Returns 0, or -1 (assertion "h!=NULL" logged) for a null container.
int mstat_ref(mstat* h);
/// Releases one holder: a count above 0 is only decremented (atomically); at
/// 0 the pool, the array and the container are freed. Returns 0, or -1 with
/// the assertion "h!=NULL" logged for a null container.
int mstat_exit(mstat* h);
/// Appends a copy of `rec`, its name and link copied into the pool (an empty
/// link is stored as nullptr). Returns the item (valid until the next
/// append), or nullptr: a null container logs "h!=NULL"; exhausted memory
/// counts a failure and skips the record.
mstat_item* mstat_cp_alloc(mstat* h, const mstat_item& rec);
/// As above with the texts given apart (rec.name and rec.link are ignored);
/// the texts need no terminator.
mstat_item* mstat_cp_alloc(mstat* h, const mstat_item& rec, std::string_view name,
                           std::string_view link);
/// First item (insertion order, mutable so holders may sort) and the count
/// through `count` (may be nullptr). A null container logs "h!=NULL", sets
/// the count to 0 and returns nullptr; an empty one returns nullptr too.
mstat_item* mstat_get_item(mstat* h, uint64_t* count);
/// Records that could not be stored for lack of memory (0 for null).
uint64_t mstat_fail_count(const mstat* h);

/// Owning handle that releases its holder with mstat_exit.
struct mstat_release {
  void operator()(mstat* h) const { mstat_exit(h); }
};
using mstat_ptr = std::unique_ptr<mstat, mstat_release>;

// ---------------------------------------------------------------------------
// Text forms

/// Destination of one field of str_scanf_sep_val_imp: "str" takes a
/// string_view (pointing into the line), "x32"/"u32" a uint32_t, "x64"/"u64"/
/// "size" a uint64_t, "int" an int32_t.
using str_scan_dst = std::variant<std::string_view*, uint32_t*, uint64_t*, int32_t*>;

/// Typed field parser. Splits `line` at every `sep` (empty fields kept) and
/// converts the first min(fields, types) fields by the '|'-separated type
/// list into `dst` in order. Returns the number of fields converted (it stops
/// early at a field that is not a number of its type, which callers' field
/// count checks then reject), or -1 for a type name outside the list, a
/// missing or null destination, or a destination of the wrong kind.
int str_scanf_sep_val_imp(std::string_view line, char sep, std::string_view types,
                          std::initializer_list<str_scan_dst> dst);

/// True when a name can travel in the text forms: no tab, line feed,
/// carriage return or NUL in it.
bool rdir_name_is_textsafe(std::string_view name);

/// Appends the directory record line of `it` (ended by "\n"):
/// "%s\t%s\t%x\t%x\t%x\t%lld\t%llx\t%llx\t%llx\t%u\t%u\n".
void rdir_fmt_dir_record(std::string& out, const mstat_item& it);
/// Appends the directory creation list line (no line end):
/// "%s\t%x\t%x\t%x\t%llx\t%llx\t%llx\t%u\t%u".
void rdir_fmt_mkdir_line(std::string& out, const mstat_item& it);
/// Appends the file write list line (no line end) with `b64` as its data:
/// "%s\t%s\t%x\t%x\t%x\t%llx\t%llx\t%llx\t%u\t%u\t%s".
void rdir_fmt_write_line(std::string& out, const mstat_item& it, std::string_view b64);
/// Appends the file stat control text: "%d\t%x\t%x\t%llx\t%llx\t%llx\t%u\t%u".
void rdir_fmt_fstat_line(std::string& out, const mstat_item& it);

/// What applying `st` to a file, directory or link means on this platform:
/// permissions from the mode (the read-only attribute clears the write bits
/// when the attribute word is valid), owners where allowed, and the times.
os_set_stat rdir_set_stat_of(const mstat_item& st);

/// Parses a block of directory records ("\n"-separated, empty lines dropped)
/// into `h`. Returns 0, or -1 at the first line that does not give exactly 11
/// fields ("ret=%d error: ret!=11" logged; earlier records stay) or for a
/// null container. Records that cannot be stored are counted as failures.
int str_2_stat(std::string_view text, mstat* h);
/// `name` with backslash, tab, line feed, carriage return and other control
/// bytes written as escapes, so a log line can show it whole.
std::string rdir_escape_name(std::string_view name);

/// One parsed list line; the texts point into the parsed line.
struct rdir_line {
  mstat_item st;  // st.name/st.link are not set
  std::string_view name, link, data;
};
/// Parses a directory creation list line (exactly 9 fields, else logs
/// "ret=%d error: ret!=9"). Returns 0 or -1.
int libmfile_dir_scanf(std::string_view line, rdir_line* out);
/// Parses a file write list line (exactly 11 fields, else logs
/// "ret=%d error: ret!=11"). Returns 0 or -1.
int libmfile_write_scanf(std::string_view line, rdir_line* out);
/// Parses a write result line "kind\tvalue" (exactly 2 fields, else logs
/// "ret=%d error: ret!=2"). Returns 0 or -1.
int libmfile_write_get_info(std::string_view line, int32_t* kind, int32_t* value);

/// Header bits of a read-list data record.
enum : uint32_t {
  RDIR_DATA_OPEN_ERR = 0x80000000u,  // opening the file failed; payload = error code
  RDIR_DATA_READ_ERR = 0x40000000u,  // reading it failed; payload = error code
};
/// Writes the 4-byte big-endian header: `errbits` | `len` (len is cut to
/// RDIR_MAX_MLEN).
void libmfile_read_set_data_len_err(uint8_t hdr[4], uint32_t len, uint32_t errbits);

/// A read-list data record taken apart.
struct mfile_data {
  bool open_err = false;
  bool read_err = false;
  int32_t verr = 0;           // the error code when a flag is set
  std::vector<uint8_t> data;  // owned copy of the payload otherwise
};
/// Reads one data record from `p` (`avail` bytes). Returns the bytes
/// consumed (8 for an error record, length + 4 otherwise), or -1 for a
/// malformed record: fewer than 4 bytes, both flags set, a flag with a
/// length other than 4, or a payload running past `avail`. Never reads past
/// `avail`.
int libmfile_read_get_data_len_err(const uint8_t* p, size_t avail, mfile_data* out);

// ---------------------------------------------------------------------------
// Directory reader

struct librdir;

/// Open parameters of a reader.
struct librdir_param {
  uint32_t flags = 0;           // only logged
  int32_t read_timeout_ms = 0;  // 0 means 3000
  cdir_err* err = nullptr;      // where a failed open leaves its cause (not owned)
  /// When set, every path is a peer's path resolved beneath this root
  /// (pal_root.h), and log lines name it as the peer gave it. Not owned: it
  /// outlives the reader.
  const os_root* root = nullptr;
};

/// Opens a reader on `path` and starts its first listing on the reader's
/// "rdir_cmder" thread. Returns nullptr when the directory cannot be opened
/// for listing (the error record gets the platform code and system text) or
/// memory runs out (-8).
librdir* librdir_open(const char* path, const librdir_param& p);
/// Posts the listing of `path` (one after another on the reader's thread).
/// Returns 0 or the negative result of the post ("cmder_post_msg3 failed"
/// logged).
int librdir_enum_dir(librdir* h, const char* path);
/// Longest record line a reader hands out; a longer one is left out of its
/// listing. A reading buffer needs this plus the kind byte (plus a
/// terminator where the reader of the buffer adds one).
constexpr size_t RDIR_MAX_RECORD = 8191;

/// Reads the next block: a kind byte 'F' (files, links, others) or 'D'
/// (subdirectories) followed by whole records of that stream, possibly ending
/// with its end record "\r%d" (the listing's error code). Returns the block
/// length (kind byte included), 0 when nothing arrived within the read
/// time-out ("readdir data timeout=%d" logged), or -1 for bad arguments.
/// A record longer than `cap` - 1 waits for a larger read; until then every
/// attempt waits its full step, so such a read costs no CPU while it times
/// out. Never writes more than `cap` bytes and adds no terminator.
int librdir_read_item_list(librdir* h, char* buf, size_t cap);
/// Entries that the listing whose file-stream end record was read last left
/// out (names or links the text forms cannot carry, fifos, sockets, devices,
/// over-long records); 0 before any end was read. For the reading thread.
int librdir_list_skip_count(librdir* h);
/// Drains and stops the thread and frees the reader; queued records are
/// discarded. Null is ignored.
void librdir_close(librdir* h);

// ---------------------------------------------------------------------------
// Multi-file object

struct libmfile;

/// Command ids of libmfile_cmd_add_list.
enum : uint32_t {
  MFILE_CMD_READ_LIST = 1,   // "%s\t%u" lines: name, length -> data records
  MFILE_CMD_MKDIR_LIST = 2,  // creation list lines -> "%d\t"
  MFILE_CMD_WRITE_LIST = 3,  // write list lines -> "%d\t%d\n"
  MFILE_CMD_DEL_LIST = 4,    // names -> "%d\t"
  MFILE_CMD_DEL_FILES = 5,   // no list -> "F\t", "%d\t"..., "$" (or "D\t%d\t$")
};

/// Open parameters of a multi-file object.
struct libmfile_param {
  uint32_t max_mfile_size = 0;  // data buffer size; read lengths <= this - 4
  int32_t read_timeout_ms = 0;  // result collection time-out
  cdir_err* err = nullptr;      // not owned
  /// When set, base directories and names are a peer's, resolved beneath
  /// this root on every operation; a link is created with its text as
  /// given (a junction too). Not owned: it outlives the object.
  const os_root* root = nullptr;
  /// Threads that write the files of one write list (1: the object's
  /// command thread alone). Results stay in list order.
  int threads = 1;
};

/// Opens a multi-file object and starts its "mfile_cmder" thread. Returns
/// nullptr when the data buffer ("max_mfile_size=%u alloc failed"), the
/// result queue or the thread cannot be made (error record -8).
libmfile* libmfile_open(const libmfile_param& p);
/// Posts command `cmd` (MFILE_CMD_*) with a base directory (null or empty
/// keeps the current one) and a list text (null counts as empty). Returns 0
/// or the negative result of the post ("cmder_post_msg3 failed" logged).
int libmfile_cmd_add_list(libmfile* h, uint32_t cmd, const char* base_dir, const char* list);
/// The same with texts that need no NUL (neither may hold one).
int libmfile_cmd_add_list(libmfile* h, uint32_t cmd, std::string_view base_dir, std::string_view list);
/// Collects results into `buf` (at most `cap` - 1 bytes; the byte after the
/// results is set to 0). Skips a lone end record left by an earlier command
/// and drops the end record that closes the current one. Once a result has
/// come, waits on for the rest of the command's (up to its end record, a
/// full buffer, 100 ms without a new record, or 500 ms in all, at most a
/// quarter of the read time-out), so a list is usually answered at once;
/// never takes results of two commands. Returns the length collected, 0
/// after the read time-out ("[%s] readlist timeout=%d" logged), or -1 for
/// bad arguments.
int libmfile_get_list_ret(libmfile* h, char* buf, size_t cap);
/// Drains and stops the thread, frees the buffers and the object. Null is
/// ignored.
void libmfile_close(libmfile* h);

/// The commands by name.
inline int libmfile_read_list(libmfile* h, const char* base, const char* list) {
  return libmfile_cmd_add_list(h, MFILE_CMD_READ_LIST, base, list);
}
inline int libmfile_create_dir(libmfile* h, const char* base, const char* list) {
  return libmfile_cmd_add_list(h, MFILE_CMD_MKDIR_LIST, base, list);
}
inline int libmfile_write_list(libmfile* h, const char* base, const char* list) {
  return libmfile_cmd_add_list(h, MFILE_CMD_WRITE_LIST, base, list);
}
inline int libmfile_del_list(libmfile* h, const char* base, const char* list) {
  return libmfile_cmd_add_list(h, MFILE_CMD_DEL_LIST, base, list);
}
inline int libmfile_del_files(libmfile* h, const char* base) {
  return libmfile_cmd_add_list(h, MFILE_CMD_DEL_FILES, base, nullptr);
}
