// Random bytes from the kernel and the process's privilege.
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>

#include "pal_hash.h"
#include "pal_init.h"

int os_random_bytes(void* out, size_t len) {
  auto* p = static_cast<unsigned char*>(out);
  size_t got = 0;
  // getrandom never returns short for up to 256 bytes once the pool is
  // ready; larger requests may come in pieces, and a signal may cut one.
  for (int tries = 0; got < len && tries < 64; tries++) {
    ssize_t r = getrandom(p + got, len - got, 0);
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    got += static_cast<size_t>(r);
  }
  if (got < len) {
    errno = EIO;
    return -1;
  }
  return 0;
}

bool os_is_root() { return geteuid() == 0; }
