// Big files against a real server when one side fails part-way: the block
// after the current one is read while the current one is written, so a
// failure always meets the other side with a block in flight. The cut file
// must fail alone, be counted once, never pass for a whole copy, and leave
// the connection fit for the next file.
#include "wytest_tree.h"
#include "wytest_wysd.h"

using namespace wytest;

namespace {

constexpr int64_t kBs = 65536;
constexpr size_t kBig = 16 * kBs + 777;  // 17 blocks, the last one short

/// A server on its own root, stopped in order at the end (a crash or a
/// sanitizer report shows here).
struct Site {
  TempDir t;
  WysdServer srv;
  ~Site() {
    if (srv.running()) {
      EXPECT_EQ(srv.stop(), 0) << srv.log().substr(0, 8000);
    }
  }
  void start() {
    fs::create_directories(t / "root");
    ASSERT_TRUE(srv.start(t / "root")) << srv.log();
  }
  std::string in_root(const std::string& rel) const { return t / ("root/" + rel); }
  int port() const { return srv.port(); }
};

std::string url_of(const Site& s, const std::string& path) {
  return "wyp://127.0.0.1:" + std::to_string(s.port()) + "/" + path + "?pack=none";
}

class RemoteBlocks : public ::testing::Test {
 protected:
  void SetUp() override {
    WYSD_REQUIRE_SERVER();
    if (std::string(WY_FAULT_PRELOAD).empty()) GTEST_SKIP() << "the fault library cannot be loaded in this build";
    ASSERT_NO_FATAL_FAILURE(s.start());
  }
  /// A source file with a write time no copy made now can have.
  static void put(const std::string& path, size_t size, unsigned seed) {
    write_file(path, pattern(size, seed));
    set_mtime(path, 1500000000);
  }
  /// tarn with the fault library and `rules`; what it noted lands in notes.
  RunResult run(const std::string& in, const std::string& out, std::vector<std::string> rules) {
    std::string log = t / "faults.log";
    fs::remove(log);
    rules.push_back("LD_PRELOAD=" WY_FAULT_PRELOAD);
    rules.push_back("WYFAULT_LOG=" + log);
    RunResult r = tarn({"mode=cp", "if=" + in, "of=" + out, "bs=" + std::to_string(kBs)}, rules);
    notes = read_file(log);
    return r;
  }
  /// `copy` is a cut copy of `src`: shorter, without the source's time.
  static void expect_cut(const std::string& src, const std::string& copy, const std::string& what) {
    struct stat a = lstat_of(src), b = lstat_of(copy);
    EXPECT_LT(b.st_size, a.st_size) << what;
    EXPECT_NE(b.st_mtime, a.st_mtime) << what;
  }

  Site s;
  TempDir t;
  std::string notes;
};

// Upload: the disk fails reading a block while the one before it is on its
// way to the server. The bytes before the bad spot come as a short read
// (asked again, which is where the error shows), everything read is
// written, and the other big file arrives whole over the same connection.
TEST_F(RemoteBlocks, UploadReadFailureWhileABlockIsInFlightFailsOnlyThatFile) {
  put(t / "src/bad.bin", kBig, 1);
  put(t / "src/good.bin", kBig + 5, 2);
  const long long after = 5 * kBs + 1000;
  RunResult r = run(t / "src", url_of(s, "up"),
                    {"WYFAULT_PATH=/bad.bin", "WYFAULT_OP=pread", "WYFAULT_ERRNO=EIO",
                     "WYFAULT_AFTER=" + std::to_string(after)});
  EXPECT_NE(notes.find("pread fault"), std::string::npos) << "no read was hit";
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(report_value(r.err, "i_file_fail_count"), 1) << r.err;
  EXPECT_EQ(report_value(r.err, "o_file_fail_count"), 0) << r.err;
  EXPECT_NE(r.err.find("i_read [" + t / "src/bad.bin" + "] eno=-257 error: "), std::string::npos) << r.err;
  // Only blocks the loop took count: the block read ahead of a failure is
  // never written and never counted.
  EXPECT_EQ(report_value(r.err, "total_read"), report_value(r.err, "total_write")) << r.err;
  EXPECT_EQ(report_value(r.err, "total_write"), after + static_cast<long long>(kBig + 5)) << r.err;
  expect_cut(t / "src/bad.bin", s.in_root("up/bad.bin"), "upload");
  EXPECT_EQ(fs::file_size(s.in_root("up/bad.bin")), static_cast<uintmax_t>(after));
  EXPECT_TRUE(read_file(s.in_root("up/good.bin")) == pattern(kBig + 5, 2));
}

// Download: the disk fails writing a block while the next one is being
// asked for. The read in flight ends before the file is given up, the
// failure counts once on the destination side, and the next file comes
// whole over the same connection.
TEST_F(RemoteBlocks, DownloadWriteFailureWhileABlockIsRequestedFailsOnlyThatFile) {
  put(s.in_root("tree/bad.bin"), kBig, 1);
  put(s.in_root("tree/good.bin"), kBig + 5, 2);
  std::string dst = t / "down";
  RunResult r = run(url_of(s, "tree"), dst,
                    {"WYFAULT_PATH=down/bad.bin", "WYFAULT_OP=pwrite", "WYFAULT_ERRNO=EIO",
                     "WYFAULT_AFTER=" + std::to_string(7 * kBs + 10)});
  EXPECT_NE(notes.find("pwrite fault"), std::string::npos) << "no write was hit";
  EXPECT_EQ(report_value(r.err, "o_file_fail_count"), 1) << r.err;
  EXPECT_EQ(report_value(r.err, "i_file_fail_count"), 0) << r.err;
  EXPECT_NE(r.err.find("o_write [" + dst + "/bad.bin] eno=-257 error: "), std::string::npos) << r.err;
  expect_cut(s.in_root("tree/bad.bin"), dst + "/bad.bin", "download");
  EXPECT_TRUE(read_file(dst + "/good.bin") == pattern(kBig + 5, 2));
}

// Download onto a full disk: the job stops (status 4) with a request in
// flight, and the cut copy keeps a stat of its own.
TEST_F(RemoteBlocks, DownloadOntoAFullDiskStopsWithStatus4) {
  put(s.in_root("tree/bad.bin"), kBig, 1);
  std::string dst = t / "full";
  RunResult r = run(url_of(s, "tree"), dst,
                    {"WYFAULT_PATH=full/bad.bin", "WYFAULT_OP=pwrite", "WYFAULT_ERRNO=ENOSPC",
                     "WYFAULT_AFTER=" + std::to_string(3 * kBs)});
  EXPECT_NE(notes.find("pwrite fault"), std::string::npos) << "no write was hit";
  EXPECT_EQ(r.status, 4) << r.err;
  EXPECT_NE(r.err.find("o_write [" + dst + "/bad.bin] eno=-152 error: "), std::string::npos) << r.err;
  expect_cut(s.in_root("tree/bad.bin"), dst + "/bad.bin", "full disk");
}

}  // namespace
