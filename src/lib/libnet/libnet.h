// libnet: TCP client connections with a bounded connect time, and byte
// streams (sockets, TLS over sockets, standard I/O, files, memory) with
// per-call time-outs that another thread can interrupt.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "libpal.h"

/// Connection kinds. A negative kind marks an unusable connection.
enum : int32_t {
  NET_SOCK_TYPE = 0,  // 1 behaves the same
  NET_STDIO_TYPE = 2,
  NET_PIPE_SRV_TYPE = 3,
  NET_PIPE_CLI_TYPE = 4,
  NET_FILE_TYPE = 5,
  NET_MEM_TYPE = 6,
};

/// Proxy types of proxy_conf.
enum : int32_t { PROXY_TYPE_HTTP = 1, PROXY_TYPE_SOCKS4 = 2, PROXY_TYPE_SOCKS5 = 3 };

/// The proxy of one connection; type 0 means a direct connection.
struct proxy_conf {
  int32_t type = 0;
  std::string proto;  // protocol name as read (at most 31 characters)
  std::string ip;     // proxy host (at most 1023)
  int32_t port = 0;
  std::string user;  // empty: no authentication (at most 4095)
  std::string pwd;   // clear password (at most 4095)
};

/// Chooses the proxy of one connection, by the first rule that applies: a
/// non-empty `proxy_url`; else a non-empty `proxy_name`, looked up in the
/// proxy file that WY_PROXY_FILE names; else the "http_proxy" environment
/// variable. Fills `proxy` and returns 0 when a proxy was chosen, returns 1
/// for a direct connection (no rule applies), or -1 with the cause in `err`
/// (code -2, or -1 from the protocol name check). The log lines name the
/// proxy with "***" in place of its password.
int conf_proxy_get(const char* proxy_url, const char* proxy_name, proxy_conf* proxy, cdir_err* err);
/// Loads the proxy `name` (a section of the INI file `path`: "proto", "ip",
/// "port", "user", "pwd" as hexadecimal digits, two per byte) into `proxy`,
/// and its URL, password included, into *url_out (may be null). Returns 0,
/// or -1 with the cause in `err` (code -2, or -1 from the protocol check).
int conf_proxy_load(const char* path, const char* name, proxy_conf* proxy, std::string* url_out,
                    cdir_err* err);
/// Proxy type of a protocol name, compared exactly: "http" 1, "socks4" 2,
/// "socks5" 3. Otherwise -1, with -2 "proxy protocol [%s] Unsupported\n" in
/// `err` when it is not null.
int conf_proxy_2_id(const char* name, cdir_err* err);

/// Lets its owner interrupt waits of connects, reads and writes.
struct stop_ctl {
  std::atomic<int32_t> stop{0};  // non-zero: stop
  /// Asked on every wait slice with `data` and the time-out in ms; true stops.
  bool (*should_stop)(void* data, int32_t timeout_ms) = nullptr;
  void* data = nullptr;
};

struct net_conn;
using net_read_proc = int (*)(net_conn* nc, void* buf, int len);
using net_write_proc = int (*)(net_conn* nc, const void* buf, int len);
using net_close_proc = void (*)(net_conn* nc);

/// Memory buffer behind a NET_MEM_TYPE connection.
struct net_mem {
  std::unique_ptr<uint8_t[]> data;
  uint64_t len = 0;      // bytes in use
  uint64_t cap = 0;      // bytes allocated
  uint64_t rpos = 0;     // read position
  uint64_t written = 0;  // bytes written since the last read
};

/// One transport connection, owned by its user. A zero-initialised record is
/// an unconnected socket connection; fill kind, handle and time-out before use.
struct net_conn {
  int32_t type = NET_SOCK_TYPE;
  /// Kinds 0/1: the os_socket_t (0 none). Kind 5: file descriptor plus one.
  intptr_t handle = 0;
  std::unique_ptr<net_mem> mem;  // kind 6
  /// TLS context, owned by the TLS channel; nullptr for a plain connection.
  void* ssl = nullptr;
  int32_t timeout = 0;           // ms: the budget of one read or write call
  std::atomic<int32_t> stop{0};  // non-zero makes waiting reads and writes give up
  stop_ctl* sc = nullptr;
  /// TLS hooks, installed with `ssl` by the TLS channel. The close hook sends
  /// the close-notify and frees `ssl`; net_close calls it before the socket goes.
  net_read_proc read_proc = nullptr;
  net_write_proc write_proc = nullptr;
  net_close_proc close_proc = nullptr;
  std::atomic<uint8_t> disconnected{0};  // the peer closed the connection
};

/// Process-wide fallbacks for a TLS connection without its own hooks; this
/// program never sets them (the TLS channel installs per-connection hooks).
extern net_read_proc g_ssl_read_proc;
extern net_write_proc g_ssl_write_proc;

/// What sock_tcp_connect needs besides host and port.
struct sock_connect_param {
  int32_t connect_timeout = 4000;  // ms
  uint32_t buf_size = 0;           // socket buffer sizes; 0 keeps the system's
  int32_t no_wait = 0;             // non-zero: return right after starting the connect
  proxy_conf proxy;                // type 0: direct
  stop_ctl* sc = nullptr;
};

/// Opens a TCP connection to host:port within param->connect_timeout ms
/// (200 ms wait slices, checking param->sc between them). Returns the
/// non-blocking socket, or OS_SOCKET_NONE with `err` set: -2 "addrinfo_addr
/// %s failed", a mapped system error ("os_socket_init error: ...", "connect
/// %s ..."), -1 "connect %s timeout" or -1 "User request stop". A proxy type
/// other than 0 hands the whole connection to proxy_tcp_connect.
os_socket_t sock_tcp_connect(const char* host, uint16_t port, sock_connect_param* param,
                             cdir_err* err);
/// Connects to the proxy of param->proxy (directly, with the param's time-out,
/// buffer size and stop control) and asks it for a tunnel to host:port.
/// Returns the proxy socket, which then carries the target connection, or
/// OS_SOCKET_NONE with `err` set: the connect error when the proxy cannot be
/// reached, otherwise the handshake's. param->proxy.type is changed during
/// the call: one param must not serve two connects at once.
os_socket_t proxy_tcp_connect(const char* host, uint16_t port, sock_connect_param* param, cdir_err* err);
/// The handshakes over `nc` (a plain socket connection whose time-out
/// bounds every read and write). 0 on success; -1 with `err` set.
/// HTTP CONNECT, with Basic authentication when proxy->user is not empty.
int proxy_http_init(net_conn* nc, const char* host, uint16_t port, const proxy_conf* proxy, cdir_err* err);
/// SOCKS4; the 4a form (the proxy resolves the name) when `host` does not
/// resolve here or resolves to 255.255.255.255. IPv6 fails before sending.
int proxy_sock4_init(net_conn* nc, const char* host, uint16_t port, const proxy_conf* proxy, cdir_err* err);
/// SOCKS5, with user name/password authentication when proxy->user is not
/// empty. A user name, password or host name over 255 bytes fails before
/// anything is sent.
int proxy_sock5_init(net_conn* nc, const char* host, uint16_t port, const proxy_conf* proxy, cdir_err* err);

/// New non-blocking TCP socket of `family` (OS_AF_*) with both buffer sizes
/// set to `size` (when not 0) and no-delay on; option failures only warn.
/// Returns the socket, or OS_SOCKET_NONE with `err` set ("os_socket_init error: ").
os_socket_t sock_tcp_init(int family, uint32_t size, cdir_err* err);
/// Completes a connect of `sock` to `addr` within param->connect_timeout.
/// Returns 0, or -1 with `err` set (the socket stays open for the caller).
int sock_connect_imp(os_socket_t sock, const os_ipaddr* addr, const sock_connect_param* param,
                     cdir_err* err);

/// Reads up to `len` bytes, looping until all arrived, the time-out passed
/// (returns the count so far, possibly 0) or the peer closed (returns the
/// count so far and marks the connection disconnected). -1 on a socket error,
/// a stop request (last socket error OS_SOCKET_ERR_CANCELLED), a disconnected
/// connection, an unusable kind or a named pipe (not supported).
int net_read(net_conn* nc, void* buf, int len);
/// Writes `len` bytes, looping until all went out, the time-out passed
/// (logs "write timeout", returns the count so far) or the peer closed
/// (returns the count so far). -1 as for net_read.
int net_write(net_conn* nc, const void* buf, int len);
/// One piece of net_writev.
struct net_iov {
  const void* base;
  int len;
};
/// Writes the `n` pieces (at most 16, together at most INT32_MAX bytes) in
/// order as one stream, with net_write's time-out and results: a plain
/// socket sends them with gather writes, any other kind (TLS too) writes
/// them one after another through net_write. Returns the count written
/// (short only where net_write's would be), or -1.
int net_writev(net_conn* nc, const net_iov* iov, int n);
/// Closes the connection by kind after clearing its stop and disconnected
/// marks. Returns 0, or -1 for a negative kind, kind 5 or an unknown kind.
int net_close(net_conn* nc);
/// The socket read behind net_read for kinds 0, 1 (plain) and 2 (standard
/// input, one read); results as net_read.
int net_sock_read(net_conn* nc, void* buf, int len);
/// The socket write behind net_write for kinds 0, 1 (plain) and 2 (standard
/// output, all bytes); results as net_write.
int net_sock_write(net_conn* nc, const void* buf, int len);

/// net_sock_write's socket part for several pieces (kinds 0 and 1 only; at
/// most 16 pieces); results as net_writev.
int net_sock_writev(net_conn* nc, const net_iov* iov, int n);

/// Makes `nc` a memory connection whose buffer holds a copy of `data`
/// (readable at once). Returns 0, or -1 when the buffer cannot be allocated.
int net_mem_init(net_conn* nc, const void* data, uint64_t len);
/// Unread bytes of a memory connection (nullptr and 0 for other kinds).
const uint8_t* net_mem_peek(const net_conn* nc, uint64_t* len);

/// Marks the transport environment initialised; sock_env_exit will call
/// `tls_exit` (may be nullptr) to release the process-wide TLS configuration.
void sock_env_init(void (*tls_exit)());
/// Transport teardown at the end of a run: when marked initialised, clears
/// the mark, releases the TLS configuration and logs "==>".
void sock_env_exit();
