#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <regex>
#include <string>
#include <thread>

#include "crc16.h"
#include "pal_thread.h"

namespace {

struct seen {
  std::string display;
  std::string registered;
  std::string sys_name;
  uint64_t tid = 0;
};

int record_names(void* arg) {
  auto* s = static_cast<seen*>(arg);
  s->display = os_thread_display_name();
  s->tid = os_thread_id();
  char buf[300];
  if (os_thread_name_get(s->tid, buf, sizeof buf) >= 0) s->registered = buf;
  char sys[32] = {};
  pthread_getname_np(pthread_self(), sys, sizeof sys);
  s->sys_name = sys;
  return 42;
}

TEST(Thread, ExitCodeAndNamesOfAStartedThread) {
  seen s;
  os_thread* t = os_thread_init("rdir_cmder", record_names, &s, 0, nullptr);
  ASSERT_NE(t, nullptr);
  int code = 0;
  EXPECT_EQ(os_thread_wait(t, -1, &code), 0);
  EXPECT_EQ(code, 42);
  EXPECT_EQ(os_thread_wait_kill_exit(t, 0, &code), 0);  // ended: waits no more, closes
  EXPECT_TRUE(std::regex_match(s.registered, std::regex("rdir_cmder_[0-9a-f]{4}"))) << s.registered;
  EXPECT_EQ(s.display, s.registered + "_" + std::to_string(s.tid));
  EXPECT_EQ(s.sys_name, "rdir_cmder");
  // The registration ends with the thread.
  char buf[64];
  EXPECT_EQ(os_thread_name_get(s.tid, buf, sizeof buf), -1);
}

int blocked_signals(void*) {
  sigset_t cur;
  pthread_sigmask(SIG_BLOCK, nullptr, &cur);
  int bits = 0;
  if (sigismember(&cur, SIGINT)) bits |= 1;
  if (sigismember(&cur, SIGTERM)) bits |= 2;
  if (sigismember(&cur, SIGHUP)) bits |= 4;
  if (sigismember(&cur, SIGSEGV)) bits |= 8;
  return bits;
}

// Stop signals reach only the main thread; faults stay with the thread that
// faults, which writes the crash report. The starter's own mask is kept.
TEST(Thread, StartedThreadsLeaveStopSignalsToTheMainThread) {
  os_thread* t = os_thread_init("sigmask", blocked_signals, nullptr, 0, nullptr);
  ASSERT_NE(t, nullptr);
  int code = 0;
  EXPECT_EQ(os_thread_wait_kill_exit(t, -1, &code), 0);
  EXPECT_EQ(code, 1 | 2 | 4);
  EXPECT_EQ(blocked_signals(nullptr), 0);
}

TEST(Thread, LongNamesAreCutForTheMapAndTheSystem) {
  std::string name(300, 'n');
  seen s;
  os_thread* t = os_thread_init(name.c_str(), record_names, &s, 64 * 1024, nullptr);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(os_thread_wait_kill_exit(t, -1, nullptr), 0);
  EXPECT_EQ(s.registered.size(), 255u + 5u);
  EXPECT_EQ(s.registered.substr(0, 255), std::string(255, 'n'));
  EXPECT_EQ(s.sys_name, std::string(15, 'n'));
}

TEST(Thread, UnnamedThreadShowsItsIdAndMainCanRegister) {
  std::string display;
  uint64_t tid = 0;
  std::thread plain([&] {
    display = os_thread_display_name();
    tid = os_thread_id();
  });
  plain.join();
  EXPECT_EQ(display, std::to_string(tid));

  std::thread named([&] {
    EXPECT_EQ(os_thread_name_set("main"), 0);
    display = os_thread_display_name();
    tid = os_thread_id();
    EXPECT_EQ(os_thread_name_del(), 0);
    EXPECT_EQ(std::string(os_thread_display_name()), std::to_string(tid));
  });
  named.join();
  EXPECT_TRUE(std::regex_match(display, std::regex("main_[0-9a-f]{4}_" + std::to_string(tid))))
      << display;
  EXPECT_EQ(os_thread_name_set(nullptr), -1);
}

TEST(Thread, Crc16TagIsTheArcVariant) {
  // The standard check value of CRC-16/ARC.
  EXPECT_EQ(crc16("123456789", 9), 0xBB3D);
  EXPECT_EQ(crc16("", 0), 0);
}

TEST(Thread, WaitTimesOutWhileTheThreadRuns) {
  std::atomic<bool> go{false};
  os_thread* t = os_thread_start(
      "waiter",
      [&go] {
        for (int i = 0; i < 5000 && !go.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return 7;
      },
      0, nullptr);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(os_thread_wait(t, 20, nullptr), -2);
  go = true;
  int code = 0;
  EXPECT_EQ(os_thread_wait(t, -1, &code), 0);
  EXPECT_EQ(code, 7);
  os_thread_close(t);
  EXPECT_EQ(os_thread_wait(nullptr, 0, nullptr), -1);
}

// A thread that is given up on keeps what it uses: the handle is closed and
// the caller's reference dropped, and the thread still works on its object
// until it ends on its own.
TEST(Thread, GivenUpThreadKeepsItsStateAlive) {
  struct state {
    std::atomic<bool> release{false};
    std::atomic<int> touched{0};
    std::string text = "still here";
  };
  auto st = std::make_shared<state>();
  std::weak_ptr<state> watch = st;
  os_thread* t = os_thread_start(
      "stuck",
      [st] {
        for (int i = 0; i < 10000 && !st->release.load(); ++i)
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        // Touch the object after the owner has let go of it.
        st->touched = static_cast<int>(st->text.size());
        return 0;
      },
      0, nullptr);
  ASSERT_NE(t, nullptr);
  int code = 0;
  EXPECT_EQ(os_thread_wait_kill_exit(t, 30, &code), -2);
  EXPECT_EQ(code, 1);
  auto keep = watch.lock();
  ASSERT_NE(keep, nullptr);
  keep->release = true;
  st.reset();
  keep.reset();
  // The thread lets go of the last reference when it ends.
  for (int i = 0; i < 5000 && !watch.expired(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_TRUE(watch.expired());
}

std::string g_msg;
void take_msg(const char* text) { g_msg = text; }

TEST(Thread, HandledExceptionEndsOnlyTheThread) {
  g_msg.clear();
  os_thread_opt opt;
  opt.msg_proc = take_msg;
  opt.handle = 1;
  testing::internal::CaptureStderr();
  os_thread* t = os_thread_start(
      "thrower", []() -> int { throw std::runtime_error("bad input"); }, 0, &opt);
  ASSERT_NE(t, nullptr);
  int code = 0;
  EXPECT_EQ(os_thread_wait_kill_exit(t, 10000, &code), 0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(static_cast<uint32_t>(code), OS_EXCEPTION_CXX);
  EXPECT_NE(err.find("--ExptInfo-- \n"), std::string::npos) << err;
  EXPECT_NE(err.find("bad input"), std::string::npos) << err;
  EXPECT_TRUE(std::regex_search(
      g_msg, std::regex("^Thread exception: tname=\\[thrower_[0-9a-f]{4}_[0-9]+\\] Code=0xe0000001 "
                        "Address=0x[0-9a-f]+ \nSee the log for more information$")))
      << g_msg;
}

}  // namespace
