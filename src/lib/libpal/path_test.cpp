// Path operations, stat records and directory listings on real trees.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <map>

#include "pal_err.h"
#include "pal_file.h"
#include "wytest.h"

namespace {

using wytest::read_file;
using wytest::TempDir;
using wytest::write_file;

TEST(PathMkdirs, CreatesEveryMissingLevel) {
  TempDir t;
  std::string p = t / "a/b//c/d/";
  ASSERT_EQ(os_mkdirs(p.c_str()), 0);
  struct stat sb;
  ASSERT_EQ(stat((t / "a/b/c/d").c_str(), &sb), 0);
  EXPECT_TRUE(S_ISDIR(sb.st_mode));
  EXPECT_EQ(os_mkdirs(p.c_str()), 0);  // existing directory

  EXPECT_EQ(os_mkdirs_parent((t / "m/n/file").c_str()), 0);
  EXPECT_TRUE(os_path_exists((t / "m/n").c_str()));
  EXPECT_FALSE(os_path_exists((t / "m/n/file").c_str()));
  EXPECT_EQ(os_mkdirs_parent("plain"), 0);
}

TEST(PathMkdirs, ExistingFileOnTheWayIsAccessDenied) {
  TempDir t;
  write_file(t / "f", "x");
  for (std::string p : {t / "f", t / "f/sub", t / "f/sub/deeper"}) {
    errno = 0;
    EXPECT_EQ(os_mkdirs(p.c_str()), -1) << p;
    EXPECT_EQ(os_verr_get(errno), -38) << p;
    EXPECT_STREQ(verr2str(os_verr_get(errno)), "Access denied.");
  }
  EXPECT_EQ(read_file(t / "f"), "x");
}

TEST(PathRmdirDelete, RemoveOnlyWhatTheyMayRemove) {
  TempDir t;
  ASSERT_EQ(os_mkdirs((t / "d/e").c_str()), 0);
  EXPECT_EQ(os_rmdir((t / "d").c_str()), -1);
  EXPECT_EQ(os_verr_get(errno), -125);
  EXPECT_EQ(os_rmdir((t / "d/e").c_str()), 0);
  write_file(t / "f", "x");
  EXPECT_EQ(os_file_delete((t / "d").c_str()), -1);  // not for directories
  EXPECT_EQ(os_file_delete((t / "f").c_str()), 0);
  EXPECT_EQ(os_file_delete((t / "f").c_str()), -1);
  EXPECT_EQ(os_verr_get(errno), -102);
}

TEST(PathLinks, SymlinkKeepsTargetAndSetsLinkTimes) {
  TempDir t;
  os_set_stat st;
  st.times.atime = {1500000000, 0};
  st.times.mtime = {1600000000, 0};
  st.mode = 0600;  // links have no permissions of their own: ignored
  std::string l = t / "new/dir/link";
  ASSERT_EQ(os_symlink2(l.c_str(), "../some where/x", false, &st), 0);
  struct stat sb;  // before readlink, which touches the link's access time
  ASSERT_EQ(lstat(l.c_str(), &sb), 0);
  EXPECT_EQ(sb.st_mtim.tv_sec, 1600000000);
  EXPECT_EQ(sb.st_atim.tv_sec, 1500000000);
  std::string target;
  ASSERT_EQ(os_readlink(l.c_str(), &target), 0);
  EXPECT_EQ(target, "../some where/x");

  ASSERT_EQ(os_symlink2((t / "l2").c_str(), "\\\\?\\abs", false, nullptr), 0);
  ASSERT_EQ(os_readlink((t / "l2").c_str(), &target), 0);
  EXPECT_EQ(target, "abs");

  // Something already there: fails, leaves it alone.
  write_file(t / "busy", "keep");
  errno = 0;
  EXPECT_EQ(os_symlink2((t / "busy").c_str(), "x", false, nullptr), -1);
  EXPECT_EQ(os_verr_get(errno), -105);
  EXPECT_EQ(read_file(t / "busy"), "keep");

  write_file(t / "plain", "");
  EXPECT_EQ(os_readlink((t / "plain").c_str(), &target), -1);
}

TEST(PathLinks, JunctionPointsAtAbsoluteDirectory) {
  TempDir t;
  ASSERT_EQ(os_mkdirs((t / "real/inner").c_str()), 0);
  ASSERT_EQ(os_create_junction((t / "j").c_str(), ("\\??\\" + (t / "real")).c_str(), nullptr), 0);
  std::string target;
  ASSERT_EQ(os_readlink((t / "j").c_str(), &target), 0);
  EXPECT_EQ(target, t / "real");

  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(t.path().c_str()), 0);
  int r = os_create_junction("j2", "real", nullptr);
  EXPECT_EQ(chdir(cwd), 0);
  ASSERT_EQ(r, 0);
  ASSERT_EQ(os_readlink((t / "j2").c_str(), &target), 0);
  EXPECT_EQ(target, t / "real");

  os_stat_t st;
  ASSERT_EQ(os_file_stat((t / "j2").c_str(), false, &st), 0);
  EXPECT_TRUE(S_ISLNK(st.mode));
  EXPECT_EQ(st.attrib, (uint32_t)(OS_ATTR_DIRECTORY | OS_ATTR_LINK));
  ASSERT_EQ(os_file_stat((t / "j2").c_str(), true, &st), 0);
  EXPECT_TRUE(S_ISDIR(st.mode));
  EXPECT_EQ(st.kind, OS_PATH_DIR);
}

TEST(PathStat, AttributeWordDerivation) {
  EXPECT_EQ(os_attrib_from_mode("a", S_IFREG | 0644, false), 0x20u);
  EXPECT_EQ(os_attrib_from_mode("a", S_IFREG | 0444, false), 0x21u);
  EXPECT_EQ(os_attrib_from_mode(".a", S_IFDIR | 0755, false), 0x12u);
  EXPECT_EQ(os_attrib_from_mode("l", S_IFLNK | 0777, false), 0x420u);
  EXPECT_EQ(os_attrib_from_mode("l", S_IFLNK | 0777, true), 0x410u);
  EXPECT_EQ(os_attrib_from_mode(nullptr, S_IFIFO | 0600, false), 0x20u);
}

// An open file skips setting an owner or mode it already has, so every
// later set must still see what the earlier ones made: back and forth
// through one handle, and set-id bits, which writes may clear, always set.
TEST(PathStat, OpenFileSetsOnlyWhatChangesAndKeepsTrack) {
  TempDir t;
  std::string p = t / "f";
  write_file(p, "abc");
  ASSERT_EQ(chmod(p.c_str(), 0640), 0);
  os_file_uptr f(os_file_open(p.c_str(), OS_FILE_WRITE));
  ASSERT_TRUE(f);
  os_stat_t s;
  auto mode_after = [&](uint32_t mode) {
    os_set_stat st;
    st.mode = mode;
    EXPECT_EQ(os_file_set_stat(f.get(), &st), 0);
    EXPECT_EQ(os_file_stat(p.c_str(), true, &s), 0);
    return s.mode & 07777;
  };
  EXPECT_EQ(mode_after(0640), 0640u);
  EXPECT_EQ(mode_after(0600), 0600u);
  EXPECT_EQ(mode_after(0640), 0640u);
  EXPECT_EQ(os_file_write(f.get(), "x", 1), 1);
  EXPECT_EQ(mode_after(04750), 04750u);
  EXPECT_EQ(os_file_write(f.get(), "y", 1), 1);
  EXPECT_EQ(mode_after(04750), 04750u);
  EXPECT_EQ(mode_after(0640), 0640u);
  if (geteuid() != 0) return;  // owners: only root sets them
  auto owner_after = [&](uint32_t id) {
    os_set_stat st;
    st.set_owner = true;
    st.uid = st.gid = id;
    EXPECT_EQ(os_file_set_stat(f.get(), &st), 0);
    EXPECT_EQ(os_file_stat(p.c_str(), true, &s), 0);
    EXPECT_EQ(s.gid, id);
    return s.uid;
  };
  EXPECT_EQ(owner_after(1234), 1234u);
  EXPECT_EQ(owner_after(0), 0u);
  EXPECT_EQ(owner_after(1234), 1234u);
}

TEST(PathStat, SetStatOnPathAndOpenFile) {
  TempDir t;
  std::string p = t / "f";
  write_file(p, "abc");
  os_set_stat st;
  st.mode = 0640;
  st.times.atime = {1300000000, 7};
  st.times.mtime = {1310000000, 9};
  st.times.btime = {1200000000, 0};  // cannot be set here; must not fail
  ASSERT_EQ(os_path_set_stat(p.c_str(), &st), 0);
  os_stat_t s;
  ASSERT_EQ(os_file_stat(p.c_str(), true, &s), 0);
  EXPECT_EQ(s.mode & 07777, 0640u);
  EXPECT_EQ(s.atime.sec, 1300000000);
  EXPECT_EQ(s.atime.nsec, 7u);
  EXPECT_EQ(s.mtime.sec, 1310000000);
  EXPECT_EQ(s.uid, (uint32_t)getuid());
  EXPECT_EQ(s.size, 3u);
  // Birth time is the file system's when it keeps one, else 0.
  EXPECT_TRUE(s.btime.sec == 0 || s.btime.sec > time(nullptr) - 3600);

  os_file_uptr f(os_file_open(p.c_str(), OS_FILE_WRITE));
  ASSERT_TRUE(f);
  os_set_stat ro;
  ro.attrib = OS_ATTR_READONLY;
  ro.mode = 0664;
  ro.times.mtime = {1320000000, 0};
  ASSERT_EQ(os_file_set_stat(f.get(), &ro), 0);
  ASSERT_EQ(os_file_stat(p.c_str(), true, &s), 0);
  EXPECT_EQ(s.mode & 07777, 0444u);
  EXPECT_EQ(s.mtime.sec, 1320000000);
  EXPECT_EQ(s.atime.sec, 1300000000);  // 0 seconds: unchanged
  EXPECT_EQ(s.attrib, (uint32_t)(OS_ATTR_ARCHIVE | OS_ATTR_READONLY));

  ASSERT_EQ(os_path_set_attrib(p.c_str(), OS_ATTR_ARCHIVE), 0);
  ASSERT_EQ(os_file_stat(p.c_str(), true, &s), 0);
  EXPECT_EQ(s.mode & 07777, 0644u);

  os_file_times tm;
  tm.mtime = {1330000000, 0};
  ASSERT_EQ(os_path_set_times(p.c_str(), &tm, true), 0);
  ASSERT_EQ(os_file_stat(p.c_str(), true, &s), 0);
  EXPECT_EQ(s.mtime.sec, 1330000000);
  EXPECT_EQ(s.atime.sec, 1300000000);

  EXPECT_EQ(os_path_set_stat((t / "missing").c_str(), &st), -1);
  EXPECT_EQ(os_verr_get(errno), -102);
}

TEST(DirList, TreeWithLinksEmptyFilesAndDirectories) {
  TempDir t;
  write_file(t / "file", "12345");
  write_file(t / "empty", "");
  write_file(t / ".hidden", "h");
  ASSERT_EQ(os_mkdirs((t / "sub/deeper").c_str()), 0);
  ASSERT_EQ(os_mkdirs((t / "emptydir").c_str()), 0);
  ASSERT_EQ(symlink("file", (t / "lfile").c_str()), 0);
  ASSERT_EQ(symlink("sub", (t / "ldir").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", (t / "dangling").c_str()), 0);

  std::vector<os_dirent> list;
  ASSERT_EQ(os_dir_list(t.path().c_str(), &list), 0);
  std::map<std::string, os_dirent> by;
  for (auto& e : list) by[e.name] = e;
  ASSERT_EQ(by.size(), 8u);
  EXPECT_EQ(by.count("."), 0u);
  EXPECT_EQ(by.count(".."), 0u);

  EXPECT_EQ(by["file"].st.size, 5u);
  EXPECT_EQ(by["file"].st.attrib, 0x20u);
  EXPECT_TRUE(by["file"].link.empty());
  EXPECT_EQ(by["empty"].st.size, 0u);
  EXPECT_EQ(by[".hidden"].st.attrib, 0x22u);
  EXPECT_TRUE(S_ISDIR(by["sub"].st.mode));
  EXPECT_EQ(by["sub"].st.attrib, 0x10u);
  EXPECT_EQ(by["emptydir"].st.kind, OS_PATH_DIR);
  EXPECT_EQ(by["lfile"].link, "file");
  EXPECT_FALSE(by["lfile"].link_is_dir);
  EXPECT_EQ(by["lfile"].st.attrib, 0x420u);
  EXPECT_EQ(by["ldir"].link, "sub");
  EXPECT_TRUE(by["ldir"].link_is_dir);
  EXPECT_EQ(by["ldir"].st.attrib, 0x410u);
  EXPECT_EQ(by["dangling"].link, "nowhere");
  EXPECT_FALSE(by["dangling"].link_is_dir);
  EXPECT_EQ(by["file"].st.uid, (uint32_t)getuid());
  EXPECT_GT(by["file"].st.mtime.sec, 0);

  // The streaming form sees the same entries.
  os_dir_uptr d = os_dir_open(t.path().c_str());
  ASSERT_TRUE(d);
  os_dirent e;
  size_t n = 0;
  while (os_dir_read(d.get(), &e) == 1) n++;
  EXPECT_EQ(n, 8u);
  os_dir_close(std::move(d));

  errno = 0;
  EXPECT_FALSE(os_dir_open((t / "file").c_str()));
  EXPECT_EQ(os_verr_get(errno), -103);
  EXPECT_EQ(os_dir_list((t / "missing").c_str(), &list), -1);
  EXPECT_EQ(os_verr_get(errno), -102);
}

}  // namespace
