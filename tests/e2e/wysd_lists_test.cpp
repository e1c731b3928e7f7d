// The directory reader and multi-file controls of wysd give what the local
// objects give on the same tree, and deleted files go to the trash.
#include <fcntl.h>
#include <sys/stat.h>

#include <ctime>

#include "librdir.h"
#include "pal_hash.h"
#include "wysd_client.h"

using namespace wysdtest;
using wytest::pattern;
using wytest::read_file;
using wytest::write_file;

namespace {

struct reader_closer {
  void operator()(librdir* h) const { librdir_close(h); }
};
struct mfile_closer {
  void operator()(libmfile* h) const { libmfile_close(h); }
};
using reader_ptr = std::unique_ptr<librdir, reader_closer>;
using mfile_ptr = std::unique_ptr<libmfile, mfile_closer>;

Listing local_listing(librdir* h) {
  Listing l;
  std::vector<char> buf(1 << 20);
  for (int i = 0; i < 1000 && !(l.file_end && l.dir_end); i++) {
    int n = librdir_read_item_list(h, buf.data(), buf.size());
    if (n < 0) break;
    add_block(&l, std::string(buf.data(), static_cast<size_t>(n)));
  }
  return l;
}

void expect_same_listing(const Listing& remote, const Listing& local, const char* what) {
  EXPECT_EQ(remote.eno, 0) << what;
  EXPECT_TRUE(remote.file_end && remote.dir_end) << what << ": listing did not end";
  EXPECT_EQ(remote.file_code, local.file_code) << what;
  EXPECT_EQ(remote.dir_code, local.dir_code) << what;
  EXPECT_EQ(sorted_lines(remote.files), sorted_lines(local.files)) << what;
  EXPECT_EQ(sorted_lines(remote.dirs), sorted_lines(local.dirs)) << what;
  EXPECT_FALSE(local.files.empty()) << what;
}

// A tree with what a listing has to tell apart.
void make_tree(const std::string& d) {
  write_file(d + "/a.txt", "hello");
  write_file(d + "/empty", "");
  write_file(d + "/big", pattern(200000, 3));
  write_file(d + "/.hidden", "h");
  write_file(d + "/sub/inner", "x");
  write_file(d + "/sub/deep/er", "y");
  fs::create_directories(d + "/emptyd");
  fs::create_symlink("a.txt", d + "/lf");
  fs::create_symlink("sub", d + "/ld");
  fs::create_symlink("dangling_target", d + "/dangling");
  chmod((d + "/a.txt").c_str(), 0640);
  chmod((d + "/sub").c_str(), 0750);
  wytest::set_mtime(d + "/a.txt", 1500000000);
  wytest::set_mtime(d + "/sub", 1400000000);
  // Reading a link updates its access time when that is not later than its
  // change time, and the listings read each: an access time ahead of both
  // stays, so two listings of the tree agree even across a second's tick.
  for (const char* l : {"/lf", "/ld", "/dangling"}) {
    struct timespec ts[2] = {{time(nullptr) + 3600, 0}, {1400000000, 0}};
    utimensat(AT_FDCWD, (d + l).c_str(), ts, AT_SYMLINK_NOFOLLOW);
  }
}

TEST(WysdLists, ReaderGivesTheLocalReadersRecords) {
  WYSD_REQUIRE_SERVER();
  Site s;
  make_tree(s.in_root("tree"));
  ASSERT_NO_FATAL_FAILURE(s.start());
  Conn c;
  ASSERT_TRUE(c.open_session(s.port()));
  Reply r = c.ioctl2(kRdirOpen, "/tree\t0\t3000");
  ASSERT_TRUE(r.ok()) << r.what();
  Listing remote = remote_listing(c);

  librdir_param p;
  p.read_timeout_ms = 3000;
  reader_ptr h(librdir_open(s.in_root("tree").c_str(), p));
  ASSERT_TRUE(h);
  Listing local = local_listing(h.get());
  expect_same_listing(remote, local, "open");

  // The next listing on the same reader, with the other separator.
  r = c.ioctl2(kRdirEnum, "tree\\sub");
  ASSERT_TRUE(r.ok()) << r.what();
  remote = remote_listing(c);
  ASSERT_EQ(librdir_enum_dir(h.get(), s.in_root("tree/sub").c_str()), 0);
  local = local_listing(h.get());
  expect_same_listing(remote, local, "enum sub");

  // A missing directory ends its listing with the same code as locally.
  r = c.ioctl2(kRdirEnum, "tree/none");
  ASSERT_TRUE(r.ok()) << r.what();
  remote = remote_listing(c);
  ASSERT_EQ(librdir_enum_dir(h.get(), s.in_root("tree/none").c_str()), 0);
  local = local_listing(h.get());
  EXPECT_TRUE(remote.file_end && remote.dir_end);
  EXPECT_EQ(remote.file_code, local.file_code);
  EXPECT_EQ(remote.dir_code, local.dir_code);
  EXPECT_EQ(remote.files, "");

  EXPECT_TRUE(c.ioctl2(kRdirClose, "", 4096, false).ok());
  // After the close there is no reader to read from.
  r = c.ioctl2(kRdirRead, "", 4096, false);
  EXPECT_NE(r.eno, 0) << r.what();
  // Opening a missing directory fails as the local open does.
  cdir_err err;
  p.err = &err;
  EXPECT_EQ(librdir_open(s.in_root("nothere").c_str(), p), nullptr);
  r = c.ioctl2(kRdirOpen, "nothere\t0\t3000");
  EXPECT_EQ(r.eno, err.verr) << r.what();
  EXPECT_EQ(r.eno, kNoFile);
}

std::string write_line(const std::string& name, const std::string& data, uint32_t flags = 0x802,
                       const std::string& link = "", int64_t wtime = 1500000000) {
  mstat_item it;
  it.name = name.c_str();
  it.link = link.empty() ? nullptr : link.c_str();
  it.flags = flags;
  it.attrib = 0x20;
  it.mode = 0640;
  it.ctime = wtime - 100;
  it.wtime = wtime;
  it.atime = wtime + 5;
  it.uid = getuid();
  it.gid = getgid();
  std::string out;
  rdir_fmt_write_line(out, it, data.empty() ? std::string() : base64_encode(data.data(), data.size()));
  return out + "\n";
}
std::string mkdir_line(const std::string& name, int64_t wtime) {
  mstat_item it;
  it.name = name.c_str();
  it.flags = 0x801;
  it.attrib = 0x10;
  it.mode = 0750;
  it.ctime = wtime;
  it.wtime = wtime;
  it.atime = wtime;
  it.uid = getuid();
  it.gid = getgid();
  std::string out;
  rdir_fmt_mkdir_line(out, it);
  return out + "\n";
}

size_t count_of(const std::string& s, char ch) { return static_cast<size_t>(std::count(s.begin(), s.end(), ch)); }
size_t records_in(const std::string& s) {
  size_t off = 0, n = 0;
  while (off < s.size()) {
    mfile_data d;
    int k = libmfile_read_get_data_len_err(reinterpret_cast<const uint8_t*>(s.data()) + off, s.size() - off, &d);
    if (k < 0) break;
    off += static_cast<size_t>(k);
    n++;
  }
  return n;
}

std::string local_results(libmfile* h, const std::function<bool(const std::string&)>& done) {
  std::vector<char> buf(1 << 20);
  std::string all;
  for (int i = 0; i < 100 && !done(all); i++) {
    int n = libmfile_get_list_ret(h, buf.data(), buf.size());
    if (n <= 0) break;
    all.append(buf.data(), static_cast<size_t>(n));
  }
  return all;
}

// One list command run on both sides; the results must be the same.
struct Both {
  Conn& c;
  libmfile* local;
  std::string remote_base, local_base;
  void run(int32_t code, uint32_t cmd, const std::string& list, const std::function<bool(const std::string&)>& done,
           const char* what) {
    Reply r = c.ioctl2(code, remote_base + "\t" + list);
    ASSERT_TRUE(r.ok()) << what << ": " << r.what();
    ASSERT_EQ(libmfile_cmd_add_list(local, cmd, local_base.c_str(), list.c_str()), 0);
    std::string want = local_results(local, done);
    ASSERT_TRUE(done(want)) << what << ": local results incomplete";
    int32_t eno = 0;
    std::string got = remote_results(c, done, 10000, &eno);
    EXPECT_EQ(eno, 0) << what;
    EXPECT_TRUE(got == want) << what << ": remote [" << got.size() << " bytes] local [" << want.size() << " bytes]";
  }
};

std::map<std::string, wytest::Entry> tree_of(const std::string& d) { return wytest::scan(d); }
void expect_same_tree(const std::string& a, const std::string& b, const char* what) {
  auto ta = tree_of(a), tb = tree_of(b);
  EXPECT_EQ(ta.size(), tb.size()) << what;
  for (auto& [rel, e] : tb) {
    auto it = ta.find(rel);
    if (it == ta.end()) {
      ADD_FAILURE() << what << ": " << rel << " missing on the server";
      continue;
    }
    EXPECT_EQ(it->second.type, e.type) << what << ": " << rel;
    EXPECT_EQ(it->second.data == e.data, true) << what << ": " << rel;
    EXPECT_EQ(it->second.mode, e.mode) << what << ": " << rel;
    if (e.type != 'l') {
      EXPECT_EQ(it->second.mtime, e.mtime) << what << ": " << rel;
    }
  }
}

TEST(WysdLists, MultiFileCommandsMatchTheLocalObject) {
  WYSD_REQUIRE_SERVER();
  Site s;
  fs::create_directories(s.t / "local");
  ASSERT_NO_FATAL_FAILURE(s.start());
  Conn c;
  ASSERT_TRUE(c.open_session(s.port()));
  Reply r = c.ioctl2(kMfOpen, "65540\t3000");
  ASSERT_TRUE(r.ok()) << r.what();
  libmfile_param p;
  p.max_mfile_size = 65540;
  p.read_timeout_ms = 3000;
  mfile_ptr local(libmfile_open(p));
  ASSERT_TRUE(local);
  Both both{c, local.get(), "/mw", s.t / "local/mw"};
  auto lines = [](size_t n) { return [n](const std::string& x) { return count_of(x, '\n') >= n; }; };
  auto tabs = [](size_t n) { return [n](const std::string& x) { return count_of(x, '\t') >= n; }; };

  std::string wl = write_line("f0", "") + write_line("f1", "1") + write_line("f1000", pattern(1000, 1)) +
                   write_line("f65536", pattern(65536, 2)) + write_line("toolarge", pattern(65541, 3)) +
                   write_line("lk", "", 0x102, "f1") + write_line("bad/name", "x") + write_line("..", "x");
  ASSERT_NO_FATAL_FAILURE(both.run(kMfWriteList, MFILE_CMD_WRITE_LIST, wl, lines(8), "write list"));
  expect_same_tree(s.in_root("mw"), s.t / "local/mw", "after write list");
  EXPECT_EQ(read_file(s.in_root("mw/f65536")), pattern(65536, 2));

  std::string ml = mkdir_line("d1", 1400000000) + mkdir_line("d2", 1400000100) + mkdir_line("f1", 1);
  ASSERT_NO_FATAL_FAILURE(both.run(kMfMkdirList, MFILE_CMD_MKDIR_LIST, ml, tabs(3), "mkdir list"));
  expect_same_tree(s.in_root("mw"), s.t / "local/mw", "after mkdir list");

  std::string rl = "f0\t0\nf1\t1\nf1000\t1000\nf65536\t65536\nmissing\t5\nlk\t1\nd1\t4\n";
  auto recs = [](size_t n) { return [n](const std::string& x) { return records_in(x) >= n; }; };
  ASSERT_NO_FATAL_FAILURE(both.run(kMfReadList, MFILE_CMD_READ_LIST, rl, recs(7), "read list"));

  ASSERT_NO_FATAL_FAILURE(both.run(kMfDelList, MFILE_CMD_DEL_LIST, "f1\nmissing\nlk\n", tabs(3), "delete list"));
  expect_same_tree(s.in_root("mw"), s.t / "local/mw", "after delete list");
  EXPECT_FALSE(fs::exists(s.in_root("mw/f1")));

  auto ended = [](const std::string& x) { return x.find('$') != std::string::npos; };
  ASSERT_NO_FATAL_FAILURE(both.run(kMfDelFiles, MFILE_CMD_DEL_FILES, "", ended, "delete files"));
  expect_same_tree(s.in_root("mw"), s.t / "local/mw", "after delete files");
  EXPECT_TRUE(fs::is_directory(s.in_root("mw/d1")));
  EXPECT_FALSE(fs::exists(s.in_root("mw/f0")));

  // Deleting the files of a missing directory: the "D" form on both sides.
  both.remote_base = "/nothere";
  both.local_base = s.t / "local/nothere";
  ASSERT_NO_FATAL_FAILURE(both.run(kMfDelFiles, MFILE_CMD_DEL_FILES, "", ended, "delete files of nothing"));

  EXPECT_TRUE(c.ioctl2(kMfClose, "", 4096, false).ok());
  r = c.ioctl2(kMfListRet, "", 4096, false);
  EXPECT_NE(r.eno, 0) << "results after close: " << r.what();
}

// Every regular file below `dir` by contents.
std::multiset<std::string> contents_below(const std::string& dir) {
  std::multiset<std::string> m;
  for (auto& [rel, e] : wytest::scan(dir))
    if (e.type == 'f') m.insert(e.data);
  return m;
}

TEST(WysdLists, DeletedFilesGoToTheTrashOutsideTheTree) {
  WYSD_REQUIRE_SERVER();
  Site s;
  fs::create_directories(s.t / "trash");
  write_file(s.in_root("tr/a"), "first deleted");
  write_file(s.in_root("tr/b"), "second deleted");
  write_file(s.in_root("tr/c"), "third deleted");
  fs::create_directories(s.in_root("tr/keepdir"));
  ASSERT_NO_FATAL_FAILURE(s.start("trash = " + s.t / "trash" + "\n"));
  Conn c;
  ASSERT_TRUE(c.open_session(s.port()));
  ASSERT_TRUE(c.ioctl2(kMfOpen, "65540\t3000").ok());
  ASSERT_TRUE(c.ioctl2(kMfDelList, "tr\ta\n").ok());
  std::string res = remote_results(c, [](const std::string& x) { return x.find('\t') != std::string::npos; });
  EXPECT_EQ(res, "0\t");
  EXPECT_FALSE(fs::exists(s.in_root("tr/a")));
  EXPECT_EQ(contents_below(s.t / "trash").count("first deleted"), 1u);

  ASSERT_TRUE(c.ioctl2(kMfDelFiles, "tr\t").ok());
  res = remote_results(c, [](const std::string& x) { return x.find('$') != std::string::npos; });
  EXPECT_EQ(res, "F\t0\t0\t$");
  auto in_trash = contents_below(s.t / "trash");
  EXPECT_EQ(in_trash.count("second deleted"), 1u);
  EXPECT_EQ(in_trash.count("third deleted"), 1u);
  EXPECT_TRUE(fs::is_directory(s.in_root("tr/keepdir")));
  // Nothing of the trash shows inside the served tree.
  for (auto& [rel, e] : wytest::scan(s.root())) EXPECT_EQ(e.data.find("deleted"), std::string::npos) << rel;
}

TEST(WysdLists, WithoutTrashDeletedFilesAreGone) {
  WYSD_REQUIRE_SERVER();
  Site s;
  fs::create_directories(s.t / "trash");
  write_file(s.in_root("tr/a"), "gone");
  ASSERT_NO_FATAL_FAILURE(s.start());
  Conn c;
  ASSERT_TRUE(c.open_session(s.port()));
  ASSERT_TRUE(c.ioctl2(kMfOpen, "65540\t3000").ok());
  ASSERT_TRUE(c.ioctl2(kMfDelList, "tr\ta\n").ok());
  std::string res = remote_results(c, [](const std::string& x) { return x.find('\t') != std::string::npos; });
  EXPECT_EQ(res, "0\t");
  EXPECT_FALSE(fs::exists(s.in_root("tr/a")));
  EXPECT_TRUE(contents_below(s.t / "trash").empty());
}

}  // namespace
