// Error classes, stop flags, transfer modes and the per-file comparison.
#include <gtest/gtest.h>

#include <cstring>

#include "cdir_imp.h"

namespace {

mstat_item file(int64_t size, int64_t wtime) {
  mstat_item it;
  it.name = "f";
  it.flags = RDIR_TYPE_FILE;
  it.size = size;
  it.wtime = wtime;
  return it;
}

TEST(CdirClass, TableAndStops) {
  struct {
    int verr, eno;
    bool stops;
  } rows[] = {{-1, -1, true},  {-38, -2, false},  {-102, -2, false}, {-103, -2, false},
              {-114, -2, false}, {-113, -3, true}, {-152, -4, true},  {-252, -5, true},
              {-258, -5, true},  {-40, -7, true},  {-454, 0, false},  {-8, 0, false}};
  for (auto& r : rows) {
    EXPECT_EQ(libcdir_verr_2_eno(r.verr), r.eno) << r.verr;
    cdir_job job;
    cdir_verr_check(&job, r.verr);
    EXPECT_EQ(job.error_stop.load(), r.stops ? 1u : 0u) << r.verr;
    EXPECT_EQ(cdir_need_exit(&job), r.stops) << r.verr;
    EXPECT_EQ(job.last_eno, r.eno);
    EXPECT_EQ(job.last_verr, r.verr);
  }
}

TEST(CdirClass, LaterFailureOverwritesTheClassButNotTheStop) {
  cdir_job job;
  cdir_verr_check(&job, -152);  // disk full: stops
  cdir_verr_check(&job, -38);   // access denied: does not
  EXPECT_EQ(job.error_stop.load(), 1u);
  EXPECT_EQ(job.last_eno, -2);
  EXPECT_TRUE(cdir_need_exit(&job));
  cdir_job user;
  user.user_stop = 1;
  EXPECT_TRUE(cdir_need_exit(&user));
}

TEST(CdirClass, ListingWriteFailuresAlwaysStopWithANonZeroClass) {
  // A full disk stops with its own class, an i/o error (class 0) with the
  // general one, a denied write (which would not stop) stops with its own.
  struct {
    int verr, cls;
  } rows[] = {{-152, -4}, {-257, -1}, {-38, -2}, {-1, -1}};
  for (auto& r : rows) {
    cdir_job job;
    job.c.list_path = "/some/list";
    cdir_list_write_failed(&job, r.verr);
    EXPECT_EQ(job.last_verr, r.verr);
    EXPECT_EQ(job.last_eno, r.cls) << r.verr;
    EXPECT_TRUE(cdir_need_exit(&job)) << r.verr;
  }
}

// A listing ends only on a whole end mark; a damaged one (a peer's bytes
// cut or altered) is never taken for the end of a complete listing.
TEST(CdirListing, EndMarkIsParsedStrictly) {
  int v = 99;
  EXPECT_TRUE(cdir_parse_end_mark("0", &v));
  EXPECT_EQ(v, 0);
  EXPECT_TRUE(cdir_parse_end_mark("-102", &v));
  EXPECT_EQ(v, -102);
  for (const char* bad : {"", "-", "0x", " 0", "0\n", "1a", "12345678901", "-2147483649", "2147483648", "+1"}) {
    v = 99;
    EXPECT_FALSE(cdir_parse_end_mark(bad, &v)) << "[" << bad << "]";
    EXPECT_EQ(v, 99) << bad;
  }
}

TEST(CdirModes, Lookup) {
  struct {
    const char* name;
    uint32_t work, cmp;
  } rows[] = {{"copy_overwrite", 0, 4},
              {"cp", 0, 4},
              {"copy_diff_size_date", 0, 2},
              {"copy_newer", 0, 3},
              {"copy_no_overwrite", 0, 1},
              {"sync_diff_size_date", 1, 5},
              {"sync", 1, 5},
              {"sync_diff_size_date_bin", 1, 6},
              {"sync_diff_size_date_hash", 1, 7},
              {"sync_diff_size_date_rsync", 1, 8},
              {"sync_diff_size_date_auto_hash_rsync", 1, 9}};
  for (auto& r : rows) {
    cdir_param p;
    ASSERT_EQ(cdir_mode_lookup(r.name, &p), 0) << r.name;
    EXPECT_EQ(p.work_mode, r.work) << r.name;
    EXPECT_EQ(p.cmp_mode, r.cmp) << r.name;
  }
  for (const char* bad : {"copy", "rm", "ls", "Sync", "CP", "", "sync "}) {
    cdir_param p;
    p.work_mode = 7;
    p.cmp_mode = 9;
    EXPECT_EQ(cdir_mode_lookup(bad, &p), -1) << bad;
    EXPECT_EQ(p.work_mode, 7u);
    EXPECT_EQ(p.cmp_mode, 9u);
  }
  int n = 0;
  for (const char* const* m = cdir_listed_modes; *m; m++) n++;
  EXPECT_EQ(n, 3);
  EXPECT_STREQ(cdir_listed_modes[2], "sync_diff_size_date");
}

TEST(CdirCompare, SizeAndDateModes) {
  for (uint32_t mode : {2u, 5u}) {
    cdir_job job;
    job.cmp_mode = mode;
    mstat_item s = file(10, 1000);
    for (int64_t d : {-2, -1, 0, 1, 2}) {
      mstat_item o = file(10, 1000 + d);
      EXPECT_EQ(cdir_cmp_file_stat(&job, "f", &s, &o), 0) << d;
    }
    for (int64_t d : {-3, 3, 1000}) {
      mstat_item o = file(10, 1000 + d);
      EXPECT_EQ(cdir_cmp_file_stat(&job, "f", &s, &o), 1) << d;
    }
    mstat_item o = file(11, 1000);
    EXPECT_EQ(cdir_cmp_file_stat(&job, "f", &s, &o), 1);
  }
}

TEST(CdirCompare, OtherModes) {
  mstat_item s = file(10, 1000);
  cdir_job job;
  for (uint32_t mode : {4u, 6u, 7u, 8u, 9u}) {
    job.cmp_mode = mode;
    mstat_item same = file(10, 1000);
    EXPECT_EQ(cdir_cmp_file_stat(&job, "f", &s, &same), 1) << mode;
  }
  job.cmp_mode = 1;  // an existing file is never overwritten
  mstat_item other = file(99, 5);
  EXPECT_EQ(cdir_cmp_file_stat(&job, "f", &s, &other), 0);
  job.cmp_mode = 3;  // newer source only
  struct {
    int64_t dsize, dtime;
    int want;
  } rows[] = {{10, 997, 1}, {10, 998, 0}, {10, 1002, 0}, {10, 5000, 0},
              {9, 5000, 0}, {9, 1001, 1}, {9, 999, 1},   {9, 990, 1}};
  for (auto& r : rows) {
    mstat_item o = file(r.dsize, r.dtime);
    EXPECT_EQ(cdir_cmp_file_stat(&job, "f", &s, &o), r.want) << r.dsize << " " << r.dtime;
  }
}

TEST(CdirNames, SortAndFindByBytes) {
  mstat_item it[5];
  const char* names[] = {"b", "B", "a", "ab", "A"};
  for (int i = 0; i < 5; i++) {
    it[i].name = names[i];
    it[i].size = 5 - i;
  }
  cdir_sort_by_name(it, 5);
  EXPECT_STREQ(it[0].name, "A");
  EXPECT_STREQ(it[4].name, "b");
  for (const char* n : names) ASSERT_NE(cdir_find_name(it, 5, n), nullptr) << n;
  EXPECT_EQ(cdir_find_name(it, 5, "c"), nullptr);
  EXPECT_EQ(cdir_find_name(it, 5, "a "), nullptr);
  EXPECT_EQ(cdir_find_name(it, 0, "a"), nullptr);
  cdir_sort_by_size(it, 5);
  for (int i = 1; i < 5; i++) EXPECT_LE(it[i - 1].size, it[i].size);
}

TEST(CdirPaths, DestinationFollowsTheSourcePosition) {
  cdir_job job;
  job.src.path = "/s";
  job.dst.path = "/d/";
  cdir_stat* root = rdir_stat_alloc(&job, nullptr, nullptr);
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->path, "/s");
  EXPECT_EQ(root->opath, "/d/");
  cdir_stat* sub = rdir_stat_alloc(&job, "/s/x/y", nullptr);
  EXPECT_EQ(sub->opath, "/d/x/y");
  cdir_stat_free(root);
  cdir_stat_free(sub);
  job.dst.path.clear();  // ls: no destination
  sub = rdir_stat_alloc(&job, "/s/x", nullptr);
  EXPECT_EQ(sub->opath, "");
  cdir_stat_free(sub);
  cdir_endpoint e;
  EXPECT_EQ(e.join("/a/", "b"), "/a/b");
  EXPECT_EQ(e.join("/a", "b"), "/a/b");
  // A side with another separator keeps its own, also below the root.
  job.dst.path = "D:\\b";
  job.dst.sep = '\\';
  EXPECT_EQ(job.dst.join("D:\\b", "x"), "D:\\b\\x");
  EXPECT_EQ(cdir_dst_below(&job, "/s/x/y"), "D:\\b\\x\\y");
}

}  // namespace
