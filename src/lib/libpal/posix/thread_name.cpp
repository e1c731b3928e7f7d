// The thread-name map: thread id -> "name_tag". The tag tells apart threads
// of the same name started at different times. Each thread also keeps its
// display name in thread-local storage, so a log line (or a crash report in
// a signal handler) reads it without taking the map's lock.
#include <pthread.h>
#include <time.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "crc16.h"
#include "pal_thread.h"

namespace {

struct name_map {
  std::mutex mu;
  std::unordered_map<uint64_t, std::string> names;
};

name_map& the_map() {
  // Deliberately never destroyed: threads may still log while the process exits.
  static name_map& m = *std::make_unique<name_map>().release();
  return m;
}

thread_local char tls_display[320];
thread_local bool tls_named = false;

uint16_t name_tag() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  unsigned char bytes[16];
  uint64_t sec = static_cast<uint64_t>(ts.tv_sec), nsec = static_cast<uint64_t>(ts.tv_nsec);
  for (int i = 0; i < 8; ++i) {
    bytes[i] = static_cast<unsigned char>(sec >> (8 * i));
    bytes[8 + i] = static_cast<unsigned char>(nsec >> (8 * i));
  }
  return crc16(bytes, sizeof bytes);
}

}  // namespace

int os_thread_name_init() {
  the_map();
  return 0;
}

int os_thread_name_exit() {
  name_map& m = the_map();
  std::lock_guard<std::mutex> g(m.mu);
  m.names.clear();
  return 0;
}

int os_thread_name_set(const char* name) {
  if (name == nullptr) return -1;
  size_t n = strnlen(name, 255);
  char reg[300];
  snprintf(reg, sizeof reg, "%.*s_%04x", static_cast<int>(n), name, name_tag());
  uint64_t tid = os_thread_id();
  {
    name_map& m = the_map();
    std::lock_guard<std::mutex> g(m.mu);
    m.names[tid] = reg;
  }
  snprintf(tls_display, sizeof tls_display, "%s_%llu", reg, static_cast<unsigned long long>(tid));
  tls_named = true;
  char sys[16];
  snprintf(sys, sizeof sys, "%.*s", static_cast<int>(n), name);
  pthread_setname_np(pthread_self(), sys);
  return 0;
}

int os_thread_name_del() {
  {
    name_map& m = the_map();
    std::lock_guard<std::mutex> g(m.mu);
    m.names.erase(os_thread_id());
  }
  tls_named = false;
  return 0;
}

int os_thread_name_get(uint64_t tid, char* buf, size_t len) {
  name_map& m = the_map();
  std::lock_guard<std::mutex> g(m.mu);
  auto it = m.names.find(tid);
  if (it == m.names.end()) return -1;
  if (buf != nullptr && len > 0) snprintf(buf, len, "%s", it->second.c_str());
  return static_cast<int>(it->second.size());
}

const char* os_thread_display_name() {
  if (!tls_named)
    snprintf(tls_display, sizeof tls_display, "%llu", static_cast<unsigned long long>(os_thread_id()));
  return tls_display;
}
