// Sockets: address records, non-blocking stream sockets, sliced waits and the
// thread's last socket error. Everything above this layer speaks os_socket_t
// handles and verr codes; the system calls stay in posix/sock*.cpp.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>

/// A socket handle: the system descriptor plus one, so 0 means "no socket"
/// and a zero-initialised record holds none.
using os_socket_t = intptr_t;
inline constexpr os_socket_t OS_SOCKET_NONE = 0;

/// The value net code stores as the last socket error when a wait is given up
/// on request (the "operation cancelled" of the platform).
inline constexpr int OS_SOCKET_ERR_CANCELLED = ECANCELED;

/// Address families as callers see them.
enum : int { OS_AF_INET = 1, OS_AF_INET6 = 2, OS_AF_LOCAL = 3 };

/// One socket address of any family (large enough for every system form).
struct os_ipaddr {
  alignas(8) unsigned char raw[128] = {};
  uint32_t len = 0;  // bytes of raw in use; 0 = empty
};

/// Wait conditions of os_socket_wait_impl.
enum : int { OS_SOCKET_WAIT_READ = 1, OS_SOCKET_WAIT_WRITE = 2 };

/// Socket options of os_socket_ctrl.
enum : int {
  OS_SOCKET_CTRL_SET_RECV_BUFF_SIZE = 1,  // value: bytes
  OS_SOCKET_CTRL_SET_SEND_BUFF_SIZE = 2,  // value: bytes
  OS_SOCKET_CTRL_SET_TCP_NODELAY = 3,     // value: 0 off, else on
  OS_SOCKET_CTRL_SET_NONBLOCK = 4,        // value: 0 blocking, else non-blocking
  OS_SOCKET_CTRL_SET_REUSEADDR = 5,       // value: 0 off, else on
};

/// Resolves a host name or a literal address (IPv4, IPv6, with or without
/// brackets) into `addr` (port 0). A name starting with '/' is a local-socket
/// path. Returns true on success; false (addr empty, errno set) otherwise.
bool os_addrinfo_addr(const char* host, os_ipaddr* addr);
/// Sets the port of an IPv4 or IPv6 address; no effect on other families.
void os_ipaddr_port_set(os_ipaddr* addr, uint16_t port);
/// Port of an IPv4 or IPv6 address, else 0.
uint16_t os_ipaddr_port(const os_ipaddr* addr);
/// 1 IPv4, 2 IPv6, 3 local socket, 0 empty or unknown.
int os_ipaddr_family(const os_ipaddr* addr);
/// The four bytes (network order) of an IPv4 address into `out`. False, and
/// `out` untouched, for any other family.
bool os_ipaddr_v4(const os_ipaddr* addr, uint8_t out[4]);
/// Parses a dotted IPv4 literal ("a.b.c.d", nothing else) into its four
/// bytes. False when `text` is not one.
bool os_ipv4_cstr_set(const char* text, uint8_t out[4]);
/// Parses an IPv6 literal, with or without brackets, into its sixteen
/// bytes. False when `text` is not one.
bool os_ipv6_cstr_set(const char* text, uint8_t out[16]);
/// Text form "address:port" ("[v6]:port" for IPv6, the path for a local
/// socket) cut to fit `buf`; returns buf ("" for an empty address).
const char* os_ipaddr_cstr(const os_ipaddr* addr, char* buf, size_t len);

/// New non-blocking stream socket: IPv6 for family 2, a local socket for 3,
/// IPv4 otherwise; TCP except for local sockets. Returns the handle, or
/// OS_SOCKET_NONE with errno set.
os_socket_t os_socket_init(int family);
/// Sets one OS_SOCKET_CTRL_* option. Returns 0, or -1 with errno set.
int os_socket_ctrl(os_socket_t s, int ctrl, int value);
/// Starts or checks a connect on a non-blocking socket: 1 connected (or
/// already connected), 0 in progress, -1 failed (errno set, also for a
/// connect that was refused while in progress).
int os_socket_connect(os_socket_t s, const os_ipaddr* addr);
/// Waits up to `ms` milliseconds (negative: forever) for the conditions in
/// `mask` (OS_SOCKET_WAIT_*). Returns 0 on time-out, the mask of ready
/// conditions (an error or hang-up on the socket reports every asked
/// condition, so the next call finds it), or -1 with errno set.
int os_socket_wait_impl(os_socket_t s, int mask, int ms);
/// Receives up to `len` bytes without blocking. Returns the count, 0 when
/// nothing is there yet or the peer has closed (tell them apart with a wait
/// that reports readable and errno 0), -1 on error (errno set). errno is 0
/// after a 0 caused by an orderly close.
int os_socket_recv(os_socket_t s, void* buf, int len);
/// Sends up to `len` bytes without blocking (never raises SIGPIPE). Returns
/// the count, 0 when the call would block, -1 on error (errno set).
int os_socket_send(os_socket_t s, const void* buf, int len);
/// One piece of a gather send.
struct os_sock_iov {
  const void* base;
  size_t len;
};
/// Sends the `n` pieces (at most 16) in order as one stream, as much as
/// goes without blocking (never raises SIGPIPE). Returns the count (at
/// most INT32_MAX), 0 when the call would block, -1 on error (errno set).
int os_socket_sendv(os_socket_t s, const os_sock_iov* iov, int n);
/// Shuts both directions down; the handle stays open. Returns 0 or -1.
int os_socket_kill(os_socket_t s);
/// Closes the socket. Returns 0, or -1 for OS_SOCKET_NONE or a close error.
int os_socket_exit(os_socket_t s);

/// Binds `addr` (port 0 picks a free one), listens with `backlog` and
/// returns the non-blocking listening handle, or OS_SOCKET_NONE (errno set).
os_socket_t os_socket_listen(const os_ipaddr* addr, int backlog);
/// Accepts one pending connection as a non-blocking socket (peer address in
/// `peer` when not null). Returns the handle, or OS_SOCKET_NONE with errno set
/// (EAGAIN when none is pending).
os_socket_t os_socket_accept(os_socket_t listener, os_ipaddr* peer);
/// Local address of a bound socket. Returns 0 or -1.
int os_socket_local_addr(os_socket_t s, os_ipaddr* addr);
/// A connected pair of non-blocking local stream sockets. Returns 0 or -1.
int os_socket_pair(os_socket_t out[2]);

/// Reads up to `len` bytes from a plain descriptor (standard input 0, a pipe,
/// a device, a file), waiting up to `ms` milliseconds for data when it is
/// not ready (negative: forever). Returns the count, 0 at end or on time-out,
/// -1 on error (errno set).
int os_fd_read(int fd, void* buf, int len, int ms);
/// Writes all `len` bytes to a plain descriptor, waiting as needed. Returns
/// len, or -1 on error (errno set).
int os_fd_write(int fd, const void* buf, int len);

/// The thread's last socket error (errno on POSIX).
int os_socket_errno_get();
/// Sets the thread's last socket error.
void os_socket_errno_set(int eno);
