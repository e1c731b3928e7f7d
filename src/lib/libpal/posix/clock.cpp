// The monotonic millisecond clock on POSIX.
#include <time.h>

#include "pal_fmt.h"

int64_t os_clock_ms() {
  timespec ts{};
  // CLOCK_MONOTONIC cannot fail with a valid pointer on Linux.
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}
