// Scoped temporary trees for the reader and multi-file tests.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace rdir_test {

namespace fs = std::filesystem;

/// A fresh directory under /tmp, removed with everything in it at scope end.
class temp_dir {
 public:
  temp_dir() {
    static int seq = 0;
    path_ = fs::path("/tmp") / ("librdir_test_" + std::to_string(getpid()) + "_" + std::to_string(seq++));
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~temp_dir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
  const fs::path& path() const { return path_; }
  std::string str() const { return path_.string(); }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

inline void write_file(const std::string& path, const std::string& data) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << data;
}

inline std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

}  // namespace rdir_test
