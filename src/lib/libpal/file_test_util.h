// Test helpers for the file units: a real temporary directory removed with
// everything in it when the scope ends, and small file helpers.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

struct tmp_dir {
  std::string path;
  tmp_dir() {
    char tmpl[] = "/tmp/wy_vfile_XXXXXX";
    const char* p = mkdtemp(tmpl);
    if (p != nullptr) path = p;
  }
  ~tmp_dir() {
    if (path.empty()) return;
    // Give write permission back so read-only leftovers can go too.
    std::string cmd = "chmod -R u+w '" + path + "' 2>/dev/null; rm -rf '" + path + "'";
    if (system(cmd.c_str()) != 0) {
    }
  }
  std::string operator/(const std::string& name) const { return path + "/" + name; }
};

inline void put_file(const std::string& p, const std::string& data) {
  std::ofstream o(p, std::ios::binary);
  o << data;
}

inline std::string get_file(const std::string& p) {
  std::ifstream i(p, std::ios::binary);
  std::stringstream s;
  s << i.rdbuf();
  return s.str();
}
