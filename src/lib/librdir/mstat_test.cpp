// Stat records: text forms, the typed field parser and the stat container.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "librdir.h"

namespace {

mstat_item file_rec(const char* name, int64_t size) {
  mstat_item r;
  r.name = name;
  r.flags = RDIR_TYPE_FILE | RDIR_FLAG_ATTRIB;
  r.attrib = 0x20;
  r.mode = 0x1A4;
  r.size = size;
  r.ctime = 1599995904;
  r.wtime = 1600000000;
  r.atime = 1600000000;
  return r;
}

TEST(StatText, DirRecordHasTheDocumentedShape) {
  std::string s;
  rdir_fmt_dir_record(s, file_rec("a.txt", 5));
  EXPECT_EQ(s, "a.txt\t\t802\t20\t1a4\t5\t5f5e0000\t5f5e1000\t5f5e1000\t0\t0\n");
}

TEST(StatText, DirRecordsRoundTripThroughStr2Stat) {
  mstat_item dir;
  dir.name = "sub dir";
  dir.flags = RDIR_TYPE_DIR | RDIR_FLAG_ATTRIB;
  dir.attrib = 0x10;
  dir.mode = 0x1ED;
  dir.uid = 1000;
  dir.gid = 4294967295u;
  mstat_item lnk = file_rec("l", 0);
  lnk.link = "../t\xc3\xa4rget";
  lnk.flags |= RDIR_FLAG_LINK | RDIR_FLAG_JUNCTION;
  mstat_item old = file_rec("old", 1ll << 40);
  old.wtime = -86400;  // before 1970 travels as its 64-bit pattern
  old.atime = 0;
  std::string block;
  rdir_fmt_dir_record(block, dir);
  rdir_fmt_dir_record(block, lnk);
  rdir_fmt_dir_record(block, old);

  mstat_ptr h(mstat_new());
  ASSERT_EQ(str_2_stat(block, h.get()), 0);
  uint64_t n = 0;
  mstat_item* it = mstat_get_item(h.get(), &n);
  ASSERT_EQ(n, 3u);  // the block's final "\n" adds no record
  EXPECT_STREQ(it[0].name, "sub dir");
  EXPECT_EQ(it[0].link, nullptr);  // empty link field: present, stored as none
  EXPECT_EQ(it[0].flags, 0x801u);
  EXPECT_EQ(it[0].mode, 0x1EDu);
  EXPECT_EQ(it[0].uid, 1000u);
  EXPECT_EQ(it[0].gid, 4294967295u);
  EXPECT_STREQ(it[1].link, "../t\xc3\xa4rget");
  EXPECT_EQ(it[1].flags, 0xB02u);
  EXPECT_EQ(it[1].ctime, 1599995904);
  EXPECT_EQ(it[2].size, 1ll << 40);
  EXPECT_EQ(it[2].wtime, -86400);
  EXPECT_EQ(it[2].atime, 0);
}

TEST(StatText, MalformedRecordEndsParseKeepingEarlierOnes) {
  std::string block;
  rdir_fmt_dir_record(block, file_rec("good", 1));
  block += "\n\n";                                          // empty lines are dropped
  block += "bad\t\t802\t20\t1a4\t5\t0\t0\t0\t0\n";          // 10 fields
  rdir_fmt_dir_record(block, file_rec("never", 1));
  mstat_ptr h(mstat_new());
  EXPECT_EQ(str_2_stat(block, h.get()), -1);
  uint64_t n = 0;
  mstat_item* it = mstat_get_item(h.get(), &n);
  ASSERT_EQ(n, 1u);
  EXPECT_STREQ(it[0].name, "good");

  // A damaged number is not read as 0: the field count falls short.
  mstat_ptr h2(mstat_new());
  EXPECT_EQ(str_2_stat("x\t\t80z\t20\t1a4\t5\t0\t0\t0\t0\t0\n", h2.get()), -1);
  EXPECT_EQ(str_2_stat("x\t\t802\t20\t1a4\t-5\t0\t0\t0\t0\t0\n", h2.get()), -1);
  EXPECT_EQ(str_2_stat("x\t\t1802\t20\t1a4\t5\t0\t0\t0\t0\t4294967296\n", h2.get()), -1);
  mstat_get_item(h2.get(), &n);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(str_2_stat("", h2.get()), 0);
  EXPECT_EQ(str_2_stat("x", nullptr), -1);
}

TEST(StatText, FieldParserTypesAndCounts) {
  std::string_view a, b;
  uint32_t u = 7;
  uint64_t w = 0;
  int32_t i = 0;
  // Empty fields are kept; surplus fields beyond the type list are ignored.
  EXPECT_EQ(str_scanf_sep_val_imp("x\t\tff\t-12\t99\tmore", '\t', "str|str|x32|int|size",
                                  {&a, &b, &u, &i, &w}),
            5);
  EXPECT_EQ(a, "x");
  EXPECT_EQ(b, "");
  EXPECT_EQ(u, 0xFFu);
  EXPECT_EQ(i, -12);
  EXPECT_EQ(w, 99u);
  // Fewer fields than types: the count says so.
  EXPECT_EQ(str_scanf_sep_val_imp("1\t2", '\t', "int|int|int", {&i, &i, &i}), 2);
  // Conversion stops at a field that is not a number of its type.
  EXPECT_EQ(str_scanf_sep_val_imp("1\tx\t3", '\t', "u32|u32|u32", {&u, &u, &u}), 1);
  EXPECT_EQ(str_scanf_sep_val_imp("2147483648", '\t', "int", {&i}), 0);
  EXPECT_EQ(str_scanf_sep_val_imp("-2147483648", '\t', "int", {&i}), 1);
  EXPECT_EQ(i, INT32_MIN);
  EXPECT_EQ(str_scanf_sep_val_imp("ffffffffffffffff", '\t', "x64", {&w}), 1);
  EXPECT_EQ(w, UINT64_MAX);
  EXPECT_EQ(str_scanf_sep_val_imp("10000000000000000", '\t', "x64", {&w}), 0);
  // Bad calls fail with -1 whatever the line holds.
  EXPECT_EQ(str_scanf_sep_val_imp("1", '\t', "u16", {&u}), -1);
  EXPECT_EQ(str_scanf_sep_val_imp("1", '\t', "u32|u32", {&u}), -1);
  EXPECT_EQ(str_scanf_sep_val_imp("1", '\t', "u32", {&w}), -1);
  EXPECT_EQ(str_scanf_sep_val_imp("1", '\t', "u32", {static_cast<uint32_t*>(nullptr)}), -1);
}

TEST(StatText, ListLinesRoundTrip) {
  mstat_item d;
  d.name = "dir";
  d.flags = 0x801;
  d.attrib = 0x10;
  d.mode = 0x1ED;
  d.ctime = 1;
  d.wtime = 0x5f5e1000;
  d.atime = 3;
  d.uid = 5;
  d.gid = 6;
  std::string s;
  rdir_fmt_mkdir_line(s, d);
  EXPECT_EQ(s, "dir\t801\t10\t1ed\t1\t5f5e1000\t3\t5\t6");
  rdir_line l;
  ASSERT_EQ(libmfile_dir_scanf(s, &l), 0);
  EXPECT_EQ(l.name, "dir");
  EXPECT_EQ(l.st.wtime, 0x5f5e1000);
  EXPECT_EQ(l.st.gid, 6u);
  EXPECT_EQ(libmfile_dir_scanf("dir\t801\t10\t1ed\t1\t2\t3\t5", &l), -1);       // 8 fields
  EXPECT_EQ(libmfile_dir_scanf("dir\t801\t10\t1ed\t1\t2\t3\t5\t6\tx", &l), -1);  // 10 fields

  s.clear();
  mstat_item f = file_rec("f", 3);
  f.link = "tgt";
  rdir_fmt_write_line(s, f, "YWJj");
  EXPECT_EQ(s, "f\ttgt\t802\t20\t1a4\t5f5e0000\t5f5e1000\t5f5e1000\t0\t0\tYWJj");
  ASSERT_EQ(libmfile_write_scanf(s, &l), 0);
  EXPECT_EQ(l.name, "f");
  EXPECT_EQ(l.link, "tgt");
  EXPECT_EQ(l.data, "YWJj");
  EXPECT_EQ(l.st.flags, 0x802u);
  EXPECT_EQ(libmfile_write_scanf("f\t\t802\t20\t1a4\t0\t0\t0\t0\t0", &l), -1);  // 10 fields

  s.clear();
  rdir_fmt_fstat_line(s, f);
  EXPECT_EQ(s, "2050\t20\t1a4\t5f5e0000\t5f5e1000\t5f5e1000\t0\t0");

  int32_t k = 9, v = 9;
  EXPECT_EQ(libmfile_write_get_info("1\t-102", &k, &v), 0);
  EXPECT_EQ(k, 1);
  EXPECT_EQ(v, -102);
  EXPECT_EQ(libmfile_write_get_info("0", &k, &v), -1);
  EXPECT_EQ(libmfile_write_get_info("", &k, &v), -1);
}

TEST(StatText, DataRecordHeaderAndMalformedRecords) {
  uint8_t buf[16];
  libmfile_read_set_data_len_err(buf, 3, 0);
  memcpy(buf + 4, "abc", 3);
  EXPECT_EQ(buf[0], 0);
  EXPECT_EQ(buf[3], 3);
  mfile_data d;
  EXPECT_EQ(libmfile_read_get_data_len_err(buf, 7, &d), 7);
  EXPECT_FALSE(d.open_err || d.read_err);
  EXPECT_EQ(std::string(d.data.begin(), d.data.end()), "abc");
  EXPECT_EQ(libmfile_read_get_data_len_err(buf, 6, &d), -1);  // payload past the block

  libmfile_read_set_data_len_err(buf, 4, RDIR_DATA_OPEN_ERR);
  const int32_t code = -102;
  for (int i = 0; i < 4; i++) buf[4 + i] = static_cast<uint8_t>(static_cast<uint32_t>(code) >> (24 - 8 * i));
  EXPECT_EQ(buf[0], 0x80);
  EXPECT_EQ(libmfile_read_get_data_len_err(buf, 16, &d), 8);
  EXPECT_TRUE(d.open_err);
  EXPECT_EQ(d.verr, -102);
  EXPECT_EQ(libmfile_read_get_data_len_err(buf, 7, &d), -1);  // error code cut off

  libmfile_read_set_data_len_err(buf, 5, RDIR_DATA_READ_ERR);  // flag with length 5
  EXPECT_EQ(libmfile_read_get_data_len_err(buf, 16, &d), -1);
  libmfile_read_set_data_len_err(buf, 4, RDIR_DATA_READ_ERR | RDIR_DATA_OPEN_ERR);
  EXPECT_EQ(libmfile_read_get_data_len_err(buf, 16, &d), -1);
  libmfile_read_set_data_len_err(buf, 0xFFFFFFFFu, 0);  // length is cut to the field
  EXPECT_EQ(buf[0], 0x3F);
  EXPECT_EQ(libmfile_read_get_data_len_err(buf, 16, &d), -1);
  EXPECT_EQ(libmfile_read_get_data_len_err(buf, 3, &d), -1);
  libmfile_read_set_data_len_err(buf, 0, 0);
  EXPECT_EQ(libmfile_read_get_data_len_err(buf, 4, &d), 4);
  EXPECT_TRUE(d.data.empty());
}

TEST(Mstat, GrowsKeepsOrderAndPooledTextsStayPut) {
  mstat_param p;
  p.pool_block = 64;  // small blocks: many pool blocks, texts must not move
  p.item_init = 1;
  mstat_ptr h(mstat_new(&p));
  std::vector<std::string> names;
  for (int i = 0; i < 1000; i++) names.push_back("name-" + std::to_string(i) + std::string(i % 90, 'x'));
  for (int i = 0; i < 1000; i++) {
    mstat_item r = file_rec(names[i].c_str(), i);
    r.link = (i % 3) ? "" : "link";
    mstat_item* it = mstat_cp_alloc(h.get(), r);
    ASSERT_NE(it, nullptr);
    EXPECT_NE(it->name, r.name);  // a copy, not the caller's text
  }
  uint64_t n = 0;
  mstat_item* it = mstat_get_item(h.get(), &n);
  ASSERT_EQ(n, 1000u);
  for (int i = 0; i < 1000; i++) {
    EXPECT_EQ(names[i], it[i].name);
    EXPECT_EQ(it[i].size, i);
    if (i % 3)
      EXPECT_EQ(it[i].link, nullptr);
    else
      EXPECT_STREQ(it[i].link, "link");
  }
  EXPECT_EQ(mstat_fail_count(h.get()), 0u);
}

TEST(Mstat, NullContainerIsRefusedAndEmptyHasNoItems) {
  uint64_t n = 5;
  EXPECT_EQ(mstat_get_item(nullptr, &n), nullptr);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(mstat_cp_alloc(nullptr, file_rec("a", 1)), nullptr);
  EXPECT_EQ(mstat_exit(nullptr), -1);
  EXPECT_EQ(mstat_ref(nullptr), -1);
  mstat_ptr h(mstat_new());
  n = 5;
  EXPECT_EQ(mstat_get_item(h.get(), &n), nullptr);
  EXPECT_EQ(n, 0u);
}

TEST(Mstat, LastOfManyHoldersOnOtherThreadsFrees) {
  // Run under ASan: an early free or a double free shows up there.
  for (int round = 0; round < 50; round++) {
    mstat* h = mstat_new();
    ASSERT_NE(h, nullptr);
    mstat_cp_alloc(h, file_rec("a", 1));
    const int holders = 4;
    for (int i = 1; i < holders; i++) ASSERT_EQ(mstat_ref(h), 0);
    std::vector<std::thread> ts;
    for (int i = 0; i < holders; i++)
      ts.emplace_back([h] {
        uint64_t n = 0;
        mstat_item* it = mstat_get_item(h, &n);
        if (n != 1 || strcmp(it[0].name, "a") != 0) ADD_FAILURE();
        mstat_exit(h);
      });
    for (auto& t : ts) t.join();
  }
}

}  // namespace

TEST(StatText, DirRecordMatchesPrintfAtTheEdges) {
  const int64_t sizes[] = {0, 1, 9, 10, 4096, INT64_MAX, -1, INT64_MIN};
  const uint64_t times[] = {0, 1, 15, 16, 0x5f5e1000, UINT64_MAX};
  const uint32_t words[] = {0, 1, 0x802, 0xffffffffu};
  for (int64_t size : sizes)
    for (uint64_t t : times)
      for (uint32_t w : words) {
        mstat_item it;
        it.name = "n";
        it.link = "l";
        it.flags = w;
        it.attrib = w ^ 1;
        it.mode = w >> 1;
        it.size = size;
        it.ctime = static_cast<int64_t>(t);
        it.wtime = static_cast<int64_t>(t ^ 5);
        it.atime = static_cast<int64_t>(~t);
        it.uid = w;
        it.gid = w >> 4;
        char want[512];
        snprintf(want, sizeof want, "n\tl\t%x\t%x\t%x\t%lld\t%llx\t%llx\t%llx\t%u\t%u\n", it.flags, it.attrib,
                 it.mode, static_cast<long long>(it.size), static_cast<unsigned long long>(it.ctime),
                 static_cast<unsigned long long>(it.wtime), static_cast<unsigned long long>(it.atime), it.uid,
                 it.gid);
        std::string got;
        rdir_fmt_dir_record(got, it);
        ASSERT_EQ(got, want);
      }
}
