// Tunnels through proxies: HTTP CONNECT (with Basic authentication), SOCKS4
// (and its 4a form, where the proxy resolves the name) and SOCKS5 (with
// optional user name and password). The proxy socket then carries the
// target connection. Replies are judged by the parsers of proxy_reply.
#include <cstring>
#include <string>

#include "liblog.h"
#include "libnet.h"
#include "pal_hash.h"
#include "proxy_reply.h"

WY_LOG_TAG("net");

namespace {

// An IPv6 literal holds at least two colons; a name or "host:port" never does.
bool looks_ipv6(const char* host) {
  const char* c = strchr(host, ':');
  return c != nullptr && strchr(c + 1, ':') != nullptr;
}

// Sends all of `data`; a short write (time-out, closed peer) is a failure
// like an error, since the proxy would wait for the rest for ever.
bool send_all(net_conn* nc, const std::string& data) {
  int n = static_cast<int>(data.size());
  return net_write(nc, data.data(), n) == n;
}

// Reads the HTTP reply header after its first kProxyHttpHead bytes, one byte
// at a time so that no byte of the tunnel is taken. The whole tail shares one
// budget of the connection's time-out: a proxy that drips its header byte by
// byte cannot hold the connect for longer than that.
int http_read_header_tail(net_conn* nc, cdir_err* err) {
  const int32_t budget = nc->timeout;
  const int64_t end = os_clock_ms() + budget;
  proxy_http_hdr h;
  for (;;) {
    int64_t left = end - os_clock_ms();
    if (left <= 0) {
      CDIR_ERR_SET(err, -1, "proxy read return error");
      LOGE("reply header not complete within %d ms\n", budget);
      return -1;
    }
    nc->timeout = static_cast<int32_t>(left);
    uint8_t c = 0;
    if (net_read(nc, &c, 1) < 1) {
      CDIR_ERR_SET(err, -1, "proxy read return error");
      LOGE("reply header cut after %u bytes\n", h.total);
      return -1;
    }
    int r = proxy_http_hdr_feed(&h, c);
    if (r == PROXY_HDR_END) return 0;
    if (r < 0) {
      CDIR_ERR_SET(err, -1, "%s", proxy_http_hdr_errstr(r));
      LOGE("%s (%u bytes, %u lines)\n", proxy_http_hdr_errstr(r), h.total, h.lines);
      return -1;
    }
  }
}

// The SOCKS5 connect request for `host`: a dotted IPv4 address, an IPv6
// literal, or a name the proxy resolves. False when the name does not fit
// its length byte.
bool sock5_connect_request(const char* host, uint16_t port, std::string* req) {
  *req = std::string("\x05\x01\x00", 3);
  uint8_t a[16];
  if (os_ipv4_cstr_set(host, a)) {
    req->push_back('\x01');
    req->append(reinterpret_cast<char*>(a), 4);
  } else if (looks_ipv6(host) && os_ipv6_cstr_set(host, a)) {
    req->push_back('\x04');
    req->append(reinterpret_cast<char*>(a), 16);
  } else {
    size_t n = strlen(host);
    if (n > 255) return false;
    req->push_back('\x03');
    req->push_back(static_cast<char>(n));
    req->append(host, n);
  }
  req->push_back(static_cast<char>(port >> 8));
  req->push_back(static_cast<char>(port & 0xff));
  return true;
}

}  // namespace

int proxy_http_init(net_conn* nc, const char* host, uint16_t port, const proxy_conf* proxy,
                    cdir_err* err) {
  std::string req = looks_ipv6(host)
                        ? str_format("CONNECT [%s]:%d HTTP/1.1\r\nHost: [%s]:%d\r\n", host, port, host, port)
                        : str_format("CONNECT %s:%d HTTP/1.1\r\nHost: %s:%d\r\n", host, port, host, port);
  std::string auth;
  if (!proxy->user.empty()) {
    std::string cred = proxy->user + ":" + proxy->pwd;
    auth = "Proxy-Authorization: Basic " + base64_encode(cred.data(), cred.size()) + "\r\n";
  }
  // The credentials stay out of the log.
  LOGV("[%s%s\r\n]\n", req.c_str(), auth.empty() ? "" : "Proxy-Authorization: Basic ***\r\n");
  req += auth + "\r\n";
  if (!send_all(nc, req)) {
    CDIR_ERR_SET(err, -1, "proxy send error");
    return -1;
  }
  uint8_t head[kProxyHttpHead + 1] = {};
  int ret = net_read(nc, head, static_cast<int>(kProxyHttpHead));
  LOGV("ret=%d\n", ret);
  if (ret != static_cast<int>(kProxyHttpHead)) {
    LOGD("net_read ret=%d !=12 error\n", ret);
    CDIR_ERR_SET(err, -1, "proxy recv len error");
    return -1;
  }
  int digit = proxy_http_status_digit(head);
  if (digit == 2) {
    LOGV("read last...\n");
    if (http_read_header_tail(nc, err) != 0) return -1;
    LOGV("proxy init ok!!\n");
    return 0;
  }
  // What the proxy sent goes into a log line: only printable bytes of it,
  // so a proxy cannot forge lines.
  head[11] = '\0';
  for (size_t i = 0; i < 11; i++)
    if (head[i] < 0x20 || head[i] > 0x7e) head[i] = '?';
  LOGE("net_read [%s] buf[9]=%c !=2 error\n", reinterpret_cast<char*>(head), head[9]);
  CDIR_ERR_SET(err, -1, digit == 4 ? "proxy user or pwd error" : "proxy read return error");
  return -1;
}

int proxy_sock4_init(net_conn* nc, const char* host, uint16_t port, const proxy_conf* proxy,
                     cdir_err* err) {
  LOGV("==>\n");
  if (looks_ipv6(host)) {
    CDIR_ERR_SET(err, -1, "SOCK4 does not support IPv6");
    return -1;
  }
  uint8_t ip[4] = {255, 255, 255, 255};
  os_ipaddr addr;
  if (!os_addrinfo_addr(host, &addr)) {
    // The proxy may know a name we cannot resolve: that is what the 4a
    // form is for.
    LOGI("addrinfo_addr %s failed here, the proxy resolves it\n", host);
  } else if (os_ipaddr_family(&addr) == OS_AF_INET6) {
    CDIR_ERR_SET(err, -1, "SOCK4 does not support IPv6");
    return -1;
  } else if (!os_ipaddr_v4(&addr, ip)) {
    CDIR_ERR_SET(err, -2, "addrinfo_addr %s error", host);
    return -1;
  }
  LOGV("hostaddr=%x\n", static_cast<unsigned>(ip[0] << 24 | ip[1] << 16 | ip[2] << 8 | ip[3]));
  bool socks4a = ip[0] == 255 && ip[1] == 255 && ip[2] == 255 && ip[3] == 255;
  std::string req("\x04\x01", 2);
  req.push_back(static_cast<char>(port >> 8));
  req.push_back(static_cast<char>(port & 0xff));
  if (socks4a) {
    req.append("\x00\x00\x00\x01", 4);
  } else {
    req.append(reinterpret_cast<char*>(ip), 4);
  }
  req.append(proxy->user.c_str(), strlen(proxy->user.c_str()) + 1);
  if (socks4a) {
    LOGV("use socks4a\n");
    req.append(host, strlen(host) + 1);
  }
  if (!send_all(nc, req)) {
    CDIR_ERR_SET(err, -1, "proxy send error");
    return -1;
  }
  uint8_t reply[8] = {};
  int ret = net_read(nc, reply, 8);
  if (ret != 8 || !proxy_sock4_reply_ok(reply)) {
    LOGE("ret=%d error\n", ret);
    CDIR_ERR_SET(err, -1, "proxy read return error");
    return -1;
  }
  return 0;
}

int proxy_sock5_init(net_conn* nc, const char* host, uint16_t port, const proxy_conf* proxy,
                     cdir_err* err) {
  LOGV("=>\n");
  // Each of these travels behind a length byte: refuse rather than send a
  // length the proxy would read as another value.
  if (proxy->user.size() > 255 || proxy->pwd.size() > 255) {
    CDIR_ERR_SET(err, -1, "proxy %s longer than 255 bytes", proxy->user.size() > 255 ? "user name" : "password");
    return -1;
  }
  std::string conn_req;
  if (!sock5_connect_request(host, port, &conn_req)) {
    CDIR_ERR_SET(err, -1, "target host name longer than 255 bytes");
    return -1;
  }
  bool with_user = !proxy->user.empty();
  if (!send_all(nc, with_user ? std::string("\x05\x02\x00\x02", 4) : std::string("\x05\x01\x00", 3))) {
    CDIR_ERR_SET(err, -1, "proxy send error");
    return -1;
  }
  uint8_t buf[kProxySock5ReplyMax] = {};
  int n = net_read(nc, buf, 2);
  // Without a user we offered no authentication: any other pick is a refusal.
  uint8_t method = !with_user && buf[1] != 0x00 ? 0xFF : buf[1];
  if (n != 2 || buf[0] != 0x05 || method == 0xFF) {
    LOGE("nrbytes=%d buf[0]=0x%x buf[1]=0x%x error\n", n, buf[0], buf[1]);
    CDIR_ERR_SET(err, -2, "Proxy read return error");
    return -1;
  }
  if (method == 0x02) {
    std::string auth(1, '\x01');
    auth.push_back(static_cast<char>(proxy->user.size()));
    auth += proxy->user;
    auth.push_back(static_cast<char>(proxy->pwd.size()));
    auth += proxy->pwd;
    if (!send_all(nc, auth)) {
      CDIR_ERR_SET(err, -1, "proxy send error");
      return -1;
    }
    n = net_read(nc, buf, 2);
    if (n != 2 || buf[1] != 0x00) {
      CDIR_ERR_SET(err, -2, "Proxy password or user name error");
      return -1;
    }
  }
  if (!send_all(nc, conn_req)) {
    CDIR_ERR_SET(err, -1, "proxy send error");
    return -1;
  }
  memset(buf, 0, 4);
  n = net_read(nc, buf, 4);
  if (n != 4 || buf[0] != 0x05 || buf[1] != 0x00) {
    int code = n >= 2 ? buf[1] : 0;
    LOGE("nrbytes=%d ver=0x%x rep=0x%x error\n", n, buf[0], buf[1]);
    CDIR_ERR_SET(err, -1, "%s", proxy_sock5_errstr(code).c_str());
    return -1;
  }
  // The bound address: its length is known only piece by piece (a name's
  // length byte first), and never more than the buffer holds.
  size_t have = 4;
  for (size_t need = proxy_sock5_reply_len(buf, have); have < need; need = proxy_sock5_reply_len(buf, have)) {
    int want = static_cast<int>(need - have);
    n = net_read(nc, buf + have, want);
    if (n != want) {
      LOGE("bound address: nrbytes=%d of %d\n", n, want);
      CDIR_ERR_SET(err, -1, "proxy read return error");
      return -1;
    }
    have = need;
  }
  return 0;
}

os_socket_t proxy_tcp_connect(const char* host, uint16_t port, sock_connect_param* param, cdir_err* err) {
  if (!WY_CHECK(host != nullptr && param != nullptr)) return OS_SOCKET_NONE;
  LOGV("==>\n");
  const proxy_conf& pc = param->proxy;
  const int32_t type = pc.type;
  if (pc.port <= 0 || pc.port > 65535) {
    CDIR_ERR_SET(err, -2, "proxy port %d invalid", pc.port);
    return OS_SOCKET_NONE;
  }
  // The proxy itself is reached directly.
  param->proxy.type = 0;
  os_socket_t s = sock_tcp_connect(pc.ip.c_str(), static_cast<uint16_t>(pc.port), param, err);
  param->proxy.type = type;
  if (s == OS_SOCKET_NONE) {
    LOGE("connect proxy server %s:%d failed\n", pc.ip.c_str(), pc.port);
    return OS_SOCKET_NONE;
  }
  LOGV("connect proxy ip=%s port=%d ok!\n", pc.ip.c_str(), pc.port);
  net_conn nc;
  nc.type = NET_SOCK_TYPE;
  nc.handle = s;
  nc.timeout = param->connect_timeout;
  int r;
  switch (type) {
    case PROXY_TYPE_HTTP: r = proxy_http_init(&nc, host, port, &pc, err); break;
    case PROXY_TYPE_SOCKS4: r = proxy_sock4_init(&nc, host, port, &pc, err); break;
    case PROXY_TYPE_SOCKS5: r = proxy_sock5_init(&nc, host, port, &pc, err); break;
    default:
      CDIR_ERR_SET(err, -1, "Unsupported proxy type=%d", type);
      r = -1;
  }
  if (r != 0) {
    LOGE("proxy %s:%d to %s:%d: %s\n", pc.ip.c_str(), pc.port, host, port,
         err != nullptr ? err->msg.c_str() : "");
    net_close(&nc);
    return OS_SOCKET_NONE;
  }
  return s;
}
