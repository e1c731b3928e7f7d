// The running executable as the log sees it: its directory, its ids, the
// host name, the terminal test and a stack text.
#pragma once

#include <cstddef>
#include <cstdint>

/// Directory of the running executable (from /proc/self/exe), without a
/// trailing separator. Returns its length, or -1 (buf left empty) when it
/// cannot be read or does not fit in `len`.
int os_exe_dir(char* buf, size_t len);

/// Process id of the calling process.
uint32_t os_exe_pid();

/// Host name of this machine, read once; "unknown" when it is empty, "(none)"
/// or cannot be read. Never null.
const char* os_exe_host_name();

/// True when standard error is a terminal.
bool os_exe_stderr_tty();

/// Width of the terminal on standard error in columns; 80 when it is no
/// terminal or does not tell.
int os_exe_stderr_columns();

/// Writes the calling thread's stack, one frame a line, into buf (always
/// NUL-terminated, cut at len - 1). Returns the length written.
size_t os_exe_stack_text(char* buf, size_t len);
