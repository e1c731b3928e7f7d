// Files through wysd: open flags, reads and writes with and without offsets
// in both packings, seek, close, and the file controls (directories, path
// times, the file stat applied on the open file, per-file time-outs).
#include "wysd_client.h"

using namespace wysdtest;
using wytest::pattern;
using wytest::read_file;
using wytest::write_file;

namespace {

class WysdFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    WYSD_REQUIRE_SERVER();
    ASSERT_NO_FATAL_FAILURE(s.start());
    ASSERT_TRUE(c.open_session(s.port())) << s.srv.log();
  }
  Site s;
  Conn c;
};

TEST_F(WysdFiles, OpenFlags) {
  write_file(s.in_root("old"), "0123456789");
  // Read-only: missing is "File not found.", existing reads.
  Reply r = c.open("missing", kOpenRead);
  EXPECT_EQ(r.eno, kNoFile) << r.what();
  EXPECT_EQ(r.estr, "File not found.");
  EXPECT_FALSE(fs::exists(s.in_root("missing")));
  uint64_t fd = c.open_fd("old", kOpenRead);
  ASSERT_NE(fd, 0u);
  EXPECT_EQ(c.read(fd, 100).data, "0123456789");
  // Writing to a read-only descriptor fails and changes nothing.
  r = c.write(fd, "zz");
  EXPECT_NE(r.eno, 0) << r.what();
  EXPECT_TRUE(c.close_fd(fd).ok());
  EXPECT_EQ(read_file(s.in_root("old")), "0123456789");

  // Write without create: missing fails; existing is overwritten in place.
  r = c.open("missing", kFlWrite);
  EXPECT_NE(r.eno, 0);
  EXPECT_FALSE(fs::exists(s.in_root("missing")));
  fd = c.open_fd("old", kFlWrite);
  ASSERT_NE(fd, 0u);
  EXPECT_EQ(c.write(fd, "ab").i32("len"), 2);
  EXPECT_TRUE(c.close_fd(fd).ok());
  EXPECT_EQ(read_file(s.in_root("old")), "ab23456789");

  // Write, create, truncate: a fresh file, an existing one emptied. A
  // missing parent is made.
  fd = c.open_fd("new/deeper/file", kOpenWrite);
  ASSERT_NE(fd, 0u);
  EXPECT_TRUE(c.write(fd, "hello").ok());
  EXPECT_TRUE(c.close_fd(fd).ok());
  EXPECT_EQ(read_file(s.in_root("new/deeper/file")), "hello");
  fd = c.open_fd("old", kOpenWrite);
  ASSERT_NE(fd, 0u);
  EXPECT_TRUE(c.close_fd(fd).ok());
  EXPECT_EQ(fs::file_size(s.in_root("old")), 0u);

  // Read and write, create; then append.
  fd = c.open_fd("rw", kFlRdwr | kFlCreate);
  ASSERT_NE(fd, 0u);
  EXPECT_TRUE(c.write(fd, "abcdef").ok());
  EXPECT_EQ(c.pread(fd, 3, 2).data, "cde");
  EXPECT_TRUE(c.close_fd(fd).ok());
  fd = c.open_fd("rw", kFlWrite | kFlAppend);
  ASSERT_NE(fd, 0u);
  EXPECT_TRUE(c.write(fd, "XY").ok());
  EXPECT_TRUE(c.close_fd(fd).ok());
  EXPECT_EQ(read_file(s.in_root("rw")), "abcdefXY");

  // A directory is no file to write.
  fs::create_directories(s.in_root("adir"));
  r = c.open("adir", kOpenWrite);
  EXPECT_NE(r.eno, 0) << r.what();
}

TEST_F(WysdFiles, DescriptorsAreDistinctAndDieAtClose) {
  write_file(s.in_root("a"), "AAAA");
  write_file(s.in_root("b"), "BBBB");
  uint64_t fa = c.open_fd("a", kOpenRead), fb = c.open_fd("b", kOpenRead);
  ASSERT_NE(fa, 0u);
  ASSERT_NE(fb, 0u);
  EXPECT_NE(fa, fb);
  EXPECT_EQ(c.read(fa, 2).data, "AA");
  EXPECT_EQ(c.read(fb, 2).data, "BB");
  EXPECT_EQ(c.read(fa, 10).data, "AA");  // each keeps its own position
  EXPECT_TRUE(c.close_fd(fa).ok());
  EXPECT_NE(c.close_fd(fa).eno, 0);
  EXPECT_NE(c.read(fa, 1).eno, 0);
  EXPECT_NE(c.write(fa, "x").eno, 0);
  EXPECT_NE(c.seek(fa, 0).eno, 0);
  EXPECT_EQ(c.read(fb, 10).data, "BB");
  // Another connection cannot use this connection's descriptors.
  Conn other;
  ASSERT_TRUE(other.open_session(s.port()));
  Reply r = other.read(fb, 1);
  EXPECT_NE(r.eno, 0) << r.what();
  EXPECT_TRUE(c.close_fd(fb).ok());
}

TEST_F(WysdFiles, ReadWritePositionsAndSeekInBothPackings) {
  for (const char* pack : {"none", "lz4"}) {
    SCOPED_TRACE(pack);
    ASSERT_TRUE(c.set_pack(pack));
    std::string name = std::string("data_") + pack;
    // Random data (does not pack) and repetitive data (packs well), large
    // and small, through write and pwrite.
    std::string rnd = pattern(700000, 7);
    std::string rep(300000, 'q');
    uint64_t fd = c.open_fd(name, kOpenWrite);
    ASSERT_NE(fd, 0u);
    Reply r = c.write(fd, rnd);
    ASSERT_TRUE(r.ok()) << r.what();
    EXPECT_EQ(r.i32("len"), static_cast<int32_t>(rnd.size()));
    r = c.write(fd, rep);
    EXPECT_EQ(r.i32("len"), static_cast<int32_t>(rep.size()));
    r = c.pwrite(fd, "PATCH", 10);
    EXPECT_EQ(r.i32("len"), 5);
    // A write of nothing writes nothing.
    r = c.write(fd, "");
    EXPECT_TRUE(r.ok()) << r.what();
    EXPECT_EQ(r.i32("len"), 0);
    // pwrite past the end leaves a hole.
    r = c.pwrite(fd, "end", 1200000);
    EXPECT_EQ(r.i32("len"), 3);
    EXPECT_TRUE(c.close_fd(fd).ok());

    std::string want = rnd + rep;
    want.replace(10, 5, "PATCH");
    want.resize(1200000, '\0');
    want += "end";
    EXPECT_EQ(read_file(s.in_root(name)) == want, true);

    fd = c.open_fd(name, kOpenRead);
    ASSERT_NE(fd, 0u);
    r = c.read(fd, 1000000);
    ASSERT_TRUE(r.ok()) << r.what();
    EXPECT_EQ(r.i32("len"), 1000000);
    EXPECT_TRUE(r.data == want.substr(0, 1000000));
    r = c.read(fd, 1000000);  // short: the rest
    EXPECT_TRUE(r.data == want.substr(1000000));
    r = c.read(fd, 100);  // at the end
    EXPECT_TRUE(r.ok()) << r.what();
    EXPECT_EQ(r.data, "");
    r = c.pread(fd, 8, 8);
    EXPECT_EQ(r.data, want.substr(8, 8));
    r = c.pread(fd, 10, 5000000);  // past the end
    EXPECT_TRUE(r.ok()) << r.what();
    EXPECT_EQ(r.data, "");
    r = c.seek(fd, 700000);
    EXPECT_EQ(r.u64("offset"), 700000u);
    EXPECT_EQ(c.read(fd, 5).data, "qqqqq");
    r = c.seek(fd, 0);
    EXPECT_EQ(r.u64("offset"), 0u);
    EXPECT_EQ(c.read(fd, 15).data, want.substr(0, 15));
    EXPECT_TRUE(c.close_fd(fd).ok());
  }
}

TEST_F(WysdFiles, PackControlNamesOnlyKnownCodecs) {
  Reply r = c.ioctl(0, kIoPack, "zstd-fancy");
  EXPECT_NE(r.eno, 0) << r.what();
  // The connection goes on with the codec it had.
  uint64_t fd = c.open_fd("p", kOpenWrite);
  ASSERT_NE(fd, 0u);
  EXPECT_TRUE(c.write(fd, "plain").ok());
  EXPECT_TRUE(c.close_fd(fd).ok());
  EXPECT_EQ(read_file(s.in_root("p")), "plain");
}

TEST_F(WysdFiles, MkdirsMakesEveryMissingParent) {
  Reply r = c.ioctl(0, kIoMkdirs, "a/b/c/d");
  EXPECT_TRUE(r.ok()) << r.what();
  EXPECT_TRUE(fs::is_directory(s.in_root("a/b/c/d")));
  r = c.ioctl(0, kIoMkdirs, "/a/b/c/d");  // exists already; a leading separator means the root
  EXPECT_TRUE(r.ok()) << r.what();
  r = c.ioctl(0, kIoMkdirs, "\\w\\x");
  EXPECT_TRUE(r.ok()) << r.what();
  EXPECT_TRUE(fs::is_directory(s.in_root("w/x")));
  write_file(s.in_root("plainfile"), "x");
  r = c.ioctl(0, kIoMkdirs, "plainfile/sub");
  EXPECT_NE(r.eno, 0) << r.what();
}

TEST_F(WysdFiles, PathTimesSetAccessAndWriteTimes) {
  fs::create_directories(s.in_root("d/e"));
  write_file(s.in_root("d/f"), "x");
  Reply r = c.ioctl(0, kIoPathTimes, "d/e\t1400000000\t1500000000\t1300000000\t0\t0\t0");
  EXPECT_TRUE(r.ok()) << r.what();
  struct stat st = wytest::lstat_of(s.in_root("d/e"));
  EXPECT_EQ(st.st_mtime, 1500000000);
  EXPECT_EQ(st.st_atime, 1400000000);
  r = c.ioctl(0, kIoPathTimes, "/d/f\t1400000001\t1500000001\t0\t0\t250000000\t0");
  EXPECT_TRUE(r.ok()) << r.what();
  st = wytest::lstat_of(s.in_root("d/f"));
  EXPECT_EQ(st.st_mtime, 1500000001);
  EXPECT_EQ(st.st_mtim.tv_nsec, 250000000);
  EXPECT_EQ(st.st_atime, 1400000001);
  r = c.ioctl(0, kIoPathTimes, "nothere\t1\t1\t1\t0\t0\t0");
  EXPECT_EQ(r.eno, kNoFile) << r.what();
  r = c.ioctl(0, kIoPathTimes, "d/e");  // no times
  EXPECT_NE(r.eno, 0) << r.what();
}

TEST_F(WysdFiles, FileStatIsAppliedToTheOpenFile) {
  uint64_t fd = c.open_fd("st", kOpenWrite);
  ASSERT_NE(fd, 0u);
  EXPECT_TRUE(c.write(fd, "contents").ok());
  char text[256];
  snprintf(text, sizeof text, "%d\t%x\t%x\t%llx\t%llx\t%llx\t%u\t%u", 2, 0x20, 0640, 0x50000000ULL, 0x5A000000ULL,
           0x5B000000ULL, getuid(), getgid());
  Reply r = c.ioctl(fd, kIoFileStat, text);
  EXPECT_TRUE(r.ok()) << r.what();
  EXPECT_TRUE(c.close_fd(fd).ok());
  struct stat st = wytest::lstat_of(s.in_root("st"));
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(st.st_mtime, 0x5A000000);
  EXPECT_EQ(st.st_atime, 0x5B000000);
  EXPECT_EQ(read_file(s.in_root("st")), "contents");
  // Another mode on the same file, read-only descriptor: still the file's own.
  fd = c.open_fd("st", kOpenRead);
  ASSERT_NE(fd, 0u);
  snprintf(text, sizeof text, "%d\t%x\t%x\t%llx\t%llx\t%llx\t%u\t%u", 2, 0x20, 0604, 0ULL, 0x5A000100ULL,
           0x5A000100ULL, getuid(), getgid());
  r = c.ioctl(fd, kIoFileStat, text);
  EXPECT_TRUE(r.ok()) << r.what();
  EXPECT_TRUE(c.close_fd(fd).ok());
  st = wytest::lstat_of(s.in_root("st"));
  EXPECT_EQ(st.st_mode & 07777, 0604u);
  EXPECT_EQ(st.st_mtime, 0x5A000100);
  // On no file, or with a short text: an error.
  r = c.ioctl(987654, kIoFileStat, text);
  EXPECT_NE(r.eno, 0) << r.what();
  fd = c.open_fd("st", kOpenRead);
  r = c.ioctl(fd, kIoFileStat, "2\t20");
  EXPECT_NE(r.eno, 0) << r.what();
  c.close_fd(fd);
}

TEST_F(WysdFiles, PerFileTimeoutsAreAccepted) {
  write_file(s.in_root("t"), "abc");
  uint64_t fd = c.open_fd("t", kOpenRead);
  ASSERT_NE(fd, 0u);
  EXPECT_TRUE(c.ioctl(fd, kIoReadTimeout, "9000").ok());
  EXPECT_TRUE(c.ioctl(fd, kIoWriteTimeout, "7000").ok());
  EXPECT_EQ(c.read(fd, 3).data, "abc");
  EXPECT_TRUE(c.close_fd(fd).ok());
}

}  // namespace
