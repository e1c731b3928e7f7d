// Start-up and the crash path. Crashes run in child processes: the test
// binary runs itself again (/proc/self/exe) with WY_PAL_CRASH_CHILD naming
// the scenario; a global test environment runs the scenario before any test.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "liblog.h"
#include "pal_init.h"
#include "pal_thread.h"

WY_LOG_TAG("pal");

namespace {

constexpr const char* kChildEnv = "WY_PAL_CRASH_CHILD";
void* g_fault_addr = nullptr;

[[gnu::noinline]] void touch_forbidden_page() {
  // A page with no access at all: a real fault, not something a sanitizer
  // intercepts first.
  void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  g_fault_addr = page;
  fprintf(stderr, "fault_addr=%p\n", page);
  *static_cast<volatile int*>(page) = 1;
}

int fault_proc(void*) {
  touch_forbidden_page();
  return 0;
}

int throw_proc(void*) { throw std::runtime_error("escaped from the procedure"); }

void print_msg(const char* text) {
  write(2, "MSG<", 4);
  write(2, text, strlen(text));
  write(2, ">\n", 2);
}

// Runs one scenario; its exit status is what the parent checks.
int run_scenario(const std::string& mode) {
  pl_init();
  if (mode == "fault_thread" || mode == "throw_thread") {
    os_thread* t = os_thread_init("crasher", mode == "fault_thread" ? fault_proc : throw_proc,
                                  nullptr, 0, nullptr);
    os_thread_wait(t, 10000, nullptr);
    return 3;  // not reached: the process ends with 254
  }
  if (mode == "fault_thread_exit") {
    os_thread_opt opt;
    opt.msg_proc = print_msg;
    opt.exit = 1;
    os_thread* t = os_thread_init("crasher", fault_proc, nullptr, 0, &opt);
    os_thread_wait(t, 10000, nullptr);
    return 3;
  }
  if (mode == "fault_thread_handle") {
    os_thread_opt opt;
    opt.handle = 1;
    os_thread* t = os_thread_init("crasher", fault_proc, nullptr, 0, &opt);
    int code = -1;
    int r = os_thread_wait_kill_exit(t, 10000, &code);
    fprintf(stderr, "handled wait=%d code=%d\n", r, code);
    return 0;
  }
  if (mode == "fault_main") {
    pl_set_panic_msg_proc(print_msg);
    os_thread_name_set("main");
    touch_forbidden_page();
    return 3;
  }
  if (mode == "log_level") {
    LOGD("probe debug line\n");
    LOGE("probe error line\n");
    return 0;
  }
  return 99;
}

class ChildScenario : public testing::Environment {
 public:
  void SetUp() override {
    if (const char* mode = getenv(kChildEnv)) {
      fflush(stdout);
      _exit(run_scenario(mode));
    }
  }
};
// gtest owns registered environments.
[[maybe_unused]] testing::Environment* const g_child_env =
    testing::AddGlobalTestEnvironment(new ChildScenario);

struct child_result {
  int status = -1;  // exit status, or 128 + signal
  std::string err;
};

child_result run_child(const std::string& mode, const std::vector<std::string>& extra_env = {}) {
  child_result res;
  int fds[2];
  if (pipe(fds) != 0) return res;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 2);
    int devnull = open("/dev/null", O_WRONLY);
    if (devnull >= 0) dup2(devnull, 1);
    close(fds[0]);
    close(fds[1]);
    setenv(kChildEnv, mode.c_str(), 1);
    for (const std::string& kv : extra_env) putenv(const_cast<char*>(kv.c_str()));
    execl("/proc/self/exe", "libpal_test", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  char buf[4096];
  for (;;) {
    pollfd p{fds[0], POLLIN, 0};
    int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    deadline - std::chrono::steady_clock::now())
                                    .count());
    if (left <= 0) {
      kill(pid, SIGKILL);
      break;
    }
    if (poll(&p, 1, left) <= 0) continue;
    ssize_t n = read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    res.err.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  int st = 0;
  waitpid(pid, &st, 0);
  res.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return res;
}

size_t count_of(const std::string& s, const std::string& what) {
  size_t n = 0;
  for (size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) ++n;
  return n;
}

std::string machine() {
  utsname u{};
  uname(&u);
  return u.machine;
}

TEST(Crash, FaultInAWorkerThreadIsReportedOnceAndEndsWith254) {
  child_result r = run_child("fault_thread");
  EXPECT_EQ(r.status, 254) << r.err;
  EXPECT_EQ(count_of(r.err, "--ExptInfo-- \n"), 1u) << r.err;
  EXPECT_NE(r.err.find("info: os=linux arch=" + machine() + " app_ver="), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Code: 0xb\nCmsg: SIGSEGV\n"), std::string::npos) << r.err;
  EXPECT_TRUE(std::regex_search(r.err, std::regex("Thread: crasher_[0-9a-f]{4}_[0-9]+\n"))) << r.err;
  EXPECT_TRUE(std::regex_search(r.err, std::regex("Addr: 0x[0-9a-f]+\nASym: .+\n"))) << r.err;
  // The fault address is the page the thread wrote to.
  std::smatch m;
  ASSERT_TRUE(std::regex_search(r.err, m, std::regex("fault_addr=0x([0-9a-f]+)"))) << r.err;
  EXPECT_NE(r.err.find("Param[1]: 0x" + m[1].str() + "\n"), std::string::npos) << r.err;
  // The stack holds the faulting instruction's frame, in the executable.
  ASSERT_TRUE(std::regex_search(r.err, m, std::regex("ASym: (.*libpal_test\\+0x[0-9a-f]+)\n"))) << r.err;
  size_t stack = r.err.find("\n[");
  ASSERT_NE(stack, std::string::npos) << r.err;
  EXPECT_NE(r.err.find(m[1].str() + "\n", stack), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("except continue"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("process panic exit"), std::string::npos) << r.err;
}

TEST(Crash, ExitFlagEndsTheProcessFromTheThreadFilter) {
  child_result r = run_child("fault_thread_exit");
  EXPECT_EQ(r.status, 254) << r.err;
  EXPECT_EQ(count_of(r.err, "--ExptInfo-- \n"), 1u) << r.err;
  EXPECT_TRUE(std::regex_search(
      r.err, std::regex("MSG<Thread exception: tname=\\[crasher_[0-9a-f]{4}_[0-9]+\\] Code=0xb "
                        "Address=0x[0-9a-f]+ \nSee the log for more information>")))
      << r.err;
  EXPECT_NE(r.err.find("thread panic exit"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("process panic exit"), std::string::npos) << r.err;
}

TEST(Crash, HandleFlagEndsOnlyTheFaultingThread) {
  child_result r = run_child("fault_thread_handle");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("--ExptInfo-- \n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("handled wait=0 code=11"), std::string::npos) << r.err;
}

TEST(Crash, UncaughtExceptionInAThreadEndsWith254) {
  child_result r = run_child("throw_thread");
  EXPECT_EQ(r.status, 254) << r.err;
  EXPECT_EQ(count_of(r.err, "--ExptInfo-- \n"), 1u) << r.err;
  EXPECT_NE(r.err.find("Cmsg: CXX_EXCEPTION: "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("escaped from the procedure"), std::string::npos) << r.err;
}

TEST(Crash, FaultInTheMainThreadGoesThroughThePanicHandler) {
  child_result r = run_child("fault_main");
  EXPECT_EQ(r.status, 254) << r.err;
  EXPECT_EQ(count_of(r.err, "--ExptInfo-- \n"), 1u) << r.err;
  EXPECT_TRUE(std::regex_search(
      r.err, std::regex("MSG<Process Panic: Name=\\[main_[0-9a-f]{4}_[0-9]+\\] Code=0xb "
                        "Address=0x[0-9a-f]+ \nSee the log for more information>")))
      << r.err;
  EXPECT_NE(r.err.find("process panic exit"), std::string::npos) << r.err;
}

TEST(PlInit, LogLevelFromTheEnvironmentFiltersStartUpLines) {
  child_result r = run_child("log_level", {"WY_ENV_LOG_LEVEL=err"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("probe error line"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("probe debug line"), std::string::npos) << r.err;
}

TEST(PlInit, SecondCallLeavesTheFirstCallsState) {
  EXPECT_EQ(pl_init(), 0);
  EXPECT_TRUE(pl_started());
  pl_platform first = *pl_platform_get();
  EXPECT_STREQ(first.os, "linux");
  EXPECT_EQ(std::string(first.arch), machine());
  EXPECT_GT(first.start_time, 0);
  EXPECT_GT(first.boot_time, 0);
  EXPECT_LE(first.boot_time, first.start_time);
  EXPECT_NE(first.os_version[0], '\0');
  EXPECT_EQ(pl_init(), 0);
  const pl_platform* again = pl_platform_get();
  EXPECT_EQ(again->start_ms, first.start_ms);
  EXPECT_EQ(again->start_time, first.start_time);
}

TEST(PlInit, StackDumpNamesTheCaller) {
  char buf[16384];
  size_t n = os_dump_stack(buf, sizeof buf);
  EXPECT_EQ(n, strlen(buf));
  EXPECT_NE(std::string(buf).find("libpal_test"), std::string::npos) << buf;
  char tiny[8];
  EXPECT_EQ(os_dump_stack(tiny, sizeof tiny), 7u);  // cut, still terminated
}

}  // namespace
