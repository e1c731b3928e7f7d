// The kind dispatch of net_read/net_write/net_close and the memory kind.
#include <cstring>
#include <memory>
#include <new>

#include "liblog.h"
#include "libnet.h"

WY_LOG_TAG("net");

net_read_proc g_ssl_read_proc = nullptr;
net_write_proc g_ssl_write_proc = nullptr;

namespace {

int net_ssl_read_proc(net_conn* nc, void* buf, int len) {
  if (nc->read_proc != nullptr) return nc->read_proc(nc, buf, len);
  // clang-format off: the expression text is the logged assertion text.
  if (!WY_CHECK(g_ssl_read_proc!=NULL)) return -1;
  // clang-format on
  return g_ssl_read_proc(nc, buf, len);
}

int net_ssl_write_proc(net_conn* nc, const void* buf, int len) {
  if (nc->write_proc != nullptr) return nc->write_proc(nc, buf, len);
  // clang-format off
  if (!WY_CHECK(g_ssl_write_proc!=NULL)) return -1;
  // clang-format on
  return g_ssl_write_proc(nc, buf, len);
}

// Buffers come from the peer's sizes: a failed allocation is a result, not
// an exception.
std::unique_ptr<uint8_t[]> alloc_bytes(uint64_t n) {
  try {
    return std::make_unique_for_overwrite<uint8_t[]>(n);
  } catch (const std::bad_alloc&) {
    LOGE("size=%llu malloc failed\n", static_cast<unsigned long long>(n));
    return nullptr;
  }
}

std::unique_ptr<net_mem> alloc_mem() {
  try {
    return std::make_unique<net_mem>();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

int npipe_unsupported(const net_conn* nc) {
  LOGE("type=%d named pipe not supported\n", nc->type);
  return -1;
}

int mem_read(net_conn* nc, void* buf, int len) {
  net_mem* m = nc->mem.get();
  if (m == nullptr || len < 0) return -1;
  uint64_t n = m->len - m->rpos;
  if (n > static_cast<uint64_t>(len)) n = static_cast<uint64_t>(len);
  if (n > 0) memcpy(buf, m->data.get() + m->rpos, n);
  m->rpos += n;
  m->written = 0;
  return static_cast<int>(n);
}

int mem_write(net_conn* nc, const void* buf, int len) {
  if (len < 0) return -1;
  if (!nc->mem) {
    nc->mem = alloc_mem();
    if (!nc->mem) return -1;
  }
  net_mem* m = nc->mem.get();
  // Something was read: the reader is done with the old content, start afresh.
  if (m->rpos > 0) {
    m->len = 0;
    m->rpos = 0;
  }
  uint64_t need = m->len + static_cast<uint64_t>(len) + 1;
  if (need > m->cap) {
    uint64_t cap = need * 2;
    std::unique_ptr<uint8_t[]> d = alloc_bytes(cap);
    if (!d) return -1;
    if (m->len > 0) memcpy(d.get(), m->data.get(), m->len);
    m->data = std::move(d);
    m->cap = cap;
  }
  if (len > 0) memcpy(m->data.get() + m->len, buf, static_cast<size_t>(len));
  m->len += static_cast<uint64_t>(len);
  m->written += static_cast<uint64_t>(len);
  return len;
}

}  // namespace

int net_read(net_conn* nc, void* buf, int len) {
  if (!WY_CHECK(nc != nullptr)) return -1;
  if (len <= 0) return len == 0 ? 0 : -1;
  switch (nc->type) {
    case NET_SOCK_TYPE:
    case 1:
      return nc->ssl != nullptr ? net_ssl_read_proc(nc, buf, len) : net_sock_read(nc, buf, len);
    case NET_STDIO_TYPE:
      return net_sock_read(nc, buf, len);
    case NET_PIPE_SRV_TYPE:
    case NET_PIPE_CLI_TYPE:
      return npipe_unsupported(nc);
    case NET_FILE_TYPE:
      return nc->handle > 0 ? os_fd_read(static_cast<int>(nc->handle - 1), buf, len, nc->timeout)
                            : -1;
    case NET_MEM_TYPE:
      return mem_read(nc, buf, len);
    default:
      return -1;
  }
}

int net_write(net_conn* nc, const void* buf, int len) {
  if (!WY_CHECK(nc != nullptr)) return -1;
  if (len <= 0) return len == 0 ? 0 : -1;
  switch (nc->type) {
    case NET_SOCK_TYPE:
    case 1:
      return nc->ssl != nullptr ? net_ssl_write_proc(nc, buf, len) : net_sock_write(nc, buf, len);
    case NET_STDIO_TYPE:
      return net_sock_write(nc, buf, len);
    case NET_PIPE_SRV_TYPE:
    case NET_PIPE_CLI_TYPE:
      return npipe_unsupported(nc);
    case NET_FILE_TYPE:
      return nc->handle > 0 ? os_fd_write(static_cast<int>(nc->handle - 1), buf, len) : -1;
    case NET_MEM_TYPE:
      return mem_write(nc, buf, len);
    default:
      return -1;
  }
}

int net_writev(net_conn* nc, const net_iov* iov, int n) {
  if (!WY_CHECK(nc != nullptr)) return -1;
  if (n < 0 || n > 16 || (n > 0 && iov == nullptr)) return -1;
  int64_t total = 0;
  for (int i = 0; i < n; ++i) {
    if (iov[i].len < 0 || (iov[i].len > 0 && iov[i].base == nullptr)) return -1;
    total += iov[i].len;
  }
  if (total > INT32_MAX) return -1;
  bool plain = (nc->type == NET_SOCK_TYPE || nc->type == 1) && nc->ssl == nullptr;
  if (plain) return net_sock_writev(nc, iov, n);
  // A channel with its own framing (TLS) takes the pieces in turn.
  int done = 0;
  for (int i = 0; i < n; ++i) {
    if (iov[i].len == 0) continue;
    int r = net_write(nc, iov[i].base, iov[i].len);
    if (r < 0) return -1;
    done += r;
    if (r < iov[i].len) return done;
  }
  return done;
}

int net_close(net_conn* nc) {
  if (!WY_CHECK(nc != nullptr)) return -1;
  nc->stop.store(0);
  nc->disconnected.store(0);
  switch (nc->type) {
    case NET_SOCK_TYPE:
    case 1:
      if (nc->ssl != nullptr && nc->close_proc != nullptr) nc->close_proc(nc);
      nc->ssl = nullptr;
      if (nc->handle != 0) {
        os_socket_t s = static_cast<os_socket_t>(nc->handle);
        os_socket_kill(s);
        os_socket_exit(s);
        nc->handle = 0;
      }
      return 0;
    case NET_STDIO_TYPE:
    case NET_PIPE_SRV_TYPE:
    case NET_PIPE_CLI_TYPE:
      return 0;
    case NET_MEM_TYPE:
      nc->mem.reset();
      return 0;
    default:
      return -1;  // negative, file (its owner closes it) or unknown
  }
}

int net_mem_init(net_conn* nc, const void* data, uint64_t len) {
  nc->type = NET_MEM_TYPE;
  nc->mem = alloc_mem();
  if (!nc->mem) return -1;
  net_mem* m = nc->mem.get();
  m->cap = len + 1;
  m->data = alloc_bytes(m->cap);
  if (!m->data) {
    nc->mem.reset();
    return -1;
  }
  if (len > 0) memcpy(m->data.get(), data, len);
  m->len = len;
  return 0;
}

const uint8_t* net_mem_peek(const net_conn* nc, uint64_t* len) {
  *len = 0;
  if (nc->type != NET_MEM_TYPE || !nc->mem) return nullptr;
  *len = nc->mem->len - nc->mem->rpos;
  return nc->mem->data.get() + nc->mem->rpos;
}
