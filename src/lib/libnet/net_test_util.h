// For the unit tests of libnet and the libraries above it: a loopback
// listener on a free port and a millisecond stopwatch.
#pragma once

#include <chrono>
#include <cstdint>

#include "libnet.h"

namespace net_test {

using clk = std::chrono::steady_clock;

inline int64_t ms_since(clk::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(clk::now() - t).count();
}

// A loopback listener on a free port, closed with the test.
struct Listener {
  os_socket_t s = OS_SOCKET_NONE;
  uint16_t port = 0;
  explicit Listener(int backlog = 16) {
    os_ipaddr a;
    if (!os_addrinfo_addr("127.0.0.1", &a)) return;
    s = os_socket_listen(&a, backlog);
    os_ipaddr bound;
    if (s != OS_SOCKET_NONE && os_socket_local_addr(s, &bound) == 0) port = os_ipaddr_port(&bound);
  }
  ~Listener() {
    if (s != OS_SOCKET_NONE) os_socket_exit(s);
  }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
  // Accepts one connection, waiting up to `wait_ms`.
  os_socket_t accept_one(int wait_ms = 2000) {
    if (os_socket_wait_impl(s, OS_SOCKET_WAIT_READ, wait_ms) <= 0) return OS_SOCKET_NONE;
    return os_socket_accept(s, nullptr);
  }
};

}  // namespace net_test
