// The root jail on real trees: the lexical check, every call beneath a root,
// links that lead out (refused) and in (allowed), the root replaced after
// open, the trash, and a directory swapped for a link while calls run. The
// calls that resolve run both with openat2 and with the walk.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "pal_err.h"
#include "pal_file.h"
#include "pal_root.h"
#include "wytest.h"

namespace {

using wytest::read_file;
using wytest::TempDir;
using wytest::write_file;
namespace fs = std::filesystem;

struct root_closer {
  void operator()(os_root* r) const { os_root_close(r); }
};
using root_ptr = std::unique_ptr<os_root, root_closer>;

// Every entry below and including `dir` with its contents and the parts of
// its lstat record that a write, chmod, utime, create or delete changes
// (the access time is left out: taking the digest reads the files).
std::string exact_digest(const std::string& dir) {
  std::string d;
  auto one = [&d](const std::string& p, const std::string& rel) {
    struct stat st{};
    if (lstat(p.c_str(), &st) != 0) {
      d += rel + "\tmissing\n";
      return;
    }
    char line[256];
    snprintf(line, sizeof line, "\t%o\t%lld\t%lld.%09ld\t%lld.%09ld\t", (unsigned)st.st_mode, (long long)st.st_size,
             (long long)st.st_mtim.tv_sec, st.st_mtim.tv_nsec, (long long)st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
    d += rel + line;
    if (S_ISREG(st.st_mode)) d += read_file(p);
    if (S_ISLNK(st.st_mode)) d += fs::read_symlink(p).string();
    d += "\n";
  };
  one(dir, ".");
  for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it)
    one(it->path().string(), it->path().string().substr(dir.size()));
  return d;
}

int errno_of(int ret) { return ret < 0 ? errno : 0; }

// A tree with a root, an outside directory, a sibling whose name extends the
// root's, and links inside the root that lead out in every spelling.
struct Jail {
  TempDir t;
  std::string root = t / "r", out = t / "out", sib = t / "r2";
  root_ptr r;
  Jail() {
    write_file(out + "/secret", "secret");
    write_file(out + "/sub/deep", "deep");
    write_file(sib + "/f", "sibling");
    write_file(root + "/sub/f", "inner");
    fs::create_directories(root + "/deep");
    fs::create_symlink(out, root + "/abs");              // absolute, out
    fs::create_symlink("../out", root + "/rel");         // relative, out
    fs::create_symlink("../out/secret", root + "/fout");  // a file outside
    fs::create_symlink("../r2", root + "/sib");          // the sibling
    fs::create_symlink("sub", root + "/in");             // inside
    fs::create_symlink("../sub", root + "/deep/up");     // inside, through ".."
    fs::create_symlink(root + "/sub", root + "/absin");  // absolute, though into the root
    fs::create_symlink("loop", root + "/loop");
    r.reset(os_root_open(root.c_str()));
  }
  std::string outside() const { return exact_digest(out) + exact_digest(sib); }
};

class RootWalk : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { os_root_force_walk(GetParam()); }
  void TearDown() override { os_root_force_walk(false); }
};

INSTANTIATE_TEST_SUITE_P(Both, RootWalk, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "walk" : "openat2"; });

TEST(RootCheck, AcceptsNamesBeneathTheRootInTheirRelativeForm) {
  const std::vector<std::pair<std::string, std::string>> ok = {
      {"/", ""},          {"\\", ""},           {".", ""},          {"./", ""},         {"a", "a"},
      {"/a/b", "a/b"},    {"\\a\\b", "a/b"},    {"a\\b/c", "a/b/c"}, {"a/./b", "a/b"},   {"a/", "a"},
      {"/a\\", "a"},      {"...", "..."},       {"a..b/..c", "a..b/..c"}, {"ab:c", "ab:c"}, {" x ", " x "},
  };
  for (const auto& [in, want] : ok) {
    std::string rel = "junk";
    EXPECT_EQ(os_root_check(in, &rel), 0) << in;
    EXPECT_EQ(rel, want) << in;
  }
  EXPECT_EQ(os_root_check(std::string(OS_ROOT_MAX_PATH, 'a'), nullptr), 0);
}

TEST(RootCheck, RefusesEscapesAndOddFormsWithAccessDenied) {
  const std::vector<std::string> bad = {
      "",          "..",     "../x",   "a/..",   "a/../../x", "/..",   "..\\x",   "a\\..\\..\\x",
      "a/b/../..", "//x",    "\\\\x",  "/\\x",   "a//b",      "a\\\\b", "a//",     "a/\\",
      "C:x",       "C:\\x",  "c:",     "z:/a",   std::string("a\0b", 3), std::string(1, '\0'),
      std::string(OS_ROOT_MAX_PATH + 1, 'a'),
  };
  for (const auto& p : bad) {
    std::string rel = "untouched";
    errno = 0;
    EXPECT_EQ(os_root_check(p, &rel), -1) << p;
    EXPECT_EQ(errno, EACCES) << p;
    EXPECT_EQ(rel, "untouched") << p;
  }
  EXPECT_EQ(os_verr_get(EACCES), -38);
}

TEST_P(RootWalk, EveryCallWorksBeneathTheRoot) {
  Jail j;
  ASSERT_TRUE(j.r);
  const os_root* r = j.r.get();
  // A create makes its parents and succeeds at once.
  os_file_uptr f(os_at_file_open(r, "\\new\\dir/f.txt", OS_FILE_WRITE | OS_FILE_CREATE | OS_FILE_TRUNC));
  ASSERT_TRUE(f) << strerror(errno);
  EXPECT_EQ(f->path, "\\new\\dir/f.txt");
  EXPECT_EQ(os_file_write(f.get(), "hello", 5), 5);
  EXPECT_EQ(os_file_pwrite(f.get(), "J", 1, 0), 1);
  os_stat_t fst;
  ASSERT_TRUE(os_file_ioctl(f.get(), OS_IOCTL_STAT, &fst));
  EXPECT_EQ(fst.size, 5u);
  f.reset();
  EXPECT_EQ(read_file(j.root + "/new/dir/f.txt"), "Jello");

  f.reset(os_at_file_open(r, "new/dir/f.txt", OS_FILE_READ));
  ASSERT_TRUE(f);
  char buf[8] = {};
  EXPECT_EQ(os_file_pread(f.get(), buf, sizeof buf, 1), 4);
  EXPECT_STREQ(buf, "ello");
  f.reset();

  os_stat_t st;
  ASSERT_EQ(os_at_stat(r, "new/dir/f.txt", &st), 0);
  EXPECT_EQ(st.size, 5u);
  EXPECT_EQ(st.attrib & OS_ATTR_DIRECTORY, 0u);
  ASSERT_EQ(os_at_stat(r, "/", &st), 0);
  EXPECT_TRUE(S_ISDIR(st.mode));

  os_set_stat ss;
  ss.mode = 0604;
  ss.times.mtime = {1400000000, 5};
  ss.times.atime = {1400000001, 0};
  ASSERT_EQ(os_at_set_stat(r, "new/dir/f.txt", &ss), 0);
  struct stat sb = wytest::lstat_of(j.root + "/new/dir/f.txt");
  EXPECT_EQ(sb.st_mode & 07777, 0604u);
  EXPECT_EQ(sb.st_mtim.tv_sec, 1400000000);
  EXPECT_EQ(sb.st_mtim.tv_nsec, 5);
  os_file_times tt;
  tt.mtime = {1300000000, 0};
  ASSERT_EQ(os_at_set_times(r, "new", &tt), 0);
  EXPECT_EQ(wytest::lstat_of(j.root + "/new").st_mtim.tv_sec, 1300000000);

  // Links are stored verbatim, never resolved, and get their own times.
  ss = os_set_stat{};
  ss.times.mtime = {1200000000, 0};
  ASSERT_EQ(os_at_symlink(r, "links/x", "../../../etc/passwd", &ss), 0);
  EXPECT_EQ(fs::read_symlink(j.root + "/links/x"), "../../../etc/passwd");
  EXPECT_EQ(wytest::lstat_of(j.root + "/links/x").st_mtim.tv_sec, 1200000000);
  ASSERT_EQ(os_at_symlink(r, "links/w", "\\\\?\\C:\\x", nullptr), 0);
  EXPECT_EQ(fs::read_symlink(j.root + "/links/w"), "C:\\x");
  std::string target;
  ASSERT_EQ(os_at_readlink(r, "links\\x", &target), 0);
  EXPECT_EQ(target, "../../../etc/passwd");
  ASSERT_EQ(os_at_stat(r, "links/x", &st), 0);
  EXPECT_TRUE(S_ISLNK(st.mode));
  EXPECT_EQ(errno_of(os_at_symlink(r, "links/x", "other", nullptr)), EEXIST);
  tt.mtime = {1100000000, 0};
  ASSERT_EQ(os_at_set_times(r, "links/x", &tt), 0);
  EXPECT_EQ(wytest::lstat_of(j.root + "/links/x").st_mtim.tv_sec, 1100000000);

  ASSERT_EQ(os_at_mkdirs(r, "m1/m2/m3"), 0);
  EXPECT_TRUE(fs::is_directory(j.root + "/m1/m2/m3"));
  EXPECT_EQ(os_at_mkdirs(r, "m1/m2"), 0);
  EXPECT_EQ(os_at_mkdirs(r, "/"), 0);
  EXPECT_EQ(errno_of(os_at_mkdirs(r, "new/dir/f.txt/x")), EACCES);  // a file on the way
  EXPECT_EQ(errno_of(os_at_rmdir(r, "m1/m2")), ENOTEMPTY);
  EXPECT_EQ(os_at_rmdir(r, "m1/m2/m3"), 0);
  EXPECT_EQ(os_at_unlink(r, "links/x"), 0);
  EXPECT_FALSE(fs::is_symlink(j.root + "/links/x"));
  EXPECT_EQ(errno_of(os_at_unlink(r, "links/x")), ENOENT);

  // The listing of a directory beneath the root.
  os_dir_uptr d = os_at_dir_open(r, "new/dir/");
  ASSERT_TRUE(d);
  os_dirent e;
  ASSERT_EQ(os_dir_read(d.get(), &e), 1);
  EXPECT_EQ(e.name, "f.txt");
  EXPECT_EQ(os_dir_read(d.get(), &e), 0);

  // A tree goes without its links being followed.
  EXPECT_EQ(os_at_remove(r, "new"), 0);
  EXPECT_FALSE(fs::exists(j.root + "/new"));
  EXPECT_EQ(os_at_remove(r, "new"), 0);  // already gone
  EXPECT_EQ(os_at_remove(r, "rel"), 0);
  EXPECT_FALSE(fs::is_symlink(j.root + "/rel"));

  // The root itself cannot go.
  EXPECT_EQ(errno_of(os_at_unlink(r, "/")), EACCES);
  EXPECT_EQ(errno_of(os_at_rmdir(r, ".")), EACCES);
  EXPECT_EQ(errno_of(os_at_remove(r, "\\")), EACCES);
  EXPECT_EQ(errno_of(os_at_symlink(r, "/", "x", nullptr)), EACCES);
  EXPECT_TRUE(fs::is_directory(j.root));
  EXPECT_EQ(read_file(j.out + "/secret"), "secret");
}

TEST_P(RootWalk, LinksLeadingOutAreRefusedAndNothingOutsideChanges) {
  Jail j;
  ASSERT_TRUE(j.r);
  const os_root* r = j.r.get();
  std::string before = j.outside();
  os_stat_t st;
  os_set_stat ss;
  ss.mode = 0777;
  ss.times.mtime = {1000000000, 0};
  std::string target;
  for (const char* base : {"abs", "rel", "/sib", "absin", "\\abs"}) {
    std::string b = base;
    std::string file = b + (b.find("sib") != std::string::npos ? "/f" : b == "absin" ? "/f" : "/secret");
    SCOPED_TRACE(file);
    // As an intermediate directory, for every call.
    errno = 0;
    EXPECT_EQ(os_at_file_open(r, file.c_str(), OS_FILE_READ), nullptr);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(os_at_file_open(r, (b + "/made").c_str(), OS_FILE_WRITE | OS_FILE_CREATE), nullptr);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(os_at_file_open(r, (b + "/n1/n2").c_str(), OS_FILE_WRITE | OS_FILE_CREATE), nullptr);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(errno_of(os_at_stat(r, file.c_str(), &st)), EACCES);
    EXPECT_EQ(errno_of(os_at_readlink(r, file.c_str(), &target)), EACCES);
    EXPECT_EQ(errno_of(os_at_set_stat(r, file.c_str(), &ss)), EACCES);
    EXPECT_EQ(errno_of(os_at_set_times(r, file.c_str(), &ss.times)), EACCES);
    EXPECT_EQ(errno_of(os_at_unlink(r, file.c_str())), EACCES);
    EXPECT_EQ(errno_of(os_at_remove(r, file.c_str())), EACCES);
    EXPECT_EQ(errno_of(os_at_mkdirs(r, (b + "/x/y").c_str())), EACCES);
    EXPECT_EQ(errno_of(os_at_symlink(r, (b + "/l").c_str(), "t", nullptr)), EACCES);
    EXPECT_EQ(errno_of(os_at_rmdir(r, (b + "/sub").c_str())), EACCES);
    // As a listing base.
    EXPECT_FALSE(os_at_dir_open(r, base));
    EXPECT_EQ(errno, EACCES);
    EXPECT_FALSE(os_at_dir_open(r, (b + "/").c_str()));
  }
  // As a file: the last component is the link itself, never followed, and
  // the refusal is the jail's.
  EXPECT_EQ(os_at_file_open(r, "fout", OS_FILE_READ), nullptr);
  EXPECT_EQ(errno, EACCES);
  EXPECT_EQ(os_at_file_open(r, "fout", OS_FILE_WRITE | OS_FILE_CREATE | OS_FILE_TRUNC), nullptr);
  EXPECT_EQ(os_at_file_open(r, "abs", OS_FILE_READ), nullptr);
  EXPECT_EQ(errno_of(os_at_set_stat(r, "fout", &ss)), 0);  // the link's own time
  EXPECT_EQ(wytest::lstat_of(j.root + "/fout").st_mtim.tv_sec, 1000000000);
  ASSERT_EQ(os_at_stat(r, "abs", &st), 0);
  EXPECT_TRUE(S_ISLNK(st.mode));
  EXPECT_EQ(st.attrib & OS_ATTR_DIRECTORY, 0u);  // its target is outside
  EXPECT_FALSE(os_at_dir_open(r, "loop"));
  EXPECT_EQ(errno, ELOOP);
  // The sibling is never reachable by its own name either.
  EXPECT_EQ(os_at_file_open(r, "/r2/f", OS_FILE_READ), nullptr);
  EXPECT_EQ(errno, ENOENT);
  // Removing a link leading out removes the link.
  EXPECT_EQ(os_at_remove(r, "abs"), 0);
  EXPECT_FALSE(fs::is_symlink(j.root + "/abs"));
  EXPECT_EQ(j.outside(), before);
}

TEST_P(RootWalk, LinksThatStayBeneathAreFollowedOnTheWay) {
  Jail j;
  ASSERT_TRUE(j.r);
  const os_root* r = j.r.get();
  for (const char* p : {"in/f", "deep/up/f", "in/./f", "\\deep\\up\\f"}) {
    os_file_uptr f(os_at_file_open(r, p, OS_FILE_READ));
    ASSERT_TRUE(f) << p << ": " << strerror(errno);
    char b[8] = {};
    EXPECT_EQ(os_file_read(f.get(), b, sizeof b), 5) << p;
  }
  os_file_uptr w(os_at_file_open(r, "deep/up/new", OS_FILE_WRITE | OS_FILE_CREATE));
  ASSERT_TRUE(w);
  EXPECT_TRUE(fs::exists(j.root + "/sub/new"));
  os_dir_uptr d = os_at_dir_open(r, "deep/up");
  ASSERT_TRUE(d);
  // In the root's listing a link counts as a directory only when it leads
  // to one beneath the root.
  d = os_at_dir_open(r, "/");
  ASSERT_TRUE(d);
  os_dirent e;
  std::map<std::string, bool> dir_links;
  while (os_dir_read(d.get(), &e) > 0)
    if (!e.link.empty()) dir_links[e.name] = e.link_is_dir;
  EXPECT_TRUE(dir_links["in"]);
  EXPECT_FALSE(dir_links["abs"]);
  EXPECT_FALSE(dir_links["rel"]);
  EXPECT_FALSE(dir_links["sib"]);
  EXPECT_FALSE(dir_links["absin"]);  // absolute: refused even into the root
  os_stat_t st;
  ASSERT_EQ(os_at_stat(r, "in", &st), 0);
  EXPECT_NE(st.attrib & OS_ATTR_DIRECTORY, 0u);
}

TEST_P(RootWalk, ADirectoryReplacedByALinkIsSeenAtTheNextCall) {
  Jail j;
  ASSERT_TRUE(j.r);
  const os_root* r = j.r.get();
  std::string before = j.outside();
  ASSERT_EQ(os_at_mkdirs(r, "d"), 0);
  os_file_uptr f(os_at_file_open(r, "d/x", OS_FILE_WRITE | OS_FILE_CREATE));
  ASSERT_TRUE(f);
  f.reset();
  fs::remove_all(j.root + "/d");
  fs::create_symlink(j.out, j.root + "/d");
  EXPECT_EQ(os_at_file_open(r, "d/x", OS_FILE_WRITE | OS_FILE_CREATE), nullptr);
  EXPECT_EQ(errno, EACCES);
  EXPECT_EQ(errno_of(os_at_mkdirs(r, "d")), EACCES);
  EXPECT_EQ(errno_of(os_at_mkdirs(r, "d/y")), EACCES);
  EXPECT_FALSE(fs::exists(j.out + "/x"));
  EXPECT_EQ(j.outside(), before);
}

TEST_P(RootWalk, TheDirectoryOpenedStaysTheRootWhenItsNameIsReplaced) {
  Jail j;
  ASSERT_TRUE(j.r);
  std::string before = j.outside();
  fs::rename(j.root, j.t / "r_old");
  fs::create_symlink(j.out, j.root);
  os_file_uptr f(os_at_file_open(j.r.get(), "secret", OS_FILE_WRITE | OS_FILE_CREATE | OS_FILE_TRUNC));
  ASSERT_TRUE(f);
  EXPECT_EQ(os_file_write(f.get(), "mine", 4), 4);
  f.reset();
  EXPECT_EQ(read_file(j.t / "r_old/secret"), "mine");
  EXPECT_EQ(read_file(j.t / "r_old/sub/f"), "inner");
  os_dir_uptr d = os_at_dir_open(j.r.get(), "sub");
  ASSERT_TRUE(d);
  EXPECT_EQ(j.outside(), before);
  // A root opened through the link now serves the link's target: opening
  // is the moment the served directory is chosen.
  root_ptr r2(os_root_open(j.root.c_str()));
  ASSERT_TRUE(r2);
  os_stat_t st;
  EXPECT_EQ(os_at_stat(r2.get(), "secret", &st), 0);
}

TEST(RootFile, DeleteOnCloseRemovesBeneathTheRootAndTheRootMayCloseFirst) {
  TempDir t;
  write_file(t / "r/keep", "k");
  write_file(t / "cwd/sub/tmp", "not mine");
  root_ptr r(os_root_open((t / "r").c_str()));
  ASSERT_TRUE(r);
  os_file2* f = os_at_file_open(r.get(), "sub/tmp", OS_FILE_WRITE | OS_FILE_CREATE);
  ASSERT_NE(f, nullptr);
  f->delete_on_close = 1;
  os_dir_uptr d = os_at_dir_open(r.get(), "/");
  r.reset();  // the file and the listing keep the root's directory
  ASSERT_TRUE(fs::exists(t / "r/sub/tmp"));
  std::string old = fs::current_path();
  ASSERT_EQ(chdir((t / "cwd").c_str()), 0);
  EXPECT_EQ(os_file_close(f), 0);
  ASSERT_EQ(chdir(old.c_str()), 0);
  EXPECT_FALSE(fs::exists(t / "r/sub/tmp"));
  EXPECT_EQ(read_file(t / "cwd/sub/tmp"), "not mine");
  os_dirent e;
  int n = 0;
  while (os_dir_read(d.get(), &e) > 0) n++;
  EXPECT_EQ(n, 2);  // keep, sub
}

TEST(RootFile, WithoutARootEveryCallIsThePlainPathCall) {
  TempDir t;
  std::string p = t / "a/b/f";
  // os_file_open's create leaves the parents for a second attempt.
  EXPECT_EQ(os_at_file_open(nullptr, p.c_str(), OS_FILE_WRITE | OS_FILE_CREATE), nullptr);
  os_file_uptr f(os_at_file_open(nullptr, p.c_str(), OS_FILE_WRITE | OS_FILE_CREATE));
  ASSERT_TRUE(f);
  f.reset();
  fs::create_symlink(t / "a", t / "la");
  os_stat_t st;
  ASSERT_EQ(os_at_stat(nullptr, (t / "la").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.mode));
  EXPECT_NE(st.attrib & OS_ATTR_DIRECTORY, 0u);
  EXPECT_TRUE(os_at_dir_open(nullptr, (t / "la/b").c_str()));  // plain paths follow links
  EXPECT_EQ(os_at_mkdirs(nullptr, (t / "x/y").c_str()), 0);
  EXPECT_EQ(os_at_symlink(nullptr, (t / "x/l").c_str(), "t", nullptr), 0);
  std::string target;
  EXPECT_EQ(os_at_readlink(nullptr, (t / "x/l").c_str(), &target), 0);
  EXPECT_EQ(target, "t");
  EXPECT_EQ(os_at_unlink(nullptr, (t / "x/l").c_str()), 0);
  EXPECT_EQ(os_at_rmdir(nullptr, (t / "x/y").c_str()), 0);
  EXPECT_EQ(os_at_remove(nullptr, (t / "a").c_str()), 0);
  EXPECT_FALSE(fs::exists(t / "a"));
  // ".." is a plain path's business.
  EXPECT_EQ(os_at_mkdirs(nullptr, (t / "x/../z").c_str()), 0);
  EXPECT_TRUE(fs::is_directory(t / "z"));
}

TEST(RootTrash, RemovalMovesIntoTheTrashUnderFreshNames) {
  Jail j;
  ASSERT_TRUE(j.r);
  std::string trash = j.t / "trash";
  fs::create_directories(trash);
  ASSERT_EQ(os_root_set_trash(j.r.get(), trash.c_str()), 0);
  write_file(j.root + "/d/x", "1");
  fs::create_symlink(j.out, j.root + "/d/l");
  write_file(j.root + "/f", "first");
  EXPECT_EQ(os_at_remove(j.r.get(), "d"), 0);
  EXPECT_EQ(os_at_remove(j.r.get(), "f"), 0);
  write_file(j.root + "/f", "second");
  EXPECT_EQ(os_at_remove(j.r.get(), "/f"), 0);
  EXPECT_EQ(os_at_remove(j.r.get(), "f"), 0);  // already gone
  EXPECT_FALSE(fs::exists(j.root + "/d"));
  EXPECT_FALSE(fs::exists(j.root + "/f"));
  std::vector<std::string> fs_names, d_names;
  for (auto& e : fs::directory_iterator(trash)) {
    std::string n = e.path().filename().string();
    if (n.size() > 2 && n.compare(n.size() - 2, 2, "-f") == 0) fs_names.push_back(n);
    if (n.size() > 2 && n.compare(n.size() - 2, 2, "-d") == 0) d_names.push_back(n);
  }
  ASSERT_EQ(fs_names.size(), 2u);
  ASSERT_EQ(d_names.size(), 1u);
  std::string a = read_file(trash + "/" + fs_names[0]), b = read_file(trash + "/" + fs_names[1]);
  EXPECT_TRUE((a == "first" && b == "second") || (a == "second" && b == "first"));
  EXPECT_EQ(read_file(trash + "/" + d_names[0] + "/x"), "1");
  EXPECT_TRUE(fs::is_symlink(trash + "/" + d_names[0] + "/l"));
  EXPECT_EQ(read_file(j.out + "/secret"), "secret");
}

TEST(RootTrash, ATrashInsideTheRootOrElsewhereIsRefused) {
  Jail j;
  ASSERT_TRUE(j.r);
  EXPECT_EQ(errno_of(os_root_set_trash(j.r.get(), (j.root + "/sub").c_str())), EINVAL);
  EXPECT_EQ(errno_of(os_root_set_trash(j.r.get(), j.root.c_str())), EINVAL);
  EXPECT_EQ(errno_of(os_root_set_trash(j.r.get(), (j.root + "/in").c_str())), EINVAL);  // a link into it
  EXPECT_EQ(errno_of(os_root_set_trash(j.r.get(), (j.t / "none").c_str())), ENOENT);
  EXPECT_EQ(errno_of(os_root_set_trash(j.r.get(), (j.out + "/secret").c_str())), ENOTDIR);
  // Without a trash the removal is for good.
  EXPECT_EQ(os_at_remove(j.r.get(), "sub"), 0);
  EXPECT_FALSE(fs::exists(j.root + "/sub"));

  std::string mnt = j.t / "mnt";
  fs::create_directories(mnt);
  if (mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=1m") != 0) GTEST_SKIP() << "no tmpfs mount: " << strerror(errno);
  fs::create_directories(mnt + "/trash");
  EXPECT_EQ(errno_of(os_root_set_trash(j.r.get(), (mnt + "/trash").c_str())), EXDEV);
  umount2(mnt.c_str(), MNT_DETACH);
}

// A thread swaps a directory beneath the root with links to the outside
// (absolute and relative) while every call runs through those names.
TEST_P(RootWalk, ADirectorySwappedForALinkNeverLeadsOut) {
  Jail j;
  ASSERT_TRUE(j.r);
  const os_root* r = j.r.get();
  write_file(j.root + "/p/f0", "zero");
  fs::create_symlink(j.out, j.root + "/la");
  fs::create_symlink("../out", j.root + "/lr");
  write_file(j.out + "/f0", "outside zero");
  fs::create_directories(j.out + "/d0");
  std::string before = j.outside();

  std::atomic<bool> stop{false};
  std::atomic<long> swaps{0};
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
  std::thread swapper([&] {
    int rfd = open(j.root.c_str(), O_PATH | O_DIRECTORY);
    for (long i = 0; i < 2000000 && !stop; i++) {
      if (renameat2(rfd, "p", rfd, i % 2 ? "la" : "lr", RENAME_EXCHANGE) == 0) swaps++;
    }
    close(rfd);
  });
  long ok = 0, calls = 0;
  const char* names[] = {"p", "la", "lr"};
  for (int i = 0; i < 200000 && std::chrono::steady_clock::now() < deadline; i++) {
    std::string dir = names[i % 3];
    std::string f = dir + "/f" + std::to_string(i % 4);
    std::string d = dir + "/d" + std::to_string(i % 4);
    os_set_stat ss;
    ss.mode = 0700 + (i % 8);
    ss.times.mtime = {1000000000 + i, 0};
    calls += 9;
    if (os_file2* h = os_at_file_open(r, f.c_str(), OS_FILE_WRITE | OS_FILE_CREATE | OS_FILE_TRUNC)) {
      os_file_write(h, "in", 2);
      os_file_set_stat(h, &ss);
      os_file_close(h);
      ok++;
    }
    ok += os_at_mkdirs(r, d.c_str()) == 0;
    ok += os_at_set_stat(r, f.c_str(), &ss) == 0;
    ok += os_at_set_times(r, d.c_str(), &ss.times) == 0;
    ok += os_at_symlink(r, (d + "/l").c_str(), "t", &ss) == 0;
    ok += os_at_remove(r, (d + "/l").c_str()) == 0;
    ok += os_at_rmdir(r, d.c_str()) == 0;
    ok += os_at_unlink(r, f.c_str()) == 0;
    ok += static_cast<bool>(os_at_dir_open(r, dir.c_str()));
  }
  stop = true;
  swapper.join();
  EXPECT_GT(swaps.load(), 0);
  EXPECT_GT(ok, 0);
  EXPECT_LT(ok, calls);  // the links were met too
  EXPECT_EQ(j.outside(), before);
}

}  // namespace
