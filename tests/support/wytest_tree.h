// Trees for copy tests and the checks run on them: a tree with
// every kind of entry, the comparison of two trees, and a run of tarn that
// checks its source came out unchanged.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "wytest.h"

namespace wytest {

inline constexpr time_t kT0 = 1600000000;

/// Fixed write times on everything below `root` (kT0 + 10, + 20, ...),
/// deepest first so that parents keep theirs.
inline void stamp_times(const std::string& root) {
  std::vector<std::string> all;
  for (auto& e : fs::recursive_directory_iterator(root)) all.push_back(e.path().string());
  std::sort(all.rbegin(), all.rend());
  time_t t = kT0;
  for (auto& p : all) set_mtime(p, t += 10);
}

/// A tree with nested directories, empty files and directories, links to a
/// file and to a directory, odd modes and files around multiples of 4096.
inline void make_tree(const std::string& root) {
  write_file(root + "/a.txt", pattern(100, 1));
  write_file(root + "/empty.txt", "");
  write_file(root + "/big.bin", pattern(3 * 1024 * 1024 + 7, 2));
  write_file(root + "/sub1/b.dat", pattern(5000, 3));
  write_file(root + "/sub1/deep/c", "c");
  write_file(root + "/sub1/deep/deeper/d", pattern(70000, 4));
  write_file(root + "/sub1/deep/deeper/e_empty", "");
  int i = 0;
  for (size_t sz : {4095, 4096, 4097, 8192, 12289, 524288, 524289}) {
    write_file(root + "/sizes/s" + std::to_string(sz), pattern(sz, 10 + i++));
  }
  fs::create_directories(root + "/emptydir");
  fs::create_directories(root + "/sub2/empty_inner");
  symlink("a.txt", (root + "/link_file").c_str());
  symlink("sub1", (root + "/link_dir").c_str());
  symlink("/nonexistent/target", (root + "/sub1/dangling").c_str());
  chmod((root + "/sub1/b.dat").c_str(), 0600);
  chmod((root + "/sizes/s4095").c_str(), 0755);
  stamp_times(root);
}

/// Every source entry (but those in `except`) exists at the destination
/// with the same type, data, size and mode; files (and, when asked,
/// directories) with the same write time.
inline void expect_same(const std::string& src, const std::string& dst, bool dir_times,
                        const std::set<std::string>& except = {}) {
  auto a = scan(src), b = scan(dst);
  for (auto& [rel, e] : a) {
    // Without explicit directory creation only parents of files appear.
    if (e.type == 'd' && !dir_times) continue;
    if (except.count(rel)) continue;
    auto it = b.find(rel);
    if (it == b.end()) {
      ADD_FAILURE() << "missing at destination: " << rel;
      continue;
    }
    const Entry& o = it->second;
    EXPECT_EQ(o.type, e.type) << rel;
    EXPECT_EQ(o.size, e.size) << rel;
    EXPECT_TRUE(o.data == e.data) << rel;
    if (e.type != 'l') {
      EXPECT_EQ(o.mode, e.mode) << rel;
    }
    if (e.type == 'f' || (e.type == 'd' && dir_times)) {
      EXPECT_EQ(o.mtime, e.mtime) << rel;
    }
  }
}

inline std::vector<std::string> env_no_trash(const TempDir& t) { return {"XDG_DATA_HOME=" + t / "xdg"}; }

#ifdef WY_TARN_BIN
/// Runs tarn and checks that the source tree `src` came out unchanged.
inline RunResult tarn_on(const std::string& src, const std::vector<std::string>& args,
                  const std::vector<std::string>& env = {}) {
  std::string before = tree_digest(src);
  RunResult r = tarn(args, env);
  EXPECT_EQ(tree_digest(src), before) << "the source tree changed";
  return r;
}

/// Runs tarn as the unprivileged user "nobody" when we are root (so that
/// permissions apply), else as ourselves. False when root has no way to
/// drop its rights here: the caller skips.
inline bool run_unprivileged(const std::vector<std::string>& args, RunResult* r,
                             const std::vector<std::string>& env = {}) {
  if (getuid() != 0) {
    *r = tarn(args, env);
    return true;
  }
  if (access("/usr/bin/setpriv", X_OK) != 0) return false;
  std::vector<std::string> a = {"--reuid=65534", "--regid=65534", "--clear-groups", "--", WY_TARN_BIN};
  a.insert(a.end(), args.begin(), args.end());
  *r = run("/usr/bin/setpriv", a, env);
  return true;
}
#endif

}  // namespace wytest
