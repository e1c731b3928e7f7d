// TCP client connects with a bounded connect time and a stop control.
#include "liblog.h"
#include "libnet.h"

WY_LOG_TAG("net");

namespace {

// Fills `err` from the thread's last socket error: the mapped verr code,
// "connect <address> " and the system's text.
void connect_err(cdir_err* err, const char* func, int line, const char* at) {
  int eno = os_socket_errno_get();
  cdir_err_set(err, __FILE__, func, line, os_verr_get(eno), "connect %s %s", at,
               os_errno_str(eno, nullptr, 0));
}

bool stop_requested(const stop_ctl* sc, int32_t timeout_ms) {
  if (sc == nullptr) return false;
  if (sc->stop.load(std::memory_order_relaxed) != 0) return true;
  return sc->should_stop != nullptr && sc->should_stop(sc->data, timeout_ms);
}

}  // namespace

os_socket_t sock_tcp_init(int family, uint32_t size, cdir_err* err) {
  os_socket_t s = os_socket_init(family);
  if (s == OS_SOCKET_NONE) {
    int eno = os_socket_errno_get();
    LOGES("os_socket_init error: ");
    CDIR_ERR_SET(err, os_verr_get(eno), "os_socket_init error: %s", os_errno_str(eno, nullptr, 0));
    return OS_SOCKET_NONE;
  }
  if (size != 0) {
    int v = static_cast<int>(size > 0x7fffffffu ? 0x7fffffffu : size);
    if (os_socket_ctrl(s, OS_SOCKET_CTRL_SET_RECV_BUFF_SIZE, v) < 0)
      LOGW("OS_SOCKET_CTRL_SET_RECV_BUFF_SIZE %d error\n", v);
    if (os_socket_ctrl(s, OS_SOCKET_CTRL_SET_SEND_BUFF_SIZE, v) < 0)
      LOGW("OS_SOCKET_CTRL_SET_SEND_BUFF_SIZE %d error\n", v);
  }
  // Local sockets have no Nagle to switch off.
  if (family != OS_AF_LOCAL && os_socket_ctrl(s, OS_SOCKET_CTRL_SET_TCP_NODELAY, 1) < 0)
    LOGW("OS_SOCKET_CTRL_SET_TCP_NODELAY error\n");
  return s;
}

int sock_connect_imp(os_socket_t sock, const os_ipaddr* addr, const sock_connect_param* param,
                     cdir_err* err) {
  char at[160];
  os_ipaddr_cstr(addr, at, sizeof at);
  int64_t start = os_clock_ms();
  for (;;) {
    int r = os_socket_connect(sock, addr);
    if (r == 1) return 0;
    if (r < 0) {
      connect_err(err, __func__, __LINE__, at);
      LOGE("connect %s failed: %s\n", at, err != nullptr ? err->msg.c_str() : "");
      return -1;
    }
    // In progress: wait in 200 ms slices so a stop request is seen quickly.
    for (;;) {
      if (os_clock_ms() - start >= param->connect_timeout) {
        CDIR_ERR_SET(err, -1, "connect %s timeout", at);
        LOGE("connect %s timeout\n", at);
        return -1;
      }
      if (stop_requested(param->sc, param->connect_timeout)) {
        CDIR_ERR_SET(err, -1, "User request stop");
        LOGE("connect %s: User request stop\n", at);
        return -1;
      }
      int w = os_socket_wait_impl(sock, OS_SOCKET_WAIT_WRITE, 200);
      if (w < 0) {
        connect_err(err, __func__, __LINE__, at);
        LOGE("connect %s wait failed: %s\n", at, err != nullptr ? err->msg.c_str() : "");
        return -1;
      }
      if (w > 0) break;  // ready: the next connect call tells how it went
    }
  }
}

os_socket_t sock_tcp_connect(const char* host, uint16_t port, sock_connect_param* param,
                             cdir_err* err) {
  if (!WY_CHECK(host != nullptr && param != nullptr)) return OS_SOCKET_NONE;
  if (param->proxy.type != 0) return proxy_tcp_connect(host, port, param, err);
  os_ipaddr addr;
  if (!os_addrinfo_addr(host, &addr)) {
    CDIR_ERR_SET(err, -2, "addrinfo_addr %s failed", host);
    LOGE("addrinfo_addr %s failed\n", host);
    return OS_SOCKET_NONE;
  }
  os_ipaddr_port_set(&addr, port);
  os_socket_t s = sock_tcp_init(os_ipaddr_family(&addr), param->buf_size, err);
  if (s == OS_SOCKET_NONE) return OS_SOCKET_NONE;
  int r;
  if (param->no_wait != 0) {
    r = os_socket_connect(s, &addr);
    if (r < 0) {
      char at[160];
      connect_err(err, __func__, __LINE__, os_ipaddr_cstr(&addr, at, sizeof at));
    }
  } else {
    r = sock_connect_imp(s, &addr, param, err);
  }
  if (r < 0) {
    os_socket_exit(s);
    return OS_SOCKET_NONE;
  }
  return s;
}
