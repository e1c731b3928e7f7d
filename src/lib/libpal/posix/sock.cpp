// Sockets on POSIX: thin wrappers over the BSD calls, all non-blocking.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "pal_fmt.h"
#include "pal_sock.h"

namespace {

int fd_of(os_socket_t s) { return static_cast<int>(s - 1); }
os_socket_t handle_of(int fd) { return static_cast<os_socket_t>(fd) + 1; }

const sockaddr* sa_of(const os_ipaddr* a) { return reinterpret_cast<const sockaddr*>(a->raw); }
sockaddr* sa_of(os_ipaddr* a) { return reinterpret_cast<sockaddr*>(a->raw); }

int set_nonblock(int fd, bool on) {
  int fl = fcntl(fd, F_GETFL);
  if (fl < 0) return -1;
  fl = on ? (fl | O_NONBLOCK) : (fl & ~O_NONBLOCK);
  return fcntl(fd, F_SETFL, fl) < 0 ? -1 : 0;
}

// poll() with EINTR retried against the caller's deadline, so a signal
// (the Ctrl+C handler) never shortens or lengthens a slice.
int poll_one(int fd, short events, int ms, short* revents) {
  pollfd p{fd, events, 0};
  int64_t end = ms >= 0 ? os_clock_ms() + ms : 0;
  for (;;) {
    int r = poll(&p, 1, ms);
    if (r >= 0) {
      *revents = r > 0 ? p.revents : 0;
      return r;
    }
    if (errno != EINTR) return -1;
    if (ms >= 0) {
      int64_t now = os_clock_ms();
      ms = now >= end ? 0 : static_cast<int>(end - now);
    }
  }
}

}  // namespace

bool os_addrinfo_addr(const char* host, os_ipaddr* addr) {
  *addr = os_ipaddr{};
  if (host == nullptr || *host == '\0') {
    errno = EINVAL;
    return false;
  }
  if (host[0] == '/') {
    sockaddr_un un{};
    if (strlen(host) >= sizeof un.sun_path) {
      errno = ENAMETOOLONG;
      return false;
    }
    un.sun_family = AF_UNIX;
    memcpy(un.sun_path, host, strlen(host) + 1);
    memcpy(addr->raw, &un, sizeof un);
    addr->len = sizeof un;
    return true;
  }
  // "[::1]" is how URLs write an IPv6 literal.
  char name[1025];
  size_t n = strlen(host);
  if (host[0] == '[' && n >= 2 && host[n - 1] == ']') {
    snprintf(name, sizeof name, "%.*s", static_cast<int>(n - 2), host + 1);
  } else {
    snprintf(name, sizeof name, "%s", host);
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  int r = getaddrinfo(name, nullptr, &hints, &res);
  if (r != 0 || res == nullptr) {
    errno = r == EAI_SYSTEM ? errno : EHOSTUNREACH;
    if (errno == 0) errno = EHOSTUNREACH;
    return false;
  }
  // Prefer the first IPv4 answer; "localhost" then means 127.0.0.1 whatever
  // the resolver's order.
  const addrinfo* pick = res;
  for (const addrinfo* p = res; p != nullptr; p = p->ai_next) {
    if (p->ai_family == AF_INET) {
      pick = p;
      break;
    }
  }
  bool ok = pick->ai_addrlen <= sizeof addr->raw;
  if (ok) {
    memcpy(addr->raw, pick->ai_addr, pick->ai_addrlen);
    addr->len = static_cast<uint32_t>(pick->ai_addrlen);
  }
  freeaddrinfo(res);
  if (!ok) errno = EAFNOSUPPORT;
  return ok;
}

bool os_ipaddr_v4(const os_ipaddr* addr, uint8_t out[4]) {
  if (addr->len == 0 || sa_of(addr)->sa_family != AF_INET) return false;
  memcpy(out, &reinterpret_cast<const sockaddr_in*>(addr->raw)->sin_addr, 4);
  return true;
}

bool os_ipv4_cstr_set(const char* text, uint8_t out[4]) {
  in_addr a{};
  if (text == nullptr || inet_pton(AF_INET, text, &a) != 1) return false;
  memcpy(out, &a, 4);
  return true;
}

bool os_ipv6_cstr_set(const char* text, uint8_t out[16]) {
  if (text == nullptr) return false;
  char name[64];
  size_t n = strlen(text);
  if (n >= 2 && text[0] == '[' && text[n - 1] == ']') {
    if (n - 2 >= sizeof name) return false;
    memcpy(name, text + 1, n - 2);
    name[n - 2] = '\0';
  } else {
    if (n >= sizeof name) return false;
    memcpy(name, text, n + 1);
  }
  in6_addr a{};
  if (inet_pton(AF_INET6, name, &a) != 1) return false;
  memcpy(out, &a, 16);
  return true;
}

void os_ipaddr_port_set(os_ipaddr* addr, uint16_t port) {
  if (addr->len == 0) return;
  if (sa_of(addr)->sa_family == AF_INET) {
    reinterpret_cast<sockaddr_in*>(addr->raw)->sin_port = htons(port);
  } else if (sa_of(addr)->sa_family == AF_INET6) {
    reinterpret_cast<sockaddr_in6*>(addr->raw)->sin6_port = htons(port);
  }
}

uint16_t os_ipaddr_port(const os_ipaddr* addr) {
  if (addr->len == 0) return 0;
  if (sa_of(addr)->sa_family == AF_INET)
    return ntohs(reinterpret_cast<const sockaddr_in*>(addr->raw)->sin_port);
  if (sa_of(addr)->sa_family == AF_INET6)
    return ntohs(reinterpret_cast<const sockaddr_in6*>(addr->raw)->sin6_port);
  return 0;
}

int os_ipaddr_family(const os_ipaddr* addr) {
  if (addr->len == 0) return 0;
  switch (sa_of(addr)->sa_family) {
    case AF_INET:
      return OS_AF_INET;
    case AF_INET6:
      return OS_AF_INET6;
    case AF_UNIX:
      return OS_AF_LOCAL;
    default:
      return 0;
  }
}

const char* os_ipaddr_cstr(const os_ipaddr* addr, char* buf, size_t len) {
  if (len == 0) return buf;
  buf[0] = '\0';
  char ip[INET6_ADDRSTRLEN] = "";
  switch (os_ipaddr_family(addr)) {
    case OS_AF_INET:
      inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(addr->raw)->sin_addr, ip, sizeof ip);
      snprintf(buf, len, "%s:%u", ip, os_ipaddr_port(addr));
      break;
    case OS_AF_INET6:
      inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(addr->raw)->sin6_addr, ip,
                sizeof ip);
      snprintf(buf, len, "[%s]:%u", ip, os_ipaddr_port(addr));
      break;
    case OS_AF_LOCAL:
      snprintf(buf, len, "%s", reinterpret_cast<const sockaddr_un*>(addr->raw)->sun_path);
      break;
    default:
      break;
  }
  return buf;
}

os_socket_t os_socket_init(int family) {
  int af = family == OS_AF_INET6 ? AF_INET6 : family == OS_AF_LOCAL ? AF_UNIX : AF_INET;
  int fd = socket(af, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, af == AF_UNIX ? 0 : IPPROTO_TCP);
  if (fd < 0) return OS_SOCKET_NONE;
  return handle_of(fd);
}

int os_socket_ctrl(os_socket_t s, int ctrl, int value) {
  if (s == OS_SOCKET_NONE) {
    errno = EBADF;
    return -1;
  }
  int fd = fd_of(s);
  int on = value != 0 ? 1 : 0;
  switch (ctrl) {
    case OS_SOCKET_CTRL_SET_RECV_BUFF_SIZE:
      return setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &value, sizeof value) < 0 ? -1 : 0;
    case OS_SOCKET_CTRL_SET_SEND_BUFF_SIZE:
      return setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &value, sizeof value) < 0 ? -1 : 0;
    case OS_SOCKET_CTRL_SET_TCP_NODELAY:
      return setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) < 0 ? -1 : 0;
    case OS_SOCKET_CTRL_SET_NONBLOCK:
      return set_nonblock(fd, on != 0);
    case OS_SOCKET_CTRL_SET_REUSEADDR:
      return setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0 ? -1 : 0;
    default:
      errno = EINVAL;
      return -1;
  }
}

int os_socket_connect(os_socket_t s, const os_ipaddr* addr) {
  if (s == OS_SOCKET_NONE || addr->len == 0) {
    errno = s == OS_SOCKET_NONE ? EBADF : EINVAL;
    return -1;
  }
  int fd = fd_of(s);
  // A connect that failed while in progress leaves its cause in SO_ERROR;
  // calling connect() again would start a new attempt instead of reporting it.
  int soerr = 0;
  socklen_t sl = sizeof soerr;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &sl) == 0 && soerr != 0) {
    errno = soerr;
    return -1;
  }
  if (connect(fd, sa_of(addr), addr->len) == 0) return 1;
  switch (errno) {
    case EISCONN:
      return 1;
    case EINPROGRESS:
    case EALREADY:
    case EINTR:
    case EAGAIN:
      return 0;
    default:
      return -1;
  }
}

int os_socket_wait_impl(os_socket_t s, int mask, int ms) {
  if (s == OS_SOCKET_NONE) {
    errno = EBADF;
    return -1;
  }
  short ev = 0;
  if (mask & OS_SOCKET_WAIT_READ) ev |= POLLIN;
  if (mask & OS_SOCKET_WAIT_WRITE) ev |= POLLOUT;
  short rev = 0;
  int r = poll_one(fd_of(s), ev, ms, &rev);
  if (r <= 0) return r;
  if (rev & POLLNVAL) {
    errno = EBADF;
    return -1;
  }
  // An error or hang-up is "ready": the next recv/send/connect reports it.
  if (rev & (POLLERR | POLLHUP)) return mask & (OS_SOCKET_WAIT_READ | OS_SOCKET_WAIT_WRITE);
  int out = 0;
  if (rev & POLLIN) out |= OS_SOCKET_WAIT_READ;
  if (rev & POLLOUT) out |= OS_SOCKET_WAIT_WRITE;
  return out;
}

int os_socket_recv(os_socket_t s, void* buf, int len) {
  if (s == OS_SOCKET_NONE) {
    errno = EBADF;
    return -1;
  }
  if (len <= 0) return 0;
  for (;;) {
    ssize_t r = recv(fd_of(s), buf, static_cast<size_t>(len), 0);
    if (r > 0) return static_cast<int>(r);
    if (r == 0) {
      errno = 0;  // orderly close
      return 0;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    return -1;
  }
}

int os_socket_send(os_socket_t s, const void* buf, int len) {
  if (s == OS_SOCKET_NONE) {
    errno = EBADF;
    return -1;
  }
  if (len <= 0) return 0;
  for (;;) {
    ssize_t r = send(fd_of(s), buf, static_cast<size_t>(len), MSG_NOSIGNAL);
    if (r >= 0) return static_cast<int>(r);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    return -1;
  }
}

int os_socket_sendv(os_socket_t s, const os_sock_iov* iov, int n) {
  if (s == OS_SOCKET_NONE) {
    errno = EBADF;
    return -1;
  }
  constexpr int kMax = 16;
  if (n < 0 || n > kMax) {
    errno = EINVAL;
    return -1;
  }
  struct iovec v[kMax];
  size_t total = 0;
  int k = 0;
  for (int i = 0; i < n && total < INT32_MAX; ++i) {
    if (iov[i].len == 0) continue;
    size_t len = std::min<size_t>(iov[i].len, INT32_MAX - total);
    v[k].iov_base = const_cast<void*>(iov[i].base);
    v[k].iov_len = len;
    total += len;
    ++k;
  }
  if (k == 0) return 0;
  msghdr m{};
  m.msg_iov = v;
  m.msg_iovlen = static_cast<size_t>(k);
  for (;;) {
    ssize_t r = sendmsg(fd_of(s), &m, MSG_NOSIGNAL);
    if (r >= 0) return static_cast<int>(r);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    return -1;
  }
}

int os_socket_kill(os_socket_t s) {
  if (s == OS_SOCKET_NONE) {
    errno = EBADF;
    return -1;
  }
  return shutdown(fd_of(s), SHUT_RDWR) < 0 ? -1 : 0;
}

int os_socket_exit(os_socket_t s) {
  if (s == OS_SOCKET_NONE) {
    errno = EBADF;
    return -1;
  }
  return close(fd_of(s)) < 0 ? -1 : 0;
}

os_socket_t os_socket_listen(const os_ipaddr* addr, int backlog) {
  os_socket_t s = os_socket_init(os_ipaddr_family(addr));
  if (s == OS_SOCKET_NONE) return s;
  int fd = fd_of(s);
  if (os_ipaddr_family(addr) != OS_AF_LOCAL) os_socket_ctrl(s, OS_SOCKET_CTRL_SET_REUSEADDR, 1);
  if (bind(fd, sa_of(addr), addr->len) < 0 || listen(fd, backlog) < 0) {
    int e = errno;
    close(fd);
    errno = e;
    return OS_SOCKET_NONE;
  }
  return s;
}

os_socket_t os_socket_accept(os_socket_t listener, os_ipaddr* peer) {
  if (listener == OS_SOCKET_NONE) {
    errno = EBADF;
    return OS_SOCKET_NONE;
  }
  os_ipaddr tmp;
  socklen_t sl = sizeof tmp.raw;
  int fd;
  do {
    fd = accept4(fd_of(listener), sa_of(&tmp), &sl, SOCK_NONBLOCK | SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return OS_SOCKET_NONE;
  tmp.len = sl;
  if (peer != nullptr) *peer = tmp;
  return handle_of(fd);
}

int os_socket_local_addr(os_socket_t s, os_ipaddr* addr) {
  *addr = os_ipaddr{};
  socklen_t sl = sizeof addr->raw;
  if (s == OS_SOCKET_NONE || getsockname(fd_of(s), sa_of(addr), &sl) < 0) return -1;
  addr->len = sl;
  return 0;
}

int os_socket_pair(os_socket_t out[2]) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) < 0) return -1;
  out[0] = handle_of(fds[0]);
  out[1] = handle_of(fds[1]);
  return 0;
}

int os_fd_read(int fd, void* buf, int len, int ms) {
  if (len <= 0) return 0;
  for (;;) {
    ssize_t r = read(fd, buf, static_cast<size_t>(len));
    if (r >= 0) return static_cast<int>(r);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    short rev = 0;
    int w = poll_one(fd, POLLIN, ms, &rev);
    if (w < 0) return -1;
    if (w == 0) return 0;
  }
}

int os_fd_write(int fd, const void* buf, int len) {
  const char* p = static_cast<const char*>(buf);
  int done = 0;
  while (done < len) {
    ssize_t r = write(fd, p + done, static_cast<size_t>(len - done));
    if (r > 0) {
      done += static_cast<int>(r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      short rev = 0;
      if (poll_one(fd, POLLOUT, -1, &rev) < 0) return -1;
      continue;
    }
    if (r == 0) errno = EIO;
    return -1;
  }
  return len;
}

int os_socket_errno_get() { return errno; }
void os_socket_errno_set(int eno) { errno = eno; }
