// The crash path on POSIX: fatal signals (and C++ exceptions that escape a
// thread procedure) become a report on standard error and an exit with 254.
// Everything reachable from the signal handler is async-signal-safe: no
// allocation, no locks of the log, output with write(2) from a static buffer.
#include <dlfcn.h>
#include <execinfo.h>
#include <signal.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "liblog.h"
#include "pal_init.h"
#include "pal_thread.h"
#include "thread_imp.h"

WY_LOG_TAG("pal");

#ifndef WY_VERSION
#define WY_VERSION "0"
#endif

namespace {

std::atomic<bool> g_exception_seen{false};
std::atomic<void (*)(const char*)> g_panic_proc{nullptr};

// One crash is reported at a time; the thread that reports owns this (and
// may take it again while it reports). Others wait: the owner ends the
// process, or releases it after ending only its own thread.
std::atomic<uint64_t> g_crash_owner{0};
thread_local int tls_crash_depth = 0;
thread_local bool tls_in_signal = false;

void crash_lock() {
  uint64_t me = os_thread_id();
  if (g_crash_owner.load() != me) {
    uint64_t free_ = 0;
    while (!g_crash_owner.compare_exchange_weak(free_, me)) {
      free_ = 0;
      timespec ts{0, 1000000};
      nanosleep(&ts, nullptr);
    }
  }
  ++tls_crash_depth;
}

void crash_unlock() {
  if (--tls_crash_depth == 0) g_crash_owner.store(0);
}

void write_all(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
}

// Text builder without allocation. With fd >= 0 a full buffer is written out
// and reused; otherwise the text is cut.
struct text_buf {
  char* b;
  size_t cap;
  size_t n = 0;
  int fd = -1;

  text_buf(char* buf, size_t size, int out_fd) : b(buf), cap(size), fd(out_fd) {
    if (cap > 0) b[0] = '\0';
  }
  void flush() {
    if (fd >= 0 && n > 0) write_all(fd, b, n);
    n = 0;
    if (cap > 0) b[0] = '\0';
  }
  void ch(char c) {
    if (cap == 0) return;
    if (n + 1 >= cap) {
      if (fd < 0) return;
      flush();
    }
    b[n++] = c;
    b[n] = '\0';
  }
  void str(const char* s) {
    for (; s != nullptr && *s != '\0'; ++s) ch(*s);
  }
  void hex(uint64_t v) {
    char t[17];
    int i = 16;
    t[i] = '\0';
    do {
      t[--i] = "0123456789abcdef"[v & 15];
      v >>= 4;
    } while (v != 0);
    str(t + i);
  }
  void dec(int64_t v) {
    char t[24];
    int i = 23;
    t[i] = '\0';
    uint64_t u = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    do {
      t[--i] = static_cast<char>('0' + u % 10);
      u /= 10;
    } while (u != 0);
    if (v < 0) t[--i] = '-';
    str(t + i);
  }
};

// "%s!%s+0x%x" (module, symbol, offset), or "%s+0x%x" (module, offset from
// its base) without a symbol.
void sym_text(text_buf& t, const void* addr) {
  Dl_info info{};
  if (dladdr(addr, &info) == 0 || info.dli_fname == nullptr) {
    t.str("0x");
    t.hex(reinterpret_cast<uintptr_t>(addr));
    return;
  }
  t.str(info.dli_fname);
  if (info.dli_sname != nullptr && info.dli_saddr != nullptr) {
    t.ch('!');
    t.str(info.dli_sname);
    t.str("+0x");
    t.hex(reinterpret_cast<uintptr_t>(addr) - reinterpret_cast<uintptr_t>(info.dli_saddr));
  } else {
    t.str("+0x");
    t.hex(reinterpret_cast<uintptr_t>(addr) - reinterpret_cast<uintptr_t>(info.dli_fbase));
  }
}

void stack_text(text_buf& t, int skip) {
  void* frames[256];
  int n = backtrace(frames, 256);
  for (int i = skip; i < n; ++i) {
    sym_text(t, frames[i]);
    t.ch('\n');
  }
}

void say(const os_exception_info* ei, uint32_t level, const char* text) {
  if (ei->in_signal) {
    write_all(2, text, strlen(text));
  } else {
    LOGX(level, "%s", text);
  }
}

// "<head>: tname=[%s] Code=0x%x Address=0x%p \nSee the log for more information"
void call_msg_proc(void (*proc)(const char*), const char* head, const char* key,
                   const os_exception_info* ei) {
  static char text[4096];
  text_buf t(text, sizeof text, -1);
  t.str(head);
  t.str(key);
  t.str("=[");
  t.str(os_thread_display_name());
  t.str("] Code=0x");
  t.hex(ei->code);
  t.str(" Address=0x");
  t.hex(reinterpret_cast<uintptr_t>(ei->addr));
  t.str(" \nSee the log for more information");
  proc(text);
}

const char* signal_name(int sig) {
  switch (sig) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGILL: return "SIGILL";
    case SIGFPE: return "SIGFPE";
    case SIGABRT: return "SIGABRT";
    default: return "SIGNAL";
  }
}

const void* fault_pc(void* uc, const siginfo_t* si) {
  auto* ctx = static_cast<ucontext_t*>(uc);
#if defined(__x86_64__)
  if (ctx != nullptr) return reinterpret_cast<const void*>(ctx->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
  if (ctx != nullptr) return reinterpret_cast<const void*>(ctx->uc_mcontext.pc);
#else
  (void)ctx;
#endif
  return si != nullptr ? si->si_addr : nullptr;
}

void on_fatal_signal(int sig, siginfo_t* si, void* uc) {
  if (tls_in_signal) _exit(254);  // a fault while reporting a fault
  tls_in_signal = true;
  crash_lock();
  os_exception_info ei;
  ei.code = static_cast<uint32_t>(sig);
  ei.name = signal_name(sig);
  ei.flags = si != nullptr ? si->si_code : 0;
  ei.addr = fault_pc(uc, si);
  if (si != nullptr && (sig == SIGSEGV || sig == SIGBUS || sig == SIGILL || sig == SIGFPE)) {
    ei.nparams = 1;
    ei.params[0] = reinterpret_cast<uintptr_t>(si->si_addr);
  }
  ei.in_signal = true;
  os_thread_ctx* ctx = os_thread_ctx_current();
  if (ctx != nullptr &&
      os_thread_exception_filter(&ei, ctx->has_opt ? &ctx->opt : nullptr) == OS_EXCEPT_HANDLE) {
    ctx->handled_code = sig;
    tls_in_signal = false;
    crash_unlock();
    siglongjmp(ctx->jmp, 1);
  }
  app_panic_handle(&ei);
}

}  // namespace

void os_backtrace_warm() {
  void* frames[4];
  backtrace(frames, 4);
}

size_t os_dump_stack(char* buf, size_t size) {
  if (buf == nullptr || size == 0) return 0;
  text_buf t(buf, size, -1);
  stack_text(t, 1);
  return t.n;
}

int os_exception_dump(const os_exception_info* ei) {
  if (ei == nullptr) return -1;
  static char report[8192];
  crash_lock();
  text_buf t(report, sizeof report, 2);
  const pl_platform* pf = pl_platform_get();
  t.str("--ExptInfo-- \n");
  t.str("info: os=");
  t.str(pf->os);
  t.str(" arch=");
  t.str(pf->arch);
  t.str(" app_ver=" WY_VERSION "\n");
  t.str("Thread: ");
  t.str(os_thread_display_name());
  t.str("\nCode: 0x");
  t.hex(ei->code);
  t.str("\nCmsg: ");
  t.str(ei->name);
  if (ei->what != nullptr) {
    t.str(": ");
    t.str(ei->what);
  }
  t.str("\nFlag: ");
  t.dec(ei->flags);
  t.str("\nAddr: 0x");
  t.hex(reinterpret_cast<uintptr_t>(ei->addr));
  t.str("\nASym: ");
  if (ei->addr != nullptr) sym_text(t, ei->addr);
  t.ch('\n');
  for (uint32_t i = 0; i < ei->nparams && i < 2; ++i) {
    t.str("Param[");
    t.dec(i + 1);
    t.str("]: 0x");
    t.hex(ei->params[i]);
    t.ch('\n');
  }
  t.ch('[');
  stack_text(t, 1);
  t.str("]\n");
  t.flush();
  crash_unlock();
  return 0;
}

int os_thread_exception_filter(const os_exception_info* ei, const os_thread_opt* opt) {
  if (ei == nullptr) return OS_EXCEPT_CONTINUE;
  crash_lock();
  os_exception_dump(ei);
  if (opt != nullptr && opt->msg_proc != nullptr)
    call_msg_proc(opt->msg_proc, "Thread exception: ", "tname", ei);
  // opt->dump: there is no crash dump writer on POSIX; the report is all.
  if (opt != nullptr && opt->handle) {
    say(ei, LV_DBG, "except handle\n");
    crash_unlock();
    return OS_EXCEPT_HANDLE;
  }
  if (opt != nullptr && opt->exit) {
    say(ei, LV_CRIT | LV_NOEXIT, "thread panic exit\n");
    _exit(254);
  }
  say(ei, LV_ERR, "except continue\n");
  g_exception_seen.store(true);
  crash_unlock();
  return OS_EXCEPT_CONTINUE;
}

int pl_set_panic_msg_proc(void (*proc)(const char* text)) {
  g_panic_proc.store(proc);
  return 0;
}

void app_panic_handle(const os_exception_info* ei) {
  crash_lock();
  os_exception_info none;
  if (ei == nullptr) ei = &none;
  if (auto proc = g_panic_proc.load()) call_msg_proc(proc, "Process Panic: ", "Name", ei);
  if (!g_exception_seen.load()) os_exception_dump(ei);
  if (!ei->in_signal) {
    // Outside a signal handler the log can be used: the recent lines go to
    // the record channel (the console already showed them).
    static char last[1024];
    log2_last_log(nullptr, last, sizeof last);
    LOGX(LV_CRIT | LV_NOEXIT | LV_BSV_ONLY, "--LastLog-- \n%s\n", last);
  }
  say(ei, LV_CRIT | LV_NOEXIT | LV_BSV, "process panic exit\n");
  _exit(254);
}

int os_crash_handlers_install() {
  os_backtrace_warm();
  struct sigaction sa{};
  sa.sa_sigaction = on_fatal_signal;
  sigemptyset(&sa.sa_mask);
  // SA_NODEFER: a fault inside the handler re-enters it and ends the process
  // at once instead of being killed by the blocked signal.
  sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
  int rc = 0;
  for (int sig : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT}) {
    if (sigaction(sig, &sa, nullptr) != 0) {
      LOGES("sigaction %d error: ", sig);
      rc = -1;
    }
  }
  return rc;
}
