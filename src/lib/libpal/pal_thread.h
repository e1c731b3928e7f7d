// Threads, the thread-name map and the thread exception filter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

/// Thread options, copied into the thread when it starts. They decide what
/// happens to an exception (uncaught C++ exception or fatal signal) that
/// escapes the thread's procedure; see os_thread_exception_filter.
struct os_thread_opt {
  /// Gets "Thread exception: tname=[%s] Code=0x%x Address=0x%p \nSee the log
  /// for more information". May run inside a signal handler: keep it short.
  void (*msg_proc)(const char* text) = nullptr;
  uint8_t dump = 0;    // write a crash dump (no dump writer on POSIX: ignored)
  uint8_t handle = 0;  // end only the thread; the process goes on
  uint8_t exit = 0;    // end the process with exit code 254
};

/// A started thread. Opaque; released by os_thread_wait_kill_exit or
/// os_thread_close.
struct os_thread;

/// Thread procedure: its result is the thread's exit code.
using os_thread_proc = int (*)(void* arg);

/// Starts a thread running proc(arg) under the name `name` (copied, cut to
/// 255 characters; registered in the name map while the thread runs).
/// `stack_size` 0 means the system default; `opt` may be nullptr. Returns
/// the handle, or nullptr (errno set, "os_thread_init" logged) when the
/// thread cannot be started.
os_thread* os_thread_init(const char* name, os_thread_proc proc, void* arg, size_t stack_size,
                          const os_thread_opt* opt);

/// Like os_thread_init, with a function object as the procedure. The thread
/// owns `fn` and destroys it on its own stack as soon as it returns, before
/// the thread counts as ended; whatever `fn` captures by shared ownership
/// stays alive for as long as the thread may touch it, even after its
/// handle was given up. Returns the handle or nullptr (fn is then destroyed).
os_thread* os_thread_start(const char* name, std::function<int()> fn, size_t stack_size,
                           const os_thread_opt* opt);

/// Waits for the thread to end; a negative `timeout_ms` waits without end.
/// Returns 0 when it has ended (its exit code stored in `exit_code` when
/// given), -2 on time-out, -1 for a null handle. The handle stays open.
int os_thread_wait(os_thread* t, int timeout_ms, int* exit_code);

/// os_thread_wait, then closes the handle in every case. A POSIX thread
/// cannot be killed safely, so a thread that did not end in time is
/// detached and left to finish on its own (everything it owns stays alive
/// with it; its exit code reads as 1). Returns what os_thread_wait returned.
int os_thread_wait_kill_exit(os_thread* t, int timeout_ms, int* exit_code);

/// Closes a handle without waiting: a running thread is detached. Null is ignored.
void os_thread_close(os_thread* t);

/// System thread id of the calling thread (the id log lines show).
uint64_t os_thread_id();

/// Sets up the thread-name map (also done on first use). Returns 0.
int os_thread_name_init();
/// Releases every entry of the map (end of the run). Threads still running
/// keep their display names for log lines. Returns 0.
int os_thread_name_exit();
/// Registers the calling thread as "%s_%04x": `name` (cut to 255
/// characters), an underscore and a 16-bit tag from the current wall-clock
/// time; also sets the system thread name (first 15 characters). Replaces an
/// earlier registration. Returns 0, or -1 for a null name.
int os_thread_name_set(const char* name);
/// Removes the calling thread's registration. Returns 0.
int os_thread_name_del();
/// Copies the registered name of thread `tid` ("cdir_cmder_1a2b") into buf,
/// cut to fit. Returns its length, or -1 when the thread has none.
int os_thread_name_get(uint64_t tid, char* buf, size_t len);

/// Display name of the calling thread for log lines: "%s_%llu" (registered
/// name, thread id) or "%llu" for a thread without a name. Per-thread
/// buffer, valid until the thread's next registration change.
const char* os_thread_display_name();

/// What escaped a thread procedure, or a fatal signal.
struct os_exception_info {
  uint32_t code = 0;          // signal number, or OS_EXCEPTION_CXX
  const char* name = "";      // "SIGSEGV", ..., or "CXX_EXCEPTION"
  int32_t flags = 0;          // si_code of the signal
  const void* addr = nullptr; // instruction address
  uint32_t nparams = 0;
  uintptr_t params[2] = {};   // fault address for memory faults
  const char* what = nullptr; // text of a C++ exception
  bool in_signal = false;     // called from a signal handler
};

/// Code reported for a C++ exception that escaped a thread procedure.
inline constexpr uint32_t OS_EXCEPTION_CXX = 0xE0000001;

/// Results of os_thread_exception_filter.
enum : int {
  OS_EXCEPT_HANDLE = 1,    // the thread ends, the process goes on
  OS_EXCEPT_CONTINUE = 0,  // passed on: the process ends through the crash path
};

/// Decides about an exception that escaped a thread procedure: writes the
/// exception report on standard error; calls opt->msg_proc with the
/// "Thread exception: ..." text; with opt->handle logs "except handle\n" and
/// returns OS_EXCEPT_HANDLE; else with opt->exit logs "thread panic exit\n"
/// and ends the process with 254 (no return); else logs "except continue\n",
/// marks the exception as reported and returns OS_EXCEPT_CONTINUE. `opt`
/// may be nullptr. Safe inside a signal handler when ei->in_signal is set.
int os_thread_exception_filter(const os_exception_info* ei, const os_thread_opt* opt);
