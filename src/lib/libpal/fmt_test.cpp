#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>

#include "pal_fmt.h"

namespace {

std::string human(uint64_t n) {
  char b[64];
  return str_human_size(n, b, sizeof b);
}
std::string rate(double x) {
  char b[16];
  return str_rate(x, b, sizeof b);
}
std::string count(uint64_t n) {
  char b[32];
  return str_count(n, b, sizeof b);
}
std::string duration(double x) {
  char b[128];
  return str_duration(x, b, sizeof b);
}

TEST(HumanSize, UnitsAndRounding) {
  EXPECT_EQ(human(0), "0");
  EXPECT_EQ(human(1023), "1023");
  EXPECT_EQ(human(1024), "1.0K");
  EXPECT_EQ(human(1075), "1.0K");  // 51 of 1024 rounds down to 0 tenths
  EXPECT_EQ(human(1076), "1.1K");  // 52 rounds up
  EXPECT_EQ(human(1126), "1.1K");
  EXPECT_EQ(human(1536), "1.5K");
  EXPECT_EQ(human(1048575), "1024.0K");  // tenths of 10 carry into the whole part
  EXPECT_EQ(human(1048576), "1.0M");
  EXPECT_EQ(human(1572864), "1.5M");
  EXPECT_EQ(human(1ull << 30), "1.0G");
  EXPECT_EQ(human(1ull << 40), "1.0T");
  EXPECT_EQ(human(1ull << 50), "1.0P");
  EXPECT_EQ(human(1ull << 60), "1.0E");
  EXPECT_EQ(human(UINT64_MAX), "16.0E");
}

TEST(HumanSize, CutsToTheBuffer) {
  char b[4] = {'x', 'x', 'x', 'x'};
  testing::internal::CaptureStderr();
  EXPECT_STREQ(str_human_size(1048575, b, sizeof b), "102");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("need_size=8 buf_size=4 fmt=[%llu.%u%c]"), std::string::npos) << err;
}

TEST(SizeParse, NumbersAndSuffixes) {
  EXPECT_EQ(str_size_parse("4096"), 4096u);
  EXPECT_EQ(str_size_parse("2M"), 2097152u);
  EXPECT_EQ(str_size_parse("1.5k"), 1536u);
  EXPECT_EQ(str_size_parse("8MB"), 8000000u);
  EXPECT_EQ(str_size_parse("3w"), 6u);
  EXPECT_EQ(str_size_parse("7c"), 7u);
  EXPECT_EQ(str_size_parse("1B"), 512u);  // "b" comes before any two-letter entry
  EXPECT_EQ(str_size_parse("1KB"), 1000u);
  EXPECT_EQ(str_size_parse("1kb"), 1000u);
  EXPECT_EQ(str_size_parse("1kD"), 1000u);
  EXPECT_EQ(str_size_parse("1K"), 1024u);
  EXPECT_EQ(str_size_parse("1md"), 1000000u);
  EXPECT_EQ(str_size_parse("1g"), 1073741824u);
  EXPECT_EQ(str_size_parse("1GB"), 1000000000u);
  EXPECT_EQ(str_size_parse("1T"), 1ull << 40);
  EXPECT_EQ(str_size_parse("1tb"), 1000000000000ull);
  EXPECT_EQ(str_size_parse("1P"), 1ull << 50);
  EXPECT_EQ(str_size_parse("1PB"), 1000000000000000ull);
  EXPECT_EQ(str_size_parse("2kc"), 2048u);  // two letters multiply in turn
  EXPECT_EQ(str_size_parse("1kk"), 1048576u);
  EXPECT_EQ(str_size_parse("1.5"), 1u);  // truncated
  EXPECT_EQ(str_size_parse(".5k"), 512u);
  EXPECT_EQ(str_size_parse("5."), 5u);
  EXPECT_EQ(str_size_parse("16383P"), 16383ull << 50);
}

TEST(SizeParse, NotASize) {
  for (const char* bad : {"", "10x", "1MiB", "+5", "-5", " 5", "\t5", "\n5", "b", "kB", "1xk",
                          "1.2.3", ".", "k5", "5 k", "1e3", "0x10", "1\n", "99999P"})
    EXPECT_EQ(str_size_parse(bad), 0u) << "[" << bad << "]";
  EXPECT_EQ(str_size_parse(nullptr), 0u);
  std::string s256(255, '0');
  s256 += '1';
  EXPECT_EQ(str_size_parse(s256.c_str()), 1u);
  EXPECT_EQ(str_size_parse(("0" + s256).c_str()), 0u);  // 257 characters
}

TEST(Rate, StrictThresholds) {
  EXPECT_EQ(rate(0), "0B/S");
  EXPECT_EQ(rate(1024), "1024B/S");
  EXPECT_EQ(rate(1025), "1.0KB/S");
  EXPECT_EQ(rate(1048576), "1024.0KB/S");
  EXPECT_EQ(rate(1048577), "1.00MB/S");
  EXPECT_EQ(rate(1073741824.0), "1024.00MB/S");
  EXPECT_EQ(rate(1073741825.0), "1.000GB/S");
  EXPECT_EQ(rate(1.5 * 1073741824.0), "1.500GB/S");
  char b[16];
  testing::internal::CaptureStderr();
  EXPECT_EQ(strlen(str_rate(1e30, b, sizeof b)), 15u);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("need_size="), std::string::npos);
}

TEST(Count, DecimalUnits) {
  EXPECT_EQ(count(0), "0 B");
  EXPECT_EQ(count(999), "999 B");
  EXPECT_EQ(count(1000), "1.00 Q");
  EXPECT_EQ(count(9999), "10.00 Q");
  EXPECT_EQ(count(10000), "1.00 W");
  EXPECT_EQ(count(99999999), "10000.00 W");
  EXPECT_EQ(count(100000000), "1.00 Y");
  EXPECT_EQ(count(250000000), "2.50 Y");
}

TEST(Duration, Forms) {
  EXPECT_EQ(duration(0), "00:00.000");
  EXPECT_EQ(duration(59.5), "00:59.500");
  EXPECT_EQ(duration(60), "01:00.000");
  EXPECT_EQ(duration(3599.999), "59:59.999");
  EXPECT_EQ(duration(3600), "01:00:00.000");
  EXPECT_EQ(duration(3723.25), "01:02:03.250");
  EXPECT_EQ(duration(86399), "23:59:59.000");
  EXPECT_EQ(duration(86400), "1_00:00:00.000");
  EXPECT_EQ(duration(90061), "1_01:01:01.000");
  EXPECT_EQ(duration(10 * 86400 + 3599), "10_00:59:59.000");
  // Values no clock difference should give still print safely.
  EXPECT_EQ(duration(-5), "00:00.000");
  EXPECT_EQ(duration(NAN), "00:00.000");
  EXPECT_FALSE(duration(INFINITY).empty());
}

speed_show started(int32_t mode, uint64_t total, const char* suffix, int64_t start) {
  speed_show s;
  speed_show_init(&s, mode, total, suffix);
  s.start_ms = start;
  return s;
}

TEST(SpeedShow, BytesModeAndPadding) {
  const int64_t t0 = 1000000;
  speed_show s = started(SPEED_SHOW_BYTES, 3072, nullptr, t0);
  char b[256];
  speed_show_add(&s, 1536);
  // Right after the start both times count as one second, not zero.
  int n = speed_show_line(&s, t0, b, sizeof b);
  std::string first = "\r50.00% all=1536bytes (1.5K) avg=1.5KB/S now=1.5KB/S";
  EXPECT_EQ(std::string(b), first);
  EXPECT_EQ(n, (int)first.size());
  EXPECT_EQ(s.since_last, 0u);

  speed_show_add(&s, 1536);
  n = speed_show_line(&s, t0 + 2000, b, sizeof b);
  std::string second = "\r100% all=3072bytes (3.0K) avg=1.5KB/S now=768B/S";
  ASSERT_LT(second.size(), first.size());
  second.append(first.size() - second.size(), ' ');  // blanks out the longer line
  EXPECT_EQ(std::string(b), second);
  EXPECT_EQ(n, (int)first.size());
  EXPECT_DOUBLE_EQ(s.max_rate, 1536);
  EXPECT_DOUBLE_EQ(s.cur_rate, 768);
  EXPECT_DOUBLE_EQ(s.avg_rate, 1536);
}

TEST(SpeedShow, BytesModeWithoutTotal) {
  speed_show s = started(SPEED_SHOW_BYTES, 0, nullptr, 5000);
  char b[256];
  speed_show_line(&s, 5000, b, sizeof b);
  EXPECT_STREQ(b, "\rall=0bytes (0) avg=0B/S now=0B/S");
}

TEST(SpeedShow, BarMode) {
  speed_show s = started(SPEED_SHOW_BAR, 1000, nullptr, 5000);
  char b[256];
  speed_show_add(&s, 250);
  speed_show_line(&s, 5000, b, sizeof b);
  std::string first = "\r1000 250B/S [" + std::string(12, '=') + std::string(38, ' ') + "] 25.00% ";
  EXPECT_EQ(std::string(b), first);
  speed_show_add(&s, 2000);  // beyond the expected total
  speed_show_line(&s, 6000, b, sizeof b);
  std::string full = "\r1000 2.0KB/S [" + std::string(50, '=') + "] 100% ";
  full.resize(first.size(), ' ');
  EXPECT_EQ(std::string(b), full);
}

TEST(SpeedShow, CountModesWithSuffix) {
  for (int32_t mode : {SPEED_SHOW_COUNT, SPEED_SHOW_COUNT2}) {
    speed_show s = started(mode, 0, " files", 5000);
    char b[256];
    speed_show_add(&s, 12345);
    speed_show_line(&s, 6000, b, sizeof b);
    EXPECT_STREQ(b, "\rall=12345 (1.23 W) speed=12345 B/S (1.23 W) files") << mode;
  }
}

TEST(SpeedShow, LineIsCutToTheBuffer) {
  speed_show s = started(SPEED_SHOW_BYTES, 0, " a long suffix that does not fit", 5000);
  char b[20];
  testing::internal::CaptureStderr();
  int n = speed_show_line(&s, 5000, b, sizeof b);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(n, 19);
  EXPECT_EQ(strlen(b), 19u);
}

TEST(SpeedShow, WritesToStandardError) {
  speed_show s;
  speed_show_init(&s, SPEED_SHOW_COUNT, 0, "|");
  speed_show_add(&s, 7);
  testing::internal::CaptureStderr();
  int n = speed_show_imp2(&s);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ((int)err.size(), n);
  EXPECT_EQ(err.rfind("\rall=7 (7 B) speed=", 0), 0u) << err;
  EXPECT_EQ(err.back(), '|');
}

TEST(SpeedShowDeathTest, UnknownModeLogsModeError) {
  EXPECT_EXIT(
      {
        speed_show s = started(7, 0, nullptr, 5000);
        char b[64];
        int r = speed_show_line(&s, 5000, b, sizeof b);
        exit(r == -1 ? 1 : 3);
      },
      testing::ExitedWithCode(1), "mode error");
}

}  // namespace
