// Inside the log object: shared by the units of liblog only.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "libbsv.h"
#include "liblog.h"
#include "libpal.h"
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

/// The log file output.
struct log2_file_out {
  std::string dir;            // absolute, or empty
  std::string path;           // the file as opened
  int64_t limit = 2097152;    // bytes; the newest half stays when reached
  std::string mode = "w";     // "w" truncates at open, "a" appends
  wyfile_uptr f;
  bool pcap = false;          // a capture file of bsv records
};

/// The syslog output: a target parsed once, connected on the first line.
struct log2_syslog_out {
  std::string url;
  bool tcp = false;
  std::string host;
  int port = 0;               // 0: the service port
  os_socket_t s = OS_SOCKET_NONE;
  bool complained = false;    // a connect failure was reported already
};

struct bsv_chan_closer {
  void operator()(bsv_chan* c) const { bsv_chan_close(c); }
};
using bsv_chan_ptr = std::unique_ptr<bsv_chan, bsv_chan_closer>;

struct log2 {  // log2_t
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
  log2_file_out file;
  log2_syslog_out syslog;
  bsv_chan_ptr bsv;  // made when first needed
};

/// Upper-case level name for file lines ("ERROR"), "" outside 2..8.
const char* log2_level_upper(int level);

/// Writes one record to every output that is on; takes the lock.
void log2_outputs_write(log2_t* L, const log2_rec& r);
/// Flushes the outputs that buffer (before the process ends on level 2).
void log2_outputs_flush(log2_t* L);
/// Closes every output of L (file, syslog, bsv). Takes the lock.
void log2_outputs_close(log2_t* L);

// The outputs; the *_write calls run under the lock.
int log2_file_set_name(log2_t* L, const char* name);
int log2_file_set_dir(log2_t* L, const char* dir);
int log2_file_set_limit(log2_t* L, int limit);
void log2_file_write(log2_t* L, const log2_rec& r);
int log2_syslog_set_target(log2_t* L, const char* url);
void log2_syslog_write(log2_t* L, const log2_rec& r);
int log2_bsv_set_target(log2_t* L, const char* url);
void log2_bsv_write(log2_t* L, const log2_rec& r);
void log2_syslog_close(log2_t* L);
/// Appends one record of `c` to the capture file (the log file is a .pcap).
void log2_file_put_pcap(log2_t* L, bsv_chan* c, const bsv_log_rec& rec);

/// Holds the log object's lock for set-up code; log calls made meanwhile on
/// this thread go straight to standard error instead of waiting for it.
class log2_locked {
 public:
  explicit log2_locked(log2_t* L);
  ~log2_locked();
  log2_locked(const log2_locked&) = delete;
  log2_locked& operator=(const log2_locked&) = delete;

 private:
  std::lock_guard<std::mutex> g_;
};

/// Prints a set-up step on standard error when the object is in debug mode.
void log2_debugf(log2_t* h, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

/// Resolves nullptr to the process's log object.
inline log2_t* log2_obj(log2_t* h) { return h ? h : log2_default(); }
