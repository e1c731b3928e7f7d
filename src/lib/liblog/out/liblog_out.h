// liblog_out: the log's outputs beyond the console (the log file, syslog,
// the bsv record channel, the debugger) and the "log" section of the ini
// file. They need files, sockets and the configuration, so they sit above
// the platform layer and plug into the log of liblog.h: a program that links
// this library has them, and the output commands of log2_ioctl (20 and up)
// with them, from its first line on.
#pragma once

#include <cstdint>

#include "liblog.h"

/// Log file open mode: "a" (append) or "w" (truncate, the default). Anything
/// else prints "mode %s err\n" on standard error and returns -1.
int log2_set_file_mode(log2_t* h, const char* mode);

struct rbuf;
/// Adds an in-process reader of the bsv record channel: each record (a value
/// record as laid out in libbsv.h, at most `max_len` bytes: give the ring's
/// slot room) is written into `ring`, which the caller keeps owning and
/// closes only after log2_bsv_reader_del or log2_exit/log2_close. Returns the
/// reader's id (> 0), or -1 for a null ring or a too small `max_len`.
int log2_bsv_reader_add(log2_t* h, rbuf* ring, uint32_t max_len);
/// Removes a reader. Returns 0, or -1 when no such reader exists.
int log2_bsv_reader_del(log2_t* h, int id);

/// Reads the "log" section of the ini file at `ini_path` into the process's
/// log object (WYDBGLOG in the environment turns on debug mode). A missing
/// file keeps the defaults. Returns 0, or -1 when the file cannot be loaded.
int log2_init_imp(const char* ini_path);

/// Closes the outputs of the process's log object (file, syslog and bsv
/// sockets, the bsvnet thread, bsv reader registrations) and releases the
/// thread-name map. Logging afterwards goes to the console only. Safe to call
/// more than once.
void log2_exit();
