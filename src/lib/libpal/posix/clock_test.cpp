#include <gtest/gtest.h>

#include <time.h>

#include <regex>
#include <string>

#include "pal_fmt.h"

namespace {

TEST(OsClockMs, MonotonicAndInMilliseconds) {
  int64_t a = os_clock_ms();
  timespec d{0, 20 * 1000000};
  nanosleep(&d, nullptr);
  int64_t b = os_clock_ms();
  EXPECT_GE(b - a, 20);
  EXPECT_LT(b - a, 60000);  // milliseconds, not microseconds
  int64_t prev = os_clock_ms();
  for (int i = 0; i < 100000; ++i) {
    int64_t now = os_clock_ms();
    ASSERT_GE(now, prev);
    prev = now;
  }
}

std::string stamp(int type) {
  char b[64];
  int n = os_get_time_type2(type, b, sizeof b);
  EXPECT_EQ(n, (int)strlen(b)) << type;
  return b;
}

std::string today(const char* fmt) {
  time_t t = time(nullptr);
  tm lt{};
  localtime_r(&t, &lt);
  char b[32];
  strftime(b, sizeof b, fmt, &lt);
  return b;
}

TEST(OsGetTimeType2, EachTypesShape) {
  const char* shapes[] = {
      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)",
      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})",
      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6})",
      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{9})",
      R"(\d\d:\d\d:\d\d)",
      R"(\d\d:\d\d:\d\d\.\d{3})",
      R"(\d{14})",
      R"(\d{17})",
      R"(\d{20})",
  };
  for (int type = 0; type <= 8; ++type) {
    std::string s = stamp(type);
    EXPECT_TRUE(std::regex_match(s, std::regex(shapes[type]))) << type << " [" << s << "]";
  }
}

TEST(OsGetTimeType2, IsLocalTime) {
  // Read the date on both sides so a run across midnight still passes.
  std::string before = today("%Y-%m-%d");
  std::string s = stamp(1);
  std::string after = today("%Y-%m-%d");
  std::string date = s.substr(0, 10);
  EXPECT_TRUE(date == before || date == after) << s;
  std::string compact = stamp(6).substr(0, 8);
  std::string b2 = before.substr(0, 4) + before.substr(5, 2) + before.substr(8, 2);
  std::string a2 = after.substr(0, 4) + after.substr(5, 2) + after.substr(8, 2);
  EXPECT_TRUE(compact == b2 || compact == a2) << compact;
}

TEST(OsGetTimeType2, InvalidTypeLeavesBufferEmpty) {
  for (int type : {-1, 9, 100}) {
    char b[32] = "stale";
    testing::internal::CaptureStderr();
    EXPECT_LT(os_get_time_type2(type, b, sizeof b), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_STREQ(b, "");
    EXPECT_NE(err.find("invalid type=" + std::to_string(type)), std::string::npos) << err;
  }
}

TEST(OsGetTimeType2, CutsToTheBuffer) {
  char b[8];
  testing::internal::CaptureStderr();
  int n = os_get_time_type2(3, b, sizeof b);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(n, 7);
  EXPECT_EQ(strlen(b), 7u);
}

}  // namespace
