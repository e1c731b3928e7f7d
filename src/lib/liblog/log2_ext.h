// What the layers above install into the log of liblog.h.
//
// The log itself knows the standard library only. The platform layer answers
// its questions about threads, error texts, the terminal and the stack
// (log2_sys); the outputs that need files, sockets and the configuration
// (liblog_out) take every finished call (log2_outputs). Each installs itself
// while the program's static objects are built, so a program that links it
// has it from its first line on; one that does not gets the defaults below
// and the console alone.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "liblog.h"

/// Local wall-clock time broken down, with the microseconds of the second.
struct log2_tm {
  int year;   // e.g. 2024
  int mon;    // 1..12
  int mday;   // 1..31
  int wday;   // 0 = Sunday
  int hour;
  int min;
  int sec;
  int usec;   // 0..999999
  int64_t epoch_sec;  // seconds since 1970 (UTC)
};
/// The clock of log lines and bsv records.
void log2_local_time(log2_tm* t);

/// The platform's answers. The defaults need nothing but the standard
/// library: threads are numbered 1, 2, ... in the order they first log and
/// go by that number, an error is shown by its number, standard error is no
/// terminal and there is no stack text.
class log2_sys {
 public:
  /// Id of the calling thread ("[%u] ", bsv records).
  virtual uint32_t thread_id() const;
  /// Display name of the calling thread ("[%s] ", file lines, bsv records);
  /// the text stays valid at least while the log call lasts.
  virtual const char* thread_name() const;
  /// Text of the system error `eno` (appended for LV_SYS) in buf, or in a
  /// buffer of the callee's when it returns another pointer.
  virtual const char* errno_text(int eno, char* buf, size_t len) const;
  /// True when standard error is a terminal (console colours).
  virtual bool stderr_tty() const;
  /// The calling thread's stack, NUL-terminated in buf (failed checks).
  /// Returns the length written.
  virtual size_t stack_text(char* buf, size_t len) const;

 protected:
  // Never destroyed through this interface: what is installed stays until
  // the process ends, since threads may log until then.
  ~log2_sys() = default;
};

/// Installs the platform's answers (nullptr: back to the defaults). `sys`
/// must live as long as anything logs.
void log2_set_sys(const log2_sys* sys);

/// One finished log call as the outputs see it.
struct log2_rec {
  uint32_t word;        // the level word
  int level;            // its low byte
  const char* tag;
  const char* src;
  int line;
  const char* func;
  const char* text;     // the whole line, prefix included, ends in "\n"
  size_t len;
  size_t time_len;      // bytes of the time prefix at the start of text
  const char* msg2;     // "func(): " message and system text, ends in "\n"
  size_t msg2_len;
  const char* msg;      // message and system text only
  size_t msg_len;
  const char* tid_name; // thread display name
  uint32_t tid;
  log2_tm tm;
};

/// What the outputs keep per log object; freed with the object.
struct log2_out_state {
  virtual ~log2_out_state() = default;
};

/// The outputs beyond the console. The core calls record and line for every
/// call that passed the level filter, in the documented order: record first
/// (the bsv record channel takes LV_BSV_ONLY calls too), then unless
/// LV_BSV_ONLY the line procedures, the console and line.
class log2_outputs {
 public:
  /// ioctl's answer to a command the outputs do not know either.
  static constexpr int kUnknownCmd = -2;

  /// A set-up command the core does not handle itself (20 and up). Returns 0,
  /// -1 for a refused argument, or kUnknownCmd. The lock is not held.
  virtual int ioctl(log2_t* L, int cmd, va_list ap) = 0;
  /// Every call that passed the level filter; the lock is held.
  virtual void record(log2_t* L, const log2_rec& r) = 0;
  /// Every call that reached the text outputs; the lock is held.
  virtual void line(log2_t* L, const log2_rec& r) = 0;
  /// Makes buffered lines durable: the process ends next. The lock is held.
  virtual void flush(log2_t* L) = 0;
  /// Closes every output of L (log2_close, log2_exit). The lock is not held.
  virtual void close(log2_t* L) = 0;

 protected:
  // Never destroyed through this interface, as log2_sys.
  ~log2_outputs() = default;
};

/// Installs the outputs (nullptr: the console alone). `o` must live as long
/// as anything logs.
void log2_set_outputs(log2_outputs* o);

/// The outputs' state slot of L (empty until they fill it). Only with L's
/// lock held.
std::unique_ptr<log2_out_state>& log2_out_state_of(log2_t* L);

/// Holds the log object's lock for set-up code; log calls made meanwhile on
/// this thread go straight to standard error instead of waiting for it.
class log2_locked {
 public:
  explicit log2_locked(log2_t* L);
  ~log2_locked();
  log2_locked(const log2_locked&) = delete;
  log2_locked& operator=(const log2_locked&) = delete;

 private:
  log2_t* L_;
};

/// Prints a set-up step on standard error when the object is in debug mode.
void log2_debugf(log2_t* h, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

/// Upper-case level name for file lines ("ERROR"), "" outside 2..8.
const char* log2_level_upper(int level);

/// Resolves nullptr to the process's log object.
inline log2_t* log2_obj(log2_t* h) { return h ? h : log2_default(); }
