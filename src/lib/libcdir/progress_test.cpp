// The progress line: what it shows, and that no name can make it wider
// than the terminal or reach the terminal as a control sequence.
#include <gtest/gtest.h>

#include "cdir_imp.h"

namespace {

cdir_progress_snap snap(const std::string& name) {
  cdir_progress_snap s;
  s.files_seen = 10;
  s.files_done = 3;
  s.bytes_done = 1536;
  s.elapsed_ms = 3723250;
  s.name = name;
  return s;
}

/// Columns the line takes: one per character, two for the wide ones used
/// below.
int columns(const std::string& s) {
  int n = 0;
  for (size_t i = 0; i < s.size(); i++) {
    auto b = static_cast<unsigned char>(s[i]);
    if ((b & 0xC0) == 0x80) continue;
    n += b == 0xE6 ? 2 : 1;  // 漢 is E6 BC A2
  }
  return n;
}

TEST(ProgressLine, ShowsCountsSizeRateTimeAndName) {
  std::string l = cdir_progress_line(snap("sub/file.bin"), 2.0 * 1048576 + 1, 200);
  EXPECT_EQ(l, "3/10 files  1.5K  2.00MB/S  01:02:03.250  sub/file.bin");
  cdir_progress_snap z;
  EXPECT_EQ(cdir_progress_line(z, 0, 80), "0/0 files  0  0B/S  00:00.000");
}

TEST(ProgressLine, KeepsWithinTheWidthAndTheTailOfALongName) {
  std::string name = "a/very/long/path/that/goes/on/and/on/until/it/reaches/the/file/called/end.txt";
  for (int width : {80, 60, 50, 20}) {
    std::string l = cdir_progress_line(snap(name), 0, width);
    EXPECT_LE(columns(l), width - 1) << width << ": " << l;
    if (width >= 60) {
      EXPECT_NE(l.find("...") , std::string::npos) << l;
      EXPECT_EQ(l.substr(l.size() - 7), "end.txt") << l;
    }
  }
  // Wide characters count twice and are never cut in half.
  std::string wide;
  for (int i = 0; i < 40; i++) wide += "\xE6\xBC\xA2";
  std::string l = cdir_progress_line(snap(wide), 0, 80);
  EXPECT_LE(columns(l), 79) << l;
  EXPECT_EQ(l.substr(l.size() - 3), "\xE6\xBC\xA2");
  EXPECT_EQ((l.size() - l.find("...") - 3) % 3, 0u) << "a character cut in half";
}

TEST(ProgressLine, ControlCharactersAndBrokenBytesShowAsQuestionMarks) {
  std::string l = cdir_progress_line(snap("a\033[2Jb\rc\x7f" "d\xC2\x9B" "e\xFF" "f\xE6\xBC"), 0, 200);
  EXPECT_EQ(l.find('\033'), std::string::npos);
  EXPECT_EQ(l.find('\r'), std::string::npos);
  EXPECT_EQ(l.substr(l.find("  a")), "  a?[2Jb?c?d?e?f??");
}

}  // namespace
