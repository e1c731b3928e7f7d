#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "pal_mem.h"
#include "wytest.h"

namespace {

constexpr size_t kMiB = 1 << 20;

// Keeps the compiler from dropping an allocation nobody reads.
void* volatile g_sink;

void* touched(size_t n) {
  auto* p = static_cast<char*>(malloc(n));
  if (p != nullptr) memset(p, 0x5a, n);
  g_sink = p;
  return p;
}

TEST(OsMem, ResidentIsVmRss) {
  long kib = os_mem_resident_kib();
  ASSERT_GT(kib, 0);
  // 32 MiB touched shows up, give or take what the allocator does meanwhile.
  void* p = touched(32 * kMiB);
  ASSERT_NE(p, nullptr);
  EXPECT_GE(os_mem_resident_kib() - kib, 24 * 1024);
  free(p);
}

// What a server meets: a large buffer freed once (the C library then keeps
// blocks up to that size in its heaps rather than mapping them apart), and
// a thread that fills and frees such blocks and ends. With one heap for all
// threads, the release gives its memory back. The policy must come before
// the first thread of the process, as in wysd's main: a child forked from
// this test process would inherit the heaps its earlier tests' threads
// made, so the measuring runs in a fresh process, this program started again
// with only the probe below, which writes its figures to the pipe it names.
constexpr const char* kProbeFd = "WY_MEM_PROBE_FD";

TEST(OsMem, ReleaseProbe) {
  const char* fd_text = getenv(kProbeFd);
  if (fd_text == nullptr) GTEST_SKIP() << "run by WhatAnEndedThreadFreedGoesBackOnRelease";
  int policy = os_mem_one_heap();
  free(touched(16 * kMiB));
  long before = os_mem_resident_kib();
  std::thread t([] {
    std::vector<void*> blocks;
    for (int i = 0; i < 24; i++) blocks.push_back(touched(kMiB));
    for (void* b : blocks) free(b);
  });
  t.join();
  long held = os_mem_resident_kib();
  int released = os_mem_release();
  long after = os_mem_resident_kib();
  char out[128];
  int n = snprintf(out, sizeof out, "%d %ld %ld %d %ld", policy, before, held, released, after);
  ASSERT_EQ(write(atoi(fd_text), out, static_cast<size_t>(n)), n);
}

TEST(OsMem, WhatAnEndedThreadFreedGoesBackOnRelease) {
  if (wytest::kSanitized) GTEST_SKIP() << "a sanitizer's allocator replaces the C library's";
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(fds[0]);
    setenv(kProbeFd, std::to_string(fds[1]).c_str(), 1);
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, 1);
    execl("/proc/self/exe", "libpal_test", "--gtest_filter=OsMem.ReleaseProbe", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  char in[128] = {};
  ssize_t n = read(fds[0], in, sizeof in - 1);
  close(fds[0]);
  int ws = 0;
  waitpid(pid, &ws, 0);
  ASSERT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0) << "child status " << ws;
  ASSERT_GT(n, 0);
  int policy = -2, released = -2;
  long before = -1, held = -1, after = -1;
  ASSERT_EQ(sscanf(in, "%d %ld %ld %d %ld", &policy, &before, &held, &released, &after), 5) << in;
  EXPECT_EQ(policy, 0);
  // The freed blocks stayed with the allocator until the release ...
  ASSERT_GE(held - before, 16 * 1024) << in;
  // ... which gave nearly all of them back.
  EXPECT_EQ(released, 1) << in;
  EXPECT_LT(after - before, 4 * 1024) << "before, held, after (KiB): " << in;
}

}  // namespace
