// Faults injected into real runs: the fault library (tests/support/wyfault.cpp)
// is preloaded into the built tarn and fails or shortens the reads, writes
// and kernel copies of the files a case names, as a failing disk, a full
// disk or a kernel that will not copy between two files would.
#include <gtest/gtest.h>

#include "wytest_tree.h"

using namespace wytest;

namespace {

const std::string kBig = "big.bin";  // the file of make_tree that faults hit
// Bytes that pass before a fault: inside the first 2 MiB block and inside a
// 4096-byte one, so the fault never falls on a block's edge.
constexpr const char* kMidFile = "1000003";

/// How tarn moves a file's data: the kernel's copy (both trees are on one
/// file system here), or its read/write loop, which it takes when the
/// kernel refuses the pair (here every copy_file_range fails with EXDEV).
struct DataPath {
  const char* name;
  const char* read_ops;   // the calls that read the source's data
  const char* write_ops;  // the calls that write the destination's
  std::vector<std::string> extra_rules;
};

const DataPath kKernel = {"kernel copy", "copy_file_range,pread", "copy_file_range,pwrite", {}};
const DataPath kReadWrite = {
    "read/write", "pread", "pwrite", {"WYFAULT_OP_2=copy_file_range", "WYFAULT_ERRNO_2=EXDEV"}};

struct FaultCase {
  const DataPath* path;
  const char* after;  // WYFAULT_AFTER
  const char* bs;     // a bs= word, or "" for the default
};

std::string describe(const FaultCase& c) {
  return std::string(c.path->name) + " after=" + c.after + " " + (*c.bs ? c.bs : "default bs");
}

class InjectedFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string(WY_FAULT_PRELOAD).empty())
      GTEST_SKIP() << "the fault library cannot be loaded behind this build's sanitizer runtime";
    make_tree(t / "src");
  }

  /// Copies t/src to a fresh destination with the fault library and the
  /// WYFAULT_* settings `rules`; checks that the source came out unchanged
  /// and keeps what the library noted in `notes`.
  RunResult copy(const std::string& dst, const char* bs, std::vector<std::string> rules) {
    std::string log = t / "faults.log";
    fs::remove(log);
    rules.push_back("LD_PRELOAD=" WY_FAULT_PRELOAD);
    rules.push_back("WYFAULT_LOG=" + log);
    std::vector<std::string> args = {"mode=cp", "if=" + t / "src", "of=" + dst};
    if (*bs) args.push_back(bs);
    RunResult r = tarn_on(t / "src", args, rules);
    notes = read_file(log);
    return r;
  }

  /// The rules of one case: `ops` on `victim` fail with `eno` after
  /// `c.after` bytes, on the data path the case names.
  static std::vector<std::string> rules_of(const FaultCase& c, const std::string& victim, const char* ops,
                                           const char* eno) {
    std::vector<std::string> r = {"WYFAULT_PATH=" + victim, std::string("WYFAULT_OP=") + ops,
                                  std::string("WYFAULT_ERRNO=") + eno, std::string("WYFAULT_AFTER=") + c.after};
    r.insert(r.end(), c.path->extra_rules.begin(), c.path->extra_rules.end());
    return r;
  }

  std::string next_dst() { return t / ("dst" + std::to_string(runs_++)); }

  /// The copy of a file that a fault cut must not pass for a whole one:
  /// with the source's size and write time the next run would take it as
  /// equal and never write it again.
  void expect_cut(const std::string& dst, const std::string& what) {
    struct stat s = lstat_of(t / "src/" + kBig), d = lstat_of(dst + "/" + kBig);
    EXPECT_LT(d.st_size, s.st_size) << what;
    EXPECT_NE(d.st_mtime, s.st_mtime) << what;
  }

  /// A source file that cannot be read is that file's failure alone: it
  /// counts once in i_file_fail_count, the job goes on (a device error does
  /// not stop it), every other file arrives whole, and the cut copy keeps a
  /// stat of its own.
  void read_fault_fails_only_that_file(const FaultCase& c) {
    std::string what = describe(c), dst = next_dst();
    auto r = copy(dst, c.bs, rules_of(c, t / "src/" + kBig, c.path->read_ops, "EIO"));
    EXPECT_NE(notes.find("pread "), std::string::npos) << what << ": no read of the file was hit";
    EXPECT_EQ(r.status, 0) << what << "\n" << r.err;
    EXPECT_EQ(report_value(r.err, "i_file_fail_count"), 1) << what << "\n" << r.err;
    EXPECT_EQ(report_value(r.err, "o_file_fail_count"), 0) << what;
    std::string line = "i_read [" + t / "src/" + kBig + "] eno=-257 error: ";
    EXPECT_NE(r.err.find(line), std::string::npos) << what << "\n" << r.err;
    expect_same(t / "src", dst, true, {kBig});
    expect_cut(dst, what);
  }

  TempDir t;
  std::string notes;

 private:
  int runs_ = 0;
};

TEST_F(InjectedFaults, ReadErrorFailsOnlyThatFile) {
  for (const FaultCase& c : {FaultCase{&kKernel, "0", ""}, FaultCase{&kKernel, kMidFile, ""},
                             FaultCase{&kReadWrite, "0", ""}, FaultCase{&kReadWrite, "0", "bs=4096"}})
    read_fault_fails_only_that_file(c);
}

// A read that runs into a bad block returns the bytes before it, and the
// next read fails: that short count is not the end of the file.
TEST_F(InjectedFaults, ReadErrorPartWayThroughABlockFailsTheFile) {
  for (const FaultCase& c : {FaultCase{&kReadWrite, kMidFile, ""}, FaultCase{&kReadWrite, kMidFile, "bs=4096"}})
    read_fault_fails_only_that_file(c);
}

// A full disk stops the job with status 4 wherever in the file it comes,
// and the cut copy keeps a stat of its own.
TEST_F(InjectedFaults, FullDiskOnOneFileStopsTheJob) {
  for (const FaultCase& c :
       {FaultCase{&kKernel, "0", ""}, FaultCase{&kKernel, kMidFile, ""}, FaultCase{&kReadWrite, "0", ""},
        FaultCase{&kReadWrite, kMidFile, ""}, FaultCase{&kReadWrite, kMidFile, "bs=4096"}}) {
    std::string what = describe(c), dst = next_dst();
    auto r = copy(dst, c.bs, rules_of(c, dst + "/" + kBig, c.path->write_ops, "ENOSPC"));
    EXPECT_NE(notes.find("pwrite fault "), std::string::npos) << what << ": no write of the file failed";
    EXPECT_EQ(r.status, 4) << what << "\n" << r.err;
    EXPECT_GE(report_value(r.err, "o_file_fail_count"), 1) << what << "\n" << r.err;
    std::string line = "o_write [" + dst + "/" + kBig + "] eno=-152 error: ";
    EXPECT_NE(r.err.find(line), std::string::npos) << what << "\n" << r.err;
    expect_cut(dst, what);
  }
}

// The kernel may copy less than asked for without an error; that is
// progress, and every file still arrives whole.
TEST_F(InjectedFaults, ShortKernelCopiesAreProgress) {
  for (const char* cap : {"4096", "1000"}) {
    std::string dst = next_dst();
    auto r = copy(dst, "", {"WYFAULT_OP=copy_file_range", std::string("WYFAULT_SHORT=") + cap});
    EXPECT_NE(notes.find("copy_file_range short "), std::string::npos) << cap << ": no copy was shortened";
    ASSERT_EQ(r.status, 0) << cap << "\n" << r.err;
    EXPECT_EQ(report_value(r.err, "i_file_fail_count"), 0) << cap << "\n" << r.err;
    EXPECT_EQ(report_value(r.err, "o_file_fail_count"), 0) << cap << "\n" << r.err;
    EXPECT_EQ(report_value(r.err, "total_read"), report_value(r.err, "total_write")) << cap;
    expect_same(t / "src", dst, true);
  }
}

// A kernel that refuses the pair (another file system: EXDEV; no such call:
// ENOSYS) leaves the copy to the read/write loop, whole with any block size.
TEST_F(InjectedFaults, RefusedKernelCopyFallsBackToReadAndWrite) {
  for (const char* eno : {"EXDEV", "ENOSYS"}) {
    for (const char* bs : {"bs=4096", ""}) {
      std::string what = std::string(eno) + " " + bs, dst = next_dst();
      auto r = copy(dst, bs, {"WYFAULT_OP=copy_file_range", std::string("WYFAULT_ERRNO=") + eno});
      EXPECT_NE(notes.find("copy_file_range fault "), std::string::npos) << what << ": no copy was refused";
      ASSERT_EQ(r.status, 0) << what << "\n" << r.err;
      EXPECT_EQ(report_value(r.err, "i_file_fail_count"), 0) << what << "\n" << r.err;
      EXPECT_EQ(report_value(r.err, "o_file_fail_count"), 0) << what << "\n" << r.err;
      EXPECT_EQ(report_value(r.err, "total_read"), report_value(r.err, "total_write")) << what;
      expect_same(t / "src", dst, true);
    }
  }
}

}  // namespace
