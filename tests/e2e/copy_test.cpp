// Copy, sync and ls of local trees through the built tarn.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/sysmacros.h>
#include <sys/un.h>

#include <chrono>
#include <thread>

#include "wytest_sides.h"
#include "wytest_tree.h"

using namespace wytest;

namespace {

// The cases below run on every kind of pair: local to local, to a server,
// from a server, and between two servers, over TCP and over TLS.
class Copy : public ::testing::TestWithParam<Kind> {};
class Sync : public ::testing::TestWithParam<Kind> {};
INSTANTIATE_TEST_SUITE_P(Kinds, Copy, all_kinds(), kind_param_name);
INSTANTIATE_TEST_SUITE_P(Kinds, Sync, all_kinds(), kind_param_name);
// A listing has no destination: a local or a served source.
class Ls : public ::testing::TestWithParam<Kind> {};
INSTANTIATE_TEST_SUITE_P(Kinds, Ls, ::testing::Values(Kind::LL, Kind::RL, Kind::RL_TLS), kind_param_name);


TEST_P(Copy, CopyOverwriteCopiesEverything) {
  TempDir t;
  SIDES(t);
  make_tree(t / "src");
  for (const char* mode : {"mode=cp", "mode=copy_overwrite"}) {
    for (const char* bs : {"bs=4096", "bs=2M"}) {
      std::string rel = std::string("dst_") + (mode + 5) + "_" + (bs + 3);
      std::string dst = t / rel;
      auto r = tarn_on(t / "src", {mode, "if=" + s.src("src"), "of=" + s.dst(rel), bs});
      ASSERT_EQ(r.status, 0) << r.err;
      expect_same(t / "src", dst, true);
      EXPECT_EQ(scan(t / "src").size(), scan(dst).size());
      EXPECT_EQ(report_value(r.err, "file_count"), 17) << r.err;
      EXPECT_EQ(report_value(r.err, "dir_count"), 7);
      EXPECT_EQ(report_value(r.err, "i_file_fail_count"), 0);
      EXPECT_EQ(report_value(r.err, "o_file_fail_count"), 0);
      EXPECT_EQ(report_value(r.err, "total_read"), report_value(r.err, "total_write"));
      EXPECT_GE(report_value(r.err, "file_rate"), 0);
      EXPECT_NE(r.err.find("trans_rate="), std::string::npos);
      EXPECT_NE(r.err.find("total_time="), std::string::npos);
      EXPECT_EQ(r.err.find("sync_del_file_count="), std::string::npos);
      // A second run over the existing copy overwrites and stays equal.
      r = tarn_on(t / "src", {mode, "if=" + s.src("src"), "of=" + s.dst(rel), bs});
      ASSERT_EQ(r.status, 0) << r.err;
      expect_same(t / "src", dst, true);
      // Links (to a file, to a directory, dangling) are re-created over
      // their earlier copies, not refused.
      EXPECT_EQ(report_value(r.err, "o_file_fail_count"), 0) << r.err;
      // Here a link is made, not opened; written by a server, the links
      // travel in the small-file lists and count with their files.
      EXPECT_EQ(report_value(r.err, "file_open_count"), dst_remote(GetParam()) ? 17 : 14) << r.err;
    }
  }
}

TEST_P(Copy, DiffSizeDateDecidesPerFile) {
  TempDir t;
  SIDES(t);
  write_file(t / "src/same2", "AAAA");
  write_file(t / "src/diff3", "BBBB");
  write_file(t / "src/size1", "CCCC");
  write_file(t / "src/newer_dst", "DDDD");
  write_file(t / "src/missing", "EEEE");
  for (auto n : {"same2", "diff3", "size1", "newer_dst", "missing"}) set_mtime(t / "src/" + n, kT0);
  write_file(t / "dst/same2", "xxxx");   // 2 s apart, same size: kept
  set_mtime(t / "dst/same2", kT0 + 2);
  write_file(t / "dst/diff3", "xxxx");   // 3 s apart: written
  set_mtime(t / "dst/diff3", kT0 - 3);
  write_file(t / "dst/size1", "xxxxx");  // one byte longer: written
  set_mtime(t / "dst/size1", kT0);
  write_file(t / "dst/newer_dst", "xxxx");  // newer by far: written in this mode
  set_mtime(t / "dst/newer_dst", kT0 + 1000);
  auto r = tarn_on(t / "src", {"mode=copy_diff_size_date", "if=" + s.src("src"), "of=" + s.dst("dst"), "dbg=sync_reason"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(t / "dst/same2"), "xxxx");
  EXPECT_EQ(read_file(t / "dst/diff3"), "BBBB");
  EXPECT_EQ(read_file(t / "dst/size1"), "CCCC");
  EXPECT_EQ(read_file(t / "dst/newer_dst"), "DDDD");
  EXPECT_EQ(read_file(t / "dst/missing"), "EEEE");
  EXPECT_NE(r.err.find("[size1] size=5 != 4"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("[diff3] time_write=1599999997 != 1600000000"), std::string::npos);
}

TEST_P(Copy, NoOverwriteNeverReplacesAnExistingFile) {
  TempDir t;
  SIDES(t);
  write_file(t / "src/keep", "new contents");
  write_file(t / "src/sub/add", "added");
  write_file(t / "dst/keep", "old");
  set_mtime(t / "dst/keep", kT0);
  auto r = tarn_on(t / "src", {"mode=copy_no_overwrite", "if=" + s.src("src"), "of=" + s.dst("dst"), "dbg=sync_reason"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(t / "dst/keep"), "old");
  EXPECT_EQ(lstat_of(t / "dst/keep").st_mtime, kT0);
  EXPECT_EQ(read_file(t / "dst/sub/add"), "added");
}

TEST_P(Copy, NewerNeverReplacesANewerDestination) {
  TempDir t;
  SIDES(t);
  struct Case {
    const char* name;
    long dst_offset;  // destination write time minus source write time
    const char* dst_data;
    bool written;
  } cases[] = {
      {"src_newer", -3, "old!", true},     // source later by more than 2 s
      {"src_newer2", -2, "old!", false},   // within 2 s, same size
      {"dst_newer", +100, "old!", false},  // destination newer
      {"dst_newer_size", +100, "old", false},
      {"close_size", +1, "old", true},  // within 2 s, sizes differ
  };
  for (auto& c : cases) {
    write_file(t / "src/" + c.name, "new!");
    set_mtime(t / "src/" + c.name, kT0);
    write_file(t / "dst/" + c.name, c.dst_data);
    set_mtime(t / "dst/" + c.name, kT0 + c.dst_offset);
  }
  write_file(t / "src/missing", "m");
  auto r = tarn_on(t / "src", {"mode=copy_newer", "if=" + s.src("src"), "of=" + s.dst("dst")});
  ASSERT_EQ(r.status, 0) << r.err;
  for (auto& c : cases) EXPECT_EQ(read_file(t / "dst/" + c.name), c.written ? "new!" : c.dst_data) << c.name;
  EXPECT_EQ(read_file(t / "dst/missing"), "m");
}

TEST_P(Sync, DeletesOrphanFilesAndKeepsOrphanDirectories) {
  TempDir t;
  SIDES(t);
  make_tree(t / "src");
  auto r = tarn_on(t / "src", {"mode=sync", "if=" + s.src("src"), "of=" + s.dst("dst")}, env_no_trash(t));
  ASSERT_EQ(r.status, 0) << r.err;
  expect_same(t / "src", t / "dst", false);
  // Orphans: a file beside sources, a file differing only in case, a whole
  // directory, and the files of a directory whose source has none.
  write_file(t / "dst/orphan", "o");
  write_file(t / "dst/A.TXT", "case");
  write_file(t / "dst/sub1/deep/orphan2", "o2");
  write_file(t / "dst/orphan_dir/keep_me", "k");
  write_file(t / "dst/sub2/gone", "g");
  write_file(t / "dst/sub1/b.dat", "changed");  // differs: rewritten
  r = tarn_on(t / "src", {"mode=sync", "if=" + s.src("src"), "of=" + s.dst("dst")}, env_no_trash(t));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(fs::exists(t / "dst/orphan"));
  EXPECT_FALSE(fs::exists(t / "dst/A.TXT"));
  EXPECT_FALSE(fs::exists(t / "dst/sub1/deep/orphan2"));
  EXPECT_FALSE(fs::exists(t / "dst/sub2/gone"));
  EXPECT_EQ(read_file(t / "dst/orphan_dir/keep_me"), "k");
  EXPECT_TRUE(fs::is_directory(t / "dst/sub2"));
  expect_same(t / "src", t / "dst", false);
  EXPECT_EQ(report_value(r.err, "sync_del_file_count"), 4) << r.err;
  EXPECT_EQ(report_value(r.err, "sync_del_file_fail_count"), 0);
  EXPECT_EQ(r.err.find("trans_rate="), std::string::npos);
  // Unchanged: nothing written, nothing deleted.
  r = tarn_on(t / "src", {"mode=sync", "if=" + s.src("src"), "of=" + s.dst("dst")}, env_no_trash(t));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(report_value(r.err, "total_write"), 0);
  EXPECT_EQ(report_value(r.err, "sync_del_file_count"), 0);
}

TEST(SyncLocal, OrphansGoToTheTrashWhenTheVolumeHasOne) {
  TempDir t;
  write_file(t / "src/a", "a");
  write_file(t / "dst/orphan", "precious");
  fs::create_directories(t / "xdg/Trash/files");
  fs::create_directories(t / "xdg/Trash/info");
  auto r = tarn_on(t / "src", {"mode=sync", "if=" + t / "src", "of=" + t / "dst"}, {"XDG_DATA_HOME=" + t / "xdg"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(fs::exists(t / "dst/orphan"));
  EXPECT_EQ(read_file(t / "xdg/Trash/files/orphan"), "precious");
  EXPECT_TRUE(fs::exists(t / "xdg/Trash/info/orphan.trashinfo"));
}

TEST(SyncLocal, NeverDeletesWhereTheSourceListingFailed) {
  TempDir t;
  chmod(t.path().c_str(), 0777);
  write_file(t / "src/ok/f", "f");
  write_file(t / "src/locked/inner", "i");
  write_file(t / "dst/locked/inner", "backup");
  write_file(t / "dst/locked/other", "backup2");
  for (auto& e : fs::recursive_directory_iterator(t.path())) chmod(e.path().c_str(), e.is_directory() ? 0777 : 0666);
  chmod((t / "src/locked").c_str(), 0);
  RunResult r;
  if (!run_unprivileged({"mode=sync", "if=" + t / "src", "of=" + t / "dst"}, &r, env_no_trash(t)))
    GTEST_SKIP() << "needs setpriv to drop root";
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(t / "dst/locked/inner"), "backup");
  EXPECT_EQ(read_file(t / "dst/locked/other"), "backup2");
  EXPECT_EQ(read_file(t / "dst/ok/f"), "f");
  EXPECT_GE(report_value(r.err, "i_dir_fail_count"), 1) << r.err;
  EXPECT_NE(r.err.find(t / "src/locked"), std::string::npos);
}

TEST_P(Ls, ListingFileNamesEveryDirectoryAndFile) {
  TempDir t;
  SIDES(t);
  make_tree(t / "src");
  auto r = tarn_on(t / "src", {"mode=ls", "if=" + s.src("src"), "olist=" + t / "list.txt"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string list = read_file(t / "list.txt");
  std::string p = s.src_path("src");
  for (auto line : {p + "/sub1/\n", p + "/sub1/deep/deeper/\n", p + "/emptydir/\n", p + "/a.txt\n",
                    p + "/sub1/deep/deeper/e_empty\n", p + "/link_file -> a.txt\n", p + "/link_dir -> sub1\n",
                    p + "/sub1/dangling -> /nonexistent/target\n"}) {
    EXPECT_NE(list.find(line), std::string::npos) << line << " in\n" << list;
  }
  EXPECT_EQ(list.find(p + "/\n"), std::string::npos);  // no line for the root
  EXPECT_EQ(std::count(list.begin(), list.end(), '\n'), 17 + 7);
  EXPECT_EQ(report_value(r.err, "file_count"), 17);
  EXPECT_EQ(report_value(r.err, "dir_count"), 7);
  EXPECT_EQ(r.err.find("total_read="), std::string::npos);
  EXPECT_EQ(r.err.find("o_file_fail_count="), std::string::npos);
  // Without olist it walks and counts and writes nothing.
  r = tarn_on(t / "src", {"mode=ls", "if=" + s.src("src")});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(report_value(r.err, "file_count"), 17);
}

TEST_P(Copy, EmptySourceTree) {
  TempDir t;
  SIDES(t);
  fs::create_directories(t / "src");
  auto r = tarn_on(t / "src", {"mode=cp", "if=" + s.src("src"), "of=" + s.dst("dst/a/b")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::is_directory(t / "dst/a/b"));
  EXPECT_EQ(report_value(r.err, "file_count"), 0);
  EXPECT_EQ(report_value(r.err, "dir_count"), 0);
}

/// Leaves a unix socket file at `path`.
void make_socket(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof a.sun_path);
  memcpy(a.sun_path, path.c_str(), path.size() + 1);
  int r = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  close(fd);
  ASSERT_EQ(r, 0) << path;
}

size_t count_of(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + what.size())) n++;
  return n;
}

TEST(LsLocal, ListingFileThatCannotBeOpenedFailsTheJob) {
  TempDir t;
  write_file(t / "src/a", "a");
  std::string list = t / "missing/list.txt";
  auto r = tarn_on(t / "src", {"mode=ls", "if=" + t / "src", "olist=" + list});
  EXPECT_EQ(r.status, 2) << r.err;  // "not found" is class 2
  EXPECT_NE(r.err.find("open [" + list + "] error: No such file or directory"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("error: open [" + list + "]"), std::string::npos);  // the front end's line
  EXPECT_EQ(report_value(r.err, "file_count"), -1);                        // no walk, no report
  EXPECT_FALSE(fs::exists(list));
  // A directory where the file should be.
  fs::create_directories(t / "isdir");
  r = tarn_on(t / "src", {"mode=ls", "if=" + t / "src", "olist=" + t / "isdir"});
  EXPECT_NE(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("open [" + t / "isdir" + "] error: Is a directory"), std::string::npos) << r.err;
  EXPECT_EQ(report_value(r.err, "file_count"), -1);
}

TEST(LsLocal, ListingWriteErrorsStopTheJob) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "needs /dev/full";
  TempDir t;
  make_tree(t / "src");
  // A short listing stays in the stream's buffer: its last flush fails, and
  // that is known before the report.
  auto r = tarn_on(t / "src", {"mode=ls", "if=" + t / "src", "olist=/dev/full"});
  EXPECT_EQ(r.status, 4) << r.err;  // disk full
  const std::string failed = "write [/dev/full] veno=-152 error: Disk is full.";
  ASSERT_NE(r.err.find(failed), std::string::npos) << r.err;
  EXPECT_LT(r.err.find(failed), r.err.find("file_count="));
  // A listing larger than the buffer fails in the middle of the walk, which
  // then stops; the failure is reported once.
  for (int i = 0; i < 1500; i++) write_file(t / ("big/" + std::string(180, 'n') + std::to_string(i)), "");
  r = tarn_on(t / "big", {"mode=ls", "if=" + t / "big", "olist=/dev/full"});
  EXPECT_EQ(r.status, 4) << r.err;
  EXPECT_EQ(count_of(r.err, failed), 1u) << r.err;
}

TEST(CopyLocal, NamesTheListingCannotCarryCountAsFailedSourceFiles) {
  TempDir t;
  write_file(t / "src/plain", "p");
  write_file(t / "src/tab\there", "x");
  symlink("to\nlf", (t / "src/badlink").c_str());
  write_file(t / "src/lonely/cr\rhere", "x");  // a directory with no other file
  // Sibling directories are listed ahead of their reading: d<i> leaves out i.
  int want = 3;
  for (int i = 0; i < 5; i++) {
    std::string d = t / ("src/d" + std::to_string(i));
    write_file(d + "/ok", "ok");
    for (int k = 0; k < i; k++) write_file(d + "/odd\t" + std::to_string(k), "x");
    want += i;
  }
  write_file(t / "dst_sync/dst\todd", "x");  // destination side: logged, not a source failure
  const std::vector<std::string> runs[] = {{"mode=cp", "if=" + t / "src", "of=" + t / "dst_cp"},
                                           {"mode=ls", "if=" + t / "src", "olist=" + t / "list.txt"},
                                           {"mode=sync", "if=" + t / "src", "of=" + t / "dst_sync"}};
  for (auto& args : runs) {
    auto r = tarn_on(t / "src", args, env_no_trash(t));
    EXPECT_EQ(r.status, 0) << args[0] << r.err;
    EXPECT_EQ(report_value(r.err, "i_file_fail_count"), want) << args[0] << r.err;
    EXPECT_EQ(report_value(r.err, "file_count"), 6) << args[0];
    EXPECT_NE(r.err.find("skip [cr\\rhere]"), std::string::npos) << r.err;
    if (args[0] == "mode=sync") {
      EXPECT_NE(r.err.find("skip [dst\\todd]"), std::string::npos) << r.err;
    }
  }
  EXPECT_EQ(read_file(t / "dst_cp/plain"), "p");
  EXPECT_EQ(read_file(t / "dst_sync/d4/ok"), "ok");
  std::string list = read_file(t / "list.txt");
  EXPECT_NE(list.find(t / "src/plain\n"), std::string::npos) << list;
  EXPECT_EQ(std::count(list.begin(), list.end(), '\t'), 0) << list;
}

TEST(CopyLocal, SpecialFilesAreLeftOutAndCounted) {
  TempDir t;
  write_file(t / "src/a", "a");
  ASSERT_EQ(mkfifo((t / "src/fifo").c_str(), 0644), 0);
  fs::create_directories(t / "src/only");
  make_socket(t / "src/only/sock");  // alone in its directory
  symlink("/nonexistent/target", (t / "src/dangling").c_str());
  // Plain tarn runs: the source digest would open the fifo and wait on it.
  auto r = tarn({"mode=cp", "if=" + t / "src", "of=" + t / "dst"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(report_value(r.err, "i_file_fail_count"), 2) << r.err;
  EXPECT_EQ(report_value(r.err, "file_count"), 2);
  EXPECT_EQ(report_value(r.err, "file_open_count"), 1);
  EXPECT_NE(r.err.find("[" + t / "src" + "] skip [fifo]: fifo"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("[" + t / "src/only" + "] skip [sock]: socket"), std::string::npos) << r.err;
  EXPECT_EQ(read_file(t / "dst/a"), "a");
  EXPECT_EQ(fs::read_symlink(t / "dst/dangling"), "/nonexistent/target");
  EXPECT_FALSE(fs::exists(fs::symlink_status(t / "dst/fifo")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(t / "dst/only/sock")));
  r = tarn({"mode=ls", "if=" + t / "src", "olist=" + t / "list.txt"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(report_value(r.err, "i_file_fail_count"), 2) << r.err;
  std::string list = read_file(t / "list.txt");
  EXPECT_EQ(list.find("fifo"), std::string::npos) << list;
  EXPECT_EQ(list.find("sock"), std::string::npos) << list;
  EXPECT_NE(list.find(t / "src/a\n"), std::string::npos) << list;
}

TEST(CopyLocal, DevicesAreLeftOutAndCounted) {
  if (getuid() != 0) GTEST_SKIP() << "making device nodes needs root";
  TempDir t;
  write_file(t / "src/a", "a");
  if (mknod((t / "src/chr").c_str(), S_IFCHR | 0600, makedev(1, 3)) != 0 ||
      mknod((t / "src/blk").c_str(), S_IFBLK | 0600, makedev(7, 0)) != 0)
    GTEST_SKIP() << "mknod refused: " << strerror(errno);
  auto r = tarn({"mode=cp", "if=" + t / "src", "of=" + t / "dst"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(report_value(r.err, "i_file_fail_count"), 2) << r.err;
  EXPECT_EQ(report_value(r.err, "file_open_count"), 1);
  EXPECT_NE(r.err.find("skip [chr]: character device"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("skip [blk]: block device"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(fs::symlink_status(t / "dst/chr")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(t / "dst/blk")));
}

TEST_P(Copy, LinkLongerThanHalfTheBlockSizeStillCopies) {
  TempDir t;
  SIDES(t);
  // About 3000 bytes of target, more than the bs/2 that the smallest block
  // size leaves for multi-file data.
  std::string target = "aaaa";
  for (int i = 1; i < 600; i++) target += "/aaaa";
  write_file(t / "src/f", "f");
  ASSERT_EQ(symlink(target.c_str(), (t / "src/long").c_str()), 0);
  auto r = tarn_on(t / "src", {"mode=cp", "if=" + s.src("src"), "of=" + s.dst("dst"), "bs=4096"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(fs::read_symlink(t / "dst/long").string(), target);
  EXPECT_EQ(read_file(t / "dst/f"), "f");
  EXPECT_EQ(report_value(r.err, "file_count"), 2);
}

// Ctrl+C, a service manager's SIGTERM and a closed terminal's SIGHUP all stop
// the job in order: the report is logged and the status is 6.
TEST(CopyLocal, StopSignalsEndWithStatusSix) {
  TempDir t;
  for (int d = 0; d < 40; d++)
    for (int f = 0; f < 4; f++) write_file(t / ("src/d" + std::to_string(d) + "/f" + std::to_string(f)), pattern(1 << 20, d * 4 + f));
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    std::string dst = t / ("dst" + std::to_string(sig));
    auto r = run_with(WY_TARN_BIN, {"mode=cp", "if=" + t / "src", "of=" + dst, "bs=4096"}, [&](pid_t pid) {
      // Wait (bounded) until the copy has started, then interrupt it.
      for (int i = 0; i < 2000 && !fs::exists(dst + "/d0"); i++) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      kill(pid, sig);
    });
    EXPECT_EQ(r.status, 6) << sig << r.err;
    EXPECT_NE(r.err.find("signum=" + std::to_string(sig)), std::string::npos) << r.err;
    EXPECT_LT(report_value(r.err, "file_count"), 160) << sig;
    EXPECT_NE(r.err.find("total_time="), std::string::npos) << sig;
  }
}

}  // namespace
