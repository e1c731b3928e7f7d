// The log in a program that links libpal: its lines carry the platform's
// answers from the first one on, before pl_init too; the outputs above the
// platform layer are not linked in.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "liblog.h"
#include "libpal.h"

WY_LOG_TAG("palt");

namespace {

std::vector<std::string> g_lines;

void capture_proc(int, const char*, const char* line, int len) {
  g_lines.emplace_back(line, static_cast<size_t>(len));
}

// Lines of the process's log object land in g_lines instead of the console
// while this lives; the defaults come back afterwards.
struct captured_log {
  explicit captured_log(uint32_t flags) {
    g_lines.clear();
    log2_set_console(nullptr, 0);
    log2_ioctl(nullptr, LOG2_SET_FLAGS, static_cast<int>(flags));
    log2_ioctl(nullptr, LOG2_SET_PROC_HI, &capture_proc);
    log2_ioctl(nullptr, LOG2_SET_PROC_LO, &capture_proc);
  }
  ~captured_log() {
    log2_ioctl(nullptr, LOG2_SET_PROC_LO, static_cast<log2_line_proc>(nullptr));
    log2_ioctl(nullptr, LOG2_SET_PROC_HI, static_cast<log2_line_proc>(nullptr));
    log2_ioctl(nullptr, LOG2_SET_FLAGS, static_cast<int>(LOG_F_DEFAULT));
    log2_set_console(nullptr, 1);
  }
};

// Nothing here calls pl_init: the answers are in place without it.
TEST(PalLog, LinesCarryTheSystemThreadIdAndTheDisplayName) {
  captured_log c(LOG_F_TID | LOG_F_TID_NAME);
  std::string want;
  std::thread([&] {
    os_thread_name_set("palt");
    want = "[" + std::to_string(static_cast<uint32_t>(os_thread_id())) + "] [" + os_thread_display_name() + "] named\n";
    LOGI("named");
    os_thread_name_del();
  }).join();
  ASSERT_EQ(g_lines.size(), 1u);
  EXPECT_EQ(g_lines[0], want);
  EXPECT_EQ(want.find("] [palt_"), want.find(']')) << want;
}

TEST(PalLog, SystemTextInEnglish) {
  captured_log c(0);
  errno = ENOENT;
  LOGES("open [%s] error: ", "x");
  EXPECT_EQ(errno, ENOENT);
  errno = 0;
  LOGES("nothing failed error: ");
  EXPECT_EQ(g_lines, (std::vector<std::string>{"open [x] error: No such file or directory\n",
                                               "nothing failed error: ok\n"}));
}

TEST(PalLog, FailedCheckLogsTheStack) {
  captured_log c(0);
  int x = 1;
  EXPECT_FALSE(WY_CHECK(x == 2));
  ASSERT_EQ(g_lines.size(), 2u);
  EXPECT_EQ(g_lines[0], "expr[x == 2]: assert failed\n");
  EXPECT_EQ(g_lines[1].front(), '[');
  EXPECT_GT(g_lines[1].size(), 10u) << "one frame at least";
}

TEST(PalLog, OutputCommandsAreUnknownBelowTheOutputs) {
  log2_t* h = log2_open();
  testing::internal::CaptureStderr();
  EXPECT_EQ(log2_ioctl(h, LOG2_SET_FILE, "/tmp/pal_log_never.log"), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Invalid command code\n");
  log2_close(h);
}

}  // namespace
