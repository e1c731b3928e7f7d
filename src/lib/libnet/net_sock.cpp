// Socket reads and writes with sliced waits, so a stop request from another
// thread is seen within one slice and the time-out bounds the whole call.
#include <algorithm>

#include "liblog.h"
#include "libnet.h"

WY_LOG_TAG("net");

namespace {

// A negative time-out must not turn a slice into an endless wait that no
// stop request could end: slices are clamped to [0, slice].
constexpr int kReadSliceMs = 300;
constexpr int kWriteSliceMs = 500;

bool read_stop_requested(const net_conn* nc) {
  if (nc->stop.load(std::memory_order_relaxed) != 0) return true;
  const stop_ctl* sc = nc->sc;
  if (sc == nullptr) return false;
  if (sc->stop.load(std::memory_order_relaxed) != 0) return true;
  return sc->should_stop != nullptr && sc->should_stop(sc->data, nc->timeout);
}

bool timed_out(int64_t start, int32_t timeout) { return os_clock_ms() - start >= timeout; }

}  // namespace

int net_sock_read(net_conn* nc, void* buf, int len) {
  int64_t start = os_clock_ms();
  if (nc->type == NET_STDIO_TYPE) return os_fd_read(0, buf, len, nc->timeout);
  if (nc->disconnected.load() != 0) {
    LOGV("_disconnect!!\n");
    return -1;
  }
  auto* p = static_cast<uint8_t*>(buf);
  os_socket_t s = static_cast<os_socket_t>(nc->handle);
  int done = 0;
  bool was_readable = false;
  while (done < len) {
    os_socket_errno_set(0);
    int r = os_socket_recv(s, p + done, len - done);
    if (r > 0) {
      done += r;
      continue;
    }
    if (r < 0) {
      int eno = os_socket_errno_get();
      LOGE("socket_recv error [%d] [%s]\n", eno, os_errno_str(eno, nullptr, 0));
      return -1;
    }
    // Nothing came: after a wait that reported the socket readable, a clean
    // 0 means the peer has closed.
    if (was_readable && os_socket_errno_get() == 0) {
      nc->disconnected.store(1);
      return done;
    }
    for (;;) {
      if (read_stop_requested(nc)) {
        os_socket_errno_set(OS_SOCKET_ERR_CANCELLED);
        return -1;
      }
      int w = os_socket_wait_impl(s, OS_SOCKET_WAIT_READ,
                                  std::clamp<int>(nc->timeout, 0, kReadSliceMs));
      if (w < 0) {
        int eno = os_socket_errno_get();
        LOGE("socket_wait error [%d] [%s]\n", eno, os_errno_str(eno, nullptr, 0));
        return done;
      }
      if (timed_out(start, nc->timeout)) return done;
      if (w > 0) {
        was_readable = true;
        break;
      }
    }
  }
  return len;
}

int net_sock_write(net_conn* nc, const void* buf, int len) {
  if (nc->type == NET_STDIO_TYPE) return os_fd_write(1, buf, len) < 0 ? -1 : len;
  net_iov one{buf, len};
  return net_sock_writev(nc, &one, 1);
}

int net_sock_writev(net_conn* nc, const net_iov* iov, int n) {
  int64_t start = os_clock_ms();
  if (nc->disconnected.load() != 0) {
    LOGD("_disconnect!!\n");
    return -1;
  }
  os_socket_t s = static_cast<os_socket_t>(nc->handle);
  constexpr int kMax = 16;
  if (n < 0 || n > kMax) return -1;
  // What is still to go: the pieces from `first` on, the first of them
  // from `skip` bytes in.
  os_sock_iov v[kMax];
  int64_t len = 0;
  for (int i = 0; i < n; ++i) {
    v[i] = os_sock_iov{iov[i].base, static_cast<size_t>(iov[i].len)};
    len += iov[i].len;
  }
  int first = 0;
  int done = 0;
  bool was_writable = false;
  while (done < len) {
    os_socket_errno_set(0);
    int r = os_socket_sendv(s, v + first, n - first);
    if (r > 0) {
      done += r;
      // Step past what went out.
      size_t left = static_cast<size_t>(r);
      while (first < n && left >= v[first].len) {
        left -= v[first].len;
        ++first;
      }
      if (first < n) {
        v[first].base = static_cast<const uint8_t*>(v[first].base) + left;
        v[first].len -= left;
      }
      continue;
    }
    if (r < 0) {
      int eno = os_socket_errno_get();
      LOGE("socket_send error [%d] [%s]\n", eno, os_errno_str(eno, nullptr, 0));
      return -1;
    }
    if (was_writable && os_socket_errno_get() == 0) {
      nc->disconnected.store(1);
      return done;
    }
    for (;;) {
      // Writes look only at the connection's own flag; the stop control is
      // for the long waits of connects and reads.
      if (nc->stop.load(std::memory_order_relaxed) != 0) {
        os_socket_errno_set(OS_SOCKET_ERR_CANCELLED);
        return -1;
      }
      int w = os_socket_wait_impl(s, OS_SOCKET_WAIT_WRITE,
                                  std::clamp<int>(nc->timeout, 0, kWriteSliceMs));
      if (w < 0) {
        int eno = os_socket_errno_get();
        LOGE("socket_wait error [%d] [%s]\n", eno, os_errno_str(eno, nullptr, 0));
        return -1;
      }
      if (timed_out(start, nc->timeout)) {
        LOGE("write timeout\n");
        return done;
      }
      if (w > 0) {
        was_writable = true;
        break;
      }
    }
  }
  return done;
}
