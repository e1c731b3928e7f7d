// liblog: the one log call every module reports through.
//
// Each source file names its tag once with WY_LOG_TAG("cdir") and then logs
// with LOGE/LOGW/.../LOGX; the macros capture tag, file, line and function.
#pragma once

#include <cstdarg>
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

struct log2;

/// The log call. `h` is nullptr for the process's log object. Never fails,
/// returns 0, and leaves errno as it found it.
int log2_printf(log2* h, uint32_t level, const char* tag, const char* src, int line,
                const char* func, const char* fmt, ...) __attribute__((format(printf, 7, 8)));
int log2_vprintf(log2* h, uint32_t level, const char* tag, const char* src, int line,
                 const char* func, const char* fmt, va_list ap)
    __attribute__((format(printf, 7, 0)));

/// Logs "expr[%s]: assert failed\n" at error level with a stack dump.
void log2_assert_fail(const char* tag, const char* src, int line, const char* func,
                      const char* expr);

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
