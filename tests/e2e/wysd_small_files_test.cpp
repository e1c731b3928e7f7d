// Small files between tarn and real servers on loopback: the files that
// travel in multi-file lists stay within what a list can hold, whatever
// max_mfile_size the block size leaves; a small file that cannot be read
// never empties its copy; and the relay's write results stay matched to
// the files it actually sent when some reads failed.
#include "wysd_client.h"
#include "wytest_tree.h"

using namespace wysdtest;
using wytest::pattern;
using wytest::read_file;
using wytest::report_value;
using wytest::RunResult;
using wytest::write_file;

namespace {

std::string url_of(const WysdServer& s, const std::string& path) {
  return "wyp://127.0.0.1:" + std::to_string(s.port()) + "/" + path;
}

/// The report counters a clean run has at 0.
void expect_no_failures(const RunResult& r, const std::string& what) {
  EXPECT_EQ(r.status, 0) << what << "\n" << r.err;
  for (const char* k : {"i_file_fail_count", "o_file_fail_count", "i_dir_fail_count", "o_dir_fail_count"})
    EXPECT_EQ(report_value(r.err, k), 0) << what << " " << k;
}

/// Every file of `a` is in `b` with the same contents.
void expect_same_files(const std::string& a, const std::string& b, const std::string& what) {
  auto sa = wytest::scan(a), sb = wytest::scan(b);
  for (auto& [rel, e] : sa) {
    if (e.type != 'f') continue;
    auto it = sb.find(rel);
    if (it == sb.end()) {
      ADD_FAILURE() << what << ": missing " << rel;
      continue;
    }
    EXPECT_EQ(it->second.size, e.size) << what << ": " << rel;
    EXPECT_TRUE(it->second.data == e.data) << what << ": " << rel;
  }
}

// Around max_mfile_size, with its 4-byte record header: the default and
// one lowered by a small block size (max_mfile_size is at most bs / 2).
// Upload, download and relay all move every file whole.
TEST(WysdSmallFiles, FilesAroundTheListLimitsTravelWholeOnEveryPath) {
  WYSD_REQUIRE_SERVER();
  for (int64_t bs : {int64_t{0}, int64_t{65536}, int64_t{8192}}) {
    int64_t limit = bs == 0 ? 524288 : bs / 2;
    std::string what = "bs=" + std::to_string(bs);
    SCOPED_TRACE(what);
    Site s;
    ASSERT_NO_FATAL_FAILURE(s.start());
    TempDir t;
    unsigned seed = 1;
    for (int64_t size = limit - 5; size <= limit + 1; size++)
      write_file(t / ("src/f" + std::to_string(size)), pattern(static_cast<size_t>(size), seed++));
    write_file(t / "src/small", "tiny");
    write_file(t / "src/sub/g", pattern(static_cast<size_t>(limit - 4), seed++));
    std::vector<std::string> extra;
    if (bs != 0) extra.push_back("bs=" + std::to_string(bs));
    auto run = [&](const std::string& from, const std::string& to) {
      std::vector<std::string> args = {"mode=cp", "if=" + from, "of=" + to};
      args.insert(args.end(), extra.begin(), extra.end());
      return wytest::tarn(args);
    };
    RunResult up = run(t / "src", url_of(s.srv, "up"));
    expect_no_failures(up, what + " upload");
    expect_same_files(t / "src", s.in_root("up"), what + " upload");
    RunResult down = run(url_of(s.srv, "up"), t / "down");
    expect_no_failures(down, what + " download");
    expect_same_files(t / "src", t / "down", what + " download");
    RunResult relay = run(url_of(s.srv, "up"), url_of(s.srv, "relay"));
    expect_no_failures(relay, what + " relay");
    expect_same_files(t / "src", s.in_root("relay"), what + " relay");
  }
}

// Uploads: the source's reads of "bad" files fail. Such a file is left out
// of the write list: its earlier copy keeps its contents, it counts once,
// and the other files of its list arrive.
TEST(WysdSmallFiles, AnUnreadableFileNeverEmptiesItsUploadedCopy) {
  WYSD_REQUIRE_SERVER();
  if (std::string(WY_FAULT_PRELOAD).empty()) GTEST_SKIP() << "the fault library cannot be loaded in this build";
  Site s;
  ASSERT_NO_FATAL_FAILURE(s.start());
  TempDir t;
  write_file(t / "src/a", pattern(100, 1));
  write_file(t / "src/bad_one", pattern(200, 2));
  write_file(t / "src/c", pattern(300, 3));
  write_file(t / "src/alone/bad_two", pattern(50, 4));  // the only file of its list
  write_file(s.in_root("up/bad_one"), "earlier copy");
  write_file(s.in_root("up/alone/bad_two"), "earlier copy 2");
  std::string log = t / "faults.log";
  RunResult r = wytest::tarn({"mode=cp", "if=" + t / "src", "of=" + url_of(s.srv, "up")},
                             {"LD_PRELOAD=" WY_FAULT_PRELOAD, "WYFAULT_PATH=/bad_", "WYFAULT_OP=pread",
                              "WYFAULT_ERRNO=EIO", "WYFAULT_LOG=" + log});
  EXPECT_NE(read_file(log).find("pread fault"), std::string::npos) << "no read was hit";
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(report_value(r.err, "i_file_fail_count"), 2) << r.err;
  EXPECT_EQ(report_value(r.err, "o_file_fail_count"), 0) << r.err;
  EXPECT_EQ(report_value(r.err, "file_open_count"), 2) << r.err;
  EXPECT_NE(r.err.find("i_read [" + t / "src/bad_one" + "] eno=-257 error: "), std::string::npos) << r.err;
  EXPECT_EQ(read_file(s.in_root("up/bad_one")), "earlier copy");
  EXPECT_EQ(read_file(s.in_root("up/alone/bad_two")), "earlier copy 2");
  EXPECT_TRUE(read_file(s.in_root("up/a")) == pattern(100, 1));
  EXPECT_TRUE(read_file(s.in_root("up/c")) == pattern(300, 3));
}

// Relay: the source server fails its reads of "bad" files, which sit
// between good ones in size order. Only the files received go to the
// destination, each result matched to its own file: a shifted result would
// name another file's size and be refused.
TEST(WysdSmallFiles, RelayResultsStayMatchedWhenSourceReadsFail) {
  WYSD_REQUIRE_SERVER();
  if (std::string(WY_FAULT_PRELOAD).empty()) GTEST_SKIP() << "the fault library cannot be loaded in this build";
  TempDir t;
  std::string log = t / "faults.log";
  WysdServer src, dst;
  fs::create_directories(t / "sroot");
  ASSERT_TRUE(src.start(t / "sroot", "", {}, {},
                        {"LD_PRELOAD=" WY_FAULT_PRELOAD, "WYFAULT_PATH=bad_", "WYFAULT_OP=pread",
                         "WYFAULT_ERRNO=EIO", "WYFAULT_LOG=" + log}))
      << src.log();
  fs::create_directories(t / "droot");
  ASSERT_TRUE(dst.start(t / "droot")) << dst.log();
  const std::vector<std::pair<std::string, size_t>> files = {
      {"s1", 10}, {"bad_a", 20}, {"s2", 30}, {"bad_b", 40}, {"s3", 50}, {"sub/bad_c", 60}, {"sub/s4", 70}};
  unsigned seed = 1;
  for (auto& [name, size] : files) write_file(t / ("sroot/tree/" + name), pattern(size, seed++));
  for (const char* old : {"bad_a", "bad_b", "sub/bad_c"}) write_file(t / ("droot/copy/" + std::string(old)), "old");
  RunResult r = wytest::tarn({"mode=cp", "if=" + url_of(src, "tree"), "of=" + url_of(dst, "copy")});
  EXPECT_NE(read_file(log).find("pread fault"), std::string::npos) << "no read was hit\n" << src.log();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(report_value(r.err, "i_file_fail_count"), 3) << r.err;
  EXPECT_EQ(report_value(r.err, "o_file_fail_count"), 0) << r.err;
  EXPECT_EQ(report_value(r.err, "file_open_count"), 4) << r.err;
  EXPECT_EQ(report_value(r.err, "total_write"), 10 + 30 + 50 + 70) << r.err;
  seed = 1;
  for (auto& [name, size] : files) {
    std::string got = read_file(t / ("droot/copy/" + name));
    if (name.find("bad_") != std::string::npos)
      EXPECT_EQ(got, "old") << name;
    else
      EXPECT_TRUE(got == pattern(size, seed)) << name;
    seed++;
  }
  EXPECT_EQ(src.stop(), 0) << src.log();
  EXPECT_EQ(dst.stop(), 0) << dst.log();
}

}  // namespace
