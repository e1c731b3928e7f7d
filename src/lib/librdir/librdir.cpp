// The directory reader: lists one directory at a time on its own command
// thread and hands the records out in two streams, subdirectories and
// everything else, through two queue buffers.
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "libpal.h"
#include "liblog.h"
#include "librdir.h"
#include "rdir_imp.h"

WY_LOG_TAG("rdir");

namespace {

constexpr int kWriteTimeoutMs = 5000;
constexpr uint32_t kMsgOpenDir = 1;

int list_end_test(const char* data, uint32_t len) { return rdir_is_list_end(data, len) ? 1 : 0; }

}  // namespace

struct librdir {
  std::string path;
  const os_root* root = nullptr;
  cdir_err* err = nullptr;
  int write_timeout_ms = kWriteTimeoutMs;
  int read_timeout_ms = RDIR_DEF_READ_TIMEOUT_MS;
  qbuf_ptr hq_dir;
  qbuf_ptr hq_file;
  // Entries each finished listing left out, oldest first: the command
  // thread may list several directories ahead of the reading thread, so
  // the count travels in order with the listings' end records.
  std::mutex skip_mu;
  std::deque<int> skips;
  // Touched only by the reading thread.
  uint8_t file_ended = 0;
  uint8_t dir_ended = 0;
  int last_skips = 0;  // of the listing whose file-stream end was read last
  // Touched only by the command thread.
  int32_t veno = 0;
  cmder* hcmd = nullptr;

  ~librdir() { rdir_cmder_stop(hcmd); }
};

namespace {

// The record of one entry, as DESIGN.md maps it onto POSIX: real permission
// bits and owners, the derived attribute word, flag 0x800 always set.
mstat_item entry_record(const os_dirent& e) {
  mstat_item r;
  bool is_link = (e.st.mode & 0170000) == 0120000;
  bool is_dir = is_link ? e.link_is_dir : (e.st.mode & 0170000) == 0040000;
  r.name = e.name.c_str();
  r.link = is_link ? e.link.c_str() : "";
  r.flags = (is_dir ? RDIR_TYPE_DIR : RDIR_TYPE_FILE) | RDIR_FLAG_ATTRIB | (is_link ? uint32_t{RDIR_FLAG_LINK} : 0u);
  r.attrib = e.st.attrib;
  r.mode = e.st.mode & 07777;
  // A directory has no size of its own in a listing, a link's size is 0.
  r.size = (is_link || is_dir) ? 0 : static_cast<int64_t>(e.st.size);
  r.ctime = e.st.btime.sec;
  r.wtime = e.st.mtime.sec;
  r.atime = e.st.atime.sec;
  r.uid = e.st.uid;
  r.gid = e.st.gid;
  return r;
}

/// What a listing cannot show as a file, directory or link; nullptr for
/// those. Copying one as a file would make an empty regular file of it.
const char* special_kind(uint32_t mode) {
  switch (mode & 0170000) {
    case 0010000:
      return "fifo";
    case 0140000:
      return "socket";
    case 0020000:
      return "character device";
    case 0060000:
      return "block device";
    default:
      return nullptr;
  }
}

/// Queues one record. A record that cannot be queued is lost; the listing
/// then ends with an error code instead of passing for complete, so that no
/// one deletes on its account. Returns 0 or -1.
int write_record(librdir* h, bool to_dir, const std::string& rec) {
  qbuf* q = to_dir ? h->hq_dir.get() : h->hq_file.get();
  if (qbuf_write_timeout(q, rec.data(), static_cast<uint32_t>(rec.size()), h->write_timeout_ms) < 0) {
    LOGE("qbuf_write_timeout hqbuf_file failed\n");
    return -1;
  }
  return 0;
}

/// Records of one stream gathered into blocks of at most RDIR_MAX_RECORD
/// bytes, which every reading buffer holds: one queue hand-over (and one
/// wake-up of the reading thread) per block instead of one per entry.
class record_batch {
 public:
  record_batch(librdir* h, bool to_dir) : h_(h), to_dir_(to_dir) {}
  void add(const std::string& rec) {
    if (buf_.size() + rec.size() > RDIR_MAX_RECORD) flush();
    buf_ += rec;
  }
  void flush() {
    if (buf_.empty()) return;
    if (write_record(h_, to_dir_, buf_) < 0) h_->veno = -8;
    buf_.clear();
  }

 private:
  librdir* h_;
  bool to_dir_;
  std::string buf_;
};

void librdir_cmd_open_dir(librdir* h, const char* path) {
  LOGV("dir=%s", path);
  int skipped = 0;
  os_dir_uptr d = os_at_dir_open(h->root, path);
  if (d) {
    h->veno = 0;
    os_dirent e;
    std::string rec;
    record_batch files(h, false), dirs(h, true);
    int r;
    while ((r = os_dir_read(d.get(), &e)) > 0) {
      if (e.name == "." || e.name == "..") continue;
      // Such a name would break the tab-separated record and every record
      // after it; it is left out so the rest of the directory still lists.
      if (!rdir_name_is_textsafe(e.name) || !rdir_name_is_textsafe(e.link)) {
        LOGE("[%s] skip [%s]: name or link holds a tab, line feed or carriage return\n", path,
             rdir_escape_name(e.name).c_str());
        skipped++;
        continue;
      }
      if (const char* kind = special_kind(e.st.mode)) {
        LOGE("[%s] skip [%s]: %s\n", path, rdir_escape_name(e.name).c_str(), kind);
        skipped++;
        continue;
      }
      mstat_item st = entry_record(e);
      rec.clear();
      rdir_fmt_dir_record(rec, st);
      if (rec.size() > RDIR_MAX_RECORD) {
        LOGE("[%s] skip [%s]: record of %zu bytes too long\n", path, rdir_escape_name(e.name).c_str(),
             rec.size());
        skipped++;
        continue;
      }
      bool to_dir = (st.flags & RDIR_TYPE_MASK) == RDIR_TYPE_DIR && !(st.flags & RDIR_FLAG_LINK);
      (to_dir ? dirs : files).add(rec);
    }
    files.flush();
    dirs.flush();
    if (r < 0 && h->veno == 0) {
      // A listing cut short must not pass for a complete one.
      h->veno = os_last_verr();
      LOGE("readdir [%s] veno=%d %s\n", path, h->veno, verr2str(h->veno));
    }
  } else {
    h->veno = os_last_verr();
    LOGE("opendir [%s] veno=%d %s\n", path, h->veno, verr2str(h->veno));
  }
  std::string end = "\r" + std::to_string(h->veno);
  // The count goes first: the reading thread takes it when it reads the
  // file-stream end record.
  {
    std::lock_guard<std::mutex> g(h->skip_mu);
    h->skips.push_back(skipped);
  }
  if (write_record(h, false, end) < 0) {
    // No end record will come for this count to be taken with.
    std::lock_guard<std::mutex> g(h->skip_mu);
    h->skips.pop_back();
  }
  write_record(h, true, end);
}

void librdir_msg_proc(uint32_t id, void* payload, cmder_ctx* ctx) {
  librdir* h = static_cast<librdir*>(ctx->user);
  if (id == kMsgOpenDir && payload)
    librdir_cmd_open_dir(h, static_cast<const char*>(payload));
  else
    LOGE("msg id=%u error\n", id);
}

// One read from a stream into buf after the kind byte; returns the block
// length with the kind byte, or 0 when nothing came.
int read_stream(qbuf* q, char kind, uint8_t* ended, char* buf, size_t cap, int wait_ms) {
  int end = 0;
  int n = qbuf_read_imp(q, buf + 1, rdir_cap32(cap - 1), wait_ms, list_end_test, &end);
  if (!WY_CHECK(n >= 0) || n == 0) return 0;
  if (end) *ended = 1;
  buf[0] = kind;
  return n + 1;
}

// Takes the count of the listing whose file-stream end was just read.
void take_skips(librdir* h) {
  std::lock_guard<std::mutex> g(h->skip_mu);
  h->last_skips = 0;
  if (WY_CHECK(!h->skips.empty())) {
    h->last_skips = h->skips.front();
    h->skips.pop_front();
  }
}

}  // namespace

librdir* librdir_open(const char* path, const librdir_param& p) {
  if (!WY_CHECK(path != NULL)) return nullptr;
  LOGD("dir=%s flag=%d", path, static_cast<int>(p.flags));
  {
    os_dir_uptr probe = os_at_dir_open(p.root, path);
    if (!probe) {
      CDIR_ERR_SET(p.err, os_last_verr(), "%s", os_last_errstr());
      return nullptr;
    }
  }
  std::unique_ptr<librdir> h;
  try {
    h = std::make_unique<librdir>();
    h->path = path;
  } catch (const std::bad_alloc&) {
    CDIR_ERR_SET(p.err, -8, "%s", "");
    return nullptr;
  }
  h->err = p.err;
  h->root = p.root;
  h->read_timeout_ms = p.read_timeout_ms ? p.read_timeout_ms : RDIR_DEF_READ_TIMEOUT_MS;
  h->hq_dir.reset(qbuf_init());
  h->hq_file.reset(qbuf_init());
  if (!h->hq_dir || !h->hq_file) {
    LOGE("qbuf_init failed\n");
    CDIR_ERR_SET(p.err, -8, "%s", "");
    return nullptr;
  }
  h->hcmd = rdir_cmder_start(h.get(), "rdir_cmder", librdir_msg_proc, p.err);
  if (!h->hcmd) return nullptr;
  if (librdir_enum_dir(h.get(), path) < 0) {
    CDIR_ERR_SET(p.err, -1, "%s", "cmder_post_msg3 failed");
    return nullptr;
  }
  return h.release();
}

int librdir_enum_dir(librdir* h, const char* path) {
  if (!WY_CHECK(h != NULL && path != NULL)) return -1;
  int ret = cmder_post_msg3(h->hcmd, kMsgOpenDir, path, nullptr, RDIR_POST_TIMEOUT_MS);
  if (ret < 0) LOGE("cmder_post_msg3 failed\n");
  return ret;
}

int librdir_list_skip_count(librdir* h) {
  if (!WY_CHECK(h != NULL)) return 0;
  return h->last_skips;
}

int librdir_read_item_list(librdir* h, char* buf, size_t cap) {
  if (!WY_CHECK(h != NULL && buf != NULL && cap > 0)) return -1;
  // Both streams of the previous listing were read to their end records:
  // what comes now belongs to the next listing.
  if (h->file_ended && h->dir_ended) h->file_ended = h->dir_ended = 0;
  int64_t start = os_clock_ms();
  for (bool first = true;; first = false) {
    int wait = first ? 0 : RDIR_RETRY_WAIT_MS;
    int n = 0;
    if (!h->file_ended) n = read_stream(h->hq_file.get(), 'F', &h->file_ended, buf, cap, wait);
    if (n > 0) {
      if (h->file_ended) take_skips(h);
      return n;
    }
    if (!h->dir_ended) n = read_stream(h->hq_dir.get(), 'D', &h->dir_ended, buf, cap, wait);
    if (n > 0) return n;
    if (os_clock_ms() - start >= h->read_timeout_ms) break;
  }
  LOGD("readdir data timeout=%d\n", h->read_timeout_ms);
  return 0;
}

void librdir_close(librdir* h) { std::unique_ptr<librdir> own(h); }
