// Process signals the programs handle themselves.
#pragma once

/// Installs `handler` for `signum` (it stays installed after each delivery;
/// interrupted system calls are restarted). Returns 0 or -1 with errno.
int os_signal_set(int signum, void (*handler)(int));
