// The command thread: one thread plus one queue. Other threads post
// commands; the thread executes them one after another in posting order
// through the owner's procedures, and calls a timer procedure when idle.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "pal_thread.h"

/// Status values of a cmder.
enum : uint32_t {
  CMDER_STARTING_STATUS = 0,  // starting, or init_proc running again
  CMDER_READY_STATUS = 1,     // accepting posts
  CMDER_STOPPED_STATUS = 2,   // the loop has ended
};

/// The record every procedure of a cmder receives. Cleared before each call.
struct cmder_ctx {
  uint32_t exit = 0;                     // set to 1 to end the loop
  const std::atomic<uint32_t>* abandoned = nullptr;  // wait commands: 1 once the poster gave up
  uint32_t need_reinit = 0;              // set to have init_proc run again
  void* user = nullptr;                  // cmder_param::user
  void* data = nullptr;                  // the command's data pointer
};

/// Parameters of cmder_init (copied).
struct cmder_param {
  void* user = nullptr;              // the owner; in every ctx and given to msg_free_proc
  uint32_t capacity = 0;             // command queue capacity; 0 = unbounded
  uint32_t timer_interval_ms = 0;    // idle time before timer_proc; 0 means 1000
  const char* name = "";             // thread name ("cdir_cmder", ...), copied
  void (*init_proc)(cmder_ctx* ctx) = nullptr;   // before ready, and on need_reinit
  void (*exit_proc)(cmder_ctx* ctx) = nullptr;   // once when the loop ends
  void (*timer_proc)(cmder_ctx* ctx) = nullptr;  // once before ready, then when idle
  int (*cmd_proc)(const char* cmd, void* arg, cmder_ctx* ctx) = nullptr;  // wait commands
  void (*msg_proc)(uint32_t id, void* payload, cmder_ctx* ctx) = nullptr;  // messages
  /// After each message ran, and for each message discarded at exit.
  void (*msg_free_proc)(void* user, void* data) = nullptr;
  const os_thread_opt* thread_opt = nullptr;  // copied when the thread starts
};

struct cmder;

/// Creates the command thread's object and starts its thread (it becomes
/// ready on its own; this does not wait). Returns the cmder, or nullptr
/// ("queue_create failed\n" logged) when the queue or the thread cannot be
/// made.
cmder* cmder_init(const cmder_param* p);

/// Posts message `id`. A payload of `len` bytes (when `payload` is not
/// null) is copied behind the node; msg_proc gets a pointer to the copy, or
/// nullptr without payload. `data` is handed through untouched. Waits up to
/// about one second for the thread to be ready and up to `timeout_ms` for
/// room in a bounded queue. Returns 0, -3 (thread not ready; logged), -4
/// (no memory), -2 (the queue refused the node), -1 (null cmder).
int cmder_post_msg3(cmder* c, uint32_t id, const void* payload, size_t len, void* data,
                    int timeout_ms);

/// cmder_post_msg3 with a payload made of `parts`, copied one after the
/// other straight behind the node.
int cmder_post_msg3(cmder* c, uint32_t id, std::initializer_list<std::string_view> parts, void* data,
                    int timeout_ms);

/// cmder_post_msg3 with a NUL-terminated text payload, copied with its
/// terminator; a null text means no payload.
int cmder_post_msg3(cmder* c, uint32_t id, const char* text, void* data, int timeout_ms);

/// Posts a function call: fn(arg) runs on the thread in posting order (the
/// name is for the log). Returns as cmder_post_msg3.
int cmder_post_func(cmder* c, const char* name, void (*fn)(void* arg), void* arg, int timeout_ms);

/// Posts a wait command and waits up to `timeout_ms` (negative: without
/// end) for cmd_proc(cmd, arg, ctx) to run with ctx->data = data. Returns 0
/// with cmd_proc's result in `result`; -2 when the time-out passed (the
/// command is marked abandoned: if it has not started it is skipped, if it
/// runs its ctx->abandoned reads 1); else as cmder_post_msg3. A cmder
/// without cmd_proc answers -4 in `result`; one stopped before running the
/// command, -3.
int cmder_post_wait(cmder* c, const char* cmd, void* arg, void* data, int timeout_ms,
                    int* result);

/// 0 when no posted command is left (or the loop has ended, so that nothing
/// more will run: what is left is released by cmder_exit), else -1 after
/// about one second. Sleeps until the last command ends or the loop does,
/// without polling. Callers that must drain loop on it until it returns 0.
int cmder_wait_idle(cmder* c);

/// Current status (CMDER_*_STATUS), or CMDER_STOPPED_STATUS for null.
uint32_t cmder_status(cmder* c);

/// Stops the thread (waiting up to 2000 ms), releases every message still
/// queued with msg_free_proc without running it, and frees the cmder.
/// Returns 0, or the negative os_thread_wait_kill_exit result when the
/// thread did not end in time: it is then left to finish its current
/// procedure on its own and everything it uses is freed when it ends (the
/// queued messages are then freed without msg_free_proc, since the owner
/// may be gone). Null is ignored.
int cmder_exit(cmder* c);
