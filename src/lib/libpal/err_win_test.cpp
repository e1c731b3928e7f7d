#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "pal_err.h"

namespace {

struct row {
  int verr;
  std::vector<uint32_t> numbers;
};

// Every row of the Windows number table.
const row kRows[] = {
    {-2, {87, 160, 1004, 10022}},
    {-4, {6, 130, 10009}},
    {-6, {487, 998, 10014}},
    {-8, {8, 14, 1450}},
    {-19, {4390}},
    {-36, {1}},
    {-37, {50}},
    {-38, {5, 10013}},
    {-39, {995, 10004}},
    {-40, {121, 258, 1053, 1121, 1460, 10060}},
    {-41, {111, 122}},
    {-43, {164}},
    {-44, {89, 10067}},
    {-45, {156, 205}},
    {-46, {162}},
    {-47, {209}},
    {-49, {1705}},
    {-52, {10035, 11002}},
    {-58, {1113}},
    {-70, {1223}},
    {-78, {1060}},
    {-89, {1326, 1788, 1789}},
    {-101, {110}},
    {-102, {2, 433, 1006, 1921}},
    {-103, {3}},
    {-104, {123, 161, 1200}},
    {-105, {80, 183}},
    {-106, {4, 10024}},
    {-107, {25}},
    {-108, {131}},
    {-109, {132}},
    {-110, {38}},
    {-111, {30}},
    {-112, {29}},
    {-113, {19}},
    {-114, {32, 1224}},
    {-115, {167}},
    {-116, {33}},
    {-117, {82}},
    {-118, {16, 10066}},
    {-119, {17}},
    {-120, {206, 10063}},
    {-123, {158}},
    {-125, {145}},
    {-126, {267}},
    {-151, {15}},
    {-152, {39, 112, 10069}},
    {-154, {108}},
    {-155, {26}},
    {-156, {10062}},
    {-201, {18}},
    {-202, {113}},
    {-250, {1117}},
    {-251, {20}},
    {-252, {21}},
    {-253, {22}},
    {-254, {23}},
    {-255, {24}},
    {-256, {27}},
    {-257, {31}},
    {-258, {55}},
    {-300, {535, 536}},
    {-301, {109}},
    {-302, {230}},
    {-303, {231}},
    {-304, {232, 1812}},
    {-305, {233}},
    {-306, {234}},
    {-351, {100}},
    {-352, {101}},
    {-353, {102}},
    {-354, {103}},
    {-355, {288}},
    {-357, {298}},
    {-361, {105}},
    {-362, {187}},
    {-400, {51, 52, 57, 58, 59, 60, 65, 66, 70, 71, 72, 85, 86, 88}},
    {-401, {54, 56, 68, 69, 84}},
    {-402, {53, 64, 11001}},
    {-403, {67}},
    {-404, {61, 62, 63}},
    {-449, {11004}},
    {-461, {10061}},
    {-464, {10064}},
    {-465, {10065}},
    {-600, {191}},
    {-608, {193, 1392}},
    {-609, {127}},
    {-610, {126}},
    {-619, {577}},
    {-901, {1314, 0xC000042Cu}},
    {-902, {1325, 1327, 1330, 1331}},
};

TEST(OsVerrGetWin, EveryRow) {
  EXPECT_EQ(os_verr_get_win(0), 0);
  for (const row& r : kRows) {
    EXPECT_STRNE(verr2str(r.verr), "Invalid error code") << r.verr;
    for (uint32_t n : r.numbers) EXPECT_EQ(os_verr_get_win(n), r.verr) << "number " << n;
  }
}

TEST(OsVerrGetWin, WinsockRangeIsOffsetFrom9600) {
  for (uint32_t n = 10036; n <= 10059; ++n) EXPECT_EQ(os_verr_get_win(n), 9600 - (int)n) << n;
  EXPECT_EQ(os_verr_get_win(10054), -454);
  EXPECT_STREQ(verr2str(os_verr_get_win(10054)), "Connection reset by peer.");
}

TEST(OsVerrGetWin, UnlistedNumbersAreTheGenericFailure) {
  std::set<uint32_t> listed;
  for (const row& r : kRows) listed.insert(r.numbers.begin(), r.numbers.end());
  for (uint32_t n = 10036; n <= 10059; ++n) listed.insert(n);
  testing::internal::CaptureStderr();
  int unhandled = 0;
  for (uint32_t n = 1; n < 12000; ++n) {
    if (listed.count(n)) continue;
    ASSERT_EQ(os_verr_get_win(n), -1) << n;
    ++unhandled;
  }
  EXPECT_EQ(os_verr_get_win(0xC000042Du), -1);
  EXPECT_EQ(os_verr_get_win(0xFFFFFFFFu), -1);
  testing::internal::GetCapturedStderr();
  EXPECT_GT(unhandled, 11000);
}

TEST(OsVerrGetWin, TwentyEightWarnsBetweenMappedNeighbours) {
  EXPECT_EQ(os_verr_get_win(27), -256);
  EXPECT_EQ(os_verr_get_win(29), -112);
  testing::internal::CaptureStderr();
  EXPECT_EQ(os_verr_get_win(28), -1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Unhandled eno=28 (0x1c)"), std::string::npos) << err;
}

}  // namespace
