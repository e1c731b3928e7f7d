// The four transfer paths on local trees. The sides a path takes as remote
// are local endpoint objects, so the small-file lists, the relay and the
// block loop run here as they run against a server.
#include <gtest/gtest.h>

#include <set>

#include "cdir_imp.h"
#include "libcdir.h"
#include "wytest_tree.h"

using namespace wytest;

namespace {

struct job_result {
  int status = -1;
  int64_t file_count = 0, file_open_count = 0, i_fail = 0, o_fail = 0, total_read = 0, total_write = 0, del = 0,
          del_fail = 0;
};

job_result run_job(uint32_t dir_type, const char* mode, const std::string& src, const std::string& dst,
                   int32_t bs = 2097152, int32_t threads = 0, int* pool_size = nullptr) {
  cdir_param p;
  p.threads = threads;
  p.i_url = src.c_str();
  p.o_url = dst.c_str();
  EXPECT_EQ(cdir_mode_lookup(mode, &p), 0) << mode;
  p.bs = bs;
  p.force_dir_type = static_cast<int32_t>(dir_type);
  job_result r;
  cdir_job* job = libcdir_open(&p);
  EXPECT_NE(job, nullptr) << p.err.msg;
  if (job == nullptr) return r;
  EXPECT_EQ(job->dir_type, dir_type);
  if (pool_size) *pool_size = job->c.pool ? job->c.pool->size() : 1;
  r.status = libcdir_wait_stop();
  r.file_count = job->c.file_count;
  r.file_open_count = job->c.file_open_count;
  r.i_fail = job->i_file_fail_count;
  r.o_fail = job->c.o_file_fail_count;
  r.total_read = job->c.total_read;
  r.total_write = job->c.total_write;
  r.del = job->c.sync_del_file_count;
  r.del_fail = job->c.sync_del_file_fail_count;
  libcdir_close(job);
  return r;
}

class Paths : public ::testing::TestWithParam<uint32_t> {};

TEST_P(Paths, CopyGivesTheWholeTreeAndAgainOverItsCopy) {
  TempDir t;
  make_tree(t / "src");
  std::string before = tree_digest(t / "src");
  for (int32_t bs : {4096, 2097152}) {
    std::string dst = t / ("dst" + std::to_string(bs));
    for (int run = 0; run < 2; run++) {
      job_result r = run_job(GetParam(), "cp", t / "src", dst, bs);
      ASSERT_EQ(r.status, 0) << "bs=" << bs;
      EXPECT_EQ(r.file_count, 17);
      EXPECT_EQ(r.i_fail, 0);
      EXPECT_EQ(r.o_fail, 0) << "bs=" << bs << " run " << run;
      EXPECT_GE(r.file_open_count, 14);
      // Whatever the path, every byte written was read from the source.
      EXPECT_EQ(r.total_read, r.total_write) << "bs=" << bs << " run " << run;
      expect_same(t / "src", dst, true);
      EXPECT_EQ(scan(t / "src").size(), scan(dst).size());
    }
  }
  EXPECT_EQ(tree_digest(t / "src"), before);
}

// Hundreds of small files with a small bs: every list goes in many chunks
// and its results come back in many, matched to their files in order.
TEST_P(Paths, SmallFilesInManyChunks) {
  TempDir t;
  for (int i = 0; i < 300; i++) {
    std::string name = t / ("src/d" + std::to_string(i % 3) + "/file_with_a_longish_name_" + std::to_string(i));
    write_file(name, pattern(static_cast<size_t>(i * 7 % 2000), i));
    set_mtime(name, kT0 + i);
  }
  job_result r = run_job(GetParam(), "cp", t / "src", t / "dst", 4096);
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.o_fail, 0);
  EXPECT_EQ(r.file_count, 300);
  expect_same(t / "src", t / "dst", false);
  // Nothing changed: the comparing modes write nothing.
  r = run_job(GetParam(), "copy_diff_size_date", t / "src", t / "dst", 4096);
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.total_write, 0);
  EXPECT_EQ(r.file_open_count, 0);
}

TEST_P(Paths, SyncWritesWhatChangedAndDeletesOrphanFiles) {
  TempDir t;
  make_tree(t / "src");
  setenv("XDG_DATA_HOME", (t / "xdg").c_str(), 1);  // no trash: orphans are removed
  job_result r = run_job(GetParam(), "sync", t / "src", t / "dst");
  ASSERT_EQ(r.status, 0);
  expect_same(t / "src", t / "dst", false);
  write_file(t / "dst/orphan", "o");
  write_file(t / "dst/sub1/deep/orphan2", "o2");
  write_file(t / "dst/orphan_dir/keep_me", "k");
  write_file(t / "dst/sub2/gone", "g");  // its source directory has no files
  write_file(t / "dst/sub2/gone2", "g");
  write_file(t / "dst/sub1/b.dat", "changed");
  r = run_job(GetParam(), "sync", t / "src", t / "dst");
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.del, 4);
  EXPECT_EQ(r.del_fail, 0);
  EXPECT_FALSE(fs::exists(t / "dst/orphan"));
  EXPECT_FALSE(fs::exists(t / "dst/sub2/gone"));
  EXPECT_EQ(read_file(t / "dst/orphan_dir/keep_me"), "k");
  expect_same(t / "src", t / "dst", false);
  r = run_job(GetParam(), "sync", t / "src", t / "dst");
  EXPECT_EQ(r.total_write, 0);
  EXPECT_EQ(r.del, 0);
  unsetenv("XDG_DATA_HOME");
}

// A file that cannot be read is counted and its earlier copy kept whole;
// the rest of the directory is still copied.
TEST_P(Paths, AnUnreadableSourceFileNeverEmptiesItsCopy) {
  TempDir t;
  write_file(t / "src/ok", "fine");
  write_file(t / "src/locked", "new");
  write_file(t / "src/big_locked", pattern(600000, 3));
  write_file(t / "dst/locked", "old copy");
  for (auto& e : fs::recursive_directory_iterator(t.path())) chmod(e.path().c_str(), e.is_directory() ? 0777 : 0666);
  chmod(t.path().c_str(), 0777);
  chmod((t / "src/locked").c_str(), 0);
  chmod((t / "src/big_locked").c_str(), 0);
  // Root reads every file: the job runs as nobody then.
  bool as_root = geteuid() == 0;
  if (as_root) {
    ASSERT_EQ(seteuid(65534), 0);
  }
  job_result r = run_job(GetParam(), "cp", t / "src", t / "dst");
  if (as_root) {
    ASSERT_EQ(seteuid(0), 0);
  }
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.i_fail, 2);
  EXPECT_EQ(read_file(t / "dst/ok"), "fine");
  EXPECT_EQ(read_file(t / "dst/locked"), "old copy");
}

// The comparing modes decide per file, whichever path moves the files.
TEST_P(Paths, ComparingModesDecidePerFile) {
  TempDir t;
  struct Case {
    const char* name;
    long dst_offset;  // destination write time minus the source's
    const char* dst_data;
    bool diff, no_overwrite, newer;  // written by each mode
  } cases[] = {
      {"same", 2, "xxxx", false, false, false},        // 2 s apart, same size
      {"older_dst", -3, "xxxx", true, false, true},    // the source is newer by 3 s
      {"longer_dst", 0, "xxxxx", true, false, true},   // sizes differ, same time
      {"newer_dst", 1000, "xxxx", true, false, false}, // the destination is newer
  };
  const char* modes[] = {"copy_diff_size_date", "copy_no_overwrite", "copy_newer"};
  for (int m = 0; m < 3; m++) {
    std::string dst = t / ("dst" + std::to_string(m));
    for (auto& c : cases) {
      write_file(t / "src/" + c.name, "NEW!");
      set_mtime(t / "src/" + c.name, kT0);
      write_file(dst + "/" + c.name, c.dst_data);
      set_mtime(dst + "/" + c.name, kT0 + c.dst_offset);
    }
    write_file(t / "src/missing", "m");
    job_result r = run_job(GetParam(), modes[m], t / "src", dst);
    ASSERT_EQ(r.status, 0) << modes[m];
    for (auto& c : cases) {
      bool written = m == 0 ? c.diff : m == 1 ? c.no_overwrite : c.newer;
      EXPECT_EQ(read_file(dst + "/" + c.name), written ? "NEW!" : c.dst_data) << modes[m] << " " << c.name;
    }
    EXPECT_EQ(read_file(dst + "/missing"), "m") << modes[m];
  }
}

// Blanks and quotes are name characters on every path; an empty source tree
// gives an empty copy.
TEST_P(Paths, OddNamesAndAnEmptyTree) {
  TempDir t;
  write_file(t / "src/x", "plain x");
  write_file(t / "src/x ", "x with a blank");
  write_file(t / "src/ lead", "");
  write_file(t / "src/\"q\"", "quoted");
  write_file(t / "src/dir /f", pattern(600000, 9));  // a big one below an odd directory
  job_result r = run_job(GetParam(), "cp", t / "src", t / "dst");
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.o_fail, 0);
  expect_same(t / "src", t / "dst", true);
  fs::create_directories(t / "empty");
  r = run_job(GetParam(), "sync", t / "empty", t / "dst_empty");
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.file_count, 0);
  EXPECT_TRUE(fs::is_directory(t / "dst_empty"));
  EXPECT_TRUE(scan(t / "dst_empty").empty());
}

// Write lists stay in flight while the next directory is read and sent:
// every directory's failures are counted once, however late its results
// come (the last directory's at the end of the walk), and its times are set
// after its files were written.
TEST_P(Paths, ListsInFlightCountFailuresOnceAndTouchDirectoriesLast) {
  TempDir t;
  int files = 0;
  int64_t written = 0;  // bytes of the files that can be written
  for (int d = 0; d < 12; d++) {
    std::string dir = "src/d" + std::to_string(d) + (d % 4 == 1 ? "/sub" : "");
    for (int i = 0; i < 25; i++, files++) {
      size_t size = static_cast<size_t>(300 + i * 97);
      write_file(t / (dir + "/f" + std::to_string(i)), pattern(size, d * 100 + i));
      if (!(d == 3 && i == 5) && !(d == 11 && i == 24)) written += static_cast<int64_t>(size);
    }
  }
  // A directory where a file is to go: that file fails, in a middle
  // directory and in the walk's last one.
  fs::create_directories(t / "dst4096/d3/f5/x");
  fs::create_directories(t / "dst4096/d11/f24/x");
  fs::create_directories(t / "dst2097152/d3/f5/x");
  fs::create_directories(t / "dst2097152/d11/f24/x");
  stamp_times(t / "src");
  for (int32_t bs : {4096, 2097152}) {
    std::string dst = t / ("dst" + std::to_string(bs));
    job_result r = run_job(GetParam(), "cp", t / "src", dst, bs);
    EXPECT_EQ(r.o_fail, 2) << "bs=" << bs;
    EXPECT_EQ(r.file_open_count, files - 2) << "bs=" << bs;
    EXPECT_EQ(r.total_write, written) << "bs=" << bs;
    expect_same(t / "src", dst, true, {"d3/f5", "d11/f24"});
  }
}

std::string path_name(const ::testing::TestParamInfo<uint32_t>& i) {
  static const char* const names[] = {"LL", "RL", "LR", "RR"};
  return names[i.param];
}

/// The tree of the copier thread tests: six directories of 70 files (empty,
/// small, a few of several blocks of bs=4096) and a link each; d4 and d5
/// are plain files at the destinations dst1 and dst4, so none of their files
/// can be written.
void make_threads_tree(const TempDir& t, int64_t* bytes_out, int64_t* blocked_out, int* files_out) {
  int64_t bytes = 0, blocked_bytes = 0;
  int files = 0;
  for (int d = 0; d < 6; d++) {
    for (int f = 0; f < 70; f++) {
      std::string name = t / ("src/d" + std::to_string(d) + "/f" + std::to_string(f));
      // Empty files, small ones and a few of several blocks of bs=4096.
      size_t size = f % 10 == 0 ? 0 : f % 17 == 0 ? 20000 + static_cast<size_t>(f) : static_cast<size_t>(f * 37);
      write_file(name, pattern(size, d * 100 + f));
      set_mtime(name, kT0 + f);
      if (d >= 4) {  // blocked at the destination below
        blocked_bytes += static_cast<int64_t>(size);
        continue;
      }
      bytes += static_cast<int64_t>(size);
      files++;  // links are made, not opened: not counted
    }
    symlink("f1", (t / ("src/d" + std::to_string(d) + "/link")).c_str());
  }
  // d4 and d5 are plain files at the destination: none of their files can
  // be written, and each such failure is counted once.
  for (const char* dst : {"dst1", "dst4"}) {
    write_file(t / (std::string(dst) + "/d4"), "x");
    write_file(t / (std::string(dst) + "/d5"), "x");
  }
  *bytes_out = bytes;
  *blocked_out = blocked_bytes;
  *files_out = files;
}

/// The paths of the tree that the destination refuses (d4 and d5).
std::set<std::string> blocked_paths(const TempDir& t) {
  std::set<std::string> blocked;
  for (auto& [rel, e] : scan(t / "src"))
    if (rel.rfind("d4", 0) == 0 || rel.rfind("d5", 0) == 0) blocked.insert(rel);
  return blocked;
}

/// The threads tree copied with kind `kind` by one thread into dst1 and by
/// four into dst4, with the tree's figures.
struct threads_runs {
  int64_t bytes = 0, blocked_bytes = 0;
  int files = 0;
  job_result one, four;
};
threads_runs copy_with_one_and_four(const TempDir& t, uint32_t kind) {
  threads_runs r;
  make_threads_tree(t, &r.bytes, &r.blocked_bytes, &r.files);
  int pool1 = 0, pool4 = 0;
  r.one = run_job(kind, "cp", t / "src", t / "dst1", 4096, 1, &pool1);
  r.four = run_job(kind, "cp", t / "src", t / "dst4", 4096, 4, &pool4);
  EXPECT_EQ(pool1, 1);
  EXPECT_EQ(pool4, 4);
  return r;
}

// The files of each directory go to several copier threads: every file
// arrives whole, and the report's totals, failures included, are exactly
// those of one thread.
TEST(LocalThreads, ManyThreadsCopyAndCountExactlyLikeOne) {
  TempDir t;
  threads_runs r = copy_with_one_and_four(t, CDIR_LL);
  const job_result &one = r.one, &four = r.four;
  const int64_t bytes = r.bytes, blocked_bytes = r.blocked_bytes;
  const int files = r.files;
  for (const job_result& r : {one, four}) {
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.file_count, 6 * 71);
    EXPECT_EQ(r.file_open_count, files);
    EXPECT_EQ(r.o_fail, 2 * 71);
    EXPECT_EQ(r.i_fail, 0);
    EXPECT_EQ(r.total_write, bytes);
    EXPECT_EQ(r.total_read, bytes);
  }
  std::set<std::string> blocked = blocked_paths(t);
  expect_same(t / "src", t / "dst4", true, blocked);
  expect_same(t / "src", t / "dst1", true, blocked);
  // Sync over the copy: the two blocking files and an orphan go, and only
  // what they blocked is written.
  write_file(t / "dst4/d0/orphan", "o");
  job_result again = run_job(CDIR_LL, "sync", t / "src", t / "dst4", 4096, 4);
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.del, 3);
  EXPECT_EQ(again.o_fail, 0);
  EXPECT_EQ(again.total_write, blocked_bytes);
  EXPECT_FALSE(fs::exists(t / "dst4/d0/orphan"));
  expect_same(t / "src", t / "dst4", false);
}

// A download writes the files of each answer on the copier threads: every
// file arrives whole, and the totals, failures included, are exactly those
// of one thread.
TEST(LocalThreads, DownloadThreadsWriteAndCountExactlyLikeOne) {
  TempDir t;
  threads_runs r = copy_with_one_and_four(t, CDIR_RL);
  const job_result &one = r.one, &four = r.four;
  const int64_t bytes = r.bytes;
  const int files = r.files;
  EXPECT_EQ(one.file_open_count, files);
  EXPECT_EQ(one.o_fail, 2 * 71);
  EXPECT_EQ(one.total_write, bytes);
  for (const job_result& r : {one, four}) {
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.file_count, 6 * 71);
    EXPECT_EQ(r.i_fail, 0);
  }
  EXPECT_EQ(four.file_open_count, one.file_open_count);
  EXPECT_EQ(four.o_fail, one.o_fail);
  EXPECT_EQ(four.total_write, one.total_write);
  EXPECT_EQ(four.total_read, one.total_read);
  std::set<std::string> blocked = blocked_paths(t);
  expect_same(t / "src", t / "dst4", true, blocked);
  expect_same(t / "src", t / "dst1", true, blocked);
}

// Only a local destination gets copier threads; the uploads and the relay
// keep the one command thread, whatever was asked for.
TEST(LocalThreads, OnlyALocalDestinationHasAPool) {
  TempDir t;
  write_file(t / "src/a", "a");
  int size = 0;
  for (uint32_t type : {CDIR_LR, CDIR_RR}) {
    run_job(type, "cp", t / "src", t / ("dst" + std::to_string(type)), 4096, 4, &size);
    EXPECT_EQ(size, 1) << type;
  }
  run_job(CDIR_RL, "cp", t / "src", t / "dst_rl", 4096, 4, &size);
  EXPECT_EQ(size, 4);
  cdir_param p;
  p.i_url = "/nonexistent-src";
  p.o_url = "/nonexistent-dst";
  p.threads = CDIR_THREADS_MAX + 1;
  EXPECT_EQ(libcdir_open(&p), nullptr);
  EXPECT_NE(p.err.msg.find("invalid threads"), std::string::npos) << p.err.msg;
}

INSTANTIATE_TEST_SUITE_P(AllPaths, Paths, ::testing::Values(CDIR_LL, CDIR_RL, CDIR_LR, CDIR_RR), path_name);

}  // namespace
