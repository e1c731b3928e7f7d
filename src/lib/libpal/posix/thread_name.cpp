#include <pthread.h>

#include "pal_thread.h"

const char* os_thread_display_name() {
  static thread_local char name[64];
  if (pthread_getname_np(pthread_self(), name, sizeof name) != 0) name[0] = '\0';
  return name;
}
