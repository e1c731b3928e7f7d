// Big files, block by block: one loop for the four transfer paths, over a
// source that reads blocks and a destination that writes them and sets the
// stat at the end. What differs between the paths is data: which side is a
// local file (its failures are logged with the system text and classified
// here) or an endpoint object (it classified its failure itself) and how much
// each read asks for.
//
// With a remote side, the next block is read on a second thread (one per
// job, cdir_ahead) while the current one is written: a push reads block
// n + 1 from the disk while the server writes block n, a pull asks for
// block n + 1 while block n goes to the disk, a relay reads from one server
// while the other writes. One block ahead at most, and on a connection still
// one request at a time: the reads and the writes use different objects.
#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <new>
#include <vector>

#include "cdir_imp.h"
#include "liblog.h"

WY_LOG_TAG("cdir");

namespace {

constexpr uint64_t kOpenRead = 0x1081;
constexpr int64_t kKernelCopyMax = int64_t{1} << 30;

/// Logs a failure of one side. A local side's cause is the system error of
/// the call that just failed, classified here; an endpoint object has
/// classified its own: `obj_verr` when the caller kept it, else the job's
/// last_verr.
void side_fail(cdir_job* job, bool local, const char* what, const std::string& path, int obj_verr = 0) {
  if (local) {
    int v = os_last_verr();
    LOGES("%s [%s] eno=%d error: ", what, path.c_str(), v);
    cdir_verr_check(job, v);
  } else {
    LOGE("%s [%s] error: %s", what, path.c_str(), verr2str(obj_verr != 0 ? obj_verr : job->last_verr.load()));
  }
}

/// Where the blocks come from.
class block_src {
 public:
  virtual ~block_src() = default;
  virtual bool local() const = 0;
  /// Opens the file; `buf`/`len` may receive the first block already.
  virtual bool open(char* buf, size_t len) = 0;
  /// The count read at `off` (0 at the end), or negative.
  virtual int64_t read(int64_t off, char* buf, size_t len) = 0;
  /// Right after a failed read on the same thread: its cause, the system's
  /// number for a local file (os_last_err), the object's verr otherwise.
  virtual int read_err() const = 0;
  /// The local file, for the kernel's copy; nullptr otherwise.
  virtual os_file2* file() { return nullptr; }
  virtual os_file_id* id() { return nullptr; }
};

class local_src final : public block_src {
 public:
  explicit local_src(const std::string& path) : path_(path) {}
  bool local() const override { return true; }
  bool open(char*, size_t) override {
    f_.reset(os_file_open(path_.c_str(), kOpenRead));
    if (f_) have_id_ = os_file_get_id(f_.get(), &id_) == 0;
    return f_ != nullptr;
  }
  int64_t read(int64_t off, char* buf, size_t len) override { return os_file_pread(f_.get(), buf, len, off); }
  int read_err() const override { return os_last_err(); }
  os_file2* file() override { return f_.get(); }
  os_file_id* id() override { return have_id_ ? &id_ : nullptr; }

 private:
  const std::string& path_;
  os_file_uptr f_;
  os_file_id id_;
  bool have_id_ = false;
};

/// A source behind a big-file object: opening reads the first block.
class vbfile_src final : public block_src {
 public:
  vbfile_src(vbfile* b, const std::string& path) : b_(b), path_(path) {}
  ~vbfile_src() override { b_->close_file(nullptr); }
  bool local() const override { return false; }
  bool open(char* buf, size_t len) override {
    first_ = b_->open_read(path_.c_str(), buf, len);
    return first_ >= 0;
  }
  int64_t read(int64_t off, char* buf, size_t len) override {
    if (off == 0 && first_ >= 0) {  // the block the open brought
      int64_t n = first_;
      first_ = -1;
      return n;
    }
    return b_->read(off, buf, len);
  }
  int read_err() const override { return b_->last_verr(); }

 private:
  vbfile* b_;
  const std::string& path_;
  int64_t first_ = -1;
};

/// Where the blocks go.
class block_dst {
 public:
  virtual ~block_dst() = default;
  virtual bool local() const = 0;
  /// Ready to write (a local file opens here; its failure is logged and
  /// counted already). False to give up the file.
  virtual bool prepare(os_file_id* src_id) = 0;
  /// The count written at `off`, or negative.
  virtual int64_t write(int64_t off, const char* data, size_t len) = 0;
  /// The file is whole: its stat is set and it is closed. 0 or negative.
  virtual int finish(const mstat_item* e) = 0;
  virtual os_file2* file() { return nullptr; }
};

class local_dst final : public block_dst {
 public:
  local_dst(cdir_job* job, cdir_copier* cc, const std::string& ipath, const std::string& opath, bool src_local)
      : job_(job), cc_(cc), ipath_(ipath), opath_(opath), src_local_(src_local) {}
  bool local() const override { return true; }
  bool prepare(os_file_id* src_id) override {
    f_ = cdir_open_dst(job_, cc_, src_local_ ? &ipath_ : nullptr, opath_, src_id);
    return f_ != nullptr;
  }
  int64_t write(int64_t off, const char* data, size_t len) override {
    return len ? os_file_pwrite(f_.get(), data, len, off) : 0;
  }
  int finish(const mstat_item* e) override {
    os_set_stat s = rdir_set_stat_of(*e);
    if (os_file_set_stat(f_.get(), &s) < 0) LOGES("set_stat [%s] error: ", opath_.c_str());
    return 0;
  }
  os_file2* file() override { return f_.get(); }

 private:
  cdir_job* job_;
  cdir_copier* cc_;
  const std::string& ipath_;
  const std::string& opath_;
  bool src_local_;
  os_file_uptr f_;
};

/// A destination behind a big-file object: the first block opens it, the
/// stat is set when it is closed.
class vbfile_dst final : public block_dst {
 public:
  vbfile_dst(vbfile* b, const std::string& path) : b_(b), path_(path) {}
  ~vbfile_dst() override { b_->close_file(nullptr); }
  bool local() const override { return false; }
  bool prepare(os_file_id*) override { return true; }
  int64_t write(int64_t off, const char* data, size_t len) override {
    if (opened_) return b_->write(off, data, len);
    opened_ = true;
    return b_->open_write(path_.c_str(), off, data, len);
  }
  int finish(const mstat_item* e) override { return b_->close_file(e); }

 private:
  vbfile* b_;
  const std::string& path_;
  bool opened_ = false;
};

/// How one transfer path reads.
struct loop_kind {
  bool first_block_full;  // the first read asks for bs even when less remains
  bool later_min;         // later reads ask for min(remaining, bs)
};

// Every block read counts in total_read, on every path: a download or a
// relay reads its source as much as a local copy does.
constexpr loop_kind kLL = {true, false};
constexpr loop_kind kRL = {true, true};
constexpr loop_kind kLR = {false, true};
constexpr loop_kind kRR = {true, true};

/// One block read: what it asked for and what came back. `err` is the
/// source's read_err() of a failed read, taken on the thread that read.
struct block_read {
  block_src* src = nullptr;
  int64_t off = 0;
  char* buf = nullptr;
  size_t len = 0;
  int64_t n = 0;
  int err = 0;

  void run() {
    n = src->read(off, buf, len);
    err = n < 0 ? src->read_err() : 0;
  }
};

}  // namespace

/// The read-ahead thread: runs one block_read at a time for the command
/// thread, which hands it over with start() and takes it back with wait().
struct cdir_ahead {
  std::mutex mu;
  std::condition_variable cv;
  block_read* task = nullptr;  // handed over, not yet taken by the thread
  bool busy = false;           // handed over and not yet done
  bool quit = false;
  std::vector<char> buf;  // the second block buffer
  os_thread* thread = nullptr;

  void main_loop() {
    std::unique_lock<std::mutex> g(mu);
    for (;;) {
      cv.wait(g, [this] { return quit || task != nullptr; });
      if (task == nullptr) return;  // quit, nothing handed over
      block_read* t = task;
      task = nullptr;
      g.unlock();
      t->run();
      g.lock();
      busy = false;
      cv.notify_all();
    }
  }
  void start(block_read* t) {
    {
      std::lock_guard<std::mutex> g(mu);
      task = t;
      busy = true;
    }
    cv.notify_all();
  }
  void wait() {
    std::unique_lock<std::mutex> g(mu);
    cv.wait(g, [this] { return !busy; });
  }
};

void cdir_ahead_free(cdir_ahead* a) {
  if (a == nullptr) return;
  {
    std::lock_guard<std::mutex> g(a->mu);
    a->quit = true;
  }
  a->cv.notify_all();
  os_thread_wait(a->thread, -1, nullptr);
  os_thread_close(a->thread);
  delete a;
}

namespace {

/// The job's read-ahead thread with its buffer of `bs` bytes, started on
/// first use; nullptr when it cannot be had (the blocks then go one by one).
cdir_ahead* ahead_of(cdir_job* job, int64_t bs) {
  cdir_cmder_owned& c = job->c;
  if (!c.ahead && !c.ahead_failed) {
    auto* a = new (std::nothrow) cdir_ahead;
    if (a != nullptr) {
      a->thread = os_thread_start("cdir_ahead", [a] { return a->main_loop(), 0; }, 0, nullptr);
      if (a->thread == nullptr) {
        delete a;
        a = nullptr;
      }
    }
    if (a == nullptr) {
      LOGW("no read-ahead thread: big files go block by block");
      c.ahead_failed = true;
      return nullptr;
    }
    c.ahead.reset(a);
  }
  cdir_ahead* a = c.ahead.get();
  if (a != nullptr && a->buf.size() < static_cast<size_t>(bs)) {
    try {
      a->buf.resize(static_cast<size_t>(bs));
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
  }
  return a;
}

/// The kernel's copy between two local files: the rest of the file in calls
/// of at most 1 GiB (so that a stop is still seen). 1 when the file is
/// whole, 0 to go on through the data buffer from `*off`, -1 to stop.
int kernel_copy(cdir_job* job, cdir_copier* cc, os_file2* in, os_file2* out, int64_t* off, int64_t* remaining) {
  while (true) {
    int64_t chunk = std::max<int64_t>(1, std::min<int64_t>(*remaining, kKernelCopyMax));
    int64_t n = os_file_copy_range(in, *off, out, *off, static_cast<size_t>(chunk));
    if (n < 0) {
      // A pair it cannot copy, or a failure: the data buffer path tells
      // read and write errors apart.
      if (n == OS_COPY_UNSUPPORTED) cc->copy_range = false;
      return 0;
    }
    cc->total_read += n;
    cc->total_write += n;
    cdir_progress_bytes(job, n);
    *off += n;
    *remaining -= n;
    // A short count is progress (a nearly full disk copies what still fits,
    // and the next call says why); only 0 is the source's end.
    if (n == 0 || *remaining <= 0) return 1;
    if (cdir_need_exit(job)) return -1;
  }
}

/// A file written whole: the source's stat, then it counts as done.
int finish_file(cdir_job* job, cdir_copier* cc, const mstat_item* e, block_dst& dst, const std::string& opath) {
  if (dst.finish(e) < 0) {
    side_fail(job, dst.local(), "o_close", opath);
    cc->o_file_fail_count++;
    return 0;
  }
  cc->file_open_count++;
  cdir_progress_file_done(job);
  return 0;
}

/// Logs and counts a failed read of the source; `err` is what read_err()
/// said on the thread that read.
void read_failed(cdir_job* job, const block_src& src, int err, const std::string& ipath) {
  if (src.local()) os_last_err_set(err);
  side_fail(job, src.local(), "i_read", ipath, err);
  job->i_file_fail_count++;
}

int block_loop(cdir_job* job, cdir_copier* cc, const loop_kind& k, const mstat_item* e, block_src& src,
               block_dst& dst, const std::string& ipath, const std::string& opath) {
  cdir_progress_name(job, ipath);
  int64_t bs = job->bs;
  int64_t remaining = e->size;
  auto want = [&](bool first, int64_t left) {
    bool full = first ? k.first_block_full : !k.later_min;
    return static_cast<size_t>(full ? bs : std::clamp<int64_t>(left, 0, bs));
  };
  // A local source reads nothing at open, so the kernel's copy needs no
  // buffer at all.
  if (!src.open(src.local() ? nullptr : cc->buf(bs), want(true, remaining))) {
    side_fail(job, src.local(), "i_open", ipath);
    job->i_file_fail_count++;
    return -1;
  }
  if (!dst.prepare(src.id())) return -1;
  int64_t off = 0;
  int whole = 0;
  if (cc->copy_range && src.file() && dst.file())
    whole = kernel_copy(job, cc, src.file(), dst.file(), &off, &remaining);
  if (whole != 0) return whole == 1 ? finish_file(job, cc, e, dst, opath) : 0;
  // Two local files whose kernel copy failed go block by block on this
  // thread; a remote side reads one block ahead.
  cdir_ahead* ahead = !src.local() || !dst.local() ? ahead_of(job, bs) : nullptr;
  char* spare = ahead != nullptr ? ahead->buf.data() : nullptr;
  // The source's first block opens a remote source's file, so it is read
  // into the buffer the open was given.
  block_read cur{&src, off, cc->buf(bs), want(off == 0, remaining)};
  cur.run();
  block_read next;
  for (bool first = off == 0; whole == 0; first = false) {
    if (cur.n < 0) {
      read_failed(job, src, cur.err, ipath);
      break;
    }
    int64_t n = cur.n;
    cc->total_read += n;
    // While this block is written, the block after it is read: the one the
    // loop reads next when this write succeeds whole (see below for where
    // a file ends). A stop reads nothing more.
    bool ahead_now = ahead != nullptr && n != 0 && n != remaining && !cdir_need_exit(job);
    if (ahead_now) {
      next = block_read{&src, off + n, spare, want(false, remaining - n)};
      ahead->start(&next);
    }
    // The first write opens a destination behind an endpoint object, so an
    // empty file is created too.
    int64_t w = n > 0 || first ? dst.write(off, cur.buf, static_cast<size_t>(n)) : 0;
    // A read in flight always ends before the loop goes on or gives up:
    // the source and the buffer are the loop's.
    if (ahead_now) ahead->wait();
    if (w != n) {
      if (dst.local()) {
        int v = cdir_short_write_verr(w);
        LOGES("o_write [%s] eno=%d error: ", opath.c_str(), v);
        cdir_verr_check(job, v);
      } else {
        side_fail(job, false, "o_write", opath);
      }
      cc->o_file_fail_count++;
      break;
    }
    cc->total_write += w;
    cdir_progress_bytes(job, w);
    off += w;
    // The file ends where its listed size is reached, or where a read finds
    // nothing more. A read that stops short before that is asked again: a
    // failing disk hands out the bytes before a bad block first and the
    // error only on the next read, and a cut copy must never pass for a
    // whole one. A file that shrank answers the second read with 0.
    if (w == remaining || n == 0) whole = 1;
    remaining -= w;
    if (whole == 0 && cdir_need_exit(job)) break;
    if (whole != 0) break;
    if (ahead_now) {
      spare = cur.buf;
      cur = next;
    } else {
      cur = block_read{&src, off, cur.buf, want(false, remaining)};
      cur.run();
    }
  }
  // Only a file written whole gets the source's stat: a cut copy keeps its
  // own times and size, so the next sync writes it again.
  return whole == 1 ? finish_file(job, cc, e, dst, opath) : 0;
}

}  // namespace

int cdir_copy_file(cdir_job* job, cdir_copier* cc, const mstat_item* e, const std::string& ipath,
                   const std::string& opath) {
  local_src src(ipath);
  local_dst dst(job, cc, ipath, opath, true);
  return block_loop(job, cc, kLL, e, src, dst, ipath, opath);
}

int cdir_rl_copy_file(cdir_job* job, const mstat_item* e, const std::string& ipath, const std::string& opath) {
  vbfile_src src(job->c.ibfile.get(), ipath);
  local_dst dst(job, &job->c, ipath, opath, false);
  return block_loop(job, &job->c, kRL, e, src, dst, ipath, opath);
}

int cdir_lr_up_file(cdir_job* job, const mstat_item* e, const std::string& ipath, const std::string& opath) {
  local_src src(ipath);
  vbfile_dst dst(job->c.obfile.get(), opath);
  return block_loop(job, &job->c, kLR, e, src, dst, ipath, opath);
}

int cdir_rr_up_file(cdir_job* job, const mstat_item* e, const std::string& ipath, const std::string& opath) {
  vbfile_src src(job->c.ibfile.get(), ipath);
  vbfile_dst dst(job->c.obfile.get(), opath);
  return block_loop(job, &job->c, kRR, e, src, dst, ipath, opath);
}
