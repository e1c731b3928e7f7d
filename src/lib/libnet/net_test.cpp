// Real loopback sockets: connects, time-outs, peers that close or stall,
// stops from another thread, and the non-socket kinds.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "libnet.h"
#include "net_test_util.h"

namespace {

using net_test::clk;
using net_test::Listener;
using net_test::ms_since;

// A connected client net_conn plus the server's end of it.
struct Pair {
  Listener l;
  net_conn nc;
  os_socket_t peer = OS_SOCKET_NONE;
  explicit Pair(int32_t timeout_ms) {
    sock_connect_param p;
    p.connect_timeout = 2000;
    cdir_err err;
    nc.handle = sock_tcp_connect("127.0.0.1", l.port, &p, &err);
    nc.timeout = timeout_ms;
    peer = l.accept_one();
  }
  ~Pair() {
    net_close(&nc);
    if (peer != OS_SOCKET_NONE) os_socket_exit(peer);
  }
  bool ok() const { return nc.handle != OS_SOCKET_NONE && peer != OS_SOCKET_NONE; }
  // Sends all of `s` from the server side (small amounts: never blocks long).
  void peer_send(const std::string& s) {
    size_t done = 0;
    for (int i = 0; i < 100 && done < s.size(); i++) {
      int r = os_socket_send(peer, s.data() + done, static_cast<int>(s.size() - done));
      if (r < 0) break;
      done += static_cast<size_t>(r);
      if (r == 0) os_socket_wait_impl(peer, OS_SOCKET_WAIT_WRITE, 100);
    }
  }
};

TEST(SockTcpConnect, ConnectsAndMovesBytesBothWays) {
  Pair p(2000);
  ASSERT_TRUE(p.ok());
  EXPECT_EQ(net_write(&p.nc, "hello", 5), 5);
  char buf[8] = {};
  ASSERT_EQ(os_socket_wait_impl(p.peer, OS_SOCKET_WAIT_READ, 2000), OS_SOCKET_WAIT_READ);
  EXPECT_EQ(os_socket_recv(p.peer, buf, sizeof buf), 5);
  EXPECT_STREQ(buf, "hello");
  p.peer_send("abc");
  char in[3];
  EXPECT_EQ(net_read(&p.nc, in, 3), 3);
  EXPECT_EQ(std::string(in, 3), "abc");
}

TEST(SockTcpConnect, RefusedPortReportsMappedSystemError) {
  uint16_t port;
  {
    Listener l;  // take a free port, then close it so nobody listens there
    port = l.port;
  }
  sock_connect_param p;
  p.connect_timeout = 2000;
  cdir_err err;
  EXPECT_EQ(sock_tcp_connect("127.0.0.1", port, &p, &err), OS_SOCKET_NONE);
  EXPECT_EQ(err.verr, os_verr_get(ECONNREFUSED));
  EXPECT_EQ(err.msg.rfind("connect 127.0.0.1:" + std::to_string(port) + " ", 0), 0u) << err.msg;
}

TEST(SockTcpConnect, UnresolvableHostAndProxyAreErrors) {
  sock_connect_param p;
  cdir_err err;
  EXPECT_EQ(sock_tcp_connect("", 1, &p, &err), OS_SOCKET_NONE);
  EXPECT_EQ(err.verr, -2);
  EXPECT_EQ(err.msg, "addrinfo_addr  failed");

  Listener l;
  p.proxy.type = PROXY_TYPE_SOCKS5;
  EXPECT_EQ(sock_tcp_connect("127.0.0.1", l.port, &p, &err), OS_SOCKET_NONE);
}

TEST(SockTcpConnect, Ipv6LoopbackWhenAvailable) {
  os_ipaddr a;
  if (!os_addrinfo_addr("::1", &a)) GTEST_SKIP() << "no IPv6";
  os_socket_t l = os_socket_listen(&a, 4);
  if (l == OS_SOCKET_NONE) GTEST_SKIP() << "no IPv6 loopback";
  os_ipaddr bound;
  ASSERT_EQ(os_socket_local_addr(l, &bound), 0);
  char txt[80];
  EXPECT_EQ(std::string(os_ipaddr_cstr(&bound, txt, sizeof txt)),
            "[::1]:" + std::to_string(os_ipaddr_port(&bound)));
  sock_connect_param p;
  cdir_err err;
  os_socket_t s = sock_tcp_connect("[::1]", os_ipaddr_port(&bound), &p, &err);
  EXPECT_NE(s, OS_SOCKET_NONE) << err.msg;
  if (s != OS_SOCKET_NONE) os_socket_exit(s);
  os_socket_exit(l);
}

// Fills the accept queue of a listener that never accepts, so that further
// connects stay unanswered (the kernel drops their SYNs). Returns the
// filler sockets; the caller closes them.
std::vector<os_socket_t> fill_backlog(const Listener& l) {
  std::vector<os_socket_t> fill;
  for (int i = 0; i < 8; i++) {
    sock_connect_param p;
    p.connect_timeout = 300;
    cdir_err err;
    os_socket_t s = sock_tcp_connect("127.0.0.1", l.port, &p, &err);
    if (s == OS_SOCKET_NONE) break;
    fill.push_back(s);
  }
  return fill;
}

TEST(SockTcpConnect, UnansweredConnectTimesOut) {
  Listener l(0);
  ASSERT_NE(l.s, OS_SOCKET_NONE);
  std::vector<os_socket_t> fill = fill_backlog(l);
  ASSERT_LT(fill.size(), 8u) << "accept queue never filled";
  sock_connect_param p;
  p.connect_timeout = 500;
  cdir_err err;
  auto t0 = clk::now();
  EXPECT_EQ(sock_tcp_connect("127.0.0.1", l.port, &p, &err), OS_SOCKET_NONE);
  EXPECT_GE(ms_since(t0), 480);
  EXPECT_EQ(err.verr, -1);
  EXPECT_EQ(err.msg, "connect 127.0.0.1:" + std::to_string(l.port) + " timeout");
  for (os_socket_t s : fill) os_socket_exit(s);
}

TEST(SockTcpConnect, StopControlEndsConnectWaitWithinOneSlice) {
  Listener l(0);
  ASSERT_NE(l.s, OS_SOCKET_NONE);
  std::vector<os_socket_t> fill = fill_backlog(l);
  ASSERT_LT(fill.size(), 8u);
  stop_ctl sc;
  sock_connect_param p;
  p.connect_timeout = 20000;
  p.sc = &sc;
  cdir_err err;
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    sc.stop.store(1);
  });
  auto t0 = clk::now();
  EXPECT_EQ(sock_tcp_connect("127.0.0.1", l.port, &p, &err), OS_SOCKET_NONE);
  stopper.join();
  // Seen at the next slice boundary, long before the 20 s budget.
  EXPECT_LT(ms_since(t0), 150 + 200 + 1000);
  EXPECT_EQ(err.verr, -1);
  EXPECT_EQ(err.msg, "User request stop");

  // The callback form: asked with its data and the connect time-out.
  struct Ask {
    int calls = 0;
    int32_t seen = 0;
  } ask;
  stop_ctl cb;
  cb.data = &ask;
  cb.should_stop = [](void* d, int32_t t) {
    auto* a = static_cast<Ask*>(d);
    a->seen = t;
    return ++a->calls >= 2;
  };
  p.sc = &cb;
  EXPECT_EQ(sock_tcp_connect("127.0.0.1", l.port, &p, &err), OS_SOCKET_NONE);
  EXPECT_EQ(err.msg, "User request stop");
  EXPECT_EQ(ask.calls, 2);
  EXPECT_EQ(ask.seen, 20000);
  for (os_socket_t s : fill) os_socket_exit(s);
}

TEST(NetSockRead, SilentServerGivesBytesSoFarAfterTimeout) {
  Pair p(300);
  ASSERT_TRUE(p.ok());
  char buf[16];
  auto t0 = clk::now();
  EXPECT_EQ(net_read(&p.nc, buf, sizeof buf), 0);
  EXPECT_GE(ms_since(t0), 290);
  EXPECT_EQ(p.nc.disconnected.load(), 0);

  p.peer_send("abc");
  t0 = clk::now();
  EXPECT_EQ(net_read(&p.nc, buf, sizeof buf), 3);
  EXPECT_GE(ms_since(t0), 290);
  EXPECT_EQ(std::string(buf, 3), "abc");

  // A negative time-out is no time at all, never an endless wait.
  p.nc.timeout = -5;
  t0 = clk::now();
  EXPECT_EQ(net_read(&p.nc, buf, sizeof buf), 0);
  EXPECT_LT(ms_since(t0), 1000);
}

TEST(NetSockRead, PeerClosingMidReadMarksDisconnected) {
  Pair p(5000);
  ASSERT_TRUE(p.ok());
  p.peer_send("12345");
  std::thread closer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    os_socket_exit(p.peer);
    p.peer = OS_SOCKET_NONE;
  });
  char buf[10];
  auto t0 = clk::now();
  EXPECT_EQ(net_read(&p.nc, buf, sizeof buf), 5);
  closer.join();
  EXPECT_LT(ms_since(t0), 4000);  // the close ends the read, not the time-out
  EXPECT_EQ(std::string(buf, 5), "12345");
  EXPECT_EQ(p.nc.disconnected.load(), 1);
  // Every later call fails at once until the connection is closed.
  EXPECT_EQ(net_read(&p.nc, buf, sizeof buf), -1);
  EXPECT_EQ(net_write(&p.nc, "x", 1), -1);
  EXPECT_EQ(net_close(&p.nc), 0);
  EXPECT_EQ(p.nc.disconnected.load(), 0);
  EXPECT_EQ(p.nc.handle, OS_SOCKET_NONE);
}

TEST(NetSockRead, ZeroBytesDoNotTouchTheSocket) {
  net_conn nc;  // no socket at all
  nc.timeout = 1000;
  char c;
  EXPECT_EQ(net_read(&nc, &c, 0), 0);
  EXPECT_EQ(net_write(&nc, &c, 0), 0);
  EXPECT_EQ(net_read(&nc, &c, 1), -1);  // and a real read on no socket fails
}

TEST(NetSockRead, StopFlagFromAnotherThreadEndsTheWaitWithinOneSlice) {
  Pair p(10000);
  ASSERT_TRUE(p.ok());
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    p.nc.stop.store(1);
  });
  char buf[4];
  auto t0 = clk::now();
  EXPECT_EQ(net_read(&p.nc, buf, sizeof buf), -1);
  int eno = os_socket_errno_get();
  stopper.join();
  EXPECT_EQ(eno, OS_SOCKET_ERR_CANCELLED);
  EXPECT_LT(ms_since(t0), 150 + 300 + 1000);
  EXPECT_EQ(net_close(&p.nc), 0);
  EXPECT_EQ(p.nc.stop.load(), 0);  // net_close clears it
}

TEST(NetSockRead, StopControlOfTheConnectionIsConsulted) {
  Pair p(10000);
  ASSERT_TRUE(p.ok());
  stop_ctl sc;
  p.nc.sc = &sc;
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    sc.stop.store(1);
  });
  char buf[4];
  auto t0 = clk::now();
  EXPECT_EQ(net_read(&p.nc, buf, sizeof buf), -1);
  stopper.join();
  EXPECT_LT(ms_since(t0), 100 + 300 + 1000);
  p.nc.sc = nullptr;
}

TEST(NetSockWrite, LargeWritesLoopAndStalledPeerTimesOut) {
  Pair p(3000);
  ASSERT_TRUE(p.ok());
  // 4 MiB through a reader thread: every byte arrives in order.
  std::vector<uint8_t> out(4 << 20);
  for (size_t i = 0; i < out.size(); i++) out[i] = static_cast<uint8_t>(i * 7 + (i >> 12));
  std::vector<uint8_t> got;
  std::thread reader([&] {
    net_conn rc;
    rc.handle = p.peer;
    rc.timeout = 3000;
    std::vector<uint8_t> in(out.size());
    int r = net_read(&rc, in.data(), static_cast<int>(in.size()));
    if (r > 0) got.assign(in.begin(), in.begin() + r);
    rc.handle = 0;  // still owned by the pair
  });
  EXPECT_EQ(net_write(&p.nc, out.data(), static_cast<int>(out.size())),
            static_cast<int>(out.size()));
  reader.join();
  EXPECT_TRUE(got == out);

  // Nobody reads now: the socket buffers fill and the write gives up after
  // its time-out with what went out so far.
  p.nc.timeout = 300;
  std::vector<uint8_t> big(64 << 20, 0x5a);
  auto t0 = clk::now();
  int r = net_write(&p.nc, big.data(), static_cast<int>(big.size()));
  EXPECT_GT(r, 0);
  EXPECT_LT(r, static_cast<int>(big.size()));
  EXPECT_GE(ms_since(t0), 290);
}

TEST(NetSockInit, BufferSizesAndNoDelay) {
  cdir_err err;
  os_socket_t s = sock_tcp_init(OS_AF_INET, 65536, &err);
  ASSERT_NE(s, OS_SOCKET_NONE);
  // Non-blocking: a receive on an unconnected socket does not hang.
  char c;
  EXPECT_LE(os_socket_recv(s, &c, 1), 0);
  EXPECT_EQ(os_socket_exit(s), 0);
}

TEST(NetConn, MemoryKindReadsWritesAndStartsAfreshAfterARead) {
  net_conn nc;
  ASSERT_EQ(net_mem_init(&nc, "abcdef", 6), 0);
  char buf[8];
  EXPECT_EQ(net_read(&nc, buf, 4), 4);
  EXPECT_EQ(std::string(buf, 4), "abcd");
  EXPECT_EQ(net_read(&nc, buf, 8), 2);
  EXPECT_EQ(net_read(&nc, buf, 8), 0);
  // Something was read: the next write replaces the old content.
  EXPECT_EQ(net_write(&nc, "xy", 2), 2);
  EXPECT_EQ(net_write(&nc, "z", 1), 1);
  uint64_t n = 0;
  const uint8_t* d = net_mem_peek(&nc, &n);
  ASSERT_EQ(n, 3u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(d), 3), "xyz");
  EXPECT_EQ(nc.mem->written, 3u);
  // Growth keeps earlier bytes.
  std::string big(10000, 'q');
  EXPECT_EQ(net_write(&nc, big.data(), static_cast<int>(big.size())), 10000);
  d = net_mem_peek(&nc, &n);
  ASSERT_EQ(n, 10003u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(d), 4), "xyzq");
  EXPECT_EQ(net_close(&nc), 0);
  EXPECT_EQ(nc.mem, nullptr);
}

TEST(NetConn, KindsWithoutSupportAndCloseResults) {
  net_conn nc;
  char buf[4];
  nc.type = NET_PIPE_CLI_TYPE;
  EXPECT_EQ(net_read(&nc, buf, 4), -1);
  EXPECT_EQ(net_write(&nc, buf, 4), -1);
  EXPECT_EQ(net_close(&nc), 0);
  nc.type = NET_PIPE_SRV_TYPE;
  EXPECT_EQ(net_read(&nc, buf, 4), -1);
  nc.type = -1;
  EXPECT_EQ(net_read(&nc, buf, 4), -1);
  EXPECT_EQ(net_close(&nc), -1);
  nc.type = 42;
  EXPECT_EQ(net_write(&nc, buf, 4), -1);
  EXPECT_EQ(net_close(&nc), -1);
  nc.type = NET_FILE_TYPE;
  EXPECT_EQ(net_close(&nc), -1);
}

TEST(NetConn, FileKindReadsAndWritesADescriptor) {
  os_socket_t sp[2];
  ASSERT_EQ(os_socket_pair(sp), 0);
  net_conn w, r;
  w.type = r.type = NET_FILE_TYPE;
  w.handle = sp[0];  // descriptor plus one, as for sockets
  r.handle = sp[1];
  r.timeout = 200;
  EXPECT_EQ(net_write(&w, "data", 4), 4);
  char buf[8];
  EXPECT_EQ(net_read(&r, buf, 8), 4);
  EXPECT_EQ(std::string(buf, 4), "data");
  EXPECT_EQ(net_read(&r, buf, 8), 0);  // time-out, nothing there
  os_socket_exit(sp[0]);
  os_socket_exit(sp[1]);
}

struct HookLog {
  int reads = 0, writes = 0, closes = 0;
};
HookLog g_hooks;

TEST(NetConn, TlsSlotsCarryReadsWritesAndClose) {
  os_socket_t sp[2];
  ASSERT_EQ(os_socket_pair(sp), 0);
  net_conn nc;
  nc.handle = sp[0];
  int ctx = 0;
  nc.ssl = &ctx;
  g_hooks = {};
  EXPECT_EQ(net_read(&nc, &ctx, 1), -1);  // TLS without hooks: refused
  nc.read_proc = [](net_conn*, void*, int len) { return g_hooks.reads++, len; };
  nc.write_proc = [](net_conn*, const void*, int len) { return g_hooks.writes++, len; };
  nc.close_proc = [](net_conn* c) {
    g_hooks.closes++;
    c->ssl = nullptr;
  };
  char buf[5];
  EXPECT_EQ(net_read(&nc, buf, 5), 5);
  EXPECT_EQ(net_write(&nc, buf, 3), 3);
  EXPECT_EQ(net_close(&nc), 0);
  EXPECT_EQ(g_hooks.reads, 1);
  EXPECT_EQ(g_hooks.writes, 1);
  EXPECT_EQ(g_hooks.closes, 1);
  EXPECT_EQ(nc.handle, OS_SOCKET_NONE);
  os_socket_exit(sp[1]);
}

TEST(SockEnv, ExitRunsTheTlsReleaseOnceAfterInit) {
  static int released = 0;
  released = 0;
  sock_env_exit();  // not initialised: nothing
  EXPECT_EQ(released, 0);
  sock_env_init([] { released++; });
  sock_env_exit();
  sock_env_exit();
  EXPECT_EQ(released, 1);
}

}  // namespace
