#include "pal_str.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "wytest.h"

namespace {

using wytest::TempDir;

TEST(StrTest, BoundedCopyCutsSilently) {
  char buf[6];
  EXPECT_EQ(5u, str_cpy(buf, sizeof buf, "abcdefgh"));
  EXPECT_STREQ("abcde", buf);
  EXPECT_EQ(2u, str_cpy(buf, sizeof buf, "ab"));
  EXPECT_STREQ("ab", buf);
  EXPECT_EQ(0u, str_cpy(buf, sizeof buf, nullptr));
  EXPECT_STREQ("", buf);
  EXPECT_EQ(0u, str_cpy(buf, 0, "abc"));
  EXPECT_EQ(3u, str_ncpy(buf, sizeof buf, std::string_view("a\0b", 3)));
}

TEST(StrTest, FormattedWriteReportsWhatDoesNotFit) {
  char buf[8];
  EXPECT_EQ(5, str_snprintf(buf, sizeof buf, "%s-%d", "ab", 42));
  EXPECT_STREQ("ab-42", buf);

  testing::internal::CaptureStderr();
  EXPECT_EQ(-1, str_snprintf(buf, sizeof buf, "%s=%d", "key", 123456));
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_STREQ("key=123", buf);
  EXPECT_NE(std::string::npos, log.find("need_size=11 buf_size=8 fmt=[%s=%d]")) << log;
  EXPECT_EQ(-1, str_snprintf(nullptr, 4, "x"));
}

TEST(StrTest, FormatIntoStrings) {
  std::string big(1000, 'x');
  EXPECT_EQ(big + "/7", str_format("%s/%d", big.c_str(), 7));
  std::string s = "a";
  EXPECT_EQ(1003u, str_appendf(&s, "[%s]:", big.c_str()));
  EXPECT_EQ("a[" + big + "]:", s);
}

TEST(StrFileTest, WriteThenReadBytesAsTheyAre) {
  TempDir dir;
  std::string p = dir / "f.bin";
  std::string data("\xEF\xBB\xBF" "a\0b\r\n", 8);
  data += std::string(10000, 'z');
  ASSERT_EQ(0, os_file_write_all(p.c_str(), data));
  std::string back = "old";
  ASSERT_EQ(0, os_file_read_all(p.c_str(), &back));
  EXPECT_EQ(data, back);
  ASSERT_EQ(0, os_file_write_all(p.c_str(), "short"));  // truncates
  ASSERT_EQ(0, os_file_read_all(p.c_str(), &back));
  EXPECT_EQ("short", back);
}

TEST(StrFileTest, FailuresKeepErrno) {
  TempDir dir;
  std::string out;
  errno = 0;
  EXPECT_EQ(-1, os_file_read_all((dir / "missing").c_str(), &out));
  EXPECT_EQ(ENOENT, errno);
  errno = 0;
  EXPECT_EQ(-1, os_file_write_all((dir / "no/such/dir").c_str(), "x"));
  EXPECT_EQ(ENOENT, errno);
  errno = 0;
  EXPECT_EQ(-1, os_file_read_all(nullptr, &out));
  EXPECT_EQ(EINVAL, errno);
}

}  // namespace
