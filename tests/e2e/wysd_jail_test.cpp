// The root jail: every way out of the served tree that file servers have
// been broken by is refused with "Access denied." and leaves everything
// outside the root as it was, while the server keeps serving.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>

#include <atomic>

#include "librdir.h"
#include "pal_hash.h"
#include "wysd_client.h"

using namespace wysdtest;
using wytest::read_file;
using wytest::write_file;

namespace {

const char kSecret[] = "outside secret";

class WysdJail : public ::testing::Test {
 protected:
  void SetUp() override {
    WYSD_REQUIRE_SERVER();
    out = s.t / "outside";
    write_file(out + "/secret", kSecret);
    write_file(out + "/sub/deeper", kSecret);
    // Siblings whose names extend the root's.
    write_file(s.t / "root2/secret", kSecret);
    write_file(s.t / "rootx/secret", kSecret);
    write_file(s.in_root("ok"), "inside");
    write_file(s.in_root("sub/ok"), "inside sub");
    fs::create_symlink(out + "/secret", s.in_root("out_file"));
    fs::create_symlink(out, s.in_root("out_dir"));
    fs::create_symlink("../outside", s.in_root("rel_out"));
    fs::create_symlink("../root2", s.in_root("sib"));
    fs::create_symlink(s.t / "rootx", s.in_root("sib_abs"));
    fs::create_symlink("../../outside", s.in_root("sub/up"));
    fs::create_symlink("sub", s.in_root("inner"));
    before = state();
    ASSERT_NO_FATAL_FAILURE(s.start());
    ASSERT_TRUE(c.open_session(s.port())) << s.srv.log();
    ASSERT_TRUE(c.ioctl2(kMfOpen, "65540\t3000").ok());
  }
  void TearDown() override {
    if (!have_server()) return;
    EXPECT_EQ(state(), before) << "something outside the root changed";
    // The server is still there for everyone.
    Conn fresh;
    EXPECT_TRUE(fresh.open_session(s.port())) << s.srv.log();
    EXPECT_TRUE(fresh.info().ok());
  }
  std::string state() {
    std::string names;
    for (auto& e : fs::directory_iterator(s.t.path())) names += e.path().filename().string() + "\n";
    return names + outside_state(out) + outside_state(s.t / "root2") + outside_state(s.t / "rootx");
  }
  void expect_refused(const Reply& r, const std::string& what) {
    EXPECT_EQ(r.st, WYSD_ST_OK) << what;
    EXPECT_EQ(r.eno, kAccess) << what << ": " << r.what();
    if (r.eno == kAccess) {
      EXPECT_EQ(r.estr, "Access denied.") << what;
    }
    EXPECT_EQ(r.estr.find(s.t.path()), std::string::npos) << what << ": the error names the real path";
    if (r.ok()) {
      // Whatever it opened must not be the outside file.
      uint64_t fd = r.u64("fd");
      if (r.has("fd")) {
        EXPECT_NE(c.read(fd, 100).data, kSecret) << what;
        c.close_fd(fd);
      }
    }
  }
  // A list command on base `base`: refused at the control or in its results.
  void expect_list_refused(int32_t code, const std::string& base, const std::string& list, const std::string& what) {
    Reply r = c.ioctl2(code, base + "\t" + list);
    if (r.eno == kAccess) return;
    ASSERT_TRUE(r.ok()) << what << ": " << r.what();
    std::string res;
    if (code == kMfReadList) {
      res = remote_results(c, [](const std::string& x) { return x.size() >= 8; });
      mfile_data d;
      int k = libmfile_read_get_data_len_err(reinterpret_cast<const uint8_t*>(res.data()), res.size(), &d);
      ASSERT_GT(k, 0) << what;
      EXPECT_TRUE(d.open_err) << what;
      EXPECT_EQ(d.verr, kAccess) << what;
      EXPECT_NE(std::string(d.data.begin(), d.data.end()), kSecret) << what;
      return;
    }
    auto done = [code](const std::string& x) {
      if (code == kMfDelFiles) return x.find('$') != std::string::npos;
      if (code == kMfWriteList) return x.find('\n') != std::string::npos;
      return x.find('\t') != std::string::npos;
    };
    res = remote_results(c, done);
    EXPECT_NE(res.find("-38"), std::string::npos) << what << ": results [" << res << "]";
  }
  Site s;
  Conn c;
  std::string out, before;
};

std::string times_of(const std::string& p) { return p + "\t1000000000\t1000000000\t1000000000\t0\t0\t0"; }

TEST_F(WysdJail, LexicalEscapesAreRefusedNotCleaned) {
  std::vector<std::string> paths = {
      "..", "../outside/secret", "/../outside/secret", "a/../../outside/secret", "sub/../../outside/secret",
      "..\\outside\\secret", "\\..\\outside\\secret", "sub\\..\\..\\outside\\secret", "//outside/secret",
      "sub//ok", "../root2/secret", "../rootx/secret", "sub/../ok", "sub/..",
      std::string("ok\0/../../outside/secret", 24), std::string("ok\0", 3),
      std::string(5000, 'a'), "sub/" + std::string(4200, 'b'),
  };
  for (const std::string& p : paths) {
    std::string shown = p.size() > 60 ? p.substr(0, 20) + "...(" + std::to_string(p.size()) + ")" : p;
    for (char& ch : shown)
      if (ch == '\0') ch = '@';
    expect_refused(c.open(p, kOpenRead), "open read " + shown);
    expect_refused(c.open(p, kOpenWrite), "open write " + shown);
    Reply m = c.ioctl(0, kIoMkdirs, p + "/made");
    Reply t = c.ioctl(0, kIoPathTimes, times_of(p));
    Reply r = c.ioctl2(kRdirOpen, p + "\t0\t1000");
    if (p.find('\0') == std::string::npos) {
      expect_refused(m, "mkdirs " + shown);
      expect_refused(t, "path times " + shown);
      expect_refused(r, "reader " + shown);
    } else {
      // A control's text ends at its first 0: what is left is malformed
      // (or names a file), never a path that leads out.
      EXPECT_NE(m.eno, 0) << "mkdirs " << shown;
      EXPECT_NE(t.eno, 0) << "path times " << shown;
      EXPECT_NE(r.eno, 0) << "reader " << shown;
    }
    if (r.ok()) c.ioctl2(kRdirClose, "", 100, false);
  }
  EXPECT_EQ(read_file(s.in_root("ok")), "inside");
  // /etc/passwd means the root's etc/passwd, which is not there.
  Reply r = c.open("/etc/passwd", kOpenRead);
  EXPECT_EQ(r.eno, kNoFile) << r.what();
  // Paths that stay inside still work, with either separator.
  uint64_t fd = c.open_fd("\\sub\\ok", kOpenRead);
  ASSERT_NE(fd, 0u);
  EXPECT_EQ(c.read(fd, 100).data, "inside sub");
  c.close_fd(fd);
  fd = c.open_fd("./sub/./ok", kOpenRead);
  EXPECT_NE(fd, 0u);
  c.close_fd(fd);
}

TEST_F(WysdJail, LinksLeadingOutAreRefusedEverywhere) {
  const std::vector<std::string> files = {"out_file", "out_dir/secret", "rel_out/secret", "sib/secret",
                                          "sib_abs/secret", "sub/up/secret", "out_dir/sub/deeper"};
  for (const std::string& p : files) {
    expect_refused(c.open(p, kOpenRead), "open read " + p);
    expect_refused(c.open(p, kOpenWrite), "open write " + p);  // would truncate the outside file
    expect_refused(c.open(p, kFlRdwr), "open rdwr " + p);
  }
  for (const char* p : {"out_dir/new", "rel_out/new", "sib/new", "sub/up/new"}) {
    std::string ps = p;
    expect_refused(c.open(ps, kOpenWrite), "create " + ps);
    expect_refused(c.ioctl(0, kIoMkdirs, ps + "/deeper"), "mkdirs " + ps);
    expect_refused(c.ioctl(0, kIoPathTimes, times_of(ps.substr(0, ps.rfind('/')) + "/secret")), "times " + ps);
  }
  // Listing bases.
  for (std::string base : {"out_dir", "rel_out", "sib", "sib_abs", "sub/up", "out_dir/sub"}) {
    Reply r = c.ioctl2(kRdirOpen, base + "\t0\t1000");
    if (r.eno != kAccess) {
      // Opened: the listing itself must refuse and name nothing outside.
      ASSERT_TRUE(r.ok()) << base << ": " << r.what();
      Listing l = remote_listing(c, 5000);
      EXPECT_EQ(l.files.find("secret"), std::string::npos) << base;
      EXPECT_EQ(l.dirs.find("sub"), std::string::npos) << base;
      EXPECT_EQ(l.file_code, kAccess) << base;
      c.ioctl2(kRdirClose, "", 100, false);
    }
  }
  // The same reader enumerating a base that leads out.
  ASSERT_TRUE(c.ioctl2(kRdirOpen, "sub\t0\t1000").ok());
  remote_listing(c, 5000);
  Reply r = c.ioctl2(kRdirEnum, "out_dir");
  if (r.eno != kAccess) {
    ASSERT_TRUE(r.ok()) << r.what();
    Listing l = remote_listing(c, 5000);
    EXPECT_EQ(l.files.find("secret"), std::string::npos);
    EXPECT_EQ(l.file_code, kAccess);
  }
  c.ioctl2(kRdirClose, "", 100, false);
  // Multi-file bases.
  for (std::string base : {"out_dir", "sib", "sub/up"}) {
    std::string wl;
    mstat_item it;
    it.name = "secret";
    it.flags = 0x802;
    it.mode = 0600;
    it.wtime = 1000000000;
    rdir_fmt_write_line(wl, it, base64_encode("pwned", 5));
    expect_list_refused(kMfWriteList, base, wl + "\n", "write list in " + base);
    expect_list_refused(kMfReadList, base, "secret\t100\n", "read list in " + base);
    expect_list_refused(kMfMkdirList, base, "newd\t801\t10\t1ed\t0\t0\t0\t0\t0\n", "mkdir list in " + base);
    expect_list_refused(kMfDelList, base, "secret\n", "delete list in " + base);
    expect_list_refused(kMfDelFiles, base, "", "delete files in " + base);
  }
  // A link inside the root that stays inside is fine as a directory.
  uint64_t fd = c.open_fd("inner/ok", kOpenRead);
  EXPECT_NE(fd, 0u);
  c.close_fd(fd);
}

TEST_F(WysdJail, ALinkAClientCreatesIsStoredVerbatimAndNeverFollowed) {
  mstat_item it;
  it.flags = 0x102;
  it.mode = 0777;
  it.wtime = 1000000000;
  std::string wl;
  it.name = "d";
  it.link = out.c_str();
  rdir_fmt_write_line(wl, it, "");
  ASSERT_TRUE(c.ioctl2(kMfWriteList, "w\t" + wl + "\n").ok());
  std::string res = remote_results(c, [](const std::string& x) { return x.find('\n') != std::string::npos; });
  EXPECT_EQ(res, "0\t0\n");
  ASSERT_TRUE(fs::is_symlink(s.in_root("w/d")));
  EXPECT_EQ(fs::read_symlink(s.in_root("w/d")).string(), out);
  // Write through it: a list in the link, and a plain open below it.
  std::string wl2;
  mstat_item f;
  f.name = "x";
  f.flags = 0x802;
  f.mode = 0644;
  f.wtime = 1000000000;
  rdir_fmt_write_line(wl2, f, base64_encode("through", 7));
  expect_list_refused(kMfWriteList, "w/d", wl2 + "\n", "write list through the new link");
  f.name = "secret";
  wl2.clear();
  rdir_fmt_write_line(wl2, f, base64_encode("through", 7));
  expect_list_refused(kMfWriteList, "w/d", wl2 + "\n", "overwrite through the new link");
  expect_refused(c.open("w/d/x", kOpenWrite), "open through the new link");
  expect_refused(c.open("w/d/secret", kOpenWrite), "truncate through the new link");

  // A directory first, then the same name as a link, then a write below it.
  ASSERT_TRUE(c.ioctl2(kMfMkdirList, "w2\td\t801\t10\t1ed\t0\t0\t0\t0\t0\n").ok());
  res = remote_results(c, [](const std::string& x) { return x.find('\t') != std::string::npos; });
  EXPECT_EQ(res, "0\t");
  EXPECT_TRUE(fs::is_directory(s.in_root("w2/d")));
  uint64_t fd = c.open_fd("w2/d/early", kOpenWrite);  // uses the directory while it is one
  EXPECT_NE(fd, 0u);
  c.close_fd(fd);
  fs::remove(s.in_root("w2/d/early"));
  ASSERT_TRUE(c.ioctl2(kMfWriteList, "w2\t" + wl + "\n").ok());
  res = remote_results(c, [](const std::string& x) { return x.find('\n') != std::string::npos; });
  EXPECT_EQ(res, "0\t0\n");
  EXPECT_TRUE(fs::is_symlink(s.in_root("w2/d")));
  rdir_fmt_write_line(wl2 = "", f, base64_encode("through", 7));
  expect_list_refused(kMfWriteList, "w2/d", wl2 + "\n", "write list through the replaced directory");
  expect_refused(c.open("w2/d/x", kOpenWrite), "open through the replaced directory");
  expect_refused(c.ioctl(0, kIoMkdirs, "w2/d/made"), "mkdirs through the replaced directory");
  // Deleting the link removes the link, never what it points to.
  ASSERT_TRUE(c.ioctl2(kMfDelList, "w\td\n").ok());
  res = remote_results(c, [](const std::string& x) { return x.find('\t') != std::string::npos; });
  EXPECT_EQ(res, "0\t");
  EXPECT_FALSE(fs::exists(s.in_root("w/d")) || fs::is_symlink(s.in_root("w/d")));
}

TEST_F(WysdJail, ParentSwappedWithALinkOutsideWhileTheClientWorks) {
  std::string par = s.in_root("par"), lnk = s.in_root("lnk");
  write_file(par + "/secret", "inside par");
  fs::create_symlink(out, lnk);
  before = state();
  std::atomic<bool> stop{false};
  std::atomic<long> swaps{0};
  std::thread swapper([&] {
    int64_t end = now_ms() + 8000;  // bounded even if the client side stalls
    while (!stop && now_ms() < end) {
      if (renameat2(AT_FDCWD, par.c_str(), AT_FDCWD, lnk.c_str(), RENAME_EXCHANGE) == 0) swaps++;
    }
  });
  int64_t end = now_ms() + 1500;
  int ops = 0;
  char text[200];
  for (int i = 0; i < 3000 && now_ms() < end; i++, ops++) {
    std::string f = "par/f" + std::to_string(i % 7);
    Reply r = c.open(f, kOpenWrite);
    if (r.ok()) {
      uint64_t fd = r.u64("fd");
      c.write(fd, "raced write");
      snprintf(text, sizeof text, "%d\t%x\t%x\t%llx\t%llx\t%llx\t%u\t%u", 2, 0x20, 0600, 0ULL, 0x3B9ACA00ULL,
               0x3B9ACA00ULL, getuid(), getgid());
      c.ioctl(fd, kIoFileStat, text);
      c.close_fd(fd);
    }
    c.ioctl(0, kIoPathTimes, times_of("par"));
    c.ioctl(0, kIoPathTimes, times_of("par/secret"));
    c.ioctl(0, kIoMkdirs, "par/d" + std::to_string(i % 5));
    r = c.open("par/secret", kOpenRead);
    if (r.ok()) {
      uint64_t fd = r.u64("fd");
      Reply d = c.read(fd, 100);
      EXPECT_NE(d.data, kSecret) << "read the outside file through the swapped parent";
      c.close_fd(fd);
    }
    if (i % 4 == 0) {
      c.ioctl2(kMfDelList, "par\tf" + std::to_string(i % 7) + "\n");
      remote_results(c, [](const std::string& x) { return x.find('\t') != std::string::npos; }, 2000);
    }
    if (i % 8 == 0) {
      c.ioctl2(kMfDelFiles, "par\t");
      remote_results(c, [](const std::string& x) { return x.find('$') != std::string::npos; }, 2000);
    }
  }
  stop = true;
  swapper.join();
  // Put the real directory back under its name.
  if (fs::is_symlink(par)) renameat2(AT_FDCWD, par.c_str(), AT_FDCWD, lnk.c_str(), RENAME_EXCHANGE);
  EXPECT_GT(swaps.load(), 10);
  EXPECT_GT(ops, 10);
  EXPECT_TRUE(c.info().ok()) << s.srv.log();
}

TEST_F(WysdJail, RootReplacedByALinkAfterStart) {
  // The server keeps the directory it opened (or refuses); it never
  // follows the new name out.
  fs::rename(s.root(), s.t / "root_moved");
  fs::create_symlink(out, s.root());
  before = state();
  Reply r = c.open("secret", kOpenWrite);
  if (r.ok()) {
    c.write(r.u64("fd"), "overwritten");
    c.close_fd(r.u64("fd"));
  }
  r = c.open("secret", kOpenRead);
  if (r.ok()) {
    EXPECT_NE(c.read(r.u64("fd"), 100).data, kSecret);
    c.close_fd(r.u64("fd"));
  }
  uint64_t fd = c.open_fd("ok", kOpenRead);
  if (fd != 0) {
    EXPECT_EQ(c.read(fd, 100).data, "inside");
    c.close_fd(fd);
  }
  c.ioctl(0, kIoMkdirs, "made");
  c.ioctl(0, kIoPathTimes, times_of("sub"));
  EXPECT_EQ(state(), before);
  fs::remove(s.root());
  fs::rename(s.t / "root_moved", s.root());
  before = state();
}

}  // namespace
