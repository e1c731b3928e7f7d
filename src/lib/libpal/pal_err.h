// The verr error-code space: 0 success, every failure a negative code with a
// fixed English message; system error numbers are mapped in at the edge.
#pragma once

#include <cstddef>
#include <cstdint>

/// One entry of the message table: the fixed English text of a verr code.
struct verr_msg {
  const char* msg;
  int32_t code;
};

/// The message table: 258 entries ordered by group, ended by an entry whose
/// msg is nullptr. Never fails.
const verr_msg* verr_msg_table();

/// Message of a verr code ("Success." for 0). A code that is not in the table
/// logs "Invalid errno=%d (0x%x)\n" at debug level and yields
/// "Invalid error code". Never returns nullptr.
const char* verr2str(int verr);

/// verr code of a POSIX errno value: 0 for 0, e.g. ENOENT -102, ENOTDIR -103,
/// EACCES/EPERM -38, ENOSPC -152, ETIMEDOUT -40, ECONNRESET -454. A value we
/// have no row for logs "Unhandled eno=%u (0x%x)\n" at warning level and
/// yields -1 (the generic failure). errno is left unchanged.
int os_verr_get(int eno);

/// verr code of the calling thread's last platform failure (the one the
/// failing platform call just reported), -1 when it left no cause. The one
/// place above the platform layer that learns why a platform call failed.
int os_last_verr();
/// The system's text of the calling thread's last platform failure.
const char* os_last_errstr();
/// The calling thread's last platform failure as the system numbers it,
/// and setting it: a failure one thread met can be logged and classified
/// on another, which first takes it over with os_last_err_set.
int os_last_err();
void os_last_err_set(int e);

/// verr code of a Windows system or Winsock error number (kept so numbers a
/// peer or a file reports from that platform read the same): 0 for 0; an
/// unlisted number logs "Unhandled eno=%u (0x%x)\n" at warning level and
/// yields -1.
int os_verr_get_win(uint32_t eno);

/// The process-wide last verr: the code of the last failure a library
/// reported upwards (the front end prints its message when the copy job
/// cannot be opened). Thread-safe; 0 until something is set.
int verr_last_get();
/// Sets the process-wide last verr.
void verr_last_set(int verr);

/// System text of a POSIX errno value, in English whatever the process
/// locale: the system's message with trailing blanks and line ends trimmed,
/// "ok" for 0, "unkown os_errno=%u (0x%x)" when the system has no text. The
/// text is cut to fit `len`. With buf == nullptr (or len == 0) a per-thread
/// buffer of 4095 characters is used. Returns the text; errno is unchanged.
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
