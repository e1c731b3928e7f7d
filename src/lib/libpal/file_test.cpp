// The file object: devices, local files on a real temporary directory,
// positional and vector I/O, ioctl commands, drivers.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "pal_err.h"
#include "pal_file.h"
#include "wytest.h"

namespace {

using wytest::read_file;
using wytest::TempDir;
using wytest::write_file;

os_file_uptr open_f(const std::string& p, uint64_t flags) { return os_file_uptr(os_file_open(p.c_str(), flags)); }

TEST(FileClean, TrimsBlanksQuotesAndUrlPrefix) {
  EXPECT_EQ(os_file_clean_path("  \"/tmp/a b\"  "), "/tmp/a b");
  EXPECT_EQ(os_file_clean_path(" \" \"/x\" \" "), "/x");
  EXPECT_EQ(os_file_clean_path("file:///tmp/x"), "/tmp/x");
  EXPECT_EQ(os_file_clean_path("dir\\name"), "dir\\name");  // a name character here
  EXPECT_EQ(os_file_clean_path("\""), "\"");
}

// Blanks and quotes are name characters: "x " and "\"q\"" are other files
// than "x" and "q", and opening one never touches the other.
TEST(FileOpen, NamesAreUsedVerbatim) {
  TempDir t;
  for (const char* name : {"x", "x ", " x", "\"q\"", "q"}) {
    auto f = open_f(t / name, OS_FILE_WRITE | OS_FILE_CREATE | OS_FILE_TRUNC);
    ASSERT_TRUE(f) << name;
    EXPECT_EQ(os_file_write(f.get(), name, strlen(name)), (int64_t)strlen(name));
  }
  for (const char* name : {"x", "x ", " x", "\"q\"", "q"}) {
    auto f = open_f(t / name, OS_FILE_READ);
    ASSERT_TRUE(f) << name;
    char b[8] = {};
    EXPECT_EQ(os_file_read(f.get(), b, sizeof b), (int64_t)strlen(name));
    EXPECT_STREQ(b, name);
  }
  EXPECT_EQ(open_f(t / "missing ", OS_FILE_READ), nullptr);
}

TEST(FileDevice, NullZeroRandomAndCommonSet) {
  auto n = open_f("/dev/null", OS_FILE_WRITE);
  ASSERT_TRUE(n);
  EXPECT_STREQ(n->ops->name(), "null");
  EXPECT_EQ(os_file_write(n.get(), "abc", 3), 3);
  EXPECT_EQ(os_file_pwrite(n.get(), "abcd", 4, 1000), 4);
  EXPECT_EQ(os_file_fsync(n.get()), 0);
  EXPECT_EQ(os_file_seek(n.get(), 10, SEEK_SET), 0);
  EXPECT_EQ(os_file_size(n.get()), 0);
  EXPECT_EQ(os_file_ioctl(n.get(), OS_IOCTL_INFO, nullptr), 0);
  char b[16];
  EXPECT_EQ(os_file_read(n.get(), b, sizeof b), -1);  // no read side

  auto z = open_f("\\dev\\zero", OS_FILE_READ);
  ASSERT_TRUE(z);
  EXPECT_STREQ(z->ops->name(), "zero");
  memset(b, 0x5a, sizeof b);
  EXPECT_EQ(os_file_pread(z.get(), b, sizeof b, 77), 16);
  for (char c : b) EXPECT_EQ(c, 0);
  EXPECT_EQ(os_file_write(z.get(), "x", 1), -1);
  EXPECT_EQ(os_file_fsync(z.get()), -1);  // zero has no sync slot

  auto r = open_f("/dev/random", OS_FILE_READ);
  ASSERT_TRUE(r);
  std::vector<unsigned char> rb(4096, 0);
  EXPECT_EQ(os_file_read(r.get(), rb.data(), rb.size()), 4096);
  size_t nonzero = 0;
  for (unsigned char c : rb) nonzero += c != 0;
  EXPECT_GT(nonzero, 3000u);

  for (const char* k : {"/dev/stdin", "/dev/stdout", "/dev/stderr"}) {
    auto d = open_f(k, OS_FILE_READ);
    ASSERT_TRUE(d) << k;
    EXPECT_STREQ(d->ops->name(), k + 5);
  }
  auto in = open_f("/dev/stdin", OS_FILE_READ);
  EXPECT_EQ(os_file_read(in.get(), b, 0), 0);
  auto out = open_f("/dev/stdout", OS_FILE_WRITE);
  EXPECT_EQ(os_file_read(out.get(), b, 1), -1);
}

TEST(FileDevice, UnknownDevNameIsLocalFile) {
  // /dev/full is no built-in kind: it opens as a local character device.
  auto f = open_f("/dev/full", OS_FILE_WRITE);
  ASSERT_TRUE(f);
  EXPECT_STREQ(f->ops->name(), "file");
  errno = 0;
  EXPECT_EQ(os_file_write(f.get(), "x", 1), -1);
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_EQ(os_verr_get(errno), -152);
}

TEST(FileLocal, ReadWriteOffsetsAndPositional) {
  TempDir t;
  std::string p = t / "f";
  auto f = open_f(p, OS_FILE_RDWR | OS_FILE_CREATE);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->path, p);
  EXPECT_EQ(os_file_write(f.get(), "hello world", 11), 11);
  EXPECT_EQ(os_file_offset(f.get()), 11);
  char b[32] = {};
  EXPECT_EQ(os_file_read(f.get(), b, sizeof b), 0);  // at the end
  EXPECT_EQ(os_file_read(f.get(), b, 0), 0);
  EXPECT_EQ(os_file_pread(f.get(), b, 5, 6), 5);
  EXPECT_EQ(std::string(b, 5), "world");
  EXPECT_EQ(os_file_offset(f.get()), 11);  // pread leaves the offset
  EXPECT_EQ(os_file_pread(f.get(), b, 4, 11), 0);
  EXPECT_EQ(os_file_pread(f.get(), b, 4, 1 << 20), 0);
  EXPECT_EQ(os_file_pread(f.get(), b, 8, 8), 3);  // short at the end

  // A write past the end leaves a hole of zeros.
  EXPECT_EQ(os_file_pwrite(f.get(), "Z", 1, 20), 1);
  EXPECT_EQ(os_file_size(f.get()), 21);
  EXPECT_EQ(os_file_offset(f.get()), 11);
  EXPECT_EQ(read_file(p), std::string("hello world") + std::string(9, '\0') + "Z");

  EXPECT_EQ(os_file_seek(f.get(), -1, SEEK_END), 20);
  EXPECT_EQ(os_file_seek(f.get(), -5, SEEK_CUR), 15);
  EXPECT_EQ(os_file_seek(f.get(), -16, SEEK_CUR), -1);
  EXPECT_EQ(os_file_seek(f.get(), 0, SEEK_SET), 0);
  EXPECT_EQ(os_file_read(f.get(), b, 5), 5);
  EXPECT_EQ(os_file_offset(f.get()), 5);

  EXPECT_EQ(os_file_truncate(f.get(), 3), 0);
  EXPECT_EQ(os_file_size(f.get()), 3);
  EXPECT_EQ(os_file_offset(f.get()), 3);
  EXPECT_EQ(os_file_fsync(f.get()), 0);
}

TEST(FileLocal, OpenFlagsMapOntoPosix) {
  TempDir t;
  std::string p = t / "a";
  errno = 0;
  EXPECT_FALSE(open_f(p, OS_FILE_WRITE));  // no create
  EXPECT_EQ(os_verr_get(errno), -102);
  write_file(p, "0123456789");

  {  // append positions at the end
    auto f = open_f(p, 0x1A);
    ASSERT_TRUE(f);
    EXPECT_EQ(os_file_offset(f.get()), 10);
    EXPECT_EQ(os_file_write(f.get(), "ab", 2), 2);
  }
  EXPECT_EQ(read_file(p), "0123456789ab");
  {  // read access never truncates, whatever the flags say
    auto f = open_f(p, OS_FILE_READ | OS_FILE_TRUNC);
    ASSERT_TRUE(f);
    EXPECT_EQ(os_file_write(f.get(), "x", 1), -1);
  }
  EXPECT_EQ(read_file(p), "0123456789ab");
  {  // the copy engine's destination flags: write, create, truncate
    auto f = open_f(p, 0x2A);
    ASSERT_TRUE(f);
    EXPECT_EQ(os_file_size(f.get()), 0);
    char c;
    EXPECT_EQ(os_file_read(f.get(), &c, 1), -1);  // write only
  }
  {  // truncate without create on an existing file; direct and hints accepted
    write_file(p, "abc");
    auto f = open_f(p, OS_FILE_WRITE | OS_FILE_TRUNC | OS_FILE_DIRECT | OS_FILE_RANDOM | 0x780);
    ASSERT_TRUE(f);
    EXPECT_EQ(os_file_write(f.get(), "q", 1), 1);
  }
  EXPECT_EQ(read_file(p), "q");
  {  // the copy engine's source flags: read, share all, sequential
    auto f = open_f(p, 0x1081);
    ASSERT_TRUE(f);
    char c = 0;
    EXPECT_EQ(os_file_read(f.get(), &c, 1), 1);
    EXPECT_EQ(c, 'q');
  }
  errno = 0;
  EXPECT_FALSE(open_f(p, OS_FILE_READ | OS_FILE_SHADOW));
  EXPECT_EQ(errno, ENOTSUP);
  EXPECT_STREQ(verr2str(os_verr_get(errno)), "Not supported.");
}

TEST(FileLocal, CreateInMissingDirectoryFailsOnceThenSucceeds) {
  TempDir t;
  std::string p = t / "x/y/z/f";
  errno = 0;
  EXPECT_FALSE(open_f(p, 0x2A));
  EXPECT_EQ(errno, ENOENT);
  struct stat sb;
  EXPECT_EQ(stat((t / "x/y/z").c_str(), &sb), 0);
  EXPECT_TRUE(open_f(p, 0x2A));
}

TEST(FileLocal, VectorForms) {
  TempDir t;
  auto f = open_f(t / "v", OS_FILE_RDWR | OS_FILE_CREATE);
  ASSERT_TRUE(f);
  char a[] = "abc", b[] = "defg", c[] = "never";
  os_iovec w[] = {{a, 3}, {b, 4}, {nullptr, 0}, {c, 5}};  // the empty entry ends the list
  EXPECT_EQ(os_file_writv(f.get(), w, 4, 0), 7);
  EXPECT_EQ(os_file_offset(f.get()), 7);  // at the offset already: advanced, not moved back

  char r1[2], r2[10];
  os_iovec r[] = {{r1, 2}, {r2, 10}};
  EXPECT_EQ(os_file_readv(f.get(), r, 2, 1), 6);  // the second entry is short
  EXPECT_EQ(std::string(r1, 2), "bc");
  EXPECT_EQ(std::string(r2, 4), "defg");
  EXPECT_EQ(os_file_offset(f.get()), 7);  // moved back

  os_iovec pw[] = {{a, 3}};
  EXPECT_EQ(os_file_pwritv(f.get(), pw, 1, 10), 3);
  char p1[3], p2[3];
  os_iovec pr[] = {{p1, 3}, {p2, 3}};
  EXPECT_EQ(os_file_preadv(f.get(), pr, 2, 4), 6);
  EXPECT_EQ(std::string(p1, 3), "efg");
  EXPECT_EQ(std::string(p2, 3), std::string("\0\0\0", 3));
  EXPECT_EQ(os_file_offset(f.get()), 7);

  auto ro = open_f(t / "v", OS_FILE_READ);
  EXPECT_EQ(os_file_writv(ro.get(), w, 2, 0), -1);  // the first entry fails: the whole call fails
}

TEST(FileLocal, IoctlInfoErrorClassStatTimesAttrib) {
  TempDir t;
  std::string p = t / "s";
  write_file(p, "12345");
  auto f = open_f(p, OS_FILE_RDWR);
  ASSERT_TRUE(f);
  os_file_info info;
  ASSERT_NE(os_file_ioctl(f.get(), OS_IOCTL_INFO, &info), 0);
  EXPECT_EQ(info.kind, OS_PATH_FILE);
  EXPECT_EQ(info.size, 5);
  EXPECT_EQ(info.sector_size, 512u);
  EXPECT_NE(info.fs_name[0], '\0');

  uint64_t cls = 99;
  errno = ENOENT;
  EXPECT_NE(os_file_ioctl(f.get(), OS_IOCTL_ERR_CLASS, &cls), 0);
  EXPECT_EQ(cls, 2u);
  errno = EIO;
  os_file_ioctl(f.get(), OS_IOCTL_ERR_CLASS, &cls);
  EXPECT_EQ(cls, 1u);
  errno = EACCES;
  os_file_ioctl(f.get(), OS_IOCTL_ERR_CLASS, &cls);
  EXPECT_EQ(cls, 3u);
  errno = 0;
  os_file_ioctl(f.get(), OS_IOCTL_ERR_CLASS, &cls);
  EXPECT_EQ(cls, 0u);

  os_stat_t st;
  ASSERT_NE(os_file_ioctl(f.get(), OS_IOCTL_STAT, &st), 0);
  EXPECT_EQ(st.size, 5u);
  EXPECT_EQ(st.nlink, 1u);
  EXPECT_TRUE(S_ISREG(st.mode));
  EXPECT_EQ(st.attrib, (uint32_t)OS_ATTR_ARCHIVE);

  os_file_times tm;
  tm.atime = {1500000000, 123456789};
  tm.mtime = {1600000000, 5};
  ASSERT_NE(os_file_ioctl(f.get(), OS_IOCTL_SET_TIMES, &tm), 0);
  struct stat sb;
  ASSERT_EQ(stat(p.c_str(), &sb), 0);
  EXPECT_EQ(sb.st_atim.tv_sec, 1500000000);
  EXPECT_EQ(sb.st_atim.tv_nsec, 123456789);
  EXPECT_EQ(sb.st_mtim.tv_sec, 1600000000);
  // 0 seconds leaves a time unchanged.
  os_file_times only_a;
  only_a.atime = {1400000000, 0};
  ASSERT_NE(os_file_ioctl(f.get(), OS_IOCTL_SET_TIMES, &only_a), 0);
  ASSERT_EQ(stat(p.c_str(), &sb), 0);
  EXPECT_EQ(sb.st_atim.tv_sec, 1400000000);
  EXPECT_EQ(sb.st_mtim.tv_sec, 1600000000);
  EXPECT_EQ(sb.st_mtim.tv_nsec, 5);

  uint32_t ro = OS_ATTR_READONLY | OS_ATTR_ARCHIVE;
  ASSERT_NE(os_file_ioctl(f.get(), OS_IOCTL_SET_ATTRIB, &ro), 0);
  ASSERT_EQ(stat(p.c_str(), &sb), 0);
  EXPECT_EQ(sb.st_mode & 0222, 0u);
  ASSERT_NE(os_file_ioctl(f.get(), OS_IOCTL_STAT, &st), 0);
  EXPECT_EQ(st.attrib, (uint32_t)(OS_ATTR_ARCHIVE | OS_ATTR_READONLY));
  uint32_t rw = OS_ATTR_ARCHIVE;
  ASSERT_NE(os_file_ioctl(f.get(), OS_IOCTL_SET_ATTRIB, &rw), 0);
  ASSERT_EQ(stat(p.c_str(), &sb), 0);
  EXPECT_NE(sb.st_mode & S_IWUSR, 0u);

  uint32_t ms = 1234;
  EXPECT_NE(os_file_ioctl(f.get(), OS_IOCTL_RD_TIMEOUT, &ms), 0);
  EXPECT_NE(os_file_ioctl(f.get(), OS_IOCTL_WR_TIMEOUT, &ms), 0);
  errno = 0;
  EXPECT_EQ(os_file_ioctl(f.get(), OS_IOCTL_XATTR, (void*)"user.x"), 0);
  EXPECT_EQ(errno, ENOTSUP);
  EXPECT_EQ(os_file_ioctl(f.get(), 99, &ms), 0);
}

TEST(FileLocal, LockConflictsBetweenDescriptorsAndProcesses) {
  TempDir t;
  std::string p = t / "l";
  write_file(p, std::string(100, 'x'));
  auto a = open_f(p, OS_FILE_RDWR);
  auto b = open_f(p, OS_FILE_RDWR);
  ASSERT_TRUE(a && b);
  os_file_lock lk;
  lk.offset = 10;
  lk.len = 20;
  ASSERT_NE(os_file_ioctl(a.get(), OS_IOCTL_LOCK, &lk), 0);
  os_file_lock other = lk;
  other.offset = 25;  // overlaps
  EXPECT_EQ(os_file_ioctl(b.get(), OS_IOCTL_LOCK, &other), 0);
  other.offset = 30;  // right after the locked range
  os_file_lock after = other;
  EXPECT_NE(os_file_ioctl(b.get(), OS_IOCTL_LOCK, &after), 0);

  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    os_file2* c = os_file_open(p.c_str(), OS_FILE_RDWR);
    os_file_lock probe;
    probe.offset = 15;
    probe.len = 1;
    int locked = c ? os_file_ioctl(c, OS_IOCTL_LOCK, &probe) : 1;
    _exit(locked ? 1 : 0);  // 0: the parent's lock held
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  os_file_lock un = lk;
  un.lock = 0;
  ASSERT_NE(os_file_ioctl(a.get(), OS_IOCTL_LOCK, &un), 0);
  other.offset = 25;
  EXPECT_NE(os_file_ioctl(b.get(), OS_IOCTL_LOCK, &other), 0);
}

TEST(FileLocal, FifoReadTimesOutAsDeviceError) {
  TempDir t;
  std::string p = t / "fifo";
  ASSERT_EQ(mkfifo(p.c_str(), 0600), 0);
  auto f = open_f(p, OS_FILE_RDWR);  // read-write: the open does not wait for a peer
  ASSERT_TRUE(f);
  uint32_t ms = 30;
  ASSERT_NE(os_file_ioctl(f.get(), OS_IOCTL_RD_TIMEOUT, &ms), 0);
  char c;
  errno = 0;
  EXPECT_EQ(os_file_read(f.get(), &c, 1), -1);
  EXPECT_EQ(errno, EIO);
  uint64_t cls = 0;
  os_file_ioctl(f.get(), OS_IOCTL_ERR_CLASS, &cls);
  EXPECT_EQ(cls, 1u);
  EXPECT_EQ(os_file_write(f.get(), "ab", 2), 2);
  char b[4];
  EXPECT_EQ(os_file_read(f.get(), b, sizeof b), 2);
}

TEST(FileLocal, DirectoryAndDeleteOnClose) {
  TempDir t;
  auto d = open_f(t.path(), OS_FILE_READ);
  ASSERT_TRUE(d);
  os_file_info info;
  ASSERT_NE(os_file_ioctl(d.get(), OS_IOCTL_INFO, &info), 0);
  EXPECT_EQ(info.kind, OS_PATH_DIR);
  errno = 0;
  EXPECT_FALSE(open_f(t.path(), 0x2A));  // the copy engine's destination flags
  EXPECT_EQ(os_verr_get(errno), -38);

  std::string p = t / "gone";
  os_file2* f = os_file_open(p.c_str(), 0x2A);
  ASSERT_NE(f, nullptr);
  f->delete_on_close = 1;
  EXPECT_EQ(os_file_close(f), 0);
  EXPECT_FALSE(os_path_exists(p.c_str()));
}

// A driver that owns "mem:" paths and only reads.
class mem_ops : public os_file_ops {
 public:
  const char* name() const override { return "mem"; }
  int exit() override { return 0; }
  int64_t read(void* buf, size_t size) override {
    size_t n = size < 3 ? size : 3;
    memcpy(buf, "mem", n);
    return (int64_t)n;
  }
};
class mem_drv : public os_file_drv {
 public:
  const char* name() const override { return "mem"; }
  bool probe(const char* path) const override { return strncmp(path, "mem:", 4) == 0; }
  std::unique_ptr<os_file_ops> init(const char*, uint64_t) const override { return std::make_unique<mem_ops>(); }
};

TEST(FileDriver, RegisteredDriverIsAskedFirstAndEmptySlotsFail) {
  mem_drv d;
  mem_drv extra[4];
  ASSERT_EQ(os_file_register_driver(&d), 0);
  auto f = open_f("mem:anything", OS_FILE_READ);
  ASSERT_TRUE(f);
  EXPECT_STREQ(f->ops->name(), "mem");
  char b[8];
  EXPECT_EQ(os_file_read(f.get(), b, sizeof b), 3);
  EXPECT_EQ(os_file_write(f.get(), "x", 1), -1);
  EXPECT_EQ(os_file_seek(f.get(), 0, SEEK_SET), -1);
  EXPECT_EQ(os_file_ioctl(f.get(), OS_IOCTL_INFO, nullptr), 0);

  int registered = 0;
  for (auto& e : extra) registered += os_file_register_driver(&e) == 0;
  EXPECT_EQ(registered, 3);  // four at most
  EXPECT_EQ(os_file_unregister_driver(&d), 0);
  EXPECT_EQ(os_file_unregister_driver(&d), -1);
  for (auto& e : extra) os_file_unregister_driver(&e);
  EXPECT_FALSE(open_f("mem:anything", OS_FILE_READ));  // now a missing local file
}

}  // namespace
