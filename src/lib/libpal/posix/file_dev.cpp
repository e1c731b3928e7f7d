// The built-in device kinds: null, zero, random, stdin, stdout, stderr.
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "file_imp.h"
#include "liblog.h"

WY_LOG_TAG("pal");

namespace {

// The set every device shares: sync and truncate do nothing, there is no
// position or size, and no ioctl command applies.
class dev_common : public os_file_ops {
 public:
  int exit() override { return 0; }
  int sync() override { return 0; }
  int truncate(int64_t) override { return 0; }
  int64_t seek(int64_t, int) override { return 0; }
  int64_t offset() override { return 0; }
  int64_t size() override { return 0; }
  int ioctl(uint32_t, void*) override {
    errno = ENOTSUP;
    return 0;
  }
};

class dev_null final : public dev_common {
 public:
  const char* name() const override { return "null"; }
  int64_t writ(const void*, size_t size) override { return (int64_t)size; }
  int64_t pwrit(const void*, size_t size, int64_t) override { return (int64_t)size; }
};

// zero and random produce data only; they have no sync or truncate.
class dev_source : public os_file_ops {
 public:
  int exit() override { return 0; }
  int64_t seek(int64_t, int) override { return 0; }
  int64_t offset() override { return 0; }
  int64_t size() override { return 0; }
  int ioctl(uint32_t, void*) override {
    errno = ENOTSUP;
    return 0;
  }
  int64_t pread(void* buf, size_t size, int64_t) override { return read(buf, size); }
};

class dev_zero final : public dev_source {
 public:
  const char* name() const override { return "zero"; }
  int64_t read(void* buf, size_t size) override {
    memset(buf, 0, size);
    return (int64_t)size;
  }
};

class dev_random final : public dev_source {
 public:
  const char* name() const override { return "random"; }
  int64_t read(void* buf, size_t size) override {
    auto* p = static_cast<unsigned char*>(buf);
    size_t done = 0;
    while (done < size) {
      ssize_t n = getrandom(p + done, size - done, 0);
      if (n < 0) {
        if (errno == EINTR) continue;
        LOGES("getrandom size=%zu error: ", size - done);
        return -1;
      }
      done += (size_t)n;
    }
    return (int64_t)size;
  }
};

class dev_stdin final : public dev_common {
 public:
  const char* name() const override { return "stdin"; }
  int64_t read(void* buf, size_t size) override {
    if (size == 0) return 0;
    ssize_t n;
    do n = ::read(0, buf, size); while (n < 0 && errno == EINTR);
    return n;
  }
};

class dev_out final : public dev_common {
 public:
  explicit dev_out(int fd) : fd_(fd) {}
  const char* name() const override { return fd_ == 1 ? "stdout" : "stderr"; }
  int64_t writ(const void* data, size_t size) override {
    const char* p = static_cast<const char*>(data);
    size_t done = 0;
    while (done < size) {
      ssize_t n = ::write(fd_, p + done, size - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        return done ? (int64_t)done : -1;
      }
      done += (size_t)n;
    }
    return (int64_t)done;
  }
  int sync() override {
    // A terminal or a pipe has nothing to flush; only a redirected file does.
    if (fsync(fd_) < 0 && errno != EINVAL && errno != EROFS) return -1;
    return 0;
  }

 private:
  int fd_;
};

}  // namespace

std::unique_ptr<os_file_ops> os_file_dev_init(const char* kind, uint64_t) {
  if (strcmp(kind, "null") == 0) return std::make_unique<dev_null>();
  if (strcmp(kind, "zero") == 0) return std::make_unique<dev_zero>();
  if (strcmp(kind, "random") == 0) return std::make_unique<dev_random>();
  if (strcmp(kind, "stdin") == 0) return std::make_unique<dev_stdin>();
  if (strcmp(kind, "stdout") == 0) return std::make_unique<dev_out>(1);
  if (strcmp(kind, "stderr") == 0) return std::make_unique<dev_out>(2);
  return nullptr;
}
