// Endpoint objects: the local implementations, and the waits the engine
// wraps around every reader and multi-file object.
#include "v_rdir.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "cdir_imp.h"
#include "liblog.h"

WY_LOG_TAG("cdir");

int vobj::fail(int verr) {
  if (verr == 0) verr = -1;
  verr_.store(verr, std::memory_order_relaxed);
  cdir_verr_check(job_, verr);
  return -1;
}

namespace {

class local_rdir final : public vrdir {
 public:
  local_rdir(cdir_job* job, librdir* h) : vrdir(job), h_(h) {}
  ~local_rdir() override { librdir_close(h_); }
  bool local() const override { return true; }
  int enum_dir(const char* path) override { return librdir_enum_dir(h_, path) < 0 ? fail(-1) : 0; }
  int read_chunk(char* buf, size_t cap) override {
    int n = librdir_read_item_list(h_, buf, cap);
    return n < 0 ? fail(-1) : n;
  }
  int skip_count() override { return librdir_list_skip_count(h_); }

 private:
  librdir* h_;
};

/// The multi-file object running here: the same list operations a server
/// runs for a remote side.
class local_mfile final : public vmfile {
 public:
  local_mfile(cdir_job* job, libmfile* h) : vmfile(job), h_(h) {}
  ~local_mfile() override { libmfile_close(h_); }
  bool local() const override { return true; }
  int add_list(uint32_t cmd, const char* dir, const char* chunk) override {
    return libmfile_cmd_add_list(h_, cmd, dir, chunk) < 0 ? fail(-1) : 0;
  }
  int ret_chunk(char* buf, size_t cap) override {
    int n = libmfile_get_list_ret(h_, buf, cap);
    return n < 0 ? fail(-1) : n;
  }

 private:
  libmfile* h_;
};

/// Files of this machine, block by block: what a server does with the big
/// files of a remote side.
class local_bfile final : public vbfile {
 public:
  using vbfile::vbfile;
  bool local() const override { return true; }

  int64_t open_read(const char* path, char* buf, size_t len) override {
    f_.reset(os_file_open(path, kOpenRead));
    if (!f_) return fail(os_last_verr());
    return read(0, buf, len);
  }

  int64_t read(int64_t off, char* buf, size_t len) override {
    if (!f_) return fail(-1);
    int64_t n = os_file_pread(f_.get(), buf, len, off);
    if (n < 0) return close_failed();
    return n;
  }

  int64_t open_write(const char* path, int64_t off, const char* data, size_t len) override {
    constexpr uint64_t kOpenWrite = OS_FILE_WRITE | OS_FILE_CREATE | OS_FILE_TRUNC | OS_FILE_NOFOLLOW;
    f_.reset(cdir_open_no_link(path, kOpenWrite));
    if (!f_) return fail(os_last_verr());
    return write(off, data, len);
  }

  int64_t write(int64_t off, const char* data, size_t len) override {
    if (!f_) return fail(-1);
    int64_t n = len ? os_file_pwrite(f_.get(), data, len, off) : 0;
    if (n != static_cast<int64_t>(len)) {
      int v = cdir_short_write_verr(n);
      f_.reset();
      return fail(v);
    }
    return n;
  }

  int close_file(const mstat_item* st) override {
    if (!f_) return 0;
    int r = 0;
    if (st) {
      os_set_stat s = rdir_set_stat_of(*st);
      if (os_file_set_stat(f_.get(), &s) < 0) r = fail(os_last_verr());
    }
    f_.reset();
    return r;
  }

  int set_path_times(const char* path, const mstat_item& st) override {
    os_file_times t;
    t.atime.sec = st.atime;
    t.mtime.sec = st.wtime;
    t.btime.sec = st.ctime;
    if (os_mkdirs(path) < 0 || os_path_set_times(path, &t, false) < 0) return fail(os_last_verr());
    return 0;
  }

 private:
  static constexpr uint64_t kOpenRead = 0x1081;

  int64_t close_failed() {
    int v = os_last_verr();
    f_.reset();
    return fail(v);
  }

  os_file_uptr f_;
};

template <typename Read>
int wait_chunk(cdir_job* job, vobj* obj, char* buf, size_t cap, Read read) {
  if (!WY_CHECK(cap > 1)) return -1;
  int64_t start = os_clock_ms();
  while (true) {
    int n = read(buf, cap - 1);
    if (n < 0) return n;  // classified by the object
    if (n > 0) {
      if (!WY_CHECK(static_cast<size_t>(n) <= cap - 1)) return -1;
      buf[n] = '\0';
      return n;
    }
    if (cdir_need_exit(job)) return -1;
    if (os_clock_ms() - start >= job->timeout) {
      LOGE("read_timeout max_read_timeout=%d", job->timeout);
      cdir_verr_check(job, -40);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(obj->local() ? 1 : 1000));
  }
}

}  // namespace

bool cdir_url_is_remote(const char* url) { return strstr(url, "://") != nullptr; }

std::unique_ptr<vrdir> vrdir_open(cdir_job* job, const char* url, const char* path, bool is_dst,
                                  const cdir_rdir_param& p) {
  if (cdir_url_is_remote(url)) return vrdir_open_remote(job, url, path, is_dst, p);
  if (is_dst && os_mkdirs(path) < 0) {
    int v = os_last_verr();
    LOGES("mkdirs [%s] eno=%d error: ", path, v);
    CDIR_ERR_SET(job->err, v, "%s", verr2str(v));
    return nullptr;
  }
  librdir_param rp;
  rp.flags = static_cast<uint32_t>(p.flags);
  rp.read_timeout_ms = p.param;
  rp.err = job->err;
  librdir* h = librdir_open(path, rp);
  if (h == nullptr) return nullptr;
  return std::make_unique<local_rdir>(job, h);
}

std::unique_ptr<vmfile> vmfile_open(cdir_job* job, const char* url, const cdir_mfile_param& p) {
  if (cdir_url_is_remote(url)) return vmfile_open_remote(job, url, p);
  libmfile_param mp;
  mp.max_mfile_size = static_cast<uint32_t>(p.max_mfile_size);
  mp.read_timeout_ms = p.param2;
  mp.threads = job->threads;
  mp.err = job->err;
  libmfile* h = libmfile_open(mp);
  if (h == nullptr) return nullptr;
  return std::make_unique<local_mfile>(job, h);
}

std::unique_ptr<vbfile> vbfile_init(cdir_job* job, const char* url) {
  if (cdir_url_is_remote(url)) return vbfile_init_remote(job, url);
  return std::make_unique<local_bfile>(job);
}

int vrdir_read_item_list(cdir_job* job, vrdir* r, char* buf, size_t cap) {
  return wait_chunk(job, r, buf, cap, [r](char* b, size_t c) { return r->read_chunk(b, c); });
}

int vmfile_list_ret(cdir_job* job, vmfile* m, char* buf, size_t cap) {
  return wait_chunk(job, m, buf, cap, [m](char* b, size_t c) { return m->ret_chunk(b, c); });
}
