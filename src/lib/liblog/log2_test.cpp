// The log call: filtering, prefixes, line ends, system text, level-2 exit,
// the set-up commands, the console, and what the layers above plug in. This
// program links the log alone: no platform layer, no outputs.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "liblog.h"
#include "log2_ext.h"

WY_LOG_TAG("logt");

namespace {

struct captured {
  int level;
  std::string tag;
  std::string line;
};
std::vector<captured> g_lines;

void capture_proc(int level, const char* tag, const char* line, int len) {
  g_lines.push_back({level, tag, std::string(line, static_cast<size_t>(len))});
}

// A private log object whose lines land in g_lines instead of the console.
struct test_log {
  log2_t* h = log2_open();
  explicit test_log(const char* flags = "") {
    g_lines.clear();
    log2_set_console(h, 0);
    log2_ioctl(h, LOG2_SET_FLAGS_TAGS, flags);
    log2_ioctl(h, LOG2_SET_PROC_HI, &capture_proc);
    log2_ioctl(h, LOG2_SET_PROC_LO, &capture_proc);
  }
  ~test_log() { log2_close(h); }
};

#define TLOG(h, lv, ...) log2_printf((h), (lv), wy_log_tag_, __FILE__, __LINE__, __func__, __VA_ARGS__)

// Answers as a platform layer would give them, fixed so lines can be
// compared whole.
struct fixed_sys : log2_sys {
  uint32_t thread_id() const override { return 4242; }
  const char* thread_name() const override { return "worker_1a2b_4242"; }
  const char* errno_text(int eno, char* buf, size_t len) const override {
    snprintf(buf, len, "text of %d", eno);
    return buf;
  }
  bool stderr_tty() const override { return true; }
  size_t stack_text(char* buf, size_t len) const override {
    return static_cast<size_t>(snprintf(buf, len, "frame one\nframe two"));
  }
};

// Installs fixed_sys for one test.
struct with_fixed_sys {
  fixed_sys sys;
  with_fixed_sys() { log2_set_sys(&sys); }
  ~with_fixed_sys() { log2_set_sys(nullptr); }
};

TEST(Log2, LevelFilterPassesOnlyAtOrBelowConfiguredLevel) {
  test_log t;
  ASSERT_EQ(log2_ioctl(t.h, LOG2_SET_LEVEL_NAME, "warn"), 0);
  EXPECT_EQ(log2_get_level(t.h), 4);
  TLOG(t.h, LV_DBG, "debug line\n");
  TLOG(t.h, LV_WARN, "warn line\n");
  TLOG(t.h, LV_ERR, "err line\n");
  ASSERT_EQ(g_lines.size(), 2u);
  EXPECT_EQ(g_lines[0].line, "warn line\n");
  EXPECT_EQ(g_lines[0].level, 4);
  EXPECT_EQ(g_lines[1].line, "err line\n");
}

TEST(Log2, InvalidLevelNameSilencesEverything) {
  test_log t;
  testing::internal::CaptureStderr();
  EXPECT_EQ(log2_ioctl(t.h, LOG2_SET_LEVEL_NAME, "debug"), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "error: invalid level [debug]\n");
  EXPECT_EQ(log2_get_level(t.h), -1);
  // Not even a crit line passes, and so it does not end the process either.
  TLOG(t.h, LV_CRIT, "crit\n");
  TLOG(t.h, LV_ERR | LV_NOEXIT, "err\n");
  EXPECT_TRUE(g_lines.empty());
  // Names are exact and lower case.
  EXPECT_EQ(log2_level_by_name("DBG"), -1);
  EXPECT_EQ(log2_level_by_name("verb"), 8);
  EXPECT_EQ(log2_level_by_name("crit"), 2);
}

TEST(Log2, FlagWordFromTags) {
  EXPECT_EQ(log_flags_2_int(""), 0x20u);
  EXPECT_EQ(log_flags_2_int("time|tid|func"), 0x27u);
  EXPECT_EQ(log_flags_2_int("time_ms|tid"), 0x61u);
  EXPECT_EQ(log_flags_2_int("time|time_ms"), 0x60u);
  EXPECT_EQ(log_flags_2_int("file|tid_name|no_colour"), 0x98u);
  testing::internal::CaptureStderr();
  EXPECT_EQ(log_flags_2_int("tid|bogus|func"), 0x25u);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Invalid tags: [bogus]\n");
}

TEST(Log2, TimeMsAndTidPrefix) {
  with_fixed_sys fs;
  test_log t("time_ms|tid");
  TLOG(t.h, LV_INFO, "hello %d\n", 42);
  ASSERT_EQ(g_lines.size(), 1u);
  std::regex re("[0-2][0-9]:[0-5][0-9]:[0-6][0-9]\\.[0-9]{3} \\[4242\\] hello 42\n");
  EXPECT_TRUE(std::regex_match(g_lines[0].line, re)) << g_lines[0].line;
}

TEST(Log2, WithoutPlatformThreadsAreNumberedInTheOrderTheyLog) {
  test_log t("tid|tid_name");
  TLOG(t.h, LV_INFO, "a");
  std::thread([&] { TLOG(t.h, LV_INFO, "b"); }).join();
  TLOG(t.h, LV_INFO, "c");
  ASSERT_EQ(g_lines.size(), 3u);
  std::regex re("\\[([0-9]+)\\] \\[([0-9]+)\\] [abc]\n");
  std::string ids[3];
  for (int i = 0; i < 3; ++i) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(g_lines[i].line, m, re)) << g_lines[i].line;
    EXPECT_EQ(m[1], m[2]) << "a thread goes by its number";
    ids[i] = m[1];
  }
  EXPECT_NE(ids[0], ids[1]);
  EXPECT_EQ(ids[0], ids[2]);
}

TEST(Log2, FileFlagGivesLastPathComponentAndLine) {
  test_log t("file");
  log2_printf(t.h, LV_INFO, "x", "a/b/unit.cpp", 77, "fn", "m\n");
  // 0x08 alone keeps the whole path; with func the function follows.
  log2_ioctl(t.h, LOG2_SET_FLAGS, 0x08 | 0x04);
  log2_printf(t.h, LV_INFO, "x", "a/b/unit.cpp", 78, "fn", "m\n");
  ASSERT_EQ(g_lines.size(), 2u);
  EXPECT_EQ(g_lines[0].line, "[unit.cpp:77] m\n");
  EXPECT_EQ(g_lines[1].line, "[a/b/unit.cpp:78] fn(): m\n");
}

TEST(Log2, PrefixOrderWithEveryFlag) {
  with_fixed_sys fs;
  test_log t("time|tid|tid_name|file|func");
  log2_printf(t.h, LV_INFO, "x", "d/u.cpp", 5, "fn", "m");
  ASSERT_EQ(g_lines.size(), 1u);
  std::regex re("[0-9]{2}:[0-9]{2}:[0-9]{2} \\[4242\\] \\[worker_1a2b_4242\\] \\[u\\.cpp:5\\] fn\\(\\): m\n");
  EXPECT_TRUE(std::regex_match(g_lines[0].line, re)) << g_lines[0].line;
}

TEST(Log2, ExactlyOneTrailingNewline) {
  test_log t;
  TLOG(t.h, LV_INFO, "no newline");
  TLOG(t.h, LV_INFO, "one newline\n");
  TLOG(t.h, LV_INFO, "%s", "");
  ASSERT_EQ(g_lines.size(), 3u);
  EXPECT_EQ(g_lines[0].line, "no newline\n");
  EXPECT_EQ(g_lines[1].line, "one newline\n");
  EXPECT_EQ(g_lines[2].line, "\n");
}

TEST(Log2, OverlongMessageIsCutAndStillEndsTheLine) {
  test_log t("tid");
  std::string big(20000, 'x');
  TLOG(t.h, LV_INFO, "%s", big.c_str());
  ASSERT_EQ(g_lines.size(), 1u);
  EXPECT_EQ(g_lines[0].line.size(), 8191u);
  EXPECT_EQ(g_lines[0].line.back(), '\n');
}

TEST(Log2, SystemTextOfFailedCallAndErrnoKept) {
  with_fixed_sys fs;
  test_log t;
  FILE* f = fopen("/nonexistent-dir-for-log-test/x", "r");
  ASSERT_EQ(f, nullptr);
  ASSERT_EQ(errno, ENOENT);
  TLOG(t.h, LV_ERR | LV_SYS, "fopen [%s] error: ", "x");
  EXPECT_EQ(errno, ENOENT);
  // A filtered call keeps it too.
  log2_ioctl(t.h, LOG2_SET_LEVEL, 3);
  TLOG(t.h, LV_DBG | LV_SYS, "filtered");
  EXPECT_EQ(errno, ENOENT);
  ASSERT_EQ(g_lines.size(), 1u);
  EXPECT_EQ(g_lines[0].line, "fopen [x] error: text of " + std::to_string(ENOENT) + "\n");
  errno = 0;
  TLOG(t.h, LV_ERR | LV_SYS, "nothing failed error: ");
  EXPECT_EQ(g_lines.back().line, "nothing failed error: text of 0\n");
}

TEST(Log2, WithoutPlatformTheSystemErrorGoesByNumber) {
  test_log t;
  errno = EACCES;
  TLOG(t.h, LV_ERR | LV_SYS, "open error: ");
  ASSERT_EQ(g_lines.size(), 1u);
  EXPECT_EQ(g_lines[0].line, "open error: errno " + std::to_string(EACCES) + "\n");
}

TEST(Log2, LineProceduresSplitAtWarnOnlyWhenBothSet) {
  test_log t;
  static std::vector<std::string> lo, hi;
  lo.clear();
  hi.clear();
  log2_ioctl(t.h, LOG2_SET_PROC_LO, +[](int, const char*, const char* l, int n) { lo.emplace_back(l, n); });
  log2_ioctl(t.h, LOG2_SET_PROC_HI, +[](int, const char*, const char* l, int n) { hi.emplace_back(l, n); });
  TLOG(t.h, LV_WARN, "w");
  TLOG(t.h, LV_NOTI, "n");
  EXPECT_EQ(lo, std::vector<std::string>{"w\n"});
  EXPECT_EQ(hi, std::vector<std::string>{"n\n"});
  log2_ioctl(t.h, LOG2_SET_PROC_LO, static_cast<log2_line_proc>(nullptr));
  TLOG(t.h, LV_NOTI, "n2");
  EXPECT_EQ(hi.size(), 1u);
}

TEST(Log2, EmptyTagBecomesTagAndBsvOnlySkipsTextOutputs) {
  test_log t;
  log2_printf(t.h, LV_INFO, "", "f.cpp", 1, "fn", "a");
  log2_printf(t.h, LV_INFO | LV_BSV_ONLY, "x", "f.cpp", 1, "fn", "b");
  ASSERT_EQ(g_lines.size(), 1u);
  EXPECT_EQ(g_lines[0].tag, "tag");
}

TEST(Log2, WholeCallProcedureTakesOverEveryCall) {
  test_log t;
  static std::string got;
  static int got_err;
  log2_set_call_proc(t.h, +[](uint32_t lv, const char* tag, const char*, int line, const char* func, int err,
                              const char* fmt, va_list ap) {
    char b[128];
    vsnprintf(b, sizeof b, fmt, ap);
    got = std::to_string(lv) + "|" + tag + "|" + std::to_string(line) + "|" + func + "|" + b;
    got_err = err;
  });
  errno = EACCES;
  log2_printf(t.h, LV_VERB | LV_SYS, "tg", "s.cpp", 9, "fn", "v=%d", 3);
  EXPECT_EQ(errno, EACCES);
  EXPECT_EQ(got, std::to_string(LV_VERB | LV_SYS) + "|tg|9|fn|v=3");
  EXPECT_EQ(got_err, EACCES);
  EXPECT_TRUE(g_lines.empty());
}

TEST(Log2, RecentLinesKeepNewestWholeLines) {
  test_log t;
  for (int i = 0; i < 200; ++i) TLOG(t.h, LV_INFO, "recent line number %03d\n", i);
  char buf[2048];
  size_t n = log2_last_log(t.h, buf, sizeof buf);
  std::string s(buf, n);
  EXPECT_LE(n, 1023u);
  EXPECT_GT(n, 1023u - 25u);  // full but for less than one line
  EXPECT_EQ(s.rfind("recent line number 199\n"), s.size() - 23);
  EXPECT_EQ(s.rfind("recent line", 0), 0u) << "starts with a whole line";
  // A small caller buffer is cut and terminated.
  char small[8];
  EXPECT_EQ(log2_last_log(t.h, small, sizeof small), 7u);
  EXPECT_EQ(strlen(small), 7u);
}

TEST(Log2, UnknownCommandIsRefused) {
  test_log t;
  testing::internal::CaptureStderr();
  EXPECT_EQ(log2_ioctl(t.h, 99, 1), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Invalid command code\n");
  // Without the outputs their commands are unknown too.
  testing::internal::CaptureStderr();
  EXPECT_EQ(log2_ioctl(t.h, LOG2_SET_FILE, "/tmp/never.log"), -1);
  EXPECT_EQ(log2_ioctl(t.h, LOG2_SET_FILE_ON, 1), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Invalid command code\nInvalid command code\n");
}

TEST(Log2, ConsoleWritesPlainLinesWhenStderrIsNoTerminal) {
  log2_t* h = log2_open();
  log2_ioctl(h, LOG2_SET_FLAGS, 0x20);
  testing::internal::CaptureStderr();
  log2_printf(h, LV_ERR, "x", "f", 1, "fn", "to console %s", "now");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "to console now\n");
  log2_close(h);
}

// The status line is erased before a console line and by a clear, once;
// outside a terminal each call is one whole line and nothing is erased.
TEST(Log2, StatusLineGivesWayToLogLines) {
  log2_t* h = log2_open();
  log2_ioctl(h, LOG2_SET_FLAGS, 0);
  testing::internal::CaptureStderr();
  log2_status_show(h, "1/2 files", true);
  log2_status_show(h, "2/2 files", true);
  log2_printf(h, LV_ERR, "x", "f", 1, "fn", "a line");
  log2_printf(h, LV_ERR, "x", "f", 1, "fn", "another");
  log2_status_show(h, "3/3 files", true);
  log2_status_clear(h);
  log2_status_clear(h);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "\r\033[K1/2 files\r\033[K2/2 files\r\033[Ka line\nanother\n\r\033[K3/3 files\r\033[K");
  testing::internal::CaptureStderr();
  log2_status_show(h, "4/4 files", false);
  log2_printf(h, LV_ERR, "x", "f", 1, "fn", "after");
  log2_status_clear(h);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "4/4 files\nafter\n");
  // A console that is off shows no status either.
  log2_set_console(h, 0);
  testing::internal::CaptureStderr();
  log2_status_show(h, "5/5 files", true);
  log2_status_clear(h);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  log2_close(h);
}

TEST(Log2, ConsoleColoursByLevelOnATerminal) {
  with_fixed_sys fs;  // says standard error is a terminal
  log2_t* h = log2_open();
  log2_ioctl(h, LOG2_SET_LEVEL, 8);
  log2_ioctl(h, LOG2_SET_FLAGS, 0x20);
  testing::internal::CaptureStderr();
  for (uint32_t lv = LV_CRIT | LV_NOEXIT; (lv & 0xff) <= LV_VERB; ++lv)
    log2_printf(h, lv, "x", "f", 1, "fn", "%u", lv & 0xff);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "\033[1;31m2\n\033[0m\033[31m3\n\033[0m\033[1;33m4\n\033[0m\033[1;37m5\n\033[0m6\n"
            "\033[36m7\n\033[0m\033[32m8\n\033[0m");
  // no_colour: plain even on a terminal.
  log2_ioctl(h, LOG2_SET_FLAGS, 0);
  testing::internal::CaptureStderr();
  log2_printf(h, LV_ERR, "x", "f", 1, "fn", "plain");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "plain\n");
  log2_close(h);
}

TEST(Log2, LoggingFromInsideAnOutputDoesNotDeadlock) {
  test_log t;
  static log2_t* inner;
  inner = t.h;
  log2_ioctl(t.h, LOG2_SET_PROC_HI, +[](int, const char*, const char*, int) {
    log2_printf(inner, LV_INFO, "x", "f", 1, "fn", "nested\n");
  });
  testing::internal::CaptureStderr();
  log2_printf(t.h, LV_INFO, "x", "f", 1, "fn", "outer\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "nested\n");
}

TEST(Log2, FailedCheckLogsAssertionAndStack) {
  with_fixed_sys fs;
  static std::vector<std::string> lines;
  lines.clear();
  auto proc = +[](int, const char*, const char* l, int n) { lines.emplace_back(l, n); };
  log2_ioctl(nullptr, LOG2_SET_PROC_HI, proc);
  log2_ioctl(nullptr, LOG2_SET_PROC_LO, proc);
  log2_ioctl(nullptr, LOG2_SET_FLAGS, 0);
  log2_set_console(nullptr, 0);
  errno = EBADF;
  int x = 1;
  bool ok = WY_CHECK(x == 2);
  EXPECT_EQ(errno, EBADF);
  log2_ioctl(nullptr, LOG2_SET_PROC_LO, static_cast<log2_line_proc>(nullptr));
  log2_ioctl(nullptr, LOG2_SET_PROC_HI, static_cast<log2_line_proc>(nullptr));
  log2_set_console(nullptr, 1);
  log2_ioctl(nullptr, LOG2_SET_FLAGS, 0x27);
  EXPECT_FALSE(ok);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "expr[x == 2]: assert failed\n");
  EXPECT_EQ(lines[1], "[frame one\nframe two]\n");
  EXPECT_TRUE(WY_CHECK(x == 1));
}

// Outputs plugged in from above, as liblog_out plugs in its own: they note
// what reaches them, and keep a state per log object that says when it goes.
struct noting_outputs : log2_outputs {
  static inline std::vector<std::string>* seen;
  struct state : log2_out_state {
    bool* freed;
    explicit state(bool* f) : freed(f) {}
    ~state() override { *freed = true; }
  };
  bool state_freed = false;

  int ioctl(log2_t*, int cmd, va_list ap) override {
    if (cmd != LOG2_SET_FILE_SIZE) return kUnknownCmd;
    int v = va_arg(ap, int);
    seen->push_back("ioctl " + std::to_string(v));
    return v < 1024 ? -1 : 0;
  }
  void record(log2_t* L, const log2_rec& r) override {
    std::unique_ptr<log2_out_state>& slot = log2_out_state_of(L);
    if (!slot) slot = std::make_unique<state>(&state_freed);
    seen->push_back("record " + std::string(r.msg, r.msg_len) + " " + r.tag + ":" + std::to_string(r.level));
  }
  void line(log2_t*, const log2_rec& r) override {
    seen->push_back("line " + std::string(r.text, r.len) + "|" + std::string(r.msg2, r.msg2_len));
  }
  void flush(log2_t*) override { seen->push_back("flush"); }
  void close(log2_t*) override { seen->push_back("close"); }
};

// Installs noting_outputs for one test.
struct with_noting_outputs {
  std::vector<std::string> seen;
  noting_outputs o;
  with_noting_outputs() {
    noting_outputs::seen = &seen;
    log2_set_outputs(&o);
  }
  ~with_noting_outputs() { log2_set_outputs(nullptr); }
};

TEST(Log2Outputs, GetEveryCallInTheDocumentedOrder) {
  with_noting_outputs w;
  test_log t("func");
  log2_ioctl(t.h, LOG2_SET_PROC_HI, +[](int, const char*, const char* l, int n) {
    noting_outputs::seen->push_back("proc " + std::string(l, static_cast<size_t>(n)));
  });
  log2_ioctl(t.h, LOG2_SET_LEVEL, 6);
  log2_printf(t.h, LV_INFO, "tg", "f.cpp", 1, "fn", "shown %d", 1);
  log2_printf(t.h, LV_NOTI | LV_BSV_ONLY, "tg", "f.cpp", 2, "fn", "record only");
  log2_printf(t.h, LV_DBG, "tg", "f.cpp", 3, "fn", "filtered");
  EXPECT_EQ(w.seen, (std::vector<std::string>{
                        "record shown 1 tg:6",
                        "proc fn(): shown 1\n",
                        "line fn(): shown 1\n|fn(): shown 1\n",
                        "record record only tg:5",
                    }));
}

TEST(Log2Outputs, TakeTheCommandsTheCoreDoesNotKnowAndCloseWithTheObject) {
  with_noting_outputs w;
  log2_t* h = log2_open();
  log2_set_console(h, 0);
  log2_ioctl(h, LOG2_SET_FLAGS, 0);
  EXPECT_EQ(log2_ioctl(h, LOG2_SET_FILE_SIZE, 4096), 0);
  EXPECT_EQ(log2_ioctl(h, LOG2_SET_FILE_SIZE, 10), -1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(log2_ioctl(h, LOG2_SET_SYSLOG, "udp://127.0.0.1:514"), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Invalid command code\n");
  // The core's own commands never reach them.
  EXPECT_EQ(log2_ioctl(h, LOG2_SET_LEVEL, 5), 0);
  log2_printf(h, LV_ERR, "tg", "f.cpp", 1, "fn", "x");
  ASSERT_FALSE(w.o.state_freed);
  log2_close(h);
  EXPECT_EQ(w.seen, (std::vector<std::string>{"ioctl 4096", "ioctl 10", "record x tg:3", "line x\n|fn(): x\n",
                                              "close"}));
  EXPECT_TRUE(w.o.state_freed);
}

TEST(Log2Death, CritEndsTheProcessWithStatusOne) {
  EXPECT_EXIT(
      {
        log2_set_console(nullptr, 0);
        LOGC("fatal\n");
        std::_Exit(0);
      },
      testing::ExitedWithCode(1), "");
}

// Says so on standard error when flushed, for a process that ends next.
struct flushing_outputs : noting_outputs {
  void flush(log2_t*) override { fputs("outputs flushed\n", stderr); }
};

TEST(Log2Death, CritFlushesTheOutputsBeforeTheEnd) {
  EXPECT_EXIT(
      {
        std::vector<std::string> seen;
        noting_outputs::seen = &seen;
        flushing_outputs o;
        log2_set_outputs(&o);
        log2_set_console(nullptr, 0);
        LOGC("fatal\n");
        std::_Exit(0);
      },
      testing::ExitedWithCode(1), "outputs flushed");
}

TEST(Log2Death, CritWithNoExitBitGoesOn) {
  EXPECT_EXIT(
      {
        log2_set_console(nullptr, 0);
        LOGX(LV_CRIT | LV_NOEXIT, "fatal but going on\n");
        std::_Exit(0);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
