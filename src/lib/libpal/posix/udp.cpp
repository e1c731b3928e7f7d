// Datagram sockets on POSIX.
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "pal_udp.h"

namespace {

int fd_of(os_socket_t s) { return static_cast<int>(s - 1); }
os_socket_t handle_of(int fd) { return static_cast<os_socket_t>(fd) + 1; }
const sockaddr* sa_of(const os_ipaddr* a) { return reinterpret_cast<const sockaddr*>(a->raw); }

int udp_socket(const os_ipaddr* a) {
  if (a == nullptr || a->len == 0) {
    errno = EINVAL;
    return -1;
  }
  int fam = sa_of(a)->sa_family;
  if (fam != AF_INET && fam != AF_INET6) {
    errno = EAFNOSUPPORT;
    return -1;
  }
  return socket(fam, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
}

}  // namespace

os_socket_t os_udp_open(const os_ipaddr* peer) {
  int fd = udp_socket(peer);
  if (fd < 0) return OS_SOCKET_NONE;
  if (connect(fd, sa_of(peer), static_cast<socklen_t>(peer->len)) != 0) {
    int e = errno;
    close(fd);
    errno = e;
    return OS_SOCKET_NONE;
  }
  return handle_of(fd);
}

os_socket_t os_udp_bind(const os_ipaddr* addr) {
  int fd = udp_socket(addr);
  if (fd < 0) return OS_SOCKET_NONE;
  if (bind(fd, sa_of(addr), static_cast<socklen_t>(addr->len)) != 0) {
    int e = errno;
    close(fd);
    errno = e;
    return OS_SOCKET_NONE;
  }
  return handle_of(fd);
}

int os_udp_send(os_socket_t s, const void* buf, int len) {
  if (s == OS_SOCKET_NONE || buf == nullptr || len < 0) {
    errno = EINVAL;
    return -1;
  }
  ssize_t n;
  do {
    n = send(fd_of(s), buf, static_cast<size_t>(len), MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return -1;
  if (n != len) {
    errno = EMSGSIZE;
    return -1;
  }
  return len;
}

int os_udp_recv(os_socket_t s, void* buf, int len, int ms) {
  if (s == OS_SOCKET_NONE || buf == nullptr || len < 0) {
    errno = EINVAL;
    return -1;
  }
  pollfd p{fd_of(s), POLLIN, 0};
  int r;
  do {
    r = poll(&p, 1, ms < 0 ? -1 : ms);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return -1;
  if (r == 0) return 0;
  ssize_t n = recv(fd_of(s), buf, static_cast<size_t>(len), MSG_TRUNC);
  if (n < 0) return -1;
  return n > len ? len : static_cast<int>(n);
}

uint16_t os_service_port(const char* name, const char* proto, uint16_t fallback) {
  if (name == nullptr || proto == nullptr) return fallback;
  int saved = errno;
  // getservbyname_r keeps this safe when several threads look up at once.
  servent se;
  servent* res = nullptr;
  char buf[1024];
  int rc = getservbyname_r(name, proto, &se, buf, sizeof buf, &res);
  errno = saved;
  if (rc != 0 || res == nullptr) return fallback;
  return ntohs(static_cast<uint16_t>(res->s_port));
}
