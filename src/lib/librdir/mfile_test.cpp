// The multi-file object on real directories: every command, the result
// collection and the names that must never reach the file system.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "log_test_util.h"
#include "libpal.h"
#include "liblog.h"
#include "librdir.h"
#include "wytest.h"

namespace {

using wytest::pattern;
using wytest::read_file;
using wytest::TempDir;
using wytest::write_file;
namespace fs = std::filesystem;

constexpr uint32_t kMax = 65540;  // data buffer: 65536 readable, 65540 writable

struct mfile_closer {
  void operator()(libmfile* h) const { libmfile_close(h); }
};
using mfile_ptr = std::unique_ptr<libmfile, mfile_closer>;

mfile_ptr open_mfile(int timeout_ms = 3000, uint32_t max = kMax, const os_root* root = nullptr, int threads = 1) {
  libmfile_param p;
  p.max_mfile_size = max;
  p.read_timeout_ms = timeout_ms;
  p.root = root;
  p.threads = threads;
  return mfile_ptr(libmfile_open(p));
}

// Collects results until `done` says the command's results are complete, or
// the collector times out (the copy engine, too, knows how many to expect).
template <class F>
std::string collect_until(libmfile* h, F done, size_t cap = 1 << 20) {
  std::vector<char> buf(cap);
  std::string all;
  for (int i = 0; i < 1000 && !done(all); i++) {
    int n = libmfile_get_list_ret(h, buf.data(), buf.size());
    if (n <= 0) break;
    all.append(buf.data(), n);
  }
  return all;
}
// Text results: complete at `bytes` bytes.
std::string collect(libmfile* h, size_t bytes) {
  return collect_until(h, [bytes](const std::string& s) { return s.size() >= bytes; });
}
std::string collect(libmfile* h, const std::string& expect) { return collect(h, expect.size()); }

mstat_item rec(const char* name, uint32_t flags = 0x802, int64_t wtime = 1500000000) {
  mstat_item r;
  r.name = name;
  r.flags = flags;
  r.attrib = 0x20;
  r.mode = 0640;
  r.ctime = wtime - 100;
  r.wtime = wtime;
  r.atime = wtime + 5;
  return r;
}

std::string write_line(const mstat_item& r, const std::string& data) {
  std::string s;
  rdir_fmt_write_line(s, r, data.empty() ? std::string() : base64_encode(data.data(), data.size()));
  return s + "\n";
}

// Data records of a read list's results.
std::vector<mfile_data> parse_records(const std::string& ret) {
  std::vector<mfile_data> v;
  size_t off = 0;
  while (off < ret.size()) {
    mfile_data d;
    int n = libmfile_read_get_data_len_err(reinterpret_cast<const uint8_t*>(ret.data()) + off,
                                           ret.size() - off, &d);
    if (n < 0) {
      ADD_FAILURE() << "malformed record at " << off;
      break;
    }
    off += n;
    v.push_back(std::move(d));
  }
  return v;
}

std::vector<mfile_data> collect_records(libmfile* h, size_t count) {
  auto whole = [count](const std::string& s) {
    size_t off = 0, n = 0;
    mfile_data d;
    while (off < s.size()) {
      int k = libmfile_read_get_data_len_err(reinterpret_cast<const uint8_t*>(s.data()) + off, s.size() - off, &d);
      if (k < 0) break;
      off += k;
      n++;
    }
    return n >= count;
  };
  return parse_records(collect_until(h, whole));
}

TEST(Libmfile, WriteListThenReadListRoundTripUpToTheLimits) {
  TempDir t;
  std::string base = t / "dst";  // created by the write list
  mfile_ptr m = open_mfile();
  ASSERT_TRUE(m);
  const std::vector<size_t> sizes = {0, 1, 2, 3, 4, 5, 1000, kMax - 4, kMax};
  std::string list;
  std::vector<std::string> names;
  for (size_t i = 0; i < sizes.size(); i++) names.push_back("f" + std::to_string(sizes[i]));
  for (size_t i = 0; i < sizes.size(); i++)
    list += write_line(rec(names[i].c_str(), 0x802, 1500000000 + i), pattern(sizes[i], i));
  ASSERT_EQ(libmfile_write_list(m.get(), base.c_str(), list.c_str()), 0);
  std::string expect;
  for (size_t s : sizes) expect += "0\t" + std::to_string(s) + "\n";
  EXPECT_EQ(collect(m.get(), expect), expect);

  for (size_t i = 0; i < sizes.size(); i++) {
    EXPECT_EQ(read_file(base + "/" + names[i]), pattern(sizes[i], i)) << names[i];
    struct stat st;
    ASSERT_EQ(stat((base + "/" + names[i]).c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, static_cast<time_t>(1500000000 + i));
    EXPECT_EQ(st.st_mode & 07777, 0640u);
  }

  // Read them back through the base directory the write list left behind.
  list.clear();
  for (size_t i = 0; i < sizes.size(); i++) list += names[i] + "\t" + std::to_string(sizes[i]) + "\n";
  ASSERT_EQ(libmfile_read_list(m.get(), nullptr, list.c_str()), 0);
  std::vector<mfile_data> recs = collect_records(m.get(), sizes.size());
  ASSERT_EQ(recs.size(), sizes.size());
  for (size_t i = 0; i + 1 < sizes.size(); i++) {
    EXPECT_FALSE(recs[i].open_err || recs[i].read_err) << names[i];
    EXPECT_EQ(std::string(recs[i].data.begin(), recs[i].data.end()), pattern(sizes[i], i)) << names[i];
  }
  // One over the read limit (max_mfile_size - 4) is refused, not read.
  EXPECT_TRUE(recs.back().open_err);
  EXPECT_EQ(recs.back().verr, -31);
}

TEST(Libmfile, ReadListShortensToTheFileAndReportsMissingFiles) {
  TempDir t;
  write_file(t / "a", "abcdef");
  write_file(t / "b", "xy");
  mfile_ptr m = open_mfile(700);
  ASSERT_TRUE(m);
  ASSERT_EQ(libmfile_read_list(m.get(), t.path().c_str(), "a\t3\nmissing\t10\nb\t100"), 0);
  std::vector<mfile_data> r = collect_records(m.get(), 3);
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(std::string(r[0].data.begin(), r[0].data.end()), "abc");
  EXPECT_TRUE(r[1].open_err);
  EXPECT_EQ(r[1].verr, -102);
  EXPECT_EQ(std::string(r[2].data.begin(), r[2].data.end()), "xy");
  // A line without a tab ends the list; its end record still comes.
  ASSERT_EQ(libmfile_read_list(m.get(), nullptr, "a\t1\nnotab\nb\t1"), 0);
  r = collect_records(m.get(), 2);  // times out after the one record
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(std::string(r[0].data.begin(), r[0].data.end()), "a");
}

// A read list's records are queued many together; a collector whose
// buffer holds just the longest of them still takes every one, whole and
// in order, errors too.
TEST(Libmfile, ReadRecordsGoTogetherAndATightBufferTakesThemWhole) {
  TempDir t;
  std::string names;
  std::vector<std::string> want;
  size_t longest = 0;
  for (int i = 0; i < 60; i++) {
    std::string name = "f" + std::to_string(i);
    size_t size = 50 + static_cast<size_t>(i * 97 % 900);
    if (i % 10 != 3) write_file(t / name, pattern(size, static_cast<unsigned>(i)));
    want.push_back(i % 10 != 3 ? pattern(size, static_cast<unsigned>(i)) : "");
    names += name + "\t" + std::to_string(size) + "\n";
    longest = std::max(longest, size + 4);
  }
  mfile_ptr m = open_mfile();
  ASSERT_TRUE(m);
  ASSERT_EQ(libmfile_read_list(m.get(), t.path().c_str(), names.c_str()), 0);
  auto all = [](const std::string& s) { return parse_records(s).size() >= 60; };
  std::vector<mfile_data> r = parse_records(collect_until(m.get(), all, longest + 1));
  ASSERT_EQ(r.size(), 60u);
  for (int i = 0; i < 60; i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(r[i].open_err, i % 10 == 3);
    EXPECT_EQ(std::string(r[i].data.begin(), r[i].data.end()), want[i]);
  }
}

TEST(Libmfile, MalformedNamesNeverTouchTheFileSystem) {
  TempDir t;
  std::string base = t / "base";
  fs::create_directories(base + "/sub");
  write_file(base + "/sub/keep", "k");
  write_file(t / "outside", "secret");
  mfile_ptr m = open_mfile();
  ASSERT_TRUE(m);
  const std::vector<std::string> bad = {"", ".", "..", "../outside", "sub/keep", "sub\\keep", "/etc"};

  std::string list;
  for (const auto& n : bad) list += n + "\t6\n";
  ASSERT_EQ(libmfile_read_list(m.get(), base.c_str(), list.c_str()), 0);
  std::vector<mfile_data> r = collect_records(m.get(), bad.size());
  ASSERT_EQ(r.size(), bad.size());
  for (const auto& d : r) {
    EXPECT_TRUE(d.open_err);
    EXPECT_EQ(d.verr, -104);
  }

  list.clear();
  for (const auto& n : bad) list += write_line(rec(n.c_str()), "data");
  ASSERT_EQ(libmfile_write_list(m.get(), nullptr, list.c_str()), 0);
  std::string expect;
  for (size_t i = 0; i < bad.size(); i++) expect += "1\t-104\n";
  EXPECT_EQ(collect(m.get(), expect), expect);

  list.clear();
  for (const auto& n : bad) {
    std::string l;
    mstat_item d = rec(n.c_str(), 0x801);
    rdir_fmt_mkdir_line(l, d);
    list += l + "\n";
  }
  ASSERT_EQ(libmfile_create_dir(m.get(), nullptr, list.c_str()), 0);
  expect.clear();
  for (size_t i = 0; i < bad.size(); i++) expect += "-104\t";
  EXPECT_EQ(collect(m.get(), expect), expect);

  list.clear();
  for (const auto& n : bad) list += n + "\n";
  ASSERT_EQ(libmfile_del_list(m.get(), nullptr, list.c_str()), 0);
  EXPECT_EQ(collect(m.get(), expect), expect);

  EXPECT_EQ(read_file(t / "outside"), "secret");
  EXPECT_EQ(read_file(base + "/sub/keep"), "k");
  EXPECT_TRUE(fs::is_directory(base));
  EXPECT_EQ(std::distance(fs::directory_iterator(base), fs::directory_iterator()), 1);
}

TEST(Libmfile, WritesNeverFollowALinkOutOfTheBase) {
  TempDir t;
  std::string base = t / "base";
  fs::create_directories(base);
  write_file(t / "outside", "secret");
  fs::create_symlink(t / "outside", base + "/evil");
  fs::create_symlink(t / "outside", base + "/evil0");
  mfile_ptr m = open_mfile();
  ASSERT_TRUE(m);
  std::string list = write_line(rec("evil"), "new") + write_line(rec("evil0"), "");
  ASSERT_EQ(libmfile_write_list(m.get(), base.c_str(), list.c_str()), 0);
  EXPECT_EQ(collect(m.get(), "0\t3\n0\t0\n"), "0\t3\n0\t0\n");
  EXPECT_EQ(read_file(t / "outside"), "secret");
  EXPECT_FALSE(fs::is_symlink(base + "/evil"));
  EXPECT_EQ(read_file(base + "/evil"), "new");
  EXPECT_EQ(read_file(base + "/evil0"), "");

  // Nor does a read list read through one.
  fs::create_symlink(t / "outside", base + "/peek");
  ASSERT_EQ(libmfile_read_list(m.get(), nullptr, "peek\t6"), 0);
  std::vector<mfile_data> r = collect_records(m.get(), 1);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_TRUE(r[0].open_err);
  EXPECT_TRUE(r[0].data.empty());
}

TEST(Libmfile, WriteListCreatesLinksAndEmptyFilesAndStopsAtBadData) {
  TempDir t;
  mfile_ptr m = open_mfile(700, 16);
  ASSERT_TRUE(m);
  mstat_item l = rec("lnk", 0x902);
  l.link = "target.txt";
  mstat_item ld = rec("lnkd", 0x901);
  ld.link = "somedir";
  std::string list = write_line(l, "") + write_line(ld, "") + write_line(rec("empty"), "") +
                     write_line(rec("big"), std::string(17, 'x')) +  // decodes past the 16-byte buffer
                     write_line(rec("after"), "ok");
  ASSERT_EQ(libmfile_write_list(m.get(), t.path().c_str(), list.c_str()), 0);
  EXPECT_EQ(collect(m.get(), "0\t0\n0\t0\n0\t0\n1\t-31\n0\t2\n"), "0\t0\n0\t0\n0\t0\n1\t-31\n0\t2\n");
  EXPECT_EQ(fs::read_symlink(t / "lnk"), "target.txt");
  EXPECT_EQ(fs::read_symlink(t / "lnkd"), "somedir");
  EXPECT_TRUE(fs::is_regular_file(t / "empty"));
  EXPECT_FALSE(fs::exists(t / "big"));
  EXPECT_EQ(read_file(t / "after"), "ok");

  // Malformed base64 ends the command: only the end record follows, which
  // the collector drops, so it times out with nothing.
  std::string bad;
  rdir_fmt_write_line(bad, rec("x"), "@@@@");
  bad += "\n" + write_line(rec("y"), "y");
  ASSERT_EQ(libmfile_write_list(m.get(), nullptr, bad.c_str()), 0);
  char buf[256];
  EXPECT_EQ(libmfile_get_list_ret(m.get(), buf, sizeof buf), 0);
  EXPECT_FALSE(fs::exists(t / "y"));
  // A line with the wrong number of fields ends it the same way.
  ASSERT_EQ(libmfile_write_list(m.get(), nullptr, "x\t\t802\n"), 0);
  EXPECT_EQ(libmfile_get_list_ret(m.get(), buf, sizeof buf), 0);
}

// Several threads write the files of one list; the results still answer
// the lines in list order, whatever finished first, and a bad line in the
// middle ends the list there as with one thread.
TEST(Libmfile, ThreadsWriteAListWithResultsInListOrder) {
  TempDir t;
  mfile_ptr m = open_mfile(3000, kMax, nullptr, 4);
  ASSERT_TRUE(m);
  std::string list, expect;
  for (int i = 0; i < 400; i++) {
    std::string name = "f" + std::to_string(i);
    if (i % 50 == 7) {
      list += write_line(rec("bad/name"), "z");  // refused without a file
      expect += "1\t-104\n";
      continue;
    }
    // Large and tiny files interleaved, so later lines often finish first.
    std::string data = pattern(i % 3 == 0 ? 60000 : static_cast<size_t>(i % 5), i);
    list += write_line(rec(name.c_str()), data);
    expect += "0\t" + std::to_string(data.size()) + "\n";
  }
  ASSERT_EQ(libmfile_write_list(m.get(), t.path().c_str(), list.c_str()), 0);
  EXPECT_EQ(collect(m.get(), expect), expect);
  for (int i = 0; i < 400; i++) {
    if (i % 50 == 7) continue;
    std::string name = "f" + std::to_string(i);
    ASSERT_EQ(read_file(t / name), pattern(i % 3 == 0 ? 60000 : static_cast<size_t>(i % 5), i)) << name;
    struct stat sb;
    ASSERT_EQ(stat((t / name).c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mtime, 1500000000) << name;
  }

  // Bad base64 on the third line: the two before it are written and
  // answered, nothing after it is touched.
  std::string bad = write_line(rec("a1"), "one") + write_line(rec("a2"), "two");
  rdir_fmt_write_line(bad, rec("a3"), "@@@@");
  bad += "\n" + write_line(rec("a4"), "four") + write_line(rec("a5"), "five");
  ASSERT_EQ(libmfile_write_list(m.get(), t.path().c_str(), bad.c_str()), 0);
  EXPECT_EQ(collect(m.get(), "0\t3\n0\t3\n"), "0\t3\n0\t3\n");
  char buf[256];
  EXPECT_EQ(libmfile_get_list_ret(m.get(), buf, sizeof buf), 0);
  EXPECT_EQ(read_file(t / "a2"), "two");
  EXPECT_FALSE(fs::exists(t / "a3"));
  EXPECT_FALSE(fs::exists(t / "a4"));
  EXPECT_FALSE(fs::exists(t / "a5"));

  // The same name twice: written in list order, so the last line wins.
  std::string twice, answers;
  for (int i = 0; i < 20; i++) {
    std::string v = "v" + std::to_string(i);
    twice += write_line(rec("same"), v);
    answers += "0\t" + std::to_string(v.size()) + "\n";
  }
  ASSERT_EQ(libmfile_write_list(m.get(), t.path().c_str(), twice.c_str()), 0);
  EXPECT_EQ(collect(m.get(), answers), answers);
  EXPECT_EQ(read_file(t / "same"), "v19");

  // A blank after the data is skipped by the decoder, as it always was.
  std::string blanks;
  rdir_fmt_write_line(blanks, rec("blank"), "aGVsbG8= ");
  blanks += "\n" + write_line(rec("next"), "n");
  ASSERT_EQ(libmfile_write_list(m.get(), t.path().c_str(), blanks.c_str()), 0);
  EXPECT_EQ(collect(m.get(), "0\t5\n0\t1\n"), "0\t5\n0\t1\n");
  EXPECT_EQ(read_file(t / "blank"), "hello");
}

TEST(Libmfile, MkdirDeleteAndDeleteAllFiles) {
  TempDir t;
  std::string base = t / "b";
  mfile_ptr m = open_mfile();
  ASSERT_TRUE(m);
  std::string list, l;
  mstat_item d = rec("d1", 0x801, 1400000000);
  d.mode = 0750;
  rdir_fmt_mkdir_line(l, d);
  list += l + "\n";
  ASSERT_EQ(libmfile_create_dir(m.get(), base.c_str(), list.c_str()), 0);
  EXPECT_EQ(collect(m.get(), "0\t"), "0\t");
  struct stat st;
  ASSERT_EQ(stat((base + "/d1").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0750u);
  EXPECT_EQ(st.st_mtim.tv_sec, 1400000000);

  // Delete all on a directory with only a subdirectory: nothing to remove.
  ASSERT_EQ(libmfile_del_files(m.get(), nullptr), 0);
  EXPECT_EQ(collect(m.get(), "F\t$"), "F\t$");

  write_file(base + "/f1", "1");
  write_file(base + "/f2", "2");
  fs::create_symlink("d1", base + "/ldir");
  ASSERT_EQ(libmfile_del_list(m.get(), nullptr, "f1\nnothere"), 0);
  EXPECT_EQ(collect(m.get(), "0\t0\t"), "0\t0\t");
  EXPECT_FALSE(fs::exists(base + "/f1"));

  ASSERT_EQ(libmfile_del_files(m.get(), nullptr), 0);
  EXPECT_EQ(collect(m.get(), "F\t0\t0\t$"), "F\t0\t0\t$");
  EXPECT_FALSE(fs::exists(base + "/f2"));
  EXPECT_FALSE(fs::is_symlink(base + "/ldir"));
  EXPECT_TRUE(fs::is_directory(base + "/d1"));

  ASSERT_EQ(libmfile_del_files(m.get(), (t / "nope").c_str()), 0);
  EXPECT_EQ(collect(m.get(), "D\t-102\t$"), "D\t-102\t$");
}

TEST(Libmfile, CollectorSkipsALoneEndRecordAndKeepsChunksWhole) {
  TempDir t;
  for (int i = 0; i < 20; i++) write_file(t / ("f" + std::to_string(i)), std::string(100, 'a' + i));
  mfile_ptr m = open_mfile(700);
  ASSERT_TRUE(m);
  // An empty list yields only its end record; the collector reads past it
  // to the next command's results.
  ASSERT_EQ(libmfile_del_list(m.get(), t.path().c_str(), ""), 0);
  std::string list;
  for (int i = 0; i < 20; i++) list += "f" + std::to_string(i) + "\t100\n";
  ASSERT_EQ(libmfile_read_list(m.get(), nullptr, list.c_str()), 0);
  // A buffer for three records at a time: results come in whole records.
  std::string all;
  char buf[3 * 104 + 1];
  for (int i = 0; i < 20; i++) {
    int n = libmfile_get_list_ret(m.get(), buf, sizeof buf);
    ASSERT_GT(n, 0);
    ASSERT_EQ(n % 104, 0);
    all.append(buf, n);
    if (all.size() == 20 * 104) break;
  }
  std::vector<mfile_data> r = parse_records(all);
  ASSERT_EQ(r.size(), 20u);
  for (int i = 0; i < 20; i++) EXPECT_EQ(std::string(r[i].data.begin(), r[i].data.end()), std::string(100, 'a' + i));
  EXPECT_EQ(libmfile_get_list_ret(m.get(), buf, sizeof buf), 0);
  EXPECT_EQ(libmfile_get_list_ret(m.get(), buf, 1), -1);
}

TEST(Libmfile, ACommandsResultsComeInOneCollectionAndNeverWithTheNextOnes) {
  TempDir t;
  mfile_ptr m = open_mfile(3000, kMax, nullptr, 2);
  ASSERT_TRUE(m);
  // Two lists posted before any result is collected, the way a client
  // keeps the next directory in flight.
  std::string list, expect, names;
  for (int i = 0; i < 300; i++) {
    std::string name = "g" + std::to_string(i);
    std::string data = pattern(static_cast<size_t>(100 + i * 37 % 4000), i);
    list += write_line(rec(name.c_str()), data);
    expect += "0\t" + std::to_string(data.size()) + "\n";
    names += name + "\t" + std::to_string(data.size()) + "\n";
  }
  ASSERT_EQ(libmfile_write_list(m.get(), t.path().c_str(), list.c_str()), 0);
  ASSERT_EQ(libmfile_read_list(m.get(), nullptr, names.c_str()), 0);
  std::vector<char> buf(1 << 20);
  // The write list's results come whole, in a few collections (a file that
  // takes long to write may end one early), never with a read record.
  std::string got;
  int calls = 0;
  while (got.size() < expect.size() && calls < 100) {
    int n = libmfile_get_list_ret(m.get(), buf.data(), buf.size());
    ASSERT_GT(n, 0);
    ASSERT_EQ(buf[static_cast<size_t>(n)], '\0');
    got.append(buf.data(), static_cast<size_t>(n));
    calls++;
  }
  EXPECT_EQ(got, expect);
  EXPECT_LE(calls, 10);
  // Then every record of the read list, in list order.
  std::vector<mfile_data> r = collect_records(m.get(), 300);
  ASSERT_EQ(r.size(), 300u);
  for (int i = 0; i < 300; i++)
    ASSERT_EQ(std::string(r[i].data.begin(), r[i].data.end()), pattern(static_cast<size_t>(100 + i * 37 % 4000), i));
  int n = 0;
  // A buffer too small for all of them still gets whole lines, as many as fit.
  ASSERT_EQ(libmfile_write_list(m.get(), t.path().c_str(), list.c_str()), 0);
  std::string all;
  for (int i = 0; i < 100 && all.size() < expect.size(); i++) {
    n = libmfile_get_list_ret(m.get(), buf.data(), 200);
    ASSERT_GT(n, 0);
    ASSERT_EQ(buf[static_cast<size_t>(n) - 1], '\n');
    all.append(buf.data(), static_cast<size_t>(n));
    // Full but for the gathering's room, unless it was the last of them.
    if (all.size() < expect.size()) {
      ASSERT_GT(n, 199 - 64 - 8);
    }
  }
  EXPECT_EQ(all, expect);
}

// ---------------------------------------------------------------------------
// Beneath a root: base directories and names are a peer's.

struct root_closer {
  void operator()(os_root* r) const { os_root_close(r); }
};
using root_ptr = std::unique_ptr<os_root, root_closer>;

struct RootTree {
  TempDir t;
  std::string root = t / "r", out = t / "out";
  root_ptr r;
  RootTree() {
    write_file(out + "/secret", "secret");
    write_file(root + "/sub/f", "inner");
    fs::create_symlink(out, root + "/abs");
    fs::create_symlink("../out", root + "/rel");
    fs::create_symlink("../out/secret", root + "/fout");
    fs::create_symlink("sub", root + "/in");
    r.reset(os_root_open(root.c_str()));
  }
  std::string outside() const { return wytest::tree_digest(out); }
};

std::string mkdir_line(const char* name, uint32_t mode = 0750) {
  mstat_item d = rec(name, 0x801, 1400000000);
  d.mode = mode;
  std::string l;
  rdir_fmt_mkdir_line(l, d);
  return l + "\n";
}

TEST(LibmfileRoot, EveryCommandWorksBeneathTheRootWithEitherSeparator) {
  RootTree j;
  ASSERT_TRUE(j.r);
  mfile_ptr m = open_mfile(3000, kMax, j.r.get());
  ASSERT_TRUE(m);
  // The base is made beneath the root, as a plain base is made on the host.
  std::string list = write_line(rec("a"), "alpha") + write_line(rec("b"), "");
  ASSERT_EQ(libmfile_write_list(m.get(), "\\w\\x\\", list.c_str()), 0);
  EXPECT_EQ(collect(m.get(), "0\t5\n0\t0\n"), "0\t5\n0\t0\n");
  EXPECT_EQ(read_file(j.root + "/w/x/a"), "alpha");
  struct stat st = wytest::lstat_of(j.root + "/w/x/a");
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(st.st_mtim.tv_sec, 1500000000);

  ASSERT_EQ(libmfile_read_list(m.get(), "/w/x", "a\t5\nb\t5\nnone\t1"), 0);
  std::vector<mfile_data> r = collect_records(m.get(), 3);
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(std::string(r[0].data.begin(), r[0].data.end()), "alpha");
  EXPECT_TRUE(r[1].data.empty() && !r[1].open_err);
  EXPECT_EQ(r[2].verr, -102);

  ASSERT_EQ(libmfile_create_dir(m.get(), "/", (mkdir_line("d1") + mkdir_line("d2", 0700)).c_str()), 0);
  EXPECT_EQ(collect(m.get(), "0\t0\t"), "0\t0\t");
  st = wytest::lstat_of(j.root + "/d1");
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0750u);
  EXPECT_EQ(st.st_mtim.tv_sec, 1400000000);

  // Links, junctions too, keep their text as given beneath a root.
  mstat_item l = rec("lnk", 0x902);
  l.link = "../../elsewhere";
  mstat_item jn = rec("jn", 0xB01);
  jn.link = "sub";
  ASSERT_EQ(libmfile_write_list(m.get(), "/", (write_line(l, "") + write_line(jn, "")).c_str()), 0);
  EXPECT_EQ(collect(m.get(), "0\t0\n0\t0\n"), "0\t0\n0\t0\n");
  EXPECT_EQ(fs::read_symlink(j.root + "/lnk"), "../../elsewhere");
  EXPECT_EQ(fs::read_symlink(j.root + "/jn"), "sub");

  ASSERT_EQ(libmfile_del_list(m.get(), "/w/x", "a\nnone"), 0);
  EXPECT_EQ(collect(m.get(), "0\t0\t"), "0\t0\t");
  EXPECT_FALSE(fs::exists(j.root + "/w/x/a"));
  ASSERT_EQ(libmfile_del_files(m.get(), nullptr), 0);
  EXPECT_EQ(collect(m.get(), "F\t0\t$"), "F\t0\t$");
  EXPECT_FALSE(fs::exists(j.root + "/w/x/b"));
  // A link inside that stays inside is a base like any directory.
  ASSERT_EQ(libmfile_read_list(m.get(), "in", "f\t5"), 0);
  r = collect_records(m.get(), 1);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(std::string(r[0].data.begin(), r[0].data.end()), "inner");
}

TEST(LibmfileRoot, BasesAndNamesThatLeadOutAreRefusedAndLogNoRealPath) {
  RootTree j;
  ASSERT_TRUE(j.r);
  std::string before = j.outside();
  LogCapture logs;
  mfile_ptr m = open_mfile(3000, kMax, j.r.get());
  ASSERT_TRUE(m);
  for (const char* base : {"abs", "/rel", "\\abs\\", "../out", "sub/../../out", "//x", "C:\\x"}) {
    SCOPED_TRACE(base);
    ASSERT_EQ(libmfile_read_list(m.get(), base, "secret\t6"), 0);
    std::vector<mfile_data> r = collect_records(m.get(), 1);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_TRUE(r[0].open_err);
    EXPECT_EQ(r[0].verr, -38);
    ASSERT_EQ(libmfile_write_list(m.get(), base, write_line(rec("secret"), "owned").c_str()), 0);
    EXPECT_EQ(collect(m.get(), "1\t-38\n"), "1\t-38\n");
    ASSERT_EQ(libmfile_create_dir(m.get(), base, mkdir_line("nd").c_str()), 0);
    EXPECT_EQ(collect(m.get(), "-38\t"), "-38\t");
    ASSERT_EQ(libmfile_del_list(m.get(), base, "secret"), 0);
    EXPECT_EQ(collect(m.get(), "-38\t"), "-38\t");
    ASSERT_EQ(libmfile_del_files(m.get(), base), 0);
    EXPECT_EQ(collect(m.get(), "D\t-38\t$"), "D\t-38\t$");
  }
  // A link used as a file is neither read nor written through.
  ASSERT_EQ(libmfile_read_list(m.get(), "/", "fout\t6"), 0);
  std::vector<mfile_data> r = collect_records(m.get(), 1);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].verr, -156);
  ASSERT_EQ(libmfile_write_list(m.get(), "/", write_line(rec("fout"), "new").c_str()), 0);
  EXPECT_EQ(collect(m.get(), "0\t3\n"), "0\t3\n");
  EXPECT_FALSE(fs::is_symlink(j.root + "/fout"));
  // Deleting a link leading out deletes the link.
  ASSERT_EQ(libmfile_del_list(m.get(), "/", "abs"), 0);
  EXPECT_EQ(collect(m.get(), "0\t"), "0\t");
  EXPECT_FALSE(fs::is_symlink(j.root + "/abs"));
  EXPECT_EQ(j.outside(), before);
  std::string log = logs.all();
  EXPECT_NE(log.find("abs"), std::string::npos);  // the peer's own path is named
  EXPECT_EQ(log.find(j.root), std::string::npos) << log;
}

// A batch that first makes a link to the outside and then writes through
// it, or makes a directory that is then replaced by such a link: each
// operation resolves again, so none of them reaches the outside.
TEST(LibmfileRoot, ALinkMadeOrSwappedInEarlierIsNotWrittenThrough) {
  RootTree j;
  ASSERT_TRUE(j.r);
  std::string before = j.outside();
  mfile_ptr m = open_mfile(3000, kMax, j.r.get());
  ASSERT_TRUE(m);
  mstat_item l = rec("d", 0x901);
  std::string target = j.out;
  l.link = target.c_str();
  ASSERT_EQ(libmfile_write_list(m.get(), "/", write_line(l, "").c_str()), 0);
  EXPECT_EQ(collect(m.get(), "0\t0\n"), "0\t0\n");
  EXPECT_EQ(fs::read_symlink(j.root + "/d"), j.out);  // stored, never followed
  ASSERT_EQ(libmfile_write_list(m.get(), "/d", write_line(rec("x"), "x").c_str()), 0);
  EXPECT_EQ(collect(m.get(), "1\t-38\n"), "1\t-38\n");

  ASSERT_EQ(libmfile_create_dir(m.get(), "/", mkdir_line("e").c_str()), 0);
  EXPECT_EQ(collect(m.get(), "0\t"), "0\t");
  ASSERT_EQ(libmfile_write_list(m.get(), "/e", write_line(rec("x"), "first").c_str()), 0);
  EXPECT_EQ(collect(m.get(), "0\t5\n"), "0\t5\n");
  fs::remove_all(j.root + "/e");
  fs::create_symlink("../out", j.root + "/e");
  ASSERT_EQ(libmfile_write_list(m.get(), nullptr, write_line(rec("x"), "again").c_str()), 0);
  EXPECT_EQ(collect(m.get(), "1\t-38\n"), "1\t-38\n");
  ASSERT_EQ(libmfile_create_dir(m.get(), nullptr, mkdir_line("y").c_str()), 0);
  EXPECT_EQ(collect(m.get(), "-38\t"), "-38\t");
  EXPECT_FALSE(fs::exists(j.out + "/x"));
  EXPECT_EQ(j.outside(), before);
}

TEST(LibmfileRoot, DeletionGoesToTheRootsTrash) {
  RootTree j;
  ASSERT_TRUE(j.r);
  fs::create_directories(j.t / "trash");
  ASSERT_EQ(os_root_set_trash(j.r.get(), (j.t / "trash").c_str()), 0);
  mfile_ptr m = open_mfile(3000, kMax, j.r.get());
  ASSERT_TRUE(m);
  ASSERT_EQ(libmfile_del_list(m.get(), "/sub", "f"), 0);
  EXPECT_EQ(collect(m.get(), "0\t"), "0\t");
  EXPECT_FALSE(fs::exists(j.root + "/sub/f"));
  int n = 0;
  for (auto& e : fs::directory_iterator(j.t / "trash")) n += read_file(e.path().string()) == "inner";
  EXPECT_EQ(n, 1);
}

}  // namespace
