// The directory reader on real trees.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <ctime>
#include <map>
#include <string>
#include <thread>

#include "librdir.h"
#include "wytest.h"

namespace {

using wytest::TempDir;
using wytest::write_file;
namespace fs = std::filesystem;

struct reader_closer {
  void operator()(librdir* h) const { librdir_close(h); }
};
using reader_ptr = std::unique_ptr<librdir, reader_closer>;

reader_ptr open_reader(const std::string& path, int timeout_ms = 3000, cdir_err* err = nullptr,
                       const os_root* root = nullptr) {
  librdir_param p;
  p.read_timeout_ms = timeout_ms;
  p.err = err;
  p.root = root;
  return reader_ptr(librdir_open(path.c_str(), p));
}

// Reads one listing to both end records: the two streams' texts (without
// kind bytes and end records) and the end codes.
struct listing {
  std::string files, dirs;
  int file_end = 1, dir_end = 1;
};
listing read_listing(librdir* h) {
  listing l;
  bool fe = false, de = false;
  char buf[65536];
  for (int i = 0; i < 1000 && !(fe && de); i++) {
    int n = librdir_read_item_list(h, buf, sizeof buf);
    if (n <= 0) break;
    std::string s(buf + 1, n - 1);
    size_t cr = s.find('\r');
    std::string& dst = buf[0] == 'F' ? l.files : l.dirs;
    dst += s.substr(0, cr);
    if (cr != std::string::npos) {
      (buf[0] == 'F' ? fe : de) = true;
      (buf[0] == 'F' ? l.file_end : l.dir_end) = std::stoi(s.substr(cr + 1));
    }
  }
  EXPECT_TRUE(fe && de) << "listing did not end";
  return l;
}

std::map<std::string, mstat_item> by_name(mstat* h, std::map<std::string, std::string>* links) {
  std::map<std::string, mstat_item> m;
  uint64_t n = 0;
  mstat_item* it = mstat_get_item(h, &n);
  for (uint64_t i = 0; i < n; i++) {
    m[it[i].name] = it[i];
    if (it[i].link) (*links)[it[i].name] = it[i].link;
  }
  return m;
}

TEST(Librdir, TreeListingParsesBackWithItsPosixFields) {
  TempDir t;
  write_file(t / "a.txt", "hello");
  write_file(t / "empty", "");
  fs::create_directory(t / "sub");
  write_file(t / "sub/inner", "x");
  fs::create_directory(t / "emptyd");
  fs::create_symlink("a.txt", t / "lf");
  fs::create_symlink("sub", t / "ld");
  write_file(t / "odd\tname", "left out");
  write_file(t / ".hidden", "h");
  chmod((t / "a.txt").c_str(), 0640);
  struct stat sa;
  ASSERT_EQ(lstat((t / "a.txt").c_str(), &sa), 0);

  reader_ptr r = open_reader(t.path());
  ASSERT_TRUE(r);
  listing l = read_listing(r.get());
  EXPECT_EQ(l.file_end, 0);
  EXPECT_EQ(l.dir_end, 0);
  EXPECT_EQ(l.files.find("odd"), std::string::npos);  // never breaks the text form

  mstat_ptr hf(mstat_new()), hd(mstat_new());
  ASSERT_EQ(str_2_stat(l.files, hf.get()), 0);
  ASSERT_EQ(str_2_stat(l.dirs, hd.get()), 0);
  std::map<std::string, std::string> links;
  auto files = by_name(hf.get(), &links);
  auto dirs = by_name(hd.get(), &links);
  ASSERT_EQ(files.size(), 5u);
  ASSERT_EQ(dirs.size(), 2u);

  const mstat_item& a = files.at("a.txt");
  EXPECT_EQ(a.flags, 0x802u);
  EXPECT_EQ(a.attrib & 0x30, 0x20u);
  EXPECT_EQ(a.mode, 0640u);
  EXPECT_EQ(a.size, 5);
  EXPECT_EQ(a.wtime, sa.st_mtim.tv_sec);
  EXPECT_EQ(a.atime, sa.st_atim.tv_sec);
  EXPECT_EQ(a.uid, sa.st_uid);
  EXPECT_EQ(a.gid, sa.st_gid);
  EXPECT_EQ(files.at("empty").size, 0);
  EXPECT_EQ(files.at(".hidden").attrib & 0x02, 0x02u);

  EXPECT_EQ(files.at("lf").flags, 0x902u);  // link to a file
  EXPECT_EQ(files.at("lf").size, 0);
  EXPECT_EQ(links.at("lf"), "a.txt");
  EXPECT_EQ(files.at("ld").flags, 0x901u);  // link to a directory: file stream
  EXPECT_EQ(files.at("ld").attrib & 0x410, 0x410u);
  EXPECT_EQ(links.at("ld"), "sub");

  EXPECT_EQ(dirs.at("sub").flags, 0x801u);
  EXPECT_EQ(dirs.at("sub").attrib & 0x10, 0x10u);
  EXPECT_EQ(dirs.at("sub").size, 0);
  EXPECT_EQ(dirs.at("emptyd").flags, 0x801u);
  EXPECT_EQ(links.count("sub") + links.count("a.txt"), 0u);

  // The next listing on the same reader, a subdirectory.
  ASSERT_EQ(librdir_enum_dir(r.get(), (t / "sub").c_str()), 0);
  listing s = read_listing(r.get());
  EXPECT_EQ(s.files.substr(0, 6), "inner\t");
  EXPECT_EQ(s.dirs, "");
}

TEST(Librdir, OddNamesAreLeftOutAndTheRestStillLists) {
  TempDir t;
  write_file(t / "tab\there", "x");
  write_file(t / "cr\rhere", "x");
  write_file(t / "lf\nhere", "x");
  write_file(t / "plain", "x");
  fs::create_symlink("to\tab", t / "badlink");
  reader_ptr r = open_reader(t.path());
  ASSERT_TRUE(r);
  listing l = read_listing(r.get());
  EXPECT_EQ(l.file_end, 0);  // the listing itself does not fail
  mstat_ptr h(mstat_new());
  ASSERT_EQ(str_2_stat(l.files, h.get()), 0);
  uint64_t n = 0;
  mstat_item* it = mstat_get_item(h.get(), &n);
  ASSERT_EQ(n, 1u);
  EXPECT_STREQ(it[0].name, "plain");
  EXPECT_EQ(librdir_list_skip_count(r.get()), 4);
}

TEST(Librdir, SkipCountsStayWithTheirListingsWhenListedAhead) {
  TempDir t;
  fs::create_directory(t / "two");
  write_file(t / "two/a\tb", "x");
  write_file(t / "two/c\nd", "x");
  write_file(t / "two/fine", "x");
  fs::create_directory(t / "none");
  write_file(t / "none/fine", "x");
  fs::create_directory(t / "one");
  write_file(t / "one/e\rf", "x");  // nothing else in it
  reader_ptr r = open_reader(t.path());
  ASSERT_TRUE(r);
  EXPECT_EQ(librdir_list_skip_count(r.get()), 0);  // no end read yet
  read_listing(r.get());
  EXPECT_EQ(librdir_list_skip_count(r.get()), 0);
  for (const char* d : {"two", "none", "one"}) ASSERT_EQ(librdir_enum_dir(r.get(), (t / d).c_str()), 0);
  // Let the reader finish all three before the first is read.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  int expect[] = {2, 0, 1};
  for (int want : expect) {
    read_listing(r.get());
    EXPECT_EQ(librdir_list_skip_count(r.get()), want);
  }
}

TEST(Librdir, EmptyDirectoryGivesTheTwoEndRecords) {
  TempDir t;
  reader_ptr r = open_reader(t.path(), 600);
  ASSERT_TRUE(r);
  char buf[256];
  int n = librdir_read_item_list(r.get(), buf, sizeof buf);
  EXPECT_EQ(std::string(buf, n > 0 ? n : 0), "F\r0");
  n = librdir_read_item_list(r.get(), buf, sizeof buf);
  EXPECT_EQ(std::string(buf, n > 0 ? n : 0), "D\r0");
  // Both streams ended: the next read waits for a next listing.
  EXPECT_EQ(librdir_read_item_list(r.get(), buf, sizeof buf), 0);
}

TEST(Librdir, VanishedDirectoryListsItsErrorCode) {
  TempDir t;
  fs::create_directory(t / "gone");
  reader_ptr r = open_reader(t.path());
  ASSERT_TRUE(r);
  read_listing(r.get());
  fs::remove(t / "gone");
  ASSERT_EQ(librdir_enum_dir(r.get(), (t / "gone").c_str()), 0);
  char buf[256];
  int n = librdir_read_item_list(r.get(), buf, sizeof buf);
  EXPECT_EQ(std::string(buf, n > 0 ? n : 0), "F\r-102");
  n = librdir_read_item_list(r.get(), buf, sizeof buf);
  EXPECT_EQ(std::string(buf, n > 0 ? n : 0), "D\r-102");
}

TEST(Librdir, RecordLargerThanTheBufferWaitsForALargerRead) {
  TempDir t;
  write_file(t / std::string(100, 'n'), "");
  const int timeout_ms = 1000;
  reader_ptr r = open_reader(t.path(), timeout_ms);
  ASSERT_TRUE(r);
  char buf[4096];
  // Room for the kind byte and 50 bytes: the file record does not fit, so
  // the directory stream (only its end record) comes first...
  int n0 = librdir_read_item_list(r.get(), buf, 51);
  EXPECT_EQ(std::string(buf, n0 > 0 ? n0 : 0), "D\r0");
  // ...and then nothing until a read brings enough room. The read sleeps
  // through its time-out: a retry against the record must not spin.
  std::clock_t cpu0 = std::clock();
  auto wall0 = std::chrono::steady_clock::now();
  EXPECT_EQ(librdir_read_item_list(r.get(), buf, 51), 0);
  double cpu_ms = 1000.0 * static_cast<double>(std::clock() - cpu0) / CLOCKS_PER_SEC;
  double wall_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wall0).count();
  EXPECT_GE(wall_ms, timeout_ms * 0.9);
  EXPECT_LT(cpu_ms, wall_ms * 0.25) << "cpu " << cpu_ms << " ms in " << wall_ms << " ms";
  int n = librdir_read_item_list(r.get(), buf, sizeof buf);
  ASSERT_GT(n, 100);
  EXPECT_EQ(buf[0], 'F');
  EXPECT_EQ(std::string(buf + 1, 100), std::string(100, 'n'));
  EXPECT_EQ(librdir_read_item_list(r.get(), buf, 0), -1);
}

TEST(Librdir, OpenOfAMissingDirectoryFailsWithItsCode) {
  TempDir t;
  cdir_err err;
  reader_ptr r = open_reader(t / "missing", 3000, &err);
  EXPECT_FALSE(r);
  EXPECT_EQ(err.verr, -102);
  EXPECT_FALSE(err.msg.empty());
  write_file(t / "file", "x");
  r = open_reader(t / "file", 3000, &err);
  EXPECT_FALSE(r);
  EXPECT_EQ(err.verr, -103);
}

struct root_closer {
  void operator()(os_root* r) const { os_root_close(r); }
};

// Beneath a root the reader lists a peer's paths: links that stay inside
// count as directories, links that lead out are links to nothing, and a
// base that leads out is refused.
TEST(LibrdirRoot, ListsBeneathTheRootAndRefusesBasesThatLeadOut) {
  TempDir t;
  std::string root = t / "r";
  write_file(t / "out/secret", "s");
  write_file(root + "/sub/inner", "x");
  fs::create_symlink(t / "out", root + "/abs");
  fs::create_symlink("../out", root + "/rel");
  fs::create_symlink("sub", root + "/in");
  fs::create_symlink("../r2", root + "/sib");
  write_file(t / "r2/f", "sibling");
  std::unique_ptr<os_root, root_closer> rt(os_root_open(root.c_str()));
  ASSERT_TRUE(rt);

  reader_ptr r = open_reader("/", 3000, nullptr, rt.get());
  ASSERT_TRUE(r);
  listing l = read_listing(r.get());
  EXPECT_EQ(l.file_end, 0);
  mstat_ptr hf(mstat_new()), hd(mstat_new());
  ASSERT_EQ(str_2_stat(l.files, hf.get()), 0);
  ASSERT_EQ(str_2_stat(l.dirs, hd.get()), 0);
  std::map<std::string, std::string> links;
  auto files = by_name(hf.get(), &links);
  auto dirs = by_name(hd.get(), &links);
  EXPECT_EQ(dirs.size(), 1u);
  EXPECT_EQ(dirs.count("sub"), 1u);
  EXPECT_EQ(files.at("in").flags, 0x901u);   // a link to a directory inside
  EXPECT_EQ(files.at("abs").flags, 0x902u);  // its directory is outside: not one
  EXPECT_EQ(files.at("rel").flags, 0x902u);
  EXPECT_EQ(files.at("sib").flags, 0x902u);
  EXPECT_EQ(links.at("abs"), t / "out");  // link texts as they are

  ASSERT_EQ(librdir_enum_dir(r.get(), "\\in\\"), 0);
  listing s = read_listing(r.get());
  EXPECT_EQ(s.files.substr(0, 6), "inner\t");
  for (const char* base : {"abs", "rel/", "\\sib", "sub/../..", "//r", "in/../../out"}) {
    ASSERT_EQ(librdir_enum_dir(r.get(), base), 0);
    listing e = read_listing(r.get());
    EXPECT_EQ(e.file_end, -38) << base;
    EXPECT_EQ(e.dir_end, -38) << base;
    EXPECT_EQ(e.files, "") << base;
  }
  cdir_err err;
  EXPECT_FALSE(open_reader("/abs", 3000, &err, rt.get()));
  EXPECT_EQ(err.verr, -38);
  EXPECT_EQ(err.msg.find(root), std::string::npos);
  EXPECT_FALSE(open_reader("/missing", 3000, &err, rt.get()));
  EXPECT_EQ(err.verr, -102);
}

}  // namespace
