#include <signal.h>

#include <cstring>

#include "pal_signal.h"

int os_signal_set(int signum, void (*handler)(int)) {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = handler;
  sa.sa_flags = SA_RESTART;
  sigemptyset(&sa.sa_mask);
  return sigaction(signum, &sa, nullptr);
}
