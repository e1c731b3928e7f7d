// What a user leans on around a copy: a dry run that changes nothing and
// predicts the real run, the guards on sync's deletions, and the live
// progress line on a terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>

#include <algorithm>
#include <chrono>
#include <regex>
#include <sstream>

#include "wytest_sides.h"
#include "wytest_tree.h"

using namespace wytest;

namespace {

class Dry : public ::testing::TestWithParam<Kind> {};
class Guard : public ::testing::TestWithParam<Kind> {};
INSTANTIATE_TEST_SUITE_P(Kinds, Dry, all_kinds(), kind_param_name);
INSTANTIATE_TEST_SUITE_P(Kinds, Guard, all_kinds(), kind_param_name);

/// A tree with one of each kind of entry, light enough for the sanitizer
/// builds: small files, one that goes block by block, an empty one, links
/// to a file, to a directory and to nowhere. 9 files in 4 directories.
void make_light_tree(const std::string& root) {
  write_file(root + "/a.txt", pattern(100, 1));
  write_file(root + "/empty.txt", "");
  write_file(root + "/big.bin", pattern(600000, 2));
  write_file(root + "/sub1/b.dat", pattern(5000, 3));
  write_file(root + "/sub1/deep/c", "c");
  write_file(root + "/sizes/s4096", pattern(4096, 4));
  fs::create_directories(root + "/emptydir");
  symlink("a.txt", (root + "/link_file").c_str());
  symlink("sub1", (root + "/link_dir").c_str());
  symlink("/nonexistent/target", (root + "/sub1/dangling").c_str());
  std::vector<std::string> all;
  for (auto& e : fs::recursive_directory_iterator(root)) all.push_back(e.path().string());
  std::sort(all.rbegin(), all.rend());
  time_t t = kT0;
  for (auto& p : all) set_mtime(p, t += 10);
}
constexpr size_t kLightFiles = 9;

/// A destination that a sync must change in every way: files missing,
/// changed in size, changed in time, current, and orphans (one in a
/// directory whose source has no files).
void make_stale_copy(const std::string& src, const std::string& dst) {
  make_light_tree(src);
  write_file(src + "/nofiles/inner/x", "x");
  set_mtime(src + "/nofiles/inner/x", kT0);
  fs::copy(src, dst, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  for (auto& e : fs::recursive_directory_iterator(src)) {
    std::string rel = e.path().lexically_relative(src).string();
    set_mtime(dst + "/" + rel, lstat_of(e.path().string()).st_mtime);
  }
  fs::remove(dst + "/a.txt");
  write_file(dst + "/sub1/b.dat", "shorter");
  set_mtime(dst + "/sizes/s4096", kT0 - 1000);
  write_file(dst + "/orphan1", "o1");
  write_file(dst + "/sub1/deep/orphan2", "o2");
  write_file(dst + "/nofiles/orphan3", "o3");
  write_file(dst + "/extra_dir/kept", "k");
}

const char* kCounts[] = {"file_total_size", "file_count",       "dir_count",           "file_open_count",
                         "total_read",      "total_write",      "sync_del_file_count", "i_file_fail_count",
                         "o_file_fail_count", "i_dir_fail_count", "o_dir_fail_count"};

/// Lines of the log holding `what`.
size_t count_of(const std::string& log, const std::string& what) {
  size_t n = 0;
  for (size_t p = log.find(what); p != std::string::npos; p = log.find(what, p + 1)) n++;
  return n;
}

// A dry sync changes nothing on either side, names each file it would
// write and delete, and its report is the real sync's that follows.
TEST_P(Dry, SyncChangesNothingAndPredictsTheRealRun) {
  TempDir t;
  SIDES(t);
  make_stale_copy(t / "src", t / "dst");
  std::string before = tree_digest(t / "dst");
  std::vector<std::string> env = {"XDG_DATA_HOME=" + t / "xdg"};
  auto dry = tarn_on(t / "src", {"mode=sync", "if=" + s.src("src"), "of=" + s.dst("dst"), "dry=1"}, env);
  ASSERT_EQ(dry.status, 0) << dry.err << s.logs();
  EXPECT_EQ(tree_digest(t / "dst"), before) << "a dry run changed the destination";
  EXPECT_FALSE(fs::exists(t / "xdg")) << "a dry run used the trash";
  EXPECT_EQ(count_of(dry.err, "would copy ["), 3u) << dry.err;
  EXPECT_NE(dry.err.find("a.txt] (new)"), std::string::npos) << dry.err;
  EXPECT_NE(dry.err.find("b.dat] (size 7 -> 5000)"), std::string::npos) << dry.err;
  EXPECT_NE(dry.err.find("s4096] (time "), std::string::npos) << dry.err;
  EXPECT_EQ(count_of(dry.err, "would delete ["), 3u) << dry.err;
  EXPECT_NE(dry.err.find("nofiles/orphan3]"), std::string::npos) << dry.err;

  auto real = tarn_on(t / "src", {"mode=sync", "if=" + s.src("src"), "of=" + s.dst("dst")}, env);
  ASSERT_EQ(real.status, 0) << real.err;
  expect_same(t / "src", t / "dst", false, {"nofiles"});
  EXPECT_FALSE(fs::exists(t / "dst/orphan1"));
  EXPECT_TRUE(fs::exists(t / "dst/extra_dir/kept"));
  for (const char* k : kCounts) EXPECT_EQ(report_value(dry.err, k), report_value(real.err, k)) << k;
  EXPECT_EQ(report_value(real.err, "sync_del_file_count"), 3);
}

// A dry copy into a destination that does not exist creates nothing, not
// even the destination, and counts what the copy then writes.
TEST_P(Dry, CopyIntoAMissingDestinationCreatesNothing) {
  TempDir t;
  SIDES(t);
  make_light_tree(t / "src");
  for (const char* mode : {"mode=cp", "mode=copy_diff_size_date"}) {
    std::string rel = std::string("new_") + (mode[6] == 'p' ? "cp" : "diff") + "/below";
    auto dry = tarn_on(t / "src", {mode, "if=" + s.src("src"), "of=" + s.dst(rel), "dry=1"});
    ASSERT_EQ(dry.status, 0) << mode << dry.err << s.logs();
    EXPECT_FALSE(fs::exists(t / rel.substr(0, rel.find('/')))) << mode;
    EXPECT_EQ(count_of(dry.err, "would copy ["), kLightFiles) << mode << dry.err;
    EXPECT_EQ(count_of(dry.err, mode[6] == 'p' ? "(overwrite)" : "(new)"), kLightFiles) << mode;
    auto real = tarn_on(t / "src", {mode, "if=" + s.src("src"), "of=" + s.dst(rel)});
    ASSERT_EQ(real.status, 0) << real.err;
    expect_same(t / "src", t / rel, false);
    for (const char* k : kCounts) EXPECT_EQ(report_value(dry.err, k), report_value(real.err, k)) << mode << k;
  }
  // A destination that is a file, or lies below one, is refused as in a
  // real run.
  write_file(t / "afile", "x");
  for (const char* rel : {"afile", "afile/below"}) {
    auto r = tarn_on(t / "src", {"mode=cp", "if=" + s.src("src"), "of=" + s.dst(rel), "dry=1"});
    EXPECT_NE(r.status, 0) << rel << r.err;
    auto real = tarn_on(t / "src", {"mode=cp", "if=" + s.src("src"), "of=" + s.dst(rel)});
    EXPECT_NE(real.status, 0) << rel << real.err;
  }
  EXPECT_EQ(read_file(t / "afile"), "x");
}

// max_del stops the deletions at the limit: the copies still happen, the
// log says why, and the run does not read as a success.
TEST_P(Guard, MaxDelDeletesNoMoreThanItsLimit) {
  TempDir t;
  SIDES(t);
  write_file(t / "src/keep", "k");
  write_file(t / "src/sub/new", "n");
  write_file(t / "src/gone/x", "x");
  for (int i = 0; i < 3; i++) write_file(t / ("dst/o" + std::to_string(i)), "o");
  for (int i = 0; i < 2; i++) write_file(t / ("dst/sub/o" + std::to_string(i)), "o");
  // A directory without source files: its files go in one request on a server.
  for (int i = 0; i < 2; i++) write_file(t / ("dst/nofiles/o" + std::to_string(i)), "o");
  fs::create_directories(t / "src/nofiles");
  auto left = [&] {
    int n = 0;
    for (auto& e : fs::recursive_directory_iterator(t / "dst"))
      if (e.path().filename().string()[0] == 'o') n++;
    return n;
  };
  auto dry = tarn_on(t / "src", {"mode=sync", "if=" + s.src("src"), "of=" + s.dst("dst"), "max_del=4", "dry=1"});
  EXPECT_EQ(dry.status, 1) << dry.err << s.logs();
  EXPECT_EQ(count_of(dry.err, "would delete ["), 4u) << dry.err;
  auto r = tarn_on(t / "src", {"mode=sync", "if=" + s.src("src"), "of=" + s.dst("dst"), "max_del=4"});
  EXPECT_EQ(r.status, 1) << r.err << s.logs();
  EXPECT_NE(r.err.find("max_del=4 reached"), std::string::npos) << r.err;
  EXPECT_EQ(report_value(r.err, "sync_del_file_count"), 4) << r.err;
  EXPECT_EQ(left(), 3);
  EXPECT_EQ(read_file(t / "dst/sub/new"), "n") << "the copies still happen";
  // Within the limit it is an ordinary sync.
  r = tarn_on(t / "src", {"mode=sync", "if=" + s.src("src"), "of=" + s.dst("dst"), "max_del=3"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(left(), 0);
}

// A source root that lists nothing (an unmounted disk) empties nothing
// unless max_del says how much may go.
TEST_P(Guard, AnEmptySourceRootDeletesNothingWithoutALimit) {
  TempDir t;
  SIDES(t);
  fs::create_directories(t / "src");
  write_file(t / "dst/precious", "p");
  write_file(t / "dst/sub/more", "m");
  std::string before = tree_digest(t / "dst");
  for (const char* dry : {"dry=1", "dry=0"}) {
    auto r = tarn_on(t / "src", {"mode=sync", "if=" + s.src("src"), "of=" + s.dst("dst"), dry});
    EXPECT_EQ(r.status, 1) << dry << r.err << s.logs();
    EXPECT_NE(r.err.find("lists no entry: nothing deleted"), std::string::npos) << r.err;
    EXPECT_EQ(tree_digest(t / "dst"), before) << dry;
  }
  auto r = tarn_on(t / "src", {"mode=sync", "if=" + s.src("src"), "of=" + s.dst("dst"), "max_del=10"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(fs::exists(t / "dst/precious"));
  EXPECT_TRUE(fs::exists(t / "dst/sub/more")) << "only the root's files were orphans";
}

/// The pseudo-terminal output of a tarn run: its standard error is the
/// terminal's slave side, `cols` columns wide.
struct PtyRun {
  int status = -1;
  std::string out;
};

PtyRun run_on_pty(const std::vector<std::string>& args, const std::vector<std::string>& env, int cols) {
  PtyRun res;
  int m = posix_openpt(O_RDWR | O_NOCTTY);
  if (m < 0 || grantpt(m) < 0 || unlockpt(m) < 0) return res;
  std::string slave = ptsname(m);
  winsize ws{};
  ws.ws_row = 24;
  ws.ws_col = static_cast<unsigned short>(cols);
  ioctl(m, TIOCSWINSZ, &ws);
  pid_t pid = fork();
  if (pid == 0) {
    int s = open(slave.c_str(), O_RDWR);
    // Raw: the line discipline must not turn "\n" into "\r\n".
    termios tio{};
    tcgetattr(s, &tio);
    cfmakeraw(&tio);
    tcsetattr(s, TCSANOW, &tio);
    dup2(s, 2);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    for (auto& e : env) putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> argv = {const_cast<char*>(WY_TARN_BIN)};
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(WY_TARN_BIN, argv.data());
    _exit(127);
  }
  // Read until the child is gone and the terminal drained; bounded.
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  bool exited = false;
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{m, POLLIN, 0};
    if (poll(&p, 1, 100) > 0) {
      char buf[4096];
      ssize_t n = read(m, buf, sizeof buf);
      if (n > 0) {
        res.out.append(buf, static_cast<size_t>(n));
        continue;
      }
      if (exited) break;  // EIO: no slave open any more
    } else if (exited) {
      break;
    }
    int ws2 = 0;
    if (!exited && waitpid(pid, &ws2, WNOHANG) == pid) {
      exited = true;
      res.status = WIFEXITED(ws2) ? WEXITSTATUS(ws2) : 128 + WTERMSIG(ws2);
    }
  }
  if (!exited) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  close(m);
  return res;
}

/// A copy slowed down to a second or two per 12 MiB: every write of the destination's
/// data moves at most 16 bytes, and the kernel copy is refused so that the
/// writes happen.
std::vector<std::string> slow_writes(const TempDir& t) {
  return {"LD_PRELOAD=" + std::string(WY_FAULT_PRELOAD), "WYFAULT_PATH=" + t / "dst", "WYFAULT_OP=pwrite",
          "WYFAULT_SHORT=16", "WYFAULT_PATH_2=" + t / "src", "WYFAULT_OP_2=copy_file_range",
          "WYFAULT_ERRNO_2=ENOSYS"};
}

const std::regex kProgress(R"(^\d+/\d+ files  [0-9.]+[KMGTPE]?  [0-9.]+[KMG]?B/S  [0-9:._]+( .*)?$)");

// On a terminal the line is redrawn in place, never wider than the
// terminal, erased before each log line and at the end.
TEST(Progress, RedrawsInPlaceOnATerminalAndLeavesNoTrace) {
  if (std::string(WY_FAULT_PRELOAD).empty()) GTEST_SKIP() << "no fault library in this build";
  TempDir t;
  write_file(t / "src/big", pattern(12 << 20, 7));
  write_file(t / "src/sub/small", "s");
  auto r = run_on_pty({"mode=cp", "if=" + t / "src", "of=" + t / "dst", "bs=64k"}, slow_writes(t), 70);
  ASSERT_EQ(r.status, 0) << r.out;
  ASSERT_EQ(read_file(t / "dst/big"), pattern(12 << 20, 7));
  const std::string erase = "\r\033[K";
  // The terminal sees: erase, line, erase, line, ... erase, log lines.
  size_t shown = 0;
  for (size_t p = r.out.find(erase); p != std::string::npos; p = r.out.find(erase, p + 1)) {
    size_t from = p + erase.size();
    size_t to = r.out.find_first_of("\r\n", from);
    std::string seg = r.out.substr(from, to == std::string::npos ? std::string::npos : to - from);
    // An erase is followed by the next line, or by a log line (coloured
    // on a terminal, or plain) once the progress line made room for it.
    if (!std::regex_search(seg, std::regex(R"(^\d+/\d+ files  )"))) continue;
    shown++;
    EXPECT_TRUE(std::regex_match(seg, kProgress)) << "[" << seg << "]";
    EXPECT_LE(seg.size(), 69u) << seg;
    // What follows a drawn line is the next erase, never a log line on it.
    ASSERT_NE(to, std::string::npos) << "the last line was left standing";
    EXPECT_EQ(r.out.compare(to, erase.size(), erase), 0) << "text after [" << seg << "]";
  }
  EXPECT_GE(shown, 2u) << "no live progress in a run of several seconds:\n" << r.out;
  EXPECT_NE(r.out.find("big"), std::string::npos) << "the name being transferred";
  EXPECT_NE(r.out.find("file_count=2\n"), std::string::npos) << r.out;

  // progress=0: nothing but the log.
  fs::remove_all(t / "dst");
  r = run_on_pty({"mode=cp", "if=" + t / "src", "of=" + t / "dst", "progress=0"}, {}, 70);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find("\033[K"), std::string::npos) << r.out;
}

// Forced into a pipe it writes whole lines, one a second.
TEST(Progress, ForcedIntoAPipeWritesWholeLines) {
  if (std::string(WY_FAULT_PRELOAD).empty()) GTEST_SKIP() << "no fault library in this build";
  TempDir t;
  write_file(t / "src/big", pattern(24 << 20, 7));
  auto start = std::chrono::steady_clock::now();
  auto r = tarn({"mode=cp", "if=" + t / "src", "of=" + t / "dst", "bs=64k", "progress=1"}, slow_writes(t));
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find('\r'), std::string::npos);
  EXPECT_EQ(r.err.find('\033'), std::string::npos);
  std::istringstream in(r.err);
  std::string line;
  int lines = 0;
  while (std::getline(in, line)) lines += std::regex_match(line, kProgress);
  // One a second: at most one more than the seconds the run took, and at
  // least one when it took two of them (the first is due a second after
  // the job opened).
  EXPECT_LE(lines, static_cast<int>(secs) + 1) << r.err;
  if (secs >= 2.0) {
    EXPECT_GE(lines, 1) << secs << "s\n" << r.err;
  }
  // Without the word, a pipe gets no progress.
  fs::remove_all(t / "dst");
  r = tarn({"mode=cp", "if=" + t / "src", "of=" + t / "dst"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find(" files  "), std::string::npos) << r.err;
}

}  // namespace
