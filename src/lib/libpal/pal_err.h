// The verr error-code space: 0 success, every failure a negative code with a
// fixed English message; system error numbers are mapped in at the edge.
#pragma once

#include <cstddef>
#include <cstdint>

/// System text of a POSIX errno value: the system's message with trailing
/// blanks and line ends trimmed, "ok" for 0. With buf == nullptr a
/// per-thread buffer of 4095 characters is used. Returns the text.
const char* os_errno_str(int eno, char* buf, size_t len);
/// System text of the calling thread's current errno ("ok" when 0), in the
/// per-thread buffer. errno is left unchanged.
const char* os_last_errno_str();

#include <string>

/// Error record a failing library fills for its caller (the copy job hands
/// one down to readers, multi-file objects, configuration and connections).
struct cdir_err {
  const char* src = "";   // source unit
  const char* func = "";  // function name
  int32_t line = 0;
  int32_t verr = 0;       // a verr code
  std::string msg;        // at most 4095 characters; empty when none
};

/// Fills `e` (when not null) with the position, the code and the formatted
/// message (cut at 4095 characters). Returns `verr` so callers can
/// `return cdir_err_set(...)`.
int cdir_err_set(cdir_err* e, const char* src, const char* func, int line, int verr,
                 const char* fmt, ...) __attribute__((format(printf, 6, 7)));

#define CDIR_ERR_SET(e, verr, fmt, ...) \
  cdir_err_set((e), __FILE__, __func__, __LINE__, (verr), fmt __VA_OPT__(, ) __VA_ARGS__)
