// The proxy handshakes against a scripted peer on a loopback socket: what
// goes on the wire, how replies are judged, and hostile replies (endless,
// split, cut short). The real proxies are run by the end-to-end tests.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "libnet.h"
#include "pal_hash.h"
#include "proxy_reply.h"

namespace {

using clk = std::chrono::steady_clock;

// One loopback listener whose single accepted connection runs `script` on
// its own thread. What the script received is in got() after wait().
class Peer {
 public:
  explicit Peer(std::function<void(Peer&)> script) {
    os_ipaddr a;
    os_addrinfo_addr("127.0.0.1", &a);
    l_ = os_socket_listen(&a, 4);
    os_ipaddr bound;
    if (l_ != OS_SOCKET_NONE && os_socket_local_addr(l_, &bound) == 0) port_ = os_ipaddr_port(&bound);
    th_ = std::thread([this, script] {
      if (os_socket_wait_impl(l_, OS_SOCKET_WAIT_READ, 5000) <= 0) return;
      s_ = os_socket_accept(l_, nullptr);
      if (s_ == OS_SOCKET_NONE) return;
      script(*this);
      os_socket_exit(s_);
    });
  }
  ~Peer() {
    wait();
    if (l_ != OS_SOCKET_NONE) os_socket_exit(l_);
  }
  uint16_t port() const { return port_; }
  void wait() {
    if (th_.joinable()) th_.join();
  }
  const std::string& got() const { return got_; }

  // Receives exactly n bytes (less when the client closes or 3 s pass).
  std::string recv(size_t n) {
    std::string r;
    auto end = clk::now() + std::chrono::seconds(3);
    while (r.size() < n && clk::now() < end) {
      char buf[4096];
      int k = os_socket_recv(s_, buf, static_cast<int>(std::min(n - r.size(), sizeof buf)));
      if (k > 0) {
        r.append(buf, static_cast<size_t>(k));
      } else if (k < 0 || os_socket_wait_impl(s_, OS_SOCKET_WAIT_READ, 100) < 0) {
        break;
      } else if (k == 0 && os_socket_errno_get() == 0) {
        break;  // closed
      }
    }
    got_ += r;
    return r;
  }
  // Receives until `end` came (at most 64 KiB, 3 s).
  std::string recv_until(const std::string& end) {
    std::string r;
    while (r.size() < 65536 && r.find(end) == std::string::npos) {
      std::string c = recv(1);
      if (c.empty()) break;
      r += c;
    }
    return r;
  }
  void send(const std::string& d) {
    size_t done = 0;
    for (int i = 0; i < 1000 && done < d.size(); i++) {
      int r = os_socket_send(s_, d.data() + done, static_cast<int>(d.size() - done));
      if (r < 0) return;
      done += static_cast<size_t>(r);
      if (r == 0) os_socket_wait_impl(s_, OS_SOCKET_WAIT_WRITE, 100);
    }
  }

 private:
  os_socket_t l_ = OS_SOCKET_NONE, s_ = OS_SOCKET_NONE;
  uint16_t port_ = 0;
  std::string got_;
  std::thread th_;
};

// A connect through the scripted peer as a proxy of `type`; the returned
// connection is open when the handshake succeeded.
struct Through {
  net_conn nc;
  cdir_err err;
  sock_connect_param param;
  Through(const Peer& p, int32_t type, const char* host, uint16_t port, const std::string& user = "",
          const std::string& pwd = "", int32_t timeout_ms = 3000) {
    param.connect_timeout = timeout_ms;
    param.proxy.type = type;
    param.proxy.ip = "127.0.0.1";
    param.proxy.port = p.port();
    param.proxy.user = user;
    param.proxy.pwd = pwd;
    nc.handle = proxy_tcp_connect(host, port, &param, &err);
    nc.timeout = 2000;
  }
  ~Through() { net_close(&nc); }
  bool ok() const { return nc.handle != OS_SOCKET_NONE; }
  std::string read(int n) {
    std::string b(static_cast<size_t>(n), '\0');
    int r = net_read(&nc, b.data(), n);
    b.resize(r > 0 ? static_cast<size_t>(r) : 0);
    return b;
  }
};

const std::string kOk = "HTTP/1.1 200 Connection established\r\nProxy-Agent: x\r\n\r\n";

TEST(ProxyHttp, RequestLineHostAndCredentialsThenTunnelBytesUntouched) {
  Peer p([](Peer& s) {
    s.recv_until("\r\n\r\n");
    s.send(kOk + "TUN");  // the tunnel's first bytes in the same segment
  });
  Through t(p, PROXY_TYPE_HTTP, "files.example", 6688, "user", "");
  ASSERT_TRUE(t.ok()) << t.err.msg;
  EXPECT_EQ(t.read(3), "TUN");
  p.wait();
  // A user without password still authenticates as "user:".
  EXPECT_EQ(p.got(), "CONNECT files.example:6688 HTTP/1.1\r\nHost: files.example:6688\r\n"
                     "Proxy-Authorization: Basic " + base64_encode("user:", 5) + "\r\n\r\n");
  EXPECT_EQ(t.param.proxy.type, PROXY_TYPE_HTTP);  // restored after the call
}

TEST(ProxyHttp, Ipv6TargetIsBracketedAndNoAuthWithoutUser) {
  Peer p([](Peer& s) {
    s.recv_until("\r\n\r\n");
    s.send("HTTP/1.0 200 OK\r\n\r\n");
  });
  Through t(p, PROXY_TYPE_HTTP, "2001:db8::7", 443);
  ASSERT_TRUE(t.ok()) << t.err.msg;
  p.wait();
  EXPECT_EQ(p.got(), "CONNECT [2001:db8::7]:443 HTTP/1.1\r\nHost: [2001:db8::7]:443\r\n\r\n");
}

// Each reply is judged by its status; a header that never ends is refused
// within its bounds, and a reply split into single bytes is still whole.
TEST(ProxyHttp, RepliesAreJudgedAndHostileOnesBounded) {
  struct Case {
    std::string reply;
    const char* msg;  // nullptr: success
  } cases[] = {
      {"HTTP/1.1 407 Proxy Authentication Required\r\n\r\n", "proxy user or pwd error"},
      {"HTTP/1.1 401 Unauthorized\r\n\r\n", "proxy user or pwd error"},
      {"HTTP/1.1 403 Forbidden\r\n\r\n", "proxy user or pwd error"},  // only the first digit counts
      {"HTTP/1.1 503 Unavailable\r\n\r\n", "proxy read return error"},
      {"SSH-2.0-OpenSSH_9.2p1 Debian\r\n", "proxy read return error"},  // not HTTP at all
      {"HTTP/1.1 2", "proxy recv len error"},                          // cut in the status
      {"HTTP/1.1 200 OK\r\nVia: x\r\n", "proxy read return error"},     // cut before the blank line
      {"HTTP/1.1 200 " + std::string(5000, 'a'), "proxy reply line too long"},
      {"HTTP/1.1 200 OK\r\n" + std::string(100000, 'b'), "proxy reply line too long"},
      {[] {
         std::string r = "HTTP/1.1 200 OK\r\n";
         for (int i = 0; i < 200; i++) r += "X-A: b\r\n";
         return r + "\r\n";
       }(),
       "proxy reply has too many header lines"},
      {"HTTP/1.1 200 OK\r\n" + [] {
         std::string r;
         for (int i = 0; i < 20; i++) r += "X-Long: " + std::string(4000, 'c') + "\r\n";
         return r;
       }() + "\r\n",
       "proxy reply header too long"},
      {"HTTP/1.1 200 OK\r\nA: b\r\n\n", nullptr},  // CR LF LF ends it too
  };
  for (const Case& c : cases) {
    Peer p([&](Peer& s) {
      s.recv_until("\r\n\r\n");
      s.send(c.reply);
    });
    Through t(p, PROXY_TYPE_HTTP, "127.0.0.1", 1);
    if (c.msg == nullptr) {
      EXPECT_TRUE(t.ok()) << c.reply.substr(0, 40) << ": " << t.err.msg;
    } else {
      EXPECT_FALSE(t.ok()) << c.reply.substr(0, 40);
      EXPECT_EQ(t.err.msg, c.msg) << c.reply.substr(0, 40);
      EXPECT_EQ(t.err.verr, -1);
    }
  }
}

TEST(ProxyHttp, SplitReplySucceedsAndADrippingOneIsCutOffByTheBudget) {
  Peer split([](Peer& s) {
    s.recv_until("\r\n\r\n");
    for (char c : kOk) {
      s.send(std::string(1, c));
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  Through a(split, PROXY_TYPE_HTTP, "127.0.0.1", 1);
  EXPECT_TRUE(a.ok()) << a.err.msg;

  // A byte every 100 ms never ends: the header tail shares one budget.
  Peer drip([](Peer& s) {
    s.recv_until("\r\n\r\n");
    s.send("HTTP/1.1 200 OK\r\n");
    for (int i = 0; i < 60; i++) {
      s.send("x");
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  auto start = clk::now();
  Through b(drip, PROXY_TYPE_HTTP, "127.0.0.1", 1, "", "", 1000);
  EXPECT_FALSE(b.ok());
  EXPECT_EQ(b.err.msg, "proxy read return error");
  EXPECT_LT(clk::now() - start, std::chrono::milliseconds(4000));
}

TEST(ProxySock4, AddressFormNameFormAndIpv6) {
  Peer p([](Peer& s) {
    s.recv(8 + 4);  // header and "ann\0"
    s.send(std::string("\x00\x5a\x00\x00\x00\x00\x00\x00", 8));
  });
  Through t(p, PROXY_TYPE_SOCKS4, "127.0.0.1", 6688, "ann", "ignored");
  ASSERT_TRUE(t.ok()) << t.err.msg;
  p.wait();
  EXPECT_EQ(p.got(), std::string("\x04\x01\x1a\x20\x7f\x00\x00\x01" "ann\0", 12));

  // A name that does not resolve here goes to the proxy in the 4a form.
  Peer q([](Peer& s) {
    s.recv(8 + 1 + 21);
    s.send(std::string("\x00\x5a\x00\x00\x00\x00\x00\x00", 8));
  });
  Through u(q, PROXY_TYPE_SOCKS4, "no-such-host.invalid", 80);
  ASSERT_TRUE(u.ok()) << u.err.msg;
  q.wait();
  EXPECT_EQ(q.got(), std::string("\x04\x01\x00\x50\x00\x00\x00\x01\0no-such-host.invalid\0", 30));

  // IPv6 fails before anything is sent; a refusal (0x5B) fails after.
  Peer r([](Peer& s) { s.recv(1); });
  Through v(r, PROXY_TYPE_SOCKS4, "::1", 80);
  EXPECT_FALSE(v.ok());
  EXPECT_EQ(v.err.msg, "SOCK4 does not support IPv6");
  r.wait();
  EXPECT_EQ(r.got(), "");

  Peer n([](Peer& s) {
    s.recv(9);
    s.send(std::string("\x00\x5b\x00\x00\x00\x00\x00\x00", 8));
  });
  Through w(n, PROXY_TYPE_SOCKS4, "127.0.0.1", 80);
  EXPECT_FALSE(w.ok());
  EXPECT_EQ(w.err.msg, "proxy read return error");
}

const std::string kS5Ok = std::string("\x05\x00\x00\x01\x7f\x00\x00\x01\x1a\x20", 10);

TEST(ProxySock5, NoAuthNameTargetAndBoundNameReadExactly) {
  Peer p([](Peer& s) {
    s.recv(3);
    s.send(std::string("\x05\x00", 2));
    s.recv(5 + 13 + 2);
    // Bound address as a name of 4 bytes, then the tunnel's first bytes.
    s.send(std::string("\x05\x00\x00\x03\x04host\x00\x50" "TUN", 14));
  });
  Through t(p, PROXY_TYPE_SOCKS5, "files.example", 6688);
  ASSERT_TRUE(t.ok()) << t.err.msg;
  EXPECT_EQ(t.read(3), "TUN");
  p.wait();
  EXPECT_EQ(p.got(), std::string("\x05\x01\x00" "\x05\x01\x00\x03\x0d" "files.example\x1a\x20", 23));
}

TEST(ProxySock5, UserPasswordExchangeAndAddressTypes) {
  Peer p([](Peer& s) {
    s.recv(4);
    s.send(std::string("\x05\x02", 2));
    s.recv(1 + 1 + 3 + 1 + 2);
    s.send(std::string("\x01\x00", 2));
    s.recv(10);
    s.send(kS5Ok);
  });
  Through t(p, PROXY_TYPE_SOCKS5, "127.0.0.1", 6688, "ann", "pw");
  ASSERT_TRUE(t.ok()) << t.err.msg;
  p.wait();
  EXPECT_EQ(p.got(), std::string("\x05\x02\x00\x02" "\x01\x03" "ann" "\x02" "pw"
                                 "\x05\x01\x00\x01\x7f\x00\x00\x01\x1a\x20", 4 + 8 + 10));

  Peer q([](Peer& s) {
    s.recv(3);
    s.send(std::string("\x05\x00", 2));
    s.recv(22);
    s.send(std::string("\x05\x00\x00\x04", 4) + std::string(18, '\0'));
  });
  Through u(q, PROXY_TYPE_SOCKS5, "[::1]", 1);
  ASSERT_TRUE(u.ok()) << u.err.msg;
  q.wait();
  EXPECT_EQ(q.got().substr(3, 4), std::string("\x05\x01\x00\x04", 4));
  EXPECT_EQ(q.got().substr(7, 16), std::string(15, '\0') + "\x01");
}

TEST(ProxySock5, RefusalsAndHostileReplies) {
  struct Case {
    std::string user, pwd;
    std::string greet, auth, reply;  // what the proxy answers at each step
    int verr;
    std::string msg;
  } cases[] = {
      {"", "", std::string("\x05\x02", 2), "", "", -2, "Proxy read return error"},  // asks for a login we lack
      {"", "", std::string("\x05\xff", 2), "", "", -2, "Proxy read return error"},
      {"", "", std::string("\x04\x00", 2), "", "", -2, "Proxy read return error"},
      {"", "", std::string("\x05", 1), "", "", -2, "Proxy read return error"},
      {"a", "b", std::string("\x05\x02", 2), std::string("\x01\x01", 2), "", -2, "Proxy password or user name error"},
      {"", "", std::string("\x05\x00", 2), "", std::string("\x05\x05\x00\x01", 4), -1, "Connection refused!"},
      {"", "", std::string("\x05\x00", 2), "", std::string("\x05\x02\x00\x01", 4), -1,
       "Connection not allowed by ruleset!"},
      {"", "", std::string("\x05\x00", 2), "", std::string("\x05\x63\x00\x01", 4), -1, "proxy unkown error: 99"},
      {"", "", std::string("\x05\x00", 2), "", std::string("\x05\x00", 2), -1, "proxy unkown error: 0"},
      {"", "", std::string("\x05\x00", 2), "", std::string("\x05\x00\x00\x03\x09" "ab", 7), -1,
       "proxy read return error"},
  };
  for (const Case& c : cases) {
    Peer p([&](Peer& s) {
      s.recv(c.user.empty() ? 3 : 4);
      s.send(c.greet);
      if (!c.auth.empty()) {
        s.recv(3 + c.user.size() + c.pwd.size());
        s.send(c.auth);
      }
      if (!c.reply.empty()) {
        s.recv(10);
        s.send(c.reply);
      }
    });
    Through t(p, PROXY_TYPE_SOCKS5, "127.0.0.1", 1, c.user, c.pwd, 1000);
    EXPECT_FALSE(t.ok()) << c.msg;
    EXPECT_EQ(t.err.verr, c.verr) << c.msg;
    EXPECT_EQ(t.err.msg, c.msg);
  }
}

// A length byte cannot carry more than 255: such values are refused before
// the proxy sees a byte, rather than sent with a wrong length.
TEST(ProxySock5, OverlongFieldsAreRefusedBeforeSending) {
  std::string long_ = std::string(256, 'u');
  struct Case {
    std::string user, pwd, host, msg;
  } cases[] = {
      {long_, "p", "127.0.0.1", "proxy user name longer than 255 bytes"},
      {"u", long_, "127.0.0.1", "proxy password longer than 255 bytes"},
      {"", "", std::string(256, 'h') + ".example", "target host name longer than 255 bytes"},
  };
  for (const Case& c : cases) {
    Peer p([](Peer& s) { s.recv(1); });
    Through t(p, PROXY_TYPE_SOCKS5, c.host.c_str(), 1, c.user, c.pwd);
    EXPECT_FALSE(t.ok());
    EXPECT_EQ(t.err.msg, c.msg);
    p.wait();
    EXPECT_EQ(p.got(), "") << c.msg;
  }
  // 255 bytes still fit.
  Peer p([](Peer& s) {
    s.recv(4);
    s.send(std::string("\x05\x02", 2));
    s.recv(3 + 255 + 1);
    s.send(std::string("\x01\x00", 2));
    s.recv(10);
    s.send(kS5Ok);
  });
  Through t(p, PROXY_TYPE_SOCKS5, "127.0.0.1", 1, std::string(255, 'u'), "p");
  EXPECT_TRUE(t.ok()) << t.err.msg;
}

TEST(ProxyTcpConnect, ProxyDownOrUnknownType) {
  uint16_t port = 0;
  {
    // A port that was just free: nobody listens there.
    os_ipaddr a, bound;
    os_addrinfo_addr("127.0.0.1", &a);
    os_socket_t l = os_socket_listen(&a, 1);
    ASSERT_NE(l, OS_SOCKET_NONE);
    if (os_socket_local_addr(l, &bound) == 0) port = os_ipaddr_port(&bound);
    os_socket_exit(l);
  }
  sock_connect_param param;
  param.proxy.type = PROXY_TYPE_SOCKS5;
  param.proxy.ip = "127.0.0.1";
  param.proxy.port = port;
  cdir_err err;
  EXPECT_EQ(sock_tcp_connect("127.0.0.1", 6688, &param, &err), OS_SOCKET_NONE);
  EXPECT_EQ(err.verr, os_verr_get(ECONNREFUSED));
  EXPECT_EQ(err.msg.rfind("connect 127.0.0.1:" + std::to_string(port), 0), 0u) << err.msg;
  EXPECT_EQ(param.proxy.type, PROXY_TYPE_SOCKS5);

  Peer p([](Peer& s) { s.recv(1); });
  param.proxy.type = 9;
  param.proxy.port = p.port();
  EXPECT_EQ(proxy_tcp_connect("127.0.0.1", 6688, &param, &err), OS_SOCKET_NONE);
  EXPECT_EQ(err.msg, "Unsupported proxy type=9");
}

}  // namespace
