// Inside the log object: shared by the units of liblog only.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "liblog.h"
#include "pal_exe.h"

/// The most recent lines, oldest whole lines dropped first. Guarded by the
/// log object's lock.
class log2_recent {
 public:
  static constexpr size_t kCap = 1024;  // bytes including the terminator
  void add(const char* line, size_t len);
  size_t copy(char* buf, size_t len) const;

 private:
  char text_[kCap] = {0};
  size_t len_ = 0;
};

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
  os_exe_tm tm;
};

struct log2 {
  std::atomic<uint32_t> flags{LOG_F_DEFAULT};
  std::atomic<int32_t> level{LV_DBG};
  std::atomic<uint8_t> console_on{1};
  std::atomic<uint8_t> dbg_on{0};
  std::atomic<uint8_t> file_on{0};
  std::atomic<uint8_t> syslog_on{0};
  std::atomic<bool> debug{false};
  std::atomic<log2_line_proc> proc_hi{nullptr};
  std::atomic<log2_line_proc> proc_lo{nullptr};
  std::atomic<log2_call_proc> call_proc{nullptr};

  std::mutex lock;  // serialises every output below
  log2_recent recent;
};

/// Upper-case level name for file lines ("ERROR"), "" outside 2..8.
const char* log2_level_upper(int level);

/// Writes one record to every output that is on; takes the lock.
void log2_outputs_write(log2* L, const log2_rec& r);
/// Flushes the outputs that buffer (before the process ends on level 2).
void log2_outputs_flush(log2* L);
/// Closes every output of L (file, syslog, bsv). Takes the lock.
void log2_outputs_close(log2* L);

// The outputs; the *_write calls run under the lock.
int log2_file_set_name(log2* L, const char* name);
int log2_file_set_dir(log2* L, const char* dir);
int log2_file_set_limit(log2* L, int limit);
void log2_file_write(log2* L, const log2_rec& r);
int log2_syslog_set_target(log2* L, const char* url);
void log2_syslog_write(log2* L, const log2_rec& r);
int log2_bsv_set_target(log2* L, const char* url);
void log2_bsv_write(log2* L, const log2_rec& r);

/// Prints a set-up step on standard error when the object is in debug mode.
void log2_debugf(log2* h, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

/// Resolves nullptr to the process's log object.
inline log2* log2_obj(log2* h) { return h ? h : log2_default(); }
