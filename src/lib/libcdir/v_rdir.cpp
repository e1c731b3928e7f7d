// Endpoint objects: local implementations, and the waits the engine wraps
// around every reader and multi-file object.
#include "v_rdir.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "cdir_imp.h"
#include "liblog.h"

WY_LOG_TAG("cdir");

namespace {

class local_rdir : public vrdir {
 public:
  explicit local_rdir(librdir* h) : h_(h) {}
  ~local_rdir() override { librdir_close(h_); }
  bool local() const override { return true; }
  int enum_dir(const char* path) override { return librdir_enum_dir(h_, path); }
  int read_chunk(char* buf, size_t cap) override { return librdir_read_item_list(h_, buf, cap); }
  int skip_count() override { return librdir_list_skip_count(h_); }

 private:
  librdir* h_;
};

/// The remote side needs the server protocol client, which this build does
/// not have yet: every remote endpoint fails its open with a clear cause.
int remote_unavailable(cdir_job* job, const char* url) {
  CDIR_ERR_SET(job->err, -1, "remote url [%s]: no server protocol client in this build", url);
  cdir_verr_check(job, -1);
  return -1;
}

template <typename Read>
int wait_chunk(cdir_job* job, bool local, char* buf, size_t cap, Read read) {
  if (!WY_CHECK(cap > 1)) return -1;
  int64_t start = os_clock_ms();
  while (true) {
    int n = read(buf, cap - 1);
    if (n < 0) {
      cdir_verr_check(job, -1);
      return n;
    }
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
    std::this_thread::sleep_for(std::chrono::milliseconds(local ? 1 : 1000));
  }
}

}  // namespace

bool cdir_url_is_remote(const char* url) { return strstr(url, "://") != nullptr; }

std::unique_ptr<vrdir> vrdir_open(cdir_job* job, const char* url, const char* path, bool is_dst,
                                  const cdir_rdir_param& p) {
  if (cdir_url_is_remote(url)) {
    remote_unavailable(job, url);
    return nullptr;
  }
  if (is_dst && os_mkdirs(path) < 0) {
    int v = cdir_sys_verr();
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
  return std::make_unique<local_rdir>(h);
}

std::unique_ptr<vmfile> vmfile_open(cdir_job* job, const char* url, const cdir_mfile_param&) {
  remote_unavailable(job, url);
  return nullptr;
}

std::unique_ptr<vbfile> vbfile_init(cdir_job* job, const char* url) {
  remote_unavailable(job, url);
  return nullptr;
}

int vrdir_read_item_list(cdir_job* job, vrdir* r, char* buf, size_t cap) {
  return wait_chunk(job, r->local(), buf, cap, [r](char* b, size_t c) { return r->read_chunk(b, c); });
}

int vmfile_list_ret(cdir_job* job, vmfile* m, char* buf, size_t cap) {
  return wait_chunk(job, m->local(), buf, cap, [m](char* b, size_t c) { return m->ret_chunk(b, c); });
}
