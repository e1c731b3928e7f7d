// The allocator's policy on glibc: mallopt, malloc_trim and /proc.
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pal_mem.h"

int os_mem_one_heap() {
  // Without this every thread that meets a busy heap gets one of its own,
  // up to eight per processor. malloc_trim trims only the main heap's top:
  // the others give back only what lies inside their free blocks, never
  // their top, where the freed buffers of ended threads gather.
  return mallopt(M_ARENA_MAX, 1) == 1 ? 0 : -1;
}

int os_mem_release() { return malloc_trim(0); }

long os_mem_resident_kib() {
  FILE* f = fopen("/proc/self/status", "re");
  if (f == nullptr) return -1;
  char line[256];
  long kib = -1;
  while (fgets(line, sizeof line, f) != nullptr) {
    if (strncmp(line, "VmRSS:", 6) == 0) {
      kib = strtol(line + 6, nullptr, 10);
      break;
    }
  }
  fclose(f);
  return kib;
}
