// Platform start-up, platform identity and the crash path.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pal_thread.h"

/// Prepares the process, once: applies WY_ENV_LOG_LEVEL (a level name) to
/// the log, records the platform identity, sets up the name map, ignores
/// SIGPIPE (socket writes report EPIPE instead), and — unless a debugger is
/// attached — installs the crash handlers for SIGSEGV, SIGBUS, SIGILL, SIGFPE
/// and SIGABRT on an alternate signal stack. Always returns 0; a second call
/// does nothing. Failing steps are logged and start-up goes on.
int pl_init();

/// True once pl_init has run (stream code that finds it false logs
/// "pl_init must call.." and runs it).
bool pl_started();

/// Platform identity: os and arch from the start, the rest filled by pl_init.
struct pl_platform {
  const char* os = "";       // "linux"
  const char* arch = "";     // architecture this build runs on, e.g. "x86_64"
  char os_version[128] = {}; // kernel release
  int64_t boot_time = 0;     // seconds since 1970
  int64_t start_time = 0;    // process start, seconds since 1970
  uint64_t start_ms = 0;     // monotonic milliseconds at start-up
};
/// The identity recorded by pl_init. Never null.
const pl_platform* pl_platform_get();

/// True when a debugger (tracer) is attached to the process.
bool os_debugger_attached();

/// Registers the procedure that receives "Process Panic: Name=[%s]
/// Code=0x%x Address=0x%p \nSee the log for more information" before the
/// process ends on an unhandled exception (nullptr removes it). It runs in a
/// signal handler. Returns 0.
int pl_set_panic_msg_proc(void (*proc)(const char* text));

/// Writes one line per frame of the calling thread's stack (at most 256)
/// into buf, NUL-terminated and cut to fit: "%s!%s+0x%x" (module, symbol,
/// offset) or "%s+0x%x" (module, offset from its base). Returns the length.
size_t os_dump_stack(char* buf, size_t size);

/// Writes the exception report ("--ExptInfo-- \n", "info: os=... arch=...
/// app_ver=...", code and name, flags, address and its symbol, parameters,
/// stack) on standard error. Async-signal-safe. Returns 0.
int os_exception_dump(const os_exception_info* ei);

/// The process's last step for an exception nothing handled: message
/// procedure, the report (unless a thread filter already wrote it), the
/// recent log lines, "process panic exit\n", then ends the process with 254.
[[noreturn]] void app_panic_handle(const os_exception_info* ei);

/// True when the process runs with the administrator's rights (uid 0).
bool os_is_root();
