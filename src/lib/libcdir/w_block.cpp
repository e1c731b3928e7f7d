// Big files, block by block: one loop for the four transfer paths, over a
// source that reads blocks and a destination that writes them and sets the
// stat at the end. What differs between the paths is data: which side is a
// local file (its failures are logged with the system text and classified
// here) or an endpoint object (it classified its failure itself) and how much
// each read asks for.
#include <algorithm>

#include "cdir_imp.h"
#include "liblog.h"

WY_LOG_TAG("cdir");

namespace {

constexpr uint64_t kOpenRead = 0x1081;
constexpr int64_t kKernelCopyMax = int64_t{1} << 30;

/// Logs a failure of one side. A local side's cause is the system error of
/// the call that just failed, classified here; an endpoint object has
/// classified its own, which the job keeps as last_verr.
void side_fail(cdir_job* job, bool local, const char* what, const std::string& path) {
  if (local) {
    int v = os_last_verr();
    LOGES("%s [%s] eno=%d error: ", what, path.c_str(), v);
    cdir_verr_check(job, v);
  } else {
    LOGE("%s [%s] error: %s", what, path.c_str(), verr2str(job->last_verr));
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

int block_loop(cdir_job* job, cdir_copier* cc, const loop_kind& k, const mstat_item* e, block_src& src,
               block_dst& dst, const std::string& ipath, const std::string& opath) {
  cdir_progress_name(job, ipath);
  int64_t bs = job->bs;
  int64_t remaining = e->size;
  auto want = [&](bool first) {
    bool full = first ? k.first_block_full : !k.later_min;
    return static_cast<size_t>(full ? bs : std::clamp<int64_t>(remaining, 0, bs));
  };
  // A local source reads nothing at open, so the kernel's copy needs no
  // buffer at all.
  if (!src.open(src.local() ? nullptr : cc->buf(bs), want(true))) {
    side_fail(job, src.local(), "i_open", ipath);
    job->i_file_fail_count++;
    return -1;
  }
  if (!dst.prepare(src.id())) return -1;
  int64_t off = 0;
  int whole = 0;
  if (cc->copy_range && src.file() && dst.file())
    whole = kernel_copy(job, cc, src.file(), dst.file(), &off, &remaining);
  char* buf = whole == 0 ? cc->buf(bs) : nullptr;
  for (bool first = off == 0; whole == 0; first = false) {
    int64_t n = src.read(off, buf, want(first));
    if (n < 0) {
      side_fail(job, src.local(), "i_read", ipath);
      job->i_file_fail_count++;
      break;
    }
    cc->total_read += n;
    // The first write opens a destination behind an endpoint object, so an
    // empty file is created too.
    int64_t w = n > 0 || first ? dst.write(off, buf, static_cast<size_t>(n)) : 0;
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
  }
  // Only a file written whole gets the source's stat: a cut copy keeps its
  // own times and size, so the next sync writes it again.
  if (whole != 1) return 0;
  if (dst.finish(e) < 0) {
    side_fail(job, dst.local(), "o_close", opath);
    cc->o_file_fail_count++;
    return 0;
  }
  cc->file_open_count++;
  cdir_progress_file_done(job);
  return 0;
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
