// Inside the outputs: shared by the units of liblog_out only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "libbsv.h"
#include "liblog_out.h"
#include "libpal.h"
#include "log2_ext.h"
#include "pal_exe.h"

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

/// The outputs of one log object; only touched with its lock held.
struct log2_outs : log2_out_state {
  bool dbg_on = false;
  bool file_on = false;
  bool syslog_on = false;
  log2_file_out file;
  log2_syslog_out syslog;
  bsv_chan_ptr bsv;  // made when first needed
};

/// The outputs of L, made on first use. Only with L's lock held.
log2_outs& log2_outs_of(log2_t* L);

// The outputs; the *_write calls run under the lock.
int log2_file_set_name(log2_t* L, const char* name);
int log2_file_set_dir(log2_t* L, const char* dir);
int log2_file_set_limit(log2_t* L, int limit);
void log2_file_write(log2_t* L, const log2_rec& r);
int log2_syslog_set_target(log2_t* L, const char* url);
void log2_syslog_write(log2_t* L, const log2_rec& r);
void log2_syslog_close(log2_t* L);
/// Appends one record of `c` to the capture file (the log file is a .pcap).
void log2_file_put_pcap(log2_t* L, bsv_chan* c, const bsv_log_rec& rec);
