// Endpoint objects of a remote side: each owns one connection to the
// server and runs the same operations the local objects run here, through
// the server's reader, multi-file object and files.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "cdir_imp.h"
#include "liblog.h"
#include "libwysd.h"
#include "v_rdir.h"

WY_LOG_TAG("cdir");

namespace {

/// The oldest server whose reader and multi-file object we can drive.
constexpr const char* kMinServer = "1.7.8";

/// One connection of one endpoint object, closed with it.
class remote_conn {
 public:
  remote_conn() = default;
  remote_conn(const remote_conn&) = delete;
  remote_conn& operator=(const remote_conn&) = delete;
  ~remote_conn() { close(0); }

  wysd_cli_ctx* get() const { return ctx_; }
  /// The cause of the connection's last failure (-1 when it kept none).
  int verr() const {
    cdir_err* e = ctx_ ? wysd_cli_err(ctx_) : nullptr;
    return e != nullptr && e->verr != 0 ? e->verr : -1;
  }
  /// Sends the object's close control with reconnection off (a repair
  /// must not start for a connection that is going away), then closes.
  void close(int close_ctl) {
    if (ctx_ == nullptr) return;
    // The job stops its objects before its threads end; nothing waits on
    // this connection any more, so the goodbye gets its chance.
    wysd_cli_resume(ctx_);
    wysd_cli_clear_auto_reconnect(ctx_);
    if (close_ctl != 0) wysd_cli_ioctl2(ctx_, close_ctl, "", -1, nullptr, 0, nullptr);
    wysd_cli_exit_imp(ctx_);
    ctx_ = nullptr;
  }
  void stop() {
    wysd_cli_ctx* c = ctx_;
    if (c != nullptr) wysd_cli_stop(c);
  }

  /// Connects, checks the server's version and switches automatic
  /// reconnection on. 0, or -1 with the cause in the job's error record.
  int init(cdir_job* job, const char* url) {
    ctx_ = wysd_cli_connect(url, &err_);
    if (ctx_ == nullptr) {
      *job->err = err_;
      cdir_verr_check(job, err_.verr != 0 ? err_.verr : -1);
      return -1;
    }
    char info[512];
    if (cli_info(ctx_, info, sizeof info) != WYSD_ST_OK) return init_failed(job);
    char ver[32] = "";
    info_value(info, "ver", ver, sizeof ver);
    if (str_version_cmp(ver, kMinServer) < 0) {
      CDIR_ERR_SET(job->err, -1, "not supported, please upgrade wysd to the latest version");
      LOGE("server [%s] version [%s] < %s", url_for_log(url).c_str(), ver, kMinServer);
      close(0);
      job->last_eno.store(-2);
      job->error_stop.store(1);
      return -1;
    }
    LOGV("set_auto_reconnect\n");
    if (wysd_cli_set_auto_reconnect(ctx_) < 0) return init_failed(job);
    return 0;
  }

 private:
  int init_failed(cdir_job* job) {
    int v = verr();
    *job->err = *wysd_cli_err(ctx_);
    cdir_verr_check(job, v);
    close(0);
    return -1;
  }

  /// The value of `key` in the information text: lines "key=[value]".
  static void info_value(const char* info, const char* key, char* out, size_t cap) {
    out[0] = '\0';
    const char* p = info;
    size_t kl = strlen(key);
    while (*p != '\0') {
      const char* end = strchr(p, '\n');
      size_t n = end ? static_cast<size_t>(end - p) : strlen(p);
      std::string line(p, n);
      size_t eq = line.find('=');
      if (eq == std::string::npos) {
        if (line.find_first_not_of(" \t\r") != std::string::npos) return;  // the list ends here
      } else {
        std::string k = line.substr(0, eq);
        size_t a = k.find_first_not_of(" \t"), b = k.find_last_not_of(" \t");
        k = a == std::string::npos ? "" : k.substr(a, b - a + 1);
        size_t lb = line.find('[', eq), rb = line.rfind(']');
        if (k.size() == kl && k == key && lb != std::string::npos && rb != std::string::npos && rb > lb) {
          std::string v = line.substr(lb + 1, rb - lb - 1);
          if (v.size() < cap) memcpy(out, v.c_str(), v.size() + 1);
          return;
        }
      }
      if (!end) break;
      p = end + 1;
    }
  }

  wysd_cli_ctx* ctx_ = nullptr;
  cdir_err err_;
};

class remote_rdir final : public vrdir {
 public:
  explicit remote_rdir(cdir_job* job) : vrdir(job) {}
  ~remote_rdir() override { c_.close(WYSD_IOCTL2_RDIR_CLOSE); }
  bool local() const override { return false; }
  void stop() override {
    vrdir::stop();
    c_.stop();
  }

  int open(const char* url, const char* path, bool is_dst, const cdir_rdir_param& p) {
    if (c_.init(job_, url) < 0) return -1;
    if (is_dst && wysd_cli_ioctl(c_.get(), WYSD_IOCTL_MKDIRS, path, -1) < 0) {
      int v = c_.verr();
      LOGE("mkdirs [%s] eno=%d error: %s", path, v, wysd_cli_err(c_.get())->msg.c_str());
      *job_->err = *wysd_cli_err(c_.get());
      return fail(v);
    }
    if (wysd_cli_rdir_open(c_.get(), path, static_cast<uint32_t>(p.flags), p.param) < 0) {
      *job_->err = *wysd_cli_err(c_.get());
      return fail(c_.verr());
    }
    return 0;
  }
  int enum_dir(const char* path) override {
    return wysd_cli_ioctl2(c_.get(), WYSD_IOCTL2_RDIR_ENUM, path, -1, nullptr, 0, nullptr) < 0 ? fail(c_.verr())
                                                                                               : 0;
  }
  int read_chunk(char* buf, size_t cap) override {
    int32_t n = 0;
    int32_t c = cap > INT32_MAX ? INT32_MAX : static_cast<int32_t>(cap);
    if (wysd_cli_ioctl2(c_.get(), WYSD_IOCTL2_RDIR_READ, "", 0, buf, c, &n) < 0) return fail(c_.verr());
    return n;
  }

 private:
  remote_conn c_;
};

class remote_mfile final : public vmfile {
 public:
  explicit remote_mfile(cdir_job* job) : vmfile(job) {}
  ~remote_mfile() override { c_.close(WYSD_IOCTL2_MFILE_CLOSE); }
  bool local() const override { return false; }
  void stop() override {
    vmfile::stop();
    c_.stop();
  }

  int open(const char* url, const cdir_mfile_param& p) {
    if (c_.init(job_, url) < 0) return -1;
    if (wysd_cli_mfile_open(c_.get(), static_cast<int32_t>(p.max_mfile_size), p.param2) < 0) {
      *job_->err = *wysd_cli_err(c_.get());
      return fail(c_.verr());
    }
    return 0;
  }
  int add_list(uint32_t cmd, const char* dir, const char* chunk) override {
    int code = 0;
    switch (cmd) {
      case MFILE_CMD_READ_LIST: code = WYSD_IOCTL2_MFILE_READ_LIST; break;
      case MFILE_CMD_MKDIR_LIST: code = WYSD_IOCTL2_MFILE_MKDIR_LIST; break;
      case MFILE_CMD_WRITE_LIST: code = WYSD_IOCTL2_MFILE_WRITE_LIST; break;
      case MFILE_CMD_DEL_LIST: code = WYSD_IOCTL2_MFILE_DEL_LIST; break;
      case MFILE_CMD_DEL_FILES: code = WYSD_IOCTL2_MFILE_DEL_FILES; break;
      default: return fail(-2);
    }
    return wysd_cli_text_ctl(c_.get(), code, dir, chunk != nullptr ? chunk : "") < 0 ? fail(c_.verr()) : 0;
  }
  int ret_chunk(char* buf, size_t cap) override {
    int32_t n = 0;
    int32_t c = cap > INT32_MAX ? INT32_MAX : static_cast<int32_t>(cap);
    if (wysd_cli_ioctl2(c_.get(), WYSD_IOCTL2_MFILE_LIST_RET, "", 0, buf, c, &n) < 0) return fail(c_.verr());
    return n;
  }

 private:
  remote_conn c_;
};

class remote_bfile final : public vbfile {
 public:
  explicit remote_bfile(cdir_job* job) : vbfile(job) {}
  ~remote_bfile() override {
    c_.close(WYSD_IOCTL2_MFILE_CLOSE);  // closes the open file first
  }
  bool local() const override { return false; }
  void stop() override {
    vbfile::stop();
    c_.stop();
  }
  int open(const char* url) { return c_.init(job_, url); }

  int64_t open_read(const char* path, char* buf, size_t len) override {
    close_file(nullptr);
    f_ = wysd_cli_open(c_.get(), path, kOpenRead);
    if (f_ == nullptr) return fail(c_.verr());
    return read(0, buf, len);
  }
  int64_t read(int64_t off, char* buf, size_t len) override {
    if (f_ == nullptr) return fail(-1);
    int64_t n = wysd_cli_read(f_, buf, static_cast<int64_t>(len), off);
    if (n < 0) return drop_failed();
    return n;
  }
  int64_t open_write(const char* path, int64_t off, const char* data, size_t len) override {
    close_file(nullptr);
    f_ = wysd_cli_open(c_.get(), path, kOpenWrite);
    if (f_ == nullptr) return fail(c_.verr());
    return write(off, data, len);
  }
  int64_t write(int64_t off, const char* data, size_t len) override {
    if (f_ == nullptr) return fail(-1);
    int64_t n = wysd_cli_write(f_, data, static_cast<int64_t>(len), off);
    if (n != static_cast<int64_t>(len)) {
      // A write the server took only in part: its disk is full.
      if (n >= 0) {
        drop();
        return fail(-152);
      }
      return drop_failed();
    }
    return n;
  }
  int close_file(const mstat_item* st) override {
    if (f_ == nullptr) return 0;
    int r = 0;
    if (st != nullptr) {
      std::string text;
      rdir_fmt_fstat_line(text, *st);
      if (wysd_cli_ioctl(f_, WYSD_IOCTL_SET_FILE_STAT, text.c_str(), -1) < 0) r = fail(c_.verr());
    }
    if (wysd_cli_close(f_) < 0 && r == 0) r = fail(c_.verr());
    f_ = nullptr;
    return r;
  }
  int set_path_times(const char* path, const mstat_item& st) override {
    char text[4096 + 96];
    int n = snprintf(text, sizeof text, "%s\t%llu\t%llu\t%llu\t%u\t%u\t%u", path,
                     static_cast<unsigned long long>(st.atime), static_cast<unsigned long long>(st.wtime),
                     static_cast<unsigned long long>(st.ctime), 0u, 0u, 0u);
    if (n < 0 || static_cast<size_t>(n) >= sizeof text) return fail(-120);
    return wysd_cli_ioctl(c_.get(), WYSD_IOCTL_SET_PATH_TIMES, text, -1) < 0 ? fail(c_.verr()) : 0;
  }

 private:
  static constexpr uint32_t kOpenRead = 0x1081;
  static constexpr uint32_t kOpenWrite = 0x2A;

  void drop() {
    if (f_ != nullptr) wysd_cli_close(f_);
    f_ = nullptr;
  }
  int64_t drop_failed() {
    int v = c_.verr();
    drop();
    return fail(v);
  }

  remote_conn c_;
  wysd_cli_file* f_ = nullptr;
};

}  // namespace

std::unique_ptr<vrdir> vrdir_open_remote(cdir_job* job, const char* url, const char* path, bool is_dst,
                                         const cdir_rdir_param& p) {
  auto r = std::make_unique<remote_rdir>(job);
  if (r->open(url, path, is_dst, p) < 0) return nullptr;
  return r;
}

std::unique_ptr<vmfile> vmfile_open_remote(cdir_job* job, const char* url, const cdir_mfile_param& p) {
  auto m = std::make_unique<remote_mfile>(job);
  if (m->open(url, p) < 0) return nullptr;
  return m;
}

std::unique_ptr<vbfile> vbfile_init_remote(cdir_job* job, const char* url) {
  auto b = std::make_unique<remote_bfile>(job);
  if (b->open(url) < 0) return nullptr;
  return b;
}
