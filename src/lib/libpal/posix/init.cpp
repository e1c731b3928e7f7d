// Platform start-up on POSIX.
#include <fcntl.h>
#include <signal.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "liblog.h"
#include "pal_init.h"
#include "thread_imp.h"

WY_LOG_TAG("pal");

namespace {

std::mutex g_init_mu;
bool g_started = false;  // under g_init_mu; read through pl_started

// The main thread's alternate signal stack; threads we start bring their own.
alignas(16) unsigned char g_main_altstack[OS_ALTSTACK_SIZE];
os_altstack g_main_alt;

const char* build_arch() {
#if defined(__x86_64__)
  return "x86_64";
#elif defined(__i386__)
  return "x86";
#elif defined(__aarch64__)
  return "aarch64";
#elif defined(__arm__)
  return "arm";
#elif defined(__riscv) && __riscv_xlen == 64
  return "riscv64";
#elif defined(__powerpc64__)
  return "ppc64";
#elif defined(__s390x__)
  return "s390x";
#else
  return "unknown";
#endif
}

// Name and architecture are known before start-up, so a crash report
// written before pl_init still carries them.
pl_platform g_platform = [] {
  pl_platform p;
  p.os = "linux";
  p.arch = build_arch();
  return p;
}();

void platform_fill(pl_platform* pf) {
  utsname u{};
  if (uname(&u) == 0) snprintf(pf->os_version, sizeof pf->os_version, "%s", u.release);
  timespec now{}, mono{};
  clock_gettime(CLOCK_REALTIME, &now);
  clock_gettime(CLOCK_MONOTONIC, &mono);
  pf->start_time = now.tv_sec;
  pf->start_ms = static_cast<uint64_t>(mono.tv_sec) * 1000 + static_cast<uint64_t>(mono.tv_nsec) / 1000000;
  struct sysinfo si{};
  if (sysinfo(&si) == 0) pf->boot_time = now.tv_sec - si.uptime;
}

}  // namespace

int pl_init() {
  LOGV("==>\n");
  std::lock_guard<std::mutex> g(g_init_mu);
  if (g_started) return 0;
  g_started = true;

  if (const char* lv = getenv("WY_ENV_LOG_LEVEL"); lv != nullptr && lv[0] != '\0')
    log2_ioctl(nullptr, LOG2_SET_LEVEL_NAME, lv);

  platform_fill(&g_platform);
  os_thread_name_init();
  srand(static_cast<unsigned>(time(nullptr)));

  if (!os_debugger_attached()) {
    if (os_altstack_push(&g_main_alt, g_main_altstack, sizeof g_main_altstack) == false)
      LOGES("sigaltstack error: ");
    os_crash_handlers_install();
  }

  // Sockets: a peer that closes must show up as EPIPE, not end the process.
  if (signal(SIGPIPE, SIG_IGN) == SIG_ERR) LOGE("os_socket_init_env failed\n");

  LOGV("pagesize=%d\n", static_cast<int>(sysconf(_SC_PAGESIZE)));
  return 0;
}

bool pl_started() {
  std::lock_guard<std::mutex> g(g_init_mu);
  return g_started;
}

const pl_platform* pl_platform_get() { return &g_platform; }

bool os_debugger_attached() {
  // Only open/read/close: this is also asked from crash paths.
  int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[4096];
  ssize_t n = read(fd, buf, sizeof buf - 1);
  close(fd);
  if (n <= 0) return false;
  buf[n] = '\0';
  const char* p = strstr(buf, "TracerPid:");
  if (p == nullptr) return false;
  p += strlen("TracerPid:");
  while (*p == ' ' || *p == '\t') ++p;
  return *p != '\0' && *p != '0';
}
