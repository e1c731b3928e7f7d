// Whole-file reads and writes for small text files (configuration), until
// the file layer's buffered stream carries them.
#include <cerrno>
#include <cstdio>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "pal_str.h"

namespace {

struct file_closer {
  void operator()(FILE* f) const { fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

// Closes without letting fclose's own errno hide the one the caller needs.
int close_keep_errno(file_ptr f, int ret) {
  int saved = errno;
  int rc = fclose(f.release());
  if (ret == 0 && rc != 0) return -1;
  errno = saved;
  return ret;
}

int write_stream(FILE* f, std::string_view data) {
  if (!data.empty() && fwrite(data.data(), 1, data.size(), f) != data.size()) return -1;
  return fflush(f) == 0 ? 0 : -1;
}

}  // namespace

int os_file_read_all(const char* path, std::string* out) {
  if (path == nullptr || out == nullptr) {
    errno = EINVAL;
    return -1;
  }
  file_ptr f(fopen(path, "rb"));
  if (!f) return -1;
  out->clear();
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f.get())) > 0) out->append(chunk, n);
  int ret = ferror(f.get()) ? -1 : 0;
  return close_keep_errno(std::move(f), ret);
}

int os_file_write_all(const char* path, const std::string& data) {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  file_ptr f(fopen(path, "wb"));
  if (!f) return -1;
  int ret = write_stream(f.get(), data);
  return close_keep_errno(std::move(f), ret);
}

int os_file_create_new(const char* path, const std::string& data, unsigned mode) {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, static_cast<mode_t>(mode));
  if (fd < 0) return -1;
  // The umask may have taken bits away, never added any: set them exactly.
  int ret = fchmod(fd, static_cast<mode_t>(mode));
  for (size_t done = 0; ret == 0 && done < data.size();) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ret = -1;
    else done += static_cast<size_t>(n);
  }
  if (ret == 0 && fsync(fd) != 0) ret = -1;
  int saved = errno;
  if (close(fd) != 0 && ret == 0) {
    ret = -1;
    saved = errno;
  }
  if (ret != 0) unlink(path);
  errno = saved;
  return ret;
}

int os_stdout_write(std::string_view data) { return write_stream(stdout, data); }
