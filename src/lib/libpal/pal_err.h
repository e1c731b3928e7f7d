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
