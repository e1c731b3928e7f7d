// Internal to libpal's POSIX thread and crash units: what the crash handler
// needs to know about the thread it runs on.
#pragma once

#include <csetjmp>
#include <csignal>

#include "pal_thread.h"

/// Per-thread record of a thread started by os_thread_init, reachable from a
/// signal handler on that thread.
struct os_thread_ctx {
  os_thread_opt opt;
  bool has_opt = false;
  sigjmp_buf jmp;          // where a handled fatal signal ends the thread
  int handled_code = 0;    // exit code of a thread ended that way
};

/// The calling thread's record, or nullptr for a thread we did not start.
os_thread_ctx* os_thread_ctx_current();

/// Installs an alternate signal stack for the calling thread (kept in
/// `mem`); returns false when it cannot. os_altstack_pop restores the
/// previous one, so that whoever installed it can still release it.
struct os_altstack {
  void* mem = nullptr;
  size_t size = 0;
  bool pushed = false;
  stack_t old = {};  // the previous alternate stack
};
bool os_altstack_push(os_altstack* a, void* mem, size_t size);
void os_altstack_pop(os_altstack* a);
inline constexpr size_t OS_ALTSTACK_SIZE = 128 * 1024;

/// Makes sure backtrace() has loaded what it needs, so that its first use in
/// a signal handler does not allocate.
void os_backtrace_warm();

/// Installs the fatal-signal handlers (crash path). Returns 0, or -1 with
/// errno set when one cannot be installed.
int os_crash_handlers_install();
