// The buffered stream layer: modes, share codes, buffering, the flush of
// every stream, and the calls the log file relies on.
#include <gtest/gtest.h>
#include <cerrno>
#include <thread>
#include <vector>

#include "pal_wyfile.h"
#include "wytest.h"

namespace {

using wytest::read_file;
using wytest::TempDir;
using wytest::write_file;

wyfile_uptr open_s(const std::string& p, const char* mode, int share = WY_SH_DENYNO) {
  return wyfile_uptr(wyfile_fsopen(p.c_str(), mode, share));
}

TEST(Wyfile, ModeAndShareCodes) {
  TempDir t;
  std::string p = t / "m";
  errno = 0;
  EXPECT_FALSE(open_s(p, "x"));
  EXPECT_EQ(errno, EINVAL);
  EXPECT_FALSE(os_path_exists(p.c_str()));
  EXPECT_FALSE(open_s(p, "w", 17));
  EXPECT_FALSE(open_s(p, "r"));  // missing file
  for (int share : {16, 32, 48, 64, 128}) {
    auto f = open_s(p, "w", share);
    EXPECT_TRUE(f) << share;
  }
  EXPECT_TRUE(open_s(p, "r", WY_SH_SECURE));
  // Text is the default, "b" and "t" are accepted, and anything after an
  // unknown character is ignored.
  EXPECT_TRUE(open_s(p, "wbz+"));
  auto f = open_s(p, "wt");
  ASSERT_TRUE(f);
  char c;
  EXPECT_EQ(wyfile_read(f.get(), &c, 1), -1);  // "w" without "+" cannot read
  auto r = open_s(p, "rb");
  ASSERT_TRUE(r);
  EXPECT_EQ(wyfile_write(r.get(), "x", 1), -1);
}

TEST(Wyfile, WriteTruncatesAppendAppendsTextKeepsBytes) {
  TempDir t;
  std::string p = t / "w";
  write_file(p, "old contents");
  {
    auto f = open_s(p, "w");
    ASSERT_TRUE(f);
    EXPECT_EQ(wyfile_puts(f.get(), "line1\r\nline2\n"), 13);
  }
  EXPECT_EQ(read_file(p), "line1\r\nline2\n");  // no line-end translation
  {
    auto f = open_s(p, "a");
    ASSERT_TRUE(f);
    EXPECT_EQ(wyfile_printf(f.get(), "%s=%d\n", "n", 42), 5);
    // Another writer grows the file meanwhile: appends still land at the end.
    FILE* o = fopen(p.c_str(), "a");
    ASSERT_NE(o, nullptr);
    fputs("X", o);
    fclose(o);
    EXPECT_EQ(wyfile_puts(f.get(), "end"), 3);
  }
  EXPECT_EQ(read_file(p), "line1\r\nline2\nXn=42\nend");

  auto r = open_s(p, "rt");
  ASSERT_TRUE(r);
  std::string line;
  std::vector<std::string> lines;
  while (wyfile_gets(r.get(), &line) == 1) lines.push_back(line);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "line1\r");
  EXPECT_EQ(lines[2], "Xn=42");
  EXPECT_EQ(lines[3], "end");
}

TEST(Wyfile, BufferedUntilFlushLineBufferingFlushesWholeLines) {
  TempDir t;
  std::string p = t / "b";
  auto f = open_s(p, "w");
  ASSERT_TRUE(f);
  wyfile_puts(f.get(), "abc\n");
  EXPECT_EQ(read_file(p), "");  // still in the buffer
  EXPECT_EQ(wyfile_flush(f.get()), 0);
  EXPECT_EQ(read_file(p), "abc\n");

  ASSERT_EQ(wyfile_set_linebuf(f.get(), true), 0);
  wyfile_puts(f.get(), "one\ntwo\nthr");
  EXPECT_EQ(read_file(p), "abc\none\ntwo\n");
  wyfile_puts(f.get(), "ee");
  EXPECT_EQ(read_file(p), "abc\none\ntwo\n");
  wyfile_puts(f.get(), "\n");
  EXPECT_EQ(read_file(p), "abc\none\ntwo\nthree\n");
}

TEST(Wyfile, FlushOfEveryStreamReachesOnlyWriters) {
  TempDir t;
  auto a = open_s(t / "a", "w");
  auto b = open_s(t / "b", "a+");
  write_file(t / "c", "c");
  auto c = open_s(t / "c", "r");
  ASSERT_TRUE(a && b && c);
  wyfile_puts(a.get(), "AAA");
  wyfile_puts(b.get(), "BBB");
  char x;
  EXPECT_EQ(wyfile_read(c.get(), &x, 1), 1);
  EXPECT_EQ(read_file(t / "a"), "");
  EXPECT_EQ(wyfile_flush(nullptr), 0);
  EXPECT_EQ(read_file(t / "a"), "AAA");
  EXPECT_EQ(read_file(t / "b"), "BBB");
  a.reset();  // a closed stream leaves the list
  wyfile_puts(b.get(), "b");
  EXPECT_EQ(wyfile_flush(nullptr), 0);
  EXPECT_EQ(read_file(t / "b"), "BBBb");
}

TEST(Wyfile, ReadWriteSeekTellSizeAndLargeData) {
  TempDir t;
  std::string p = t / "rw";
  auto f = open_s(p, "w+b");
  ASSERT_TRUE(f);
  std::string big(WYFILE_BUF_SIZE * 2 + 123, '\0');
  for (size_t i = 0; i < big.size(); i++) big[i] = (char)(i * 7 + 1);
  EXPECT_EQ(wyfile_write(f.get(), big.data(), big.size()), (int64_t)big.size());
  EXPECT_EQ(wyfile_tell(f.get()), (int64_t)big.size());
  EXPECT_EQ(wyfile_size(f.get()), (int64_t)big.size());
  EXPECT_EQ(wyfile_seek(f.get(), 10, SEEK_SET), 10);
  char b[5];
  EXPECT_EQ(wyfile_read(f.get(), b, 5), 5);
  EXPECT_EQ(std::string(b, 5), big.substr(10, 5));
  EXPECT_EQ(wyfile_tell(f.get()), 15);  // read-ahead does not show
  EXPECT_EQ(wyfile_write(f.get(), "XY", 2), 2);  // writes at the read position
  EXPECT_EQ(wyfile_tell(f.get()), 17);
  EXPECT_EQ(wyfile_seek(f.get(), 0, SEEK_SET), 0);
  std::string back(big.size() + 10, '\0');
  EXPECT_EQ(wyfile_read(f.get(), back.data(), back.size()), (int64_t)big.size());
  back.resize(big.size());
  big[15] = 'X';
  big[16] = 'Y';
  EXPECT_TRUE(back == big);
  EXPECT_EQ(wyfile_read(f.get(), b, 1), 0);
}

TEST(Wyfile, TailAndExistsForTheLogFile) {
  TempDir t;
  std::string p = t / "log.txt";
  EXPECT_FALSE(wyfile_exists(p.c_str()));
  auto f = open_s(p, "a+");
  ASSERT_TRUE(f);
  EXPECT_TRUE(wyfile_exists(p.c_str()));
  wyfile_puts(f.get(), "first line\nsecond line\nthird\n");
  std::string tail;
  EXPECT_EQ(wyfile_read_tail(f.get(), 11, &tail), 11);  // flushes first
  EXPECT_EQ(tail, "line\nthird\n");
  EXPECT_EQ(wyfile_read_tail(f.get(), 1000, &tail), 29);
  EXPECT_EQ(tail.substr(0, 5), "first");
  wyfile_puts(f.get(), "more\n");
  EXPECT_EQ(wyfile_size(f.get()), 34);

  // The log's shrink step: reopen with "w+" and keep the newest half.
  f.reset();
  auto g = open_s(p, "w+");
  ASSERT_TRUE(g);
  EXPECT_EQ(wyfile_size(g.get()), 0);
  wyfile_puts(g.get(), tail.c_str() + tail.find('\n') + 1);
  EXPECT_EQ(wyfile_flush(g.get()), 0);
  EXPECT_EQ(read_file(p), "second line\nthird\n");
  std::string empty;
  g.reset();
  auto e = open_s(t / "e", "w+");
  EXPECT_EQ(wyfile_read_tail(e.get(), 10, &empty), 0);
  EXPECT_EQ(empty, "");
}

TEST(Wyfile, ConcurrentWritersKeepLinesWhole) {
  TempDir t;
  std::string p = t / "c";
  {
    auto f = open_s(p, "w");
    ASSERT_TRUE(f);
    wyfile_set_linebuf(f.get(), true);
    std::vector<std::thread> th;
    for (int k = 0; k < 4; k++) {
      th.emplace_back([&f, k] {
        for (int i = 0; i < 500; i++) wyfile_printf(f.get(), "thread %d line %04d end\n", k, i);
      });
    }
    for (auto& x : th) x.join();
  }
  std::string all = read_file(p);
  size_t lines = 0, pos = 0;
  while (pos < all.size()) {
    size_t nl = all.find('\n', pos);
    ASSERT_NE(nl, std::string::npos);
    std::string l = all.substr(pos, nl - pos);
    EXPECT_EQ(l.size(), 22u) << l;
    EXPECT_EQ(l.substr(0, 7), "thread ");
    lines++;
    pos = nl + 1;
  }
  EXPECT_EQ(lines, 2000u);
}

TEST(Wyfile, NullAndClosedStreamsAreRefused) {
  EXPECT_EQ(wyfile_write(nullptr, "x", 1), -1);
  EXPECT_EQ(wyfile_tell(nullptr), -1);
  EXPECT_EQ(wyfile_close(nullptr), -1);
}

}  // namespace
