// Local runs against what real trees hold: full disks, names with blanks,
// links in the destination, read-only directories, the same tree reached
// under two names.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include "wytest_tree.h"

using namespace wytest;

namespace {

/// A small tmpfs mounted on a fresh directory, unmounted at scope end.
/// `ok()` is false where this process may not mount (not root, no
/// CAP_SYS_ADMIN): the caller skips.
class SmallFs {
 public:
  SmallFs(const std::string& where, const char* size) : path_(where) {
    fs::create_directories(path_);
    std::string opts = std::string("size=") + size;
    ok_ = mount("tarn_test", path_.c_str(), "tmpfs", 0, opts.c_str()) == 0;
  }
  ~SmallFs() {
    if (ok_) umount2(path_.c_str(), MNT_DETACH);
  }
  bool ok() const { return ok_; }
  /// Makes the mounted file system read-only; false when it stays writable.
  bool remount_read_only() {
    return ok_ && mount(nullptr, path_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
  bool ok_ = false;
};

// A disk that fills up mid-file is a failure with status 4, on the kernel's
// copy path (both trees on one file system) and on the read/write path
// (another file system), and a cut copy never carries the source's stat:
// the next run writes it again instead of taking it for equal.
TEST(LocalFaults, FullDiskIsAFailureNeverACopy) {
  TempDir t;
  SmallFs small(t / "small", "4m");
  if (!small.ok()) GTEST_SKIP() << "needs to mount a tmpfs (root)";
  std::string data = pattern(3 * 1024 * 1024, 7);
  write_file(small / "src/big", data);
  write_file(t / "src/big", data);
  set_mtime(small / "src/big", kT0);
  set_mtime(t / "src/big", kT0);
  struct Case {
    std::string src, dst;
  } cases[] = {{small / "src", small / "dst"}, {t / "src", small / "dst2"}};
  for (auto& c : cases) {
    for (const char* mode : {"mode=cp", "mode=sync"}) {
      auto r = tarn_on(c.src, {mode, "if=" + c.src, "of=" + c.dst});
      EXPECT_EQ(r.status, 4) << c.dst << " " << mode << r.err;
      EXPECT_GE(report_value(r.err, "o_file_fail_count"), 1) << r.err;
      EXPECT_EQ(report_value(r.err, "file_open_count"), 0) << r.err;
      EXPECT_NE(r.err.find("o_write [" + c.dst + "/big] eno=-152 error: "), std::string::npos) << r.err;
      struct stat st = lstat_of(c.dst + "/big");
      EXPECT_LT(st.st_size, (off_t)data.size());
      EXPECT_NE(st.st_mtime, kT0);
    }
    fs::remove_all(c.dst);
  }
}

// A destination on a read-only file system is a write-protect error
// (-113), which stops the job with status 3 before anything is written:
// whether the destination still has to be made, or an earlier copy stands
// there, or the first thing to write is a file rather than a directory.
TEST(LocalFaults, ReadOnlyDestinationStopsTheJobAndWritesNothing) {
  TempDir t;
  SmallFs ro(t / "ro", "4m");
  if (!ro.ok()) GTEST_SKIP() << "needs to mount a tmpfs (root)";
  make_tree(t / "tree");
  write_file(t / "flat/a.txt", "new a");
  write_file(t / "flat/b.txt", pattern(70000, 5));
  write_file(ro / "old/a.txt", "old a");
  if (!ro.remount_read_only()) GTEST_SKIP() << "cannot remount the tmpfs read-only";
  std::string before = tree_digest(ro.path());
  struct Case {
    std::string src, dst;
  } cases[] = {{t / "tree", ro / "new/deeper"}, {t / "tree", ro / "old"}, {t / "flat", ro / "old"}};
  for (auto& c : cases) {
    auto r = tarn_on(c.src, {"mode=cp", "if=" + c.src, "of=" + c.dst});
    EXPECT_EQ(r.status, 3) << c.src << " -> " << c.dst << "\n" << r.err;
    EXPECT_NE(r.err.find("eno=-113 error: "), std::string::npos) << r.err;
    // No file written; no report at all when the destination could not be made.
    EXPECT_LE(report_value(r.err, "file_open_count"), 0) << r.err;
    EXPECT_EQ(tree_digest(ro.path()), before) << c.dst;
  }
  EXPECT_EQ(read_file(ro / "old/a.txt"), "old a");
}

// An ordinary user copying into a directory it may not write: each refused
// file (new or already there, data, empty or link, in a subdirectory that
// could not be made) is counted, access denied does not stop the job, and
// neither tree changes.
TEST(LocalFaults, DeniedDestinationCountsEveryRefusedFile) {
  TempDir t;
  chmod(t.path().c_str(), 0755);
  write_file(t / "src/a", "new a");
  write_file(t / "src/big", pattern(600000, 9));
  write_file(t / "src/empty", "");
  write_file(t / "src/sub/b", "b");
  symlink("a", (t / "src/lnk").c_str());
  write_file(t / "dst/a", "old a");
  chmod((t / "dst/a").c_str(), 0444);
  chmod((t / "dst").c_str(), 0555);
  std::string src_before = tree_digest(t / "src"), dst_before = tree_digest(t / "dst");
  RunResult r;
  if (!run_unprivileged({"mode=cp", "if=" + t / "src", "of=" + t / "dst"}, &r)) GTEST_SKIP() << "needs setpriv";
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(report_value(r.err, "file_count"), 5) << r.err;
  EXPECT_EQ(report_value(r.err, "o_file_fail_count"), 5) << r.err;
  EXPECT_EQ(report_value(r.err, "i_file_fail_count"), 0) << r.err;
  EXPECT_EQ(report_value(r.err, "file_open_count"), 0) << r.err;
  EXPECT_NE(r.err.find("o_open [" + t / "dst/a" + "] eno=-38 error: "), std::string::npos) << r.err;
  EXPECT_EQ(tree_digest(t / "src"), src_before);
  EXPECT_EQ(tree_digest(t / "dst"), dst_before);
}

// Blanks and quotes are name characters: "notes " is not "notes", and an
// empty "notes " never truncates an unrelated "notes".
TEST(LocalFaults, NamesWithBlanksAndQuotesAreTheirOwnFiles) {
  TempDir t;
  write_file(t / "src/notes ", "");
  write_file(t / "src/x", "plain x");
  write_file(t / "src/x ", "x with a blank");
  write_file(t / "src/ lead", "leading blank");
  write_file(t / "src/\"q\"", "quoted");
  write_file(t / "src/dir /f", "in a blank dir");
  write_file(t / "dst/notes", "unrelated, keep");
  for (const char* mode : {"mode=cp", "mode=sync"}) {
    auto r = tarn_on(t / "src", {mode, "if=" + t / "src", "of=" + t / "dst"}, env_no_trash(t));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(report_value(r.err, "o_file_fail_count"), 0) << r.err;
    expect_same(t / "src", t / "dst", false);
    EXPECT_EQ(read_file(t / "dst/x"), "plain x");
    EXPECT_EQ(read_file(t / "dst/x "), "x with a blank");
    // cp leaves the unrelated file alone; sync removes it as an orphan.
    EXPECT_EQ(fs::exists(t / "dst/notes"), strcmp(mode, "mode=cp") == 0) << mode;
    if (fs::exists(t / "dst/notes")) {
      EXPECT_EQ(read_file(t / "dst/notes"), "unrelated, keep");
    }
  }
}

// A link is re-created over its earlier copy, whatever it points to; sync
// follows a changed target.
TEST(LocalFaults, LinksAreReplacedOverEarlierCopies) {
  TempDir t;
  write_file(t / "src/sub1/f", "1");
  write_file(t / "src/sub2/f", "2");
  symlink("sub1", (t / "src/to_dir").c_str());
  symlink("sub1/f", (t / "src/to_file").c_str());
  for (int run = 0; run < 2; run++) {
    auto r = tarn_on(t / "src", {"mode=cp", "if=" + t / "src", "of=" + t / "dst"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(report_value(r.err, "o_file_fail_count"), 0) << "run " << run << r.err;
  }
  EXPECT_EQ(fs::read_symlink(t / "dst/to_dir"), "sub1");
  unlink((t / "src/to_dir").c_str());
  unlink((t / "src/to_file").c_str());
  symlink("sub2", (t / "src/to_dir").c_str());
  symlink("sub2/f", (t / "src/to_file").c_str());
  set_mtime(t / "src/to_dir", kT0 + 100);
  set_mtime(t / "src/to_file", kT0 + 100);
  auto r = tarn_on(t / "src", {"mode=sync", "if=" + t / "src", "of=" + t / "dst"}, env_no_trash(t));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(report_value(r.err, "o_file_fail_count"), 0) << r.err;
  EXPECT_EQ(fs::read_symlink(t / "dst/to_dir"), "sub2");
  EXPECT_EQ(fs::read_symlink(t / "dst/to_file"), "sub2/f");
  EXPECT_EQ(read_file(t / "dst/sub1/f"), "1");  // the old target stays
}

// Links standing in the destination are replaced by the source's entries,
// never written through: nothing outside the destination tree changes.
TEST(LocalFaults, DestinationLinksAreNeverFollowed) {
  TempDir t;
  write_file(t / "src/sub/a", "source a");
  write_file(t / "src/sub/deeper/b", "source b");
  write_file(t / "src/f", "source f");
  write_file(t / "outside/a", "outside a");
  write_file(t / "outside/f", "outside f");
  for (const char* mode : {"mode=cp", "mode=copy_diff_size_date", "mode=sync"}) {
    std::string dst = t / ("dst_" + std::string(mode + 5));
    fs::create_directories(dst);
    symlink((t / "outside").c_str(), (dst + "/sub").c_str());
    symlink((t / "outside/f").c_str(), (dst + "/f").c_str());
    auto r = tarn_on(t / "src", {mode, "if=" + t / "src", "of=" + dst}, env_no_trash(t));
    ASSERT_EQ(r.status, 0) << mode << r.err;
    EXPECT_EQ(report_value(r.err, "o_file_fail_count"), 0) << mode << r.err;
    EXPECT_TRUE(S_ISDIR(lstat_of(dst + "/sub").st_mode)) << mode;
    EXPECT_TRUE(S_ISREG(lstat_of(dst + "/f").st_mode)) << mode;
    expect_same(t / "src", dst, false);
    EXPECT_EQ(read_file(t / "outside/a"), "outside a") << mode;
    EXPECT_EQ(read_file(t / "outside/f"), "outside f") << mode;
    EXPECT_FALSE(fs::exists(t / "outside/deeper")) << mode;
  }
}

// An ordinary user copies a read-only tree whole, and the copy ends with the
// source's modes and times, in the mode that creates directories first and
// in one that makes them as it goes.
TEST(LocalFaults, ReadOnlyDirectoriesAreCopiedWhole) {
  TempDir t;
  chmod(t.path().c_str(), 0777);
  write_file(t / "src/ro/a", "a");
  write_file(t / "src/ro/inner/b", "b");
  write_file(t / "src/ro/inner/deepest/c", "c");
  fs::create_directories(t / "src/ro/empty");
  for (const char* d : {"src/ro/inner/deepest", "src/ro/inner", "src/ro/empty", "src/ro", "src"}) {
    if (getuid() == 0) chown((t / d).c_str(), 65534, 65534);
    chmod((t / d).c_str(), strcmp(d, "src") == 0 ? 0755 : 0555);
    set_mtime(t / d, kT0 + strlen(d));
  }
  for (const char* mode : {"mode=cp", "mode=copy_diff_size_date"}) {
    std::string dst = t / ("dst_" + std::string(mode + 5));
    RunResult r;
    if (!run_unprivileged({mode, "if=" + t / "src", "of=" + dst}, &r)) GTEST_SKIP() << "needs setpriv";
    EXPECT_EQ(r.status, 0) << mode << r.err;
    EXPECT_EQ(report_value(r.err, "o_file_fail_count"), 0) << mode << r.err;
    EXPECT_EQ(read_file(dst + "/ro/inner/deepest/c"), "c") << mode;
    expect_same(t / "src", dst, true);
  }
}

// The same tree under two names is refused before anything is written, and
// a destination file that is the source file itself is never truncated.
TEST(LocalFaults, TheSourceIsNeverItsOwnDestination) {
  TempDir t;
  write_file(t / "src/a", "precious a");
  write_file(t / "src/sub/b", "precious b");
  symlink((t / "src").c_str(), (t / "alias").c_str());
  std::string before = tree_digest(t / "src");
  for (std::string of : {t / "src/", t / "src/.", t / "alias", t / "src/sub/..", t / "src//"}) {
    for (const char* mode : {"mode=cp", "mode=sync"}) {
      auto r = tarn({mode, "if=" + t / "src", "of=" + of});
      EXPECT_EQ(r.status, 1) << of << r.err;
      EXPECT_NE(r.err.find("The source url and destination url cannot be the same"), std::string::npos) << of;
    }
  }
  for (std::string of : {t / "src/sub/copy", t / "alias/new/deeper"}) {
    auto r = tarn({"mode=cp", "if=" + t / "src", "of=" + of});
    EXPECT_EQ(r.status, 1) << of << r.err;
    EXPECT_NE(r.err.find("destination [" + of + "] is inside the source [" + t / "src" + "]"), std::string::npos)
        << r.err;
  }
  EXPECT_FALSE(fs::exists(t / "src/sub/copy"));
  EXPECT_FALSE(fs::exists(t / "src/new"));
  EXPECT_EQ(tree_digest(t / "src"), before);
  // Hard links: the destination files are the source files.
  fs::create_directories(t / "dst/sub");
  link((t / "src/a").c_str(), (t / "dst/a").c_str());
  link((t / "src/sub/b").c_str(), (t / "dst/sub/b").c_str());
  auto r = tarn({"mode=cp", "if=" + t / "src", "of=" + t / "dst"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(report_value(r.err, "o_file_fail_count"), 2) << r.err;
  EXPECT_NE(r.err.find("o_open [" + t / "dst/a" + "] error: the same file as the source"), std::string::npos);
  EXPECT_EQ(read_file(t / "src/a"), "precious a");
  EXPECT_EQ(read_file(t / "src/sub/b"), "precious b");
}

}  // namespace
