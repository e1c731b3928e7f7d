// The multi-file object: runs whole lists against one base directory on its
// own command thread and queues the results as text and data records.
#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "libpal.h"
#include "liblog.h"
#include "librdir.h"
#include "rdir_imp.h"

WY_LOG_TAG("rdir");

namespace {

constexpr int kRetWriteTimeoutMs = 500;
// Gathering a command's results into one answer: how long it may wait for
// the next record, how long in all (at most a quarter of the read
// time-out), and the room below which the buffer counts as full.
constexpr int kGatherIdleMs = 100;
constexpr int kGatherMaxMs = 500;
constexpr size_t kGatherMinRoom = 64;
// Read, share all. No sequential hint: a small file is read whole at once,
// and the hint costs a system call per file.
constexpr uint64_t kOpenRead = OS_FILE_READ | OS_FILE_SHARE_ALL;
constexpr uint64_t kOpenWrite = 0x2A;    // write, create, truncate
constexpr int kBadName = -104;           // "Invalid (malformed) file/path name."
constexpr int kBadLength = -31;          // "Invalid data length."
constexpr int kVerrLoop = -156;          // a link where a file was to be read
constexpr int kVerrAccess = -38;         // access refused

int ret_end_test(const char* data, uint32_t len) { return mfile_is_ret_end(data, len) ? 1 : 0; }

bool is_link_mode(uint32_t mode) { return (mode & 0170000) == 0120000; }
bool is_dir_mode(uint32_t mode) { return (mode & 0170000) == 0040000; }

}  // namespace

struct libmfile {
  // The data records of a read list waiting to be queued together,
  // max_mfile_size bytes (at least an error record). Never initialised:
  // records are sent only as far as they were written, and the pages that
  // no file's data reached stay unused.
  std::unique_ptr<uint8_t[]> data;
  uint32_t max_mfile_size = 0;
  int read_timeout_ms = RDIR_DEF_READ_TIMEOUT_MS;
  std::string base;  // command thread only
  const os_root* root = nullptr;
  qbuf_ptr hq;
  cmder* hcmd = nullptr;
  cdir_err* err = nullptr;
  // The base directory as last posted, for the collector's log line.
  std::mutex post_mu;
  std::string post_base;
  // Threads that write the files of one write list beside the command
  // thread; none when the object writes alone.
  std::unique_ptr<os_pool> pool;

  // The command thread ends first: the pool's threads only work inside
  // one of its commands.
  ~libmfile() {
    rdir_cmder_stop(hcmd);
    pool.reset();
  }
};

namespace {

void put(libmfile* h, const void* p, size_t n, qbuf_split split = nullptr) {
  if (qbuf_write_timeout(h->hq.get(), p, static_cast<uint32_t>(n), kRetWriteTimeoutMs, split) < 0)
    LOGE("qbuf_write_timeout failed\n");
}
void put(libmfile* h, const std::string& s) { put(h, s.data(), s.size()); }
void put_end(libmfile* h) { put(h, "\n", 1); }
void put_code(libmfile* h, int code) { put(h, std::to_string(code) + "\t"); }

// Calls f for each line of the list; a final line feed ends the last line
// rather than starting an empty one. f returns false to end the list.
template <class F>
void for_each_line(std::string_view list, F f) {
  while (!list.empty()) {
    size_t p = list.find('\n');
    std::string_view line = list.substr(0, p);
    list = p == std::string_view::npos ? std::string_view() : list.substr(p + 1);
    if (!f(line)) break;
  }
}

// base directory + name for a name that stands for exactly one entry inside
// the base directory. Anything else (no base, an empty name, ".", "..", a
// separator or a NUL) never reaches the file system: it could name the base
// directory itself or something outside it.
int entry_path(libmfile* h, std::string_view name, std::string* path) {
  if (h->base.empty() || name.empty() || name == "." || name == ".." ||
      name.find_first_of(std::string_view("/\\\0", 3)) != std::string_view::npos) {
    LOGE("[%s] invalid name [%s]\n", h->base.c_str(), rdir_escape_name(name).c_str());
    return kBadName;
  }
  *path = h->base;
  // A peer's base may end with either separator.
  if (path->back() != '/' && !(h->root && path->back() == '\\')) path->push_back('/');
  path->append(name);
  return 0;
}

int last_verr() { return os_last_verr(); }

// True for the failures an open that does not follow a link ends with on
// one: refused beneath a root, ELOOP without one.
bool maybe_link_refusal(int verr) { return verr == kVerrAccess || verr == kVerrLoop; }

// True when `path` is a link itself (not followed).
bool is_link_at(const os_root* root, const std::string& path) {
  os_stat_t st;
  return os_at_stat(root, path.c_str(), &st) == 0 && is_link_mode(st.mode);
}

// A link at a path that is about to be written is replaced, not followed: a
// write list must never write through a link to somewhere else.
// Opens a file of a write list for writing with one open in the usual
// case: the open never follows a link in the last place (refused beneath a
// root, ELOOP without one), and only such a failure costs a look at what
// is there; a link is then replaced by the file. Null with the platform
// code of the failure in *verr.
os_file2* open_for_write(const os_root* root, const std::string& path, int* verr) {
  os_file2* f = os_at_file_open(root, path.c_str(), kOpenWrite | OS_FILE_NOFOLLOW);
  if (f) return f;
  int code = last_verr();
  if (!maybe_link_refusal(code) || !is_link_at(root, path)) {
    *verr = code;
    return nullptr;
  }
  os_at_unlink(root, path.c_str());
  f = os_at_file_open(root, path.c_str(), kOpenWrite | OS_FILE_NOFOLLOW);
  if (!f) *verr = last_verr();
  return f;
}

// Where a block of results may be cut for a collector with `room` bytes
// left: after the last whole text line, or the last whole data record
// (a 4-byte head whose low bits count the bytes behind it) that fits.
uint32_t split_lines(const unsigned char* p, uint32_t len, uint32_t room) {
  std::string_view v(reinterpret_cast<const char*>(p), std::min(len, room));
  size_t nl = v.rfind('\n');
  return nl == std::string_view::npos ? 0 : static_cast<uint32_t>(nl + 1);
}
uint32_t split_records(const unsigned char* p, uint32_t len, uint32_t room) {
  uint32_t at = 0;
  while (len - at >= 4) {
    uint32_t v = (uint32_t{p[at]} << 24) | (uint32_t{p[at + 1]} << 16) | (uint32_t{p[at + 2]} << 8) | p[at + 3];
    uint64_t next = uint64_t{at} + 4 + (v & RDIR_MAX_MLEN);
    if (next > room || next > len) break;
    at = static_cast<uint32_t>(next);
  }
  return at;
}

// Records of a read list gathered in the object's data buffer and queued
// together: a queued block wakes the collector, and one wake per file
// costs more than reading a small file. The collector takes such a block
// in parts when it does not fit whole, never cutting a record.
class read_batch {
 public:
  read_batch(libmfile* h, size_t cap) : h_(h), cap_(cap) {}
  ~read_batch() { flush(); }
  /// Room for a record of n bytes (n <= cap).
  uint8_t* room(size_t n) {
    if (fill_ + n > cap_) flush();
    return h_->data.get() + fill_;
  }
  void commit(size_t n) { fill_ += n; }
  void flush() {
    if (fill_ > 0) put(h_, h_->data.get(), fill_, split_records);
    fill_ = 0;
  }

 private:
  libmfile* h_;
  size_t cap_;
  size_t fill_ = 0;
};

constexpr size_t kErrRecord = 8;

void put_read_err(read_batch* b, uint32_t flag, int code) {
  uint8_t* rec = b->room(kErrRecord);
  libmfile_read_set_data_len_err(rec, 4, flag);
  uint32_t v = static_cast<uint32_t>(code);
  for (int i = 0; i < 4; i++) rec[4 + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
  b->commit(kErrRecord);
}

// The longest data a read list may be answered with for a file.
uint32_t read_max(const libmfile* h) { return h->max_mfile_size > 4 ? h->max_mfile_size - 4 : 0; }

void read_one(libmfile* h, read_batch* b, std::string_view name, uint32_t len) {
  std::string path;
  int rc = entry_path(h, name, &path);
  if (rc < 0) return put_read_err(b, RDIR_DATA_OPEN_ERR, rc);
  if (len > read_max(h)) {
    LOGE("[%s] len=%u > max=%u\n", path.c_str(), len, read_max(h));
    return put_read_err(b, RDIR_DATA_OPEN_ERR, kBadLength);
  }
  // Links travel as link records, never as contents: reading through one
  // could read a file outside the base directory. The open never follows
  // one in the last place; only when it fails is it asked whether a link
  // was the cause.
  os_file_uptr f(os_at_file_open(h->root, path.c_str(), kOpenRead | OS_FILE_NOFOLLOW));
  if (!f) {
    int code = last_verr();
    if (maybe_link_refusal(code) && is_link_at(h->root, path)) {
      LOGE("[%s] is a link, not read\n", path.c_str());
      return put_read_err(b, RDIR_DATA_OPEN_ERR, kVerrLoop);
    }
    return put_read_err(b, RDIR_DATA_OPEN_ERR, code);
  }
  uint8_t* rec = b->room(4 + size_t{len});
  uint8_t* out = rec + 4;
  uint32_t got = 0;
  while (got < len) {
    int64_t n = os_file_read(f.get(), out + got, len - got);
    if (n < 0) {
      int code = last_verr();
      LOGES("o_read [%s] eno=%d error: ", path.c_str(), code);
      return put_read_err(b, RDIR_DATA_READ_ERR, code);
    }
    if (n == 0) break;
    got += static_cast<uint32_t>(n);
  }
  libmfile_read_set_data_len_err(rec, got, 0);
  b->commit(4 + size_t{got});
}

void cmd_read_list(libmfile* h, std::string_view list) {
  read_batch batch(h, std::max<size_t>(h->max_mfile_size, kErrRecord));
  for_each_line(list, [&](std::string_view line) {
    size_t tab = line.find('\t');
    uint32_t len = 0;
    if (tab == std::string_view::npos ||
        str_scanf_sep_val_imp(line.substr(tab + 1), '\t', "u32", {&len}) != 1) {
      LOGE("invalid name_list\n");
      return false;
    }
    read_one(h, &batch, line.substr(0, tab), len);
    return true;
  });
}

void make_base(libmfile* h) {
  if (!h->base.empty() && os_at_mkdirs(h->root, h->base.c_str()) < 0)
    LOGES("mkdirs %s eno=%d error: ", h->base.c_str(), last_verr());
}

void cmd_mkdir_list(libmfile* h, std::string_view list) {
  make_base(h);
  for_each_line(list, [h](std::string_view line) {
    rdir_line l;
    if (libmfile_dir_scanf(line, &l) < 0) return false;
    std::string path;
    int rc = entry_path(h, l.name, &path);
    if (rc == 0) {
      if (os_at_mkdirs(h->root, path.c_str()) < 0) {
        rc = last_verr();
        LOGES("mkdirs %s eno=%d error: ", path.c_str(), rc);
      } else {
        os_set_stat ss = rdir_set_stat_of(l.st);
        os_at_set_stat(h->root, path.c_str(), &ss);
      }
    }
    put_code(h, rc);
    return true;
  });
}

// Creates an empty file or a link (`libfile_create_file`). Returns the kind
// (0 or 1) and sets the value.
int create_file(const os_root* root, const rdir_line& l, const std::string& path, int* value) {
  os_set_stat ss = rdir_set_stat_of(l.st);
  *value = 0;
  if (l.st.flags & RDIR_FLAG_LINK) {
    std::string target(l.link);
    os_stat_t st;
    if (os_at_stat(root, path.c_str(), &st) == 0) {
      if (is_dir_mode(st.mode))
        os_at_rmdir(root, path.c_str());
      else
        os_at_unlink(root, path.c_str());
    }
    // Beneath a root a junction is a link whose text is kept as given:
    // making its target absolute would name the server's real path.
    if ((l.st.flags & RDIR_FLAG_JUNCTION) && !root) {
      if (os_create_junction(path.c_str(), target.c_str(), &ss) < 0) {
        *value = last_verr();
        LOGES("os_create_junction [%s]->[%s] eno=%d error: ", path.c_str(), target.c_str(), *value);
        return 1;
      }
    } else if (root ? os_at_symlink(root, path.c_str(), target.c_str(), &ss) < 0
                    : os_symlink2(path.c_str(), target.c_str(), (l.st.flags & RDIR_TYPE_MASK) == RDIR_TYPE_DIR,
                                  &ss) < 0) {
      *value = last_verr();
      LOGES("os_symlink2 [%s]->[%s] eno=%d error: ", path.c_str(), target.c_str(), *value);
      return 1;
    }
    return 0;
  }
  os_file_uptr f(open_for_write(root, path, value));
  if (!f) {
    LOGES("o_open [%s] eno=%d error: ", path.c_str(), *value);
    return 1;
  }
  os_file_set_stat(f.get(), &ss);
  return 0;
}

// Size of what a base64 text decodes to, or -1 when its length is not a
// whole number of groups.
int64_t b64_decoded_len(std::string_view s) {
  if (s.size() % 4 != 0) return -1;
  int64_t n = static_cast<int64_t>(s.size() / 4 * 3);
  if (!s.empty() && s.back() == '=') n--;
  if (s.size() > 1 && s[s.size() - 2] == '=') n--;
  return n;
}

// Writes one file of a write list whose data is decoded already (`data`
// null for an empty file or a link): the kind of its result (0 written, 1
// not opened or made, 2 not written whole) and the value (bytes or cause).
int write_file(const os_root* root, const rdir_line& l, const std::string& path, const uint8_t* data, int64_t n,
               int* value) {
  if (data == nullptr) return create_file(root, l, path, value);
  os_file_uptr f(open_for_write(root, path, value));
  if (!f) {
    LOGES("o_open [%s] eno=%d error: ", path.c_str(), *value);
    return 1;
  }
  int64_t done = 0;
  while (done < n) {
    int64_t w = os_file_write(f.get(), data + done, n - done);
    if (w <= 0) {
      *value = w < 0 ? last_verr() : -1;
      LOGES("o_write [%s] eno=%d error: ", path.c_str(), *value);
      return 2;
    }
    done += w;
  }
  os_set_stat ss = rdir_set_stat_of(l.st);
  os_file_set_stat(f.get(), &ss);
  *value = static_cast<int>(n);
  return 0;
}

// One line of a write list as the command thread prepared it: its path and
// decoded data, or a result decided without touching a file.
struct write_item {
  rdir_line l;
  std::string path;
  size_t off = 0;   // decoded data in the list's buffer
  int64_t len = -1;  // -1: no data (an empty file or a link)
  bool decided = false;
  int kind = 0, value = 0;
};

// Decoded data of one batch of a write list: a peer's list may be as long
// as a frame, and only this much of it is held decoded at a time.
constexpr size_t kWriteBatchBytes = 4 << 20;

/// The decoded files of a write batch, one after the other. Never zero-filled:
/// each file's bytes are written by its decode before they are read.
class decoded_files {
 public:
  size_t size() const { return size_; }
  uint8_t* data() { return buf_.get(); }
  void clear() { size_ = 0; }
  /// `n` bytes of room at the end (the size does not change); throws
  /// std::bad_alloc.
  uint8_t* room(size_t n) {
    if (size_ + n > cap_) {
      size_t cap = std::max(size_ + n, std::min(cap_ * 2 + (64 << 10), kWriteBatchBytes * 2));
      auto b = std::make_unique_for_overwrite<uint8_t[]>(cap);
      if (size_ != 0) memcpy(b.get(), buf_.get(), size_);
      buf_ = std::move(b);
      cap_ = cap;
    }
    return buf_.get() + size_;
  }
  void grow(size_t n) { size_ += n; }

 private:
  std::unique_ptr<uint8_t[]> buf_;
  size_t size_ = 0, cap_ = 0;
};

// Parses, checks and decodes the next lines of a write list into `items`
// and `data`, taking them off `list`, until about kWriteBatchBytes are
// decoded. False when a line that does not parse or decode ended the list
// there, as if it had been its last line.
bool prepare_write_batch(libmfile* h, std::string_view* list, std::vector<write_item>* items, decoded_files* data) {
  while (!list->empty() && data->size() < kWriteBatchBytes) {
    size_t p = list->find('\n');
    std::string_view line = list->substr(0, p);
    *list = p == std::string_view::npos ? std::string_view() : list->substr(p + 1);
    write_item w;
    if (libmfile_write_scanf(line, &w.l) < 0) return false;
    int rc = entry_path(h, w.l.name, &w.path);
    if (rc < 0) {
      w.decided = true;
      w.kind = 1;
      w.value = rc;
    } else if (!w.l.data.empty()) {
      int64_t want = b64_decoded_len(w.l.data);
      if (want > static_cast<int64_t>(h->max_mfile_size)) {
        LOGE("[%s] data of %lld bytes > max_mfile_size=%u\n", w.path.c_str(), static_cast<long long>(want),
             h->max_mfile_size);
        w.decided = true;
        w.kind = 1;
        w.value = kBadLength;
      } else {
        // Room for what the text can decode to (blanks in it are skipped),
        // never more than one file may hold.
        size_t room = std::min<size_t>(h->max_mfile_size, w.l.data.size() / 4 * 3 + 3);
        w.off = data->size();
        int n = base64_decode(w.l.data.data(), w.l.data.size(), data->room(room), room);
        data->grow(static_cast<size_t>(std::max(n, 0)));
        if (n < 1) {
          LOGE("file_data base64 decode error");
          return false;
        }
        w.len = n;
      }
    }
    items->push_back(std::move(w));
  }
  return true;
}

// True when two lines of the list name the same file: written at once on
// two threads, which of them is left would be chance.
bool names_repeat(const std::vector<write_item>& items) {
  std::unordered_set<std::string_view> seen;
  for (const write_item& w : items)
    if (!w.decided && !seen.insert(w.l.name).second) return true;
  return false;
}

// Bytes of write results queued as one block.
constexpr size_t kResultBlock = 2048;

// Writes the files of a write list, on the object's pool threads when it
// has them. Results go out strictly in list order, a block of them as soon
// as they and every one before them are known, so the collector can take
// them while the rest are still being written.
void cmd_write_list(libmfile* h, std::string_view list) {
  make_base(h);
  std::vector<write_item> items;
  decoded_files data;
  std::mutex mu;
  size_t next = 0;
  std::vector<uint8_t> done;
  std::string out;  // results known in order, not queued yet
  auto one = [&](int, uint64_t i) {
    write_item& w = items[i];
    if (!w.decided)
      w.kind = write_file(h->root, w.l, w.path, w.len < 0 ? nullptr : data.data() + w.off, w.len, &w.value);
    std::lock_guard<std::mutex> lk(mu);
    done[i] = 1;
    for (; next < items.size() && done[next]; next++) {
      out += std::to_string(items[next].kind);
      out += '\t';
      out += std::to_string(items[next].value);
      out += '\n';
    }
    // Queued a few at a time (each queued block wakes the collector), and
    // the last of a batch at once.
    if (out.size() >= kResultBlock || next == items.size()) {
      put(h, out.data(), out.size(), split_lines);
      out.clear();
    }
    return true;
  };
  for (bool whole = true; whole && !list.empty();) {
    items.clear();
    data.clear();
    whole = prepare_write_batch(h, &list, &items, &data);
    next = 0;
    done.assign(items.size(), 0);
    if (h->pool && items.size() > 1 && !names_repeat(items)) {
      h->pool->run(items.size(), one);
    } else {
      for (uint64_t i = 0; i < items.size(); i++) one(0, i);
    }
  }
}

int remove_entry(const os_root* root, const std::string& path) {
  if (os_at_remove(root, path.c_str()) == 0) return 0;
  int code = last_verr();
  LOGES("remove [%s] eno=%d error: ", path.c_str(), code);
  return code;
}

void cmd_del_list(libmfile* h, std::string_view list) {
  for_each_line(list, [h](std::string_view line) {
    std::string path;
    int rc = entry_path(h, line, &path);
    if (rc == 0) rc = remove_entry(h->root, path);
    put_code(h, rc);
    return true;
  });
}

void cmd_del_files(libmfile* h) {
  os_dir_uptr d = h->base.empty() ? nullptr : os_at_dir_open(h->root, h->base.c_str());
  if (!d) {
    int code = h->base.empty() ? kBadName : last_verr();
    LOGE("opendir [%s] veno=%d %s\n", h->base.c_str(), code, verr2str(code));
    put(h, "D\t" + std::to_string(code) + "\t$");
    return;
  }
  std::vector<std::string> names;
  os_dirent e;
  while (os_dir_read(d.get(), &e) > 0) {
    if (e.name == "." || e.name == ".." || is_dir_mode(e.st.mode)) continue;
    names.push_back(e.name);
  }
  d.reset();
  put(h, "F\t", 2);
  for (const std::string& name : names) {
    std::string path;
    int rc = entry_path(h, name, &path);
    if (rc == 0) rc = remove_entry(h->root, path);
    put_code(h, rc);
  }
  put(h, "$", 1);
}

void mfile_msg_proc(uint32_t id, void* payload, cmder_ctx* ctx) {
  libmfile* h = static_cast<libmfile*>(ctx->user);
  // The payload is the base directory and the list, each with its NUL, as
  // libmfile_cmd_add_list built it.
  const char* base = payload ? static_cast<const char*>(payload) : "";
  const char* list = payload ? base + strlen(base) + 1 : "";
  if (*base) h->base = base;
  switch (id) {
    case MFILE_CMD_READ_LIST: cmd_read_list(h, list); break;
    case MFILE_CMD_MKDIR_LIST: cmd_mkdir_list(h, list); break;
    case MFILE_CMD_WRITE_LIST: cmd_write_list(h, list); break;
    case MFILE_CMD_DEL_LIST: cmd_del_list(h, list); break;
    case MFILE_CMD_DEL_FILES: cmd_del_files(h); break;
    default: LOGE("msg id=%u error\n", id); break;
  }
  // Every command ends its results, also one that stopped early, so the
  // collector never waits for results that will not come.
  put_end(h);
}

}  // namespace

libmfile* libmfile_open(const libmfile_param& p) {
  std::unique_ptr<libmfile> h;
  try {
    h = std::make_unique<libmfile>();
  } catch (const std::bad_alloc&) {
    CDIR_ERR_SET(p.err, -8, "%s", "");
    return nullptr;
  }
  try {
    // A record's 4-byte header, and an error record, always fit however
    // small the peer asked the object to be: a file of length 0 is still
    // answered with one.
    h->data = std::make_unique_for_overwrite<uint8_t[]>(std::max<size_t>(p.max_mfile_size, kErrRecord));
  } catch (const std::bad_alloc&) {
    LOGE("max_mfile_size=%u alloc failed\n", p.max_mfile_size);
    CDIR_ERR_SET(p.err, -8, "%s", "");
    return nullptr;
  }
  h->max_mfile_size = p.max_mfile_size;
  h->read_timeout_ms = p.read_timeout_ms > 0 ? p.read_timeout_ms : RDIR_DEF_READ_TIMEOUT_MS;
  h->err = p.err;
  h->root = p.root;
  h->hq.reset(qbuf_init());
  if (!h->hq) {
    LOGE("qbuf_init failed\n");
    CDIR_ERR_SET(p.err, -8, "%s", "");
    return nullptr;
  }
  if (p.threads > 1) h->pool = std::make_unique<os_pool>("mfile_write", p.threads, nullptr);
  h->hcmd = rdir_cmder_start(h.get(), "mfile_cmder", mfile_msg_proc, p.err);
  if (!h->hcmd) return nullptr;
  return h.release();
}

int libmfile_cmd_add_list(libmfile* h, uint32_t cmd, std::string_view base_dir, std::string_view list) {
  if (!WY_CHECK(h != NULL)) return -1;
  if (!base_dir.empty()) {
    try {
      std::lock_guard<std::mutex> lk(h->post_mu);
      h->post_base = base_dir;
    } catch (const std::bad_alloc&) {
      return -4;
    }
  }
  // The list goes into the message once, however long it is.
  int ret = cmder_post_msg3(h->hcmd, cmd, {base_dir, std::string_view("", 1), list, std::string_view("", 1)}, nullptr,
                            RDIR_POST_TIMEOUT_MS);
  if (ret < 0) LOGE("cmder_post_msg3 failed\n");
  return ret;
}

int libmfile_cmd_add_list(libmfile* h, uint32_t cmd, const char* base_dir, const char* list) {
  return libmfile_cmd_add_list(h, cmd, std::string_view(base_dir ? base_dir : ""), std::string_view(list ? list : ""));
}

int libmfile_get_list_ret(libmfile* h, char* buf, size_t cap) {
  if (!WY_CHECK(h != NULL && buf != NULL && cap > 1)) return -1;
  int64_t start = os_clock_ms();
  // Once the first result is here, the rest of the command's results are
  // gathered into the same answer: one collection per list rather than one
  // per file. The gathering ends with the command's end record, when the
  // buffer is full, when nothing more came for a while, or at its bound.
  int gather_max = std::min(kGatherMaxMs, std::max(h->read_timeout_ms / 4, 1));
  int64_t first = 0, last = 0;
  size_t got = 0;
  int wait = 0;
  for (;;) {
    int end = 0;
    int n = qbuf_read_imp(h->hq.get(), buf + got, rdir_cap32(cap - 1 - got), wait, ret_end_test, &end);
    if (!WY_CHECK(n >= 0)) n = 0;
    int64_t now = os_clock_ms();
    if (n > 0) {
      if (end) {
        // A lone end record first closes an earlier command's results.
        if (n == 1 && got == 0) {
          wait = 0;
          continue;
        }
        got += static_cast<size_t>(n - 1);
        break;
      }
      if (got == 0) first = now;
      got += static_cast<size_t>(n);
      last = now;
    }
    if (got > 0) {
      if (qbuf_pending_len(h->hq.get()) > 0 || cap - 1 - got < kGatherMinRoom) break;
      int64_t left = std::min<int64_t>(first + gather_max - now, last + kGatherIdleMs - now);
      if (left <= 0) break;
      wait = static_cast<int>(left);
      continue;
    }
    if (now - start >= h->read_timeout_ms) break;
    wait = RDIR_RETRY_WAIT_MS;
  }
  if (got > 0) {
    buf[got] = '\0';
    return static_cast<int>(got);
  }
  {
    std::lock_guard<std::mutex> lk(h->post_mu);
    LOGD("[%s] readlist timeout=%d\n", h->post_base.c_str(), h->read_timeout_ms);
  }
  buf[0] = '\0';
  return 0;
}

void libmfile_close(libmfile* h) { std::unique_ptr<libmfile> own(h); }
