// liblog: the one log call every module reports through.
//
// Each source file names its tag once with WY_LOG_TAG("cdir") and then logs
// with LOGE/LOGW/.../LOGX; the macros capture tag, file, line and function.
//
// This is the bottom layer: it needs the standard library only, so the
// platform layer can log too. On its own it writes to the console; the
// platform layer and the outputs above it (liblog_out.h: file, syslog, bsv,
// the ini settings) plug in through log2_ext.h when a program links them.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

/// Levels (low byte of the level word) and the behaviour bits above them.
enum : uint32_t {
  LV_CRIT = 2,
  LV_ERR = 3,
  LV_WARN = 4,
  LV_NOTI = 5,
  LV_INFO = 6,
  LV_DBG = 7,
  LV_VERB = 8,
  LV_SYS = 0x100,       // append the caller's current system error text
  LV_NOEXIT = 0x200,    // with LV_CRIT: do not end the process
  LV_BSV = 0x400,       // also send the line to the bsv record channel
  LV_BSV_ONLY = 0x800,  // bsv record channel only, no text outputs
};

/// Line flags (the "flags" setting; see log_flags_2_int).
enum : uint32_t {
  LOG_F_TID = 0x01,       // "[%u] " system thread id
  LOG_F_TIME = 0x02,      // "%02d:%02d:%02d "
  LOG_F_FUNC = 0x04,      // "%s(): "
  LOG_F_FILE_PATH = 0x08, // "[%s:%d] " with the whole source path
  LOG_F_FILE_BASE = 0x10, // with 0x08: only the part after the last separator
  LOG_F_FILE = 0x18,
  LOG_F_COLOUR = 0x20,    // console colours (only when stderr is a terminal)
  LOG_F_TIME_MS = 0x40,   // "%02d:%02d:%02d.%03d "
  LOG_F_TID_NAME = 0x80,  // "[%s] " thread display name
  LOG_F_DEFAULT = 0x27,
};

/// log2_ioctl command codes. 20 and up belong to the outputs of liblog_out.h.
enum : int {
  LOG2_SET_LEVEL = 1,        // int level
  LOG2_SET_FLAGS = 2,        // int flag word
  LOG2_SET_LEVEL_NAME = 3,   // const char* short level name
  LOG2_SET_FLAGS_TAGS = 4,   // const char* "|"-separated tags
  LOG2_SET_PROC_HI = 5,      // log2_line_proc for levels above 4
  LOG2_SET_PROC_LO = 6,      // log2_line_proc for levels up to 4
  LOG2_SET_FILE = 20,        // const char* log file name (opens it)
  LOG2_SET_FILE_DIR = 21,    // const char* log directory
  LOG2_SET_FILE_SIZE = 22,   // int size limit in bytes, at least 1024
  LOG2_SET_BSV = 23,         // const char* URL of the bsv record channel
  LOG2_SET_SYSLOG = 24,      // const char* URL of the syslog server
  LOG2_SET_DBGVIEW_ON = 41,  // int 0/1 debugger output
  LOG2_SET_FILE_ON = 42,     // int 0/1 file output
  LOG2_SET_SYSLOG_ON = 43,   // int 0/1 syslog output
};

/// The log object. Spelled log2_t in code: the name log2 alone is hidden by
/// the math function of the same name wherever <cmath> is included.
struct log2;
using log2_t = struct log2;

/// Line procedure: gets the level, the tag, the finished line and its length.
using log2_line_proc = void (*)(int level, const char* tag, const char* line, int len);
/// Whole-call procedure: takes over every log call. `sys_err` is the caller's
/// errno at entry.
using log2_call_proc = void (*)(uint32_t level, const char* tag, const char* src, int line,
                                const char* func, int sys_err, const char* fmt, va_list ap);

/// The log call. `h` is nullptr for the process's log object. Never fails,
/// returns 0, and leaves errno as it found it.
int log2_printf(log2_t* h, uint32_t level, const char* tag, const char* src, int line,
                const char* func, const char* fmt, ...) __attribute__((format(printf, 7, 8)));
int log2_vprintf(log2_t* h, uint32_t level, const char* tag, const char* src, int line,
                 const char* func, const char* fmt, va_list ap)
    __attribute__((format(printf, 7, 0)));

/// Logs "expr[%s]: assert failed\n" at error level, then the stack as
/// "[%s]\n". Returns; the caller goes on with its failure value.
void log2_assert_fail(const char* tag, const char* src, int line, const char* func,
                      const char* expr);

/// Turns "time_ms|tid|..." into a flag word, starting from LOG_F_COLOUR.
/// Unknown tags print "Invalid tags: [%s]\n" on standard error and are skipped.
/// Never fails.
uint32_t log_flags_2_int(const char* tags);

/// Level of a short level name ("crit" ... "verb"; exact, lower case), or -1.
int log2_level_by_name(const char* name);
/// Short name of a level ("crit" ... "verb"), "" outside 2..8.
const char* log2_level_name(int level);

/// The process's log object, created with default settings on first use
/// (level 7, flags 0x27, console on). Never null; lives until the process ends.
log2_t* log2_default();

/// A separate log object with default settings, for embedders and tests.
/// Release with log2_close. Returns nullptr only when out of memory.
log2_t* log2_open();
/// Closes the outputs of a log object from log2_open and frees it.
void log2_close(log2_t* h);

/// Set-up command (LOG2_SET_*) on `h` (nullptr: the process's object).
/// Returns 0, or -1 for a refused argument; an unknown command prints
/// "Invalid command code\n" on standard error and returns -1. The output
/// commands (20 and up) are unknown in a program without liblog_out.
int log2_ioctl(log2_t* h, int cmd, ...);

/// Installs (or with nullptr removes) the whole-call procedure. Returns 0.
int log2_set_call_proc(log2_t* h, log2_call_proc proc);

/// Console output on/off (default on). Returns 0.
int log2_set_console(log2_t* h, int on);

/// The console's status line (a progress display), drawn on standard error
/// under the log's lock so that it never cuts into a log line. With
/// `in_place` the line is redrawn over itself and erased before the next
/// console log line; otherwise each call writes it as one whole line.
/// Nothing is drawn while the console is off.
void log2_status_show(log2_t* h, const char* text, bool in_place);
/// Erases an in-place status line, if one is shown.
void log2_status_clear(log2_t* h);

/// Debug mode: set-up steps are printed on standard error. Returns 0.
int log2_set_debug(log2_t* h, int on);

/// Current level (signed: -1 lets no line through) and flag word.
int log2_get_level(log2_t* h);
uint32_t log2_get_flags(log2_t* h);

/// Copies the most recent lines (at most 1023 bytes, whole lines) into buf,
/// NUL-terminated. Safe to call from a crash handler: when the output lock is
/// held it copies without it. Returns the length copied.
size_t log2_last_log(log2_t* h, char* buf, size_t len);

#define WY_LOG_TAG(t) [[maybe_unused]] static constexpr const char wy_log_tag_[] = t

#define LOGX(lv, fmt, ...) \
  log2_printf(nullptr, (lv), wy_log_tag_, __FILE__, __LINE__, __func__, fmt __VA_OPT__(, ) __VA_ARGS__)
#define LOGC(fmt, ...) LOGX(LV_CRIT, fmt __VA_OPT__(, ) __VA_ARGS__)
#define LOGE(fmt, ...) LOGX(LV_ERR, fmt __VA_OPT__(, ) __VA_ARGS__)
#define LOGW(fmt, ...) LOGX(LV_WARN, fmt __VA_OPT__(, ) __VA_ARGS__)
#define LOGN(fmt, ...) LOGX(LV_NOTI, fmt __VA_OPT__(, ) __VA_ARGS__)
#define LOGI(fmt, ...) LOGX(LV_INFO, fmt __VA_OPT__(, ) __VA_ARGS__)
#define LOGD(fmt, ...) LOGX(LV_DBG, fmt __VA_OPT__(, ) __VA_ARGS__)
#define LOGV(fmt, ...) LOGX(LV_VERB, fmt __VA_OPT__(, ) __VA_ARGS__)
/// Error line with the system text appended; the format should end in "error: ".
#define LOGES(fmt, ...) LOGX(LV_ERR | LV_SYS, fmt __VA_OPT__(, ) __VA_ARGS__)

/// True when `expr` holds; otherwise logs the assertion line and is false, so
/// the caller goes on with its failure value: `if (!WY_CHECK(p)) return -1;`
#define WY_CHECK(expr) \
  ((expr) ? true : (log2_assert_fail(wy_log_tag_, __FILE__, __LINE__, __func__, #expr), false))
