// Threads on POSIX. A thread owns its start state through a shared pointer,
// and so does its handle: giving up on a thread that does not end (it cannot
// be killed safely) only detaches it, and nothing it still uses is freed
// under it.
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <typeinfo>

#include "liblog.h"
#include "pal_init.h"
#include "pal_pool.h"
#include "pal_thread.h"
#include "queue_alloc.h"
#include "thread_imp.h"

WY_LOG_TAG("pal");

namespace {

struct thread_state {
  std::string name;
  os_thread_ctx ctx;
  std::function<int()> fn;
  std::mutex mu;
  std::condition_variable ended_cv;
  bool ended = false;
  int exit_code = 0;
};

thread_local os_thread_ctx* tls_ctx = nullptr;

// Runs the procedure; what escapes it goes through the thread exception
// filter. Returns the thread's exit code.
int run_guarded(thread_state* st) {
  os_thread_ctx* ctx = &st->ctx;
  const os_thread_opt* opt = ctx->has_opt ? &ctx->opt : nullptr;
  if (sigsetjmp(ctx->jmp, 1) != 0) return ctx->handled_code;  // a handled fatal signal
  try {
    return st->fn();
  } catch (...) {
    if (os_debugger_attached()) throw;
    std::string what;
    try {
      throw;
    } catch (const std::exception& e) {
      what = std::string(typeid(e).name()) + ": " + e.what();
    } catch (...) {
      what = "unknown exception";
    }
    os_exception_info ei;
    ei.code = OS_EXCEPTION_CXX;
    ei.name = "CXX_EXCEPTION";
    ei.what = what.c_str();
    if (os_thread_exception_filter(&ei, opt) == OS_EXCEPT_HANDLE) return static_cast<int>(ei.code);
    app_panic_handle(&ei);
  }
}

void* thread_entry(void* p) {
  std::unique_ptr<std::shared_ptr<thread_state>> start(static_cast<std::shared_ptr<thread_state>*>(p));
  std::shared_ptr<thread_state> st = std::move(*start);
  start.reset();
  os_thread_name_set(st->name.c_str());

  // Our own alternate signal stack, so that a stack overflow still gets its report.
  auto alt_mem = pal::try_bytes(OS_ALTSTACK_SIZE);
  os_altstack alt;
  if (alt_mem) os_altstack_push(&alt, alt_mem.get(), OS_ALTSTACK_SIZE);
  tls_ctx = &st->ctx;

  int code = run_guarded(st.get());

  tls_ctx = nullptr;
  os_altstack_pop(&alt);
  // Release what the procedure holds on this thread, before anyone is told
  // the thread has ended.
  st->fn = nullptr;
  os_thread_name_del();
  {
    std::lock_guard<std::mutex> g(st->mu);
    st->ended = true;
    st->exit_code = code;
  }
  st->ended_cv.notify_all();
  return nullptr;
}

}  // namespace

struct os_thread {
  std::shared_ptr<thread_state> st;
  pthread_t tid{};
};

os_thread_ctx* os_thread_ctx_current() { return tls_ctx; }

bool os_altstack_push(os_altstack* a, void* mem, size_t size) {
  stack_t ss{};
  ss.ss_sp = mem;
  ss.ss_size = size;
  if (sigaltstack(&ss, &a->old) != 0) return false;
  a->mem = mem;
  a->size = size;
  a->pushed = true;
  return true;
}

void os_altstack_pop(os_altstack* a) {
  if (!a->pushed) return;
  if ((a->old.ss_flags & SS_DISABLE) != 0) {
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    sigaltstack(&off, nullptr);
  } else {
    sigaltstack(&a->old, nullptr);
  }
  a->pushed = false;
}

os_thread* os_thread_start(const char* name, std::function<int()> fn, size_t stack_size,
                           const os_thread_opt* opt) {
  if (!WY_CHECK(fn != nullptr)) return nullptr;
  std::shared_ptr<thread_state> st;
  try {
    st = std::make_shared<thread_state>();
  } catch (const std::bad_alloc&) {
    LOGE("size=%u malloc failed\n", static_cast<unsigned>(sizeof(thread_state)));
    return nullptr;
  }
  if (name != nullptr) st->name.assign(name, strnlen(name, 255));
  if (opt != nullptr) {
    st->ctx.opt = *opt;
    st->ctx.has_opt = true;
  }
  st->fn = std::move(fn);
  auto h = pal::try_make<os_thread>();
  auto start = pal::try_make<std::shared_ptr<thread_state>>(st);
  if (h == nullptr || start == nullptr) return nullptr;
  h->st = st;

  pthread_attr_t attr;
  pthread_attr_init(&attr);
  if (stack_size != 0) {
    if (stack_size < static_cast<size_t>(PTHREAD_STACK_MIN)) stack_size = PTHREAD_STACK_MIN;
    pthread_attr_setstacksize(&attr, stack_size);
  }
  std::shared_ptr<thread_state>* raw = start.release();
  // The new thread starts with the asynchronous signals blocked, so their
  // handlers always run on the main thread, which is not inside a lock of
  // ours when they come. Faults (SIGSEGV, SIGBUS, ...) stay open: the
  // kernel sends them to the faulting thread, which writes the crash report.
  sigset_t block, old_mask;
  sigemptyset(&block);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2}) sigaddset(&block, sig);
  pthread_sigmask(SIG_BLOCK, &block, &old_mask);
  int rc = pthread_create(&h->tid, &attr, thread_entry, raw);
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    std::unique_ptr<std::shared_ptr<thread_state>> back(raw);  // the thread never ran
    errno = rc;
    LOGES("os_thread_init [%s] error: ", st->name.c_str());
    return nullptr;
  }
  return h.release();
}

os_thread* os_thread_init(const char* name, os_thread_proc proc, void* arg, size_t stack_size,
                          const os_thread_opt* opt) {
  if (!WY_CHECK(proc != nullptr)) return nullptr;
  return os_thread_start(name, [proc, arg] { return proc(arg); }, stack_size, opt);
}

int os_thread_wait(os_thread* t, int timeout_ms, int* exit_code) {
  if (!WY_CHECK(t != nullptr)) return -1;
  thread_state* st = t->st.get();
  std::unique_lock<std::mutex> g(st->mu);
  auto ended = [st] { return st->ended; };
  if (timeout_ms < 0)
    st->ended_cv.wait(g, ended);
  else if (!st->ended_cv.wait_for(g, std::chrono::milliseconds(timeout_ms), ended))
    return -2;
  if (exit_code != nullptr) *exit_code = st->exit_code;
  return 0;
}

void os_thread_close(os_thread* t) {
  if (t == nullptr) return;
  std::unique_ptr<os_thread> own(t);
  bool ended;
  {
    std::lock_guard<std::mutex> g(t->st->mu);
    ended = t->st->ended;
  }
  // An ended thread is only moments from returning: join it to reclaim it.
  if (ended)
    pthread_join(t->tid, nullptr);
  else
    pthread_detach(t->tid);
}

int os_thread_wait_kill_exit(os_thread* t, int timeout_ms, int* exit_code) {
  if (!WY_CHECK(t != nullptr)) return -1;
  int r = os_thread_wait(t, timeout_ms, exit_code);
  if (r < 0) {
    LOGW("thread [%s] did not end within %d ms: left to finish on its own\n", t->st->name.c_str(),
         timeout_ms);
    if (exit_code != nullptr) *exit_code = 1;
  }
  os_thread_close(t);
  return r;
}

uint64_t os_thread_id() { return static_cast<uint64_t>(syscall(SYS_gettid)); }

int os_cpu_count() {
  // The processors this process may run on: a container or taskset limit
  // counts, not the machine's total.
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    int n = CPU_COUNT(&set);
    if (n > 0) return n;
  }
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n < 1 ? 1 : static_cast<int>(n);
}
