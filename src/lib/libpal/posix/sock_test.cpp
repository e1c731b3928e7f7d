// The socket layer's own contracts: address forms, the meaning of a 0 from
// a receive, connect results and local sockets.
#include <gtest/gtest.h>

#include <string>

#include "pal_sock.h"
#include "wytest.h"

namespace {

std::string text(const os_ipaddr& a) {
  char buf[160];
  return os_ipaddr_cstr(&a, buf, sizeof buf);
}

TEST(OsIpaddr, LiteralsNamesAndLocalPaths) {
  os_ipaddr a;
  ASSERT_TRUE(os_addrinfo_addr("127.0.0.1", &a));
  EXPECT_EQ(os_ipaddr_family(&a), OS_AF_INET);
  os_ipaddr_port_set(&a, 6688);
  EXPECT_EQ(text(a), "127.0.0.1:6688");
  EXPECT_EQ(os_ipaddr_port(&a), 6688);

  ASSERT_TRUE(os_addrinfo_addr("localhost", &a));  // from the hosts file
  EXPECT_EQ(text(a), "127.0.0.1:0");               // IPv4 preferred

  if (os_addrinfo_addr("[::1]", &a)) {
    EXPECT_EQ(os_ipaddr_family(&a), OS_AF_INET6);
    os_ipaddr_port_set(&a, 80);
    EXPECT_EQ(text(a), "[::1]:80");
  }

  ASSERT_TRUE(os_addrinfo_addr("/tmp/wy.sock", &a));
  EXPECT_EQ(os_ipaddr_family(&a), OS_AF_LOCAL);
  EXPECT_EQ(text(a), "/tmp/wy.sock");
  EXPECT_FALSE(os_addrinfo_addr(("/" + std::string(200, 'x')).c_str(), &a));
  EXPECT_FALSE(os_addrinfo_addr("", &a));
  EXPECT_EQ(os_ipaddr_family(&a), 0);

  char small[6];
  ASSERT_TRUE(os_addrinfo_addr("127.0.0.1", &a));
  EXPECT_STREQ(os_ipaddr_cstr(&a, small, sizeof small), "127.0");  // cut, terminated
}

// The byte forms the proxy handshakes put on the wire.
TEST(OsIpaddr, LiteralBytes) {
  uint8_t v4[4] = {9, 9, 9, 9}, v6[16] = {};
  EXPECT_TRUE(os_ipv4_cstr_set("10.1.2.255", v4));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(v4), 4), std::string("\x0a\x01\x02\xff", 4));
  for (const char* bad : {"10.1.2", "10.1.2.256", "localhost", "::1", "1.2.3.4 ", ""})
    EXPECT_FALSE(os_ipv4_cstr_set(bad, v4)) << bad;
  ASSERT_TRUE(os_ipv6_cstr_set("[2001:db8::1]", v6));
  EXPECT_EQ(v6[0], 0x20);
  EXPECT_EQ(v6[1], 0x01);
  EXPECT_EQ(v6[15], 0x01);
  EXPECT_TRUE(os_ipv6_cstr_set("::1", v6));
  for (const char* bad : {"1.2.3.4", "[::1", "fe80::1::2", "host:name:x", ""})
    EXPECT_FALSE(os_ipv6_cstr_set(bad, v6)) << bad;
  os_ipaddr a;
  ASSERT_TRUE(os_addrinfo_addr("127.0.0.1", &a));
  ASSERT_TRUE(os_ipaddr_v4(&a, v4));
  EXPECT_EQ(v4[0], 127);
  EXPECT_EQ(v4[3], 1);
  ASSERT_TRUE(os_addrinfo_addr("/tmp/wy.sock", &a));
  EXPECT_FALSE(os_ipaddr_v4(&a, v4));
}

TEST(OsSocket, ReceiveZeroMeansWouldBlockOrClosed) {
  os_socket_t sp[2];
  ASSERT_EQ(os_socket_pair(sp), 0);
  char c;
  os_socket_errno_set(0);
  EXPECT_EQ(os_socket_recv(sp[0], &c, 1), 0);  // nothing there yet
  EXPECT_NE(os_socket_errno_get(), 0);
  EXPECT_EQ(os_socket_wait_impl(sp[0], OS_SOCKET_WAIT_READ, 0), 0);
  EXPECT_EQ(os_socket_wait_impl(sp[0], OS_SOCKET_WAIT_WRITE, 0), OS_SOCKET_WAIT_WRITE);
  EXPECT_EQ(os_socket_send(sp[1], "z", 1), 1);
  EXPECT_EQ(os_socket_wait_impl(sp[0], OS_SOCKET_WAIT_READ, 1000), OS_SOCKET_WAIT_READ);
  EXPECT_EQ(os_socket_recv(sp[0], &c, 1), 1);
  EXPECT_EQ(os_socket_exit(sp[1]), 0);
  EXPECT_EQ(os_socket_wait_impl(sp[0], OS_SOCKET_WAIT_READ, 1000), OS_SOCKET_WAIT_READ);
  os_socket_errno_set(-1);
  EXPECT_EQ(os_socket_recv(sp[0], &c, 1), 0);  // orderly close
  EXPECT_EQ(os_socket_errno_get(), 0);
  // Sending to a closed peer is an error, not a signal that ends the process.
  EXPECT_EQ(os_socket_send(sp[0], "x", 1), -1);
  EXPECT_EQ(os_socket_exit(sp[0]), 0);
  EXPECT_EQ(os_socket_exit(OS_SOCKET_NONE), -1);
}

TEST(OsSocket, ConnectReportsProgressThenTheOutcome) {
  os_ipaddr a;
  ASSERT_TRUE(os_addrinfo_addr("127.0.0.1", &a));
  os_socket_t l = os_socket_listen(&a, 4);
  ASSERT_NE(l, OS_SOCKET_NONE);
  ASSERT_EQ(os_socket_local_addr(l, &a), 0);
  os_socket_t s = os_socket_init(OS_AF_INET);
  ASSERT_NE(s, OS_SOCKET_NONE);
  int r = os_socket_connect(s, &a);
  ASSERT_GE(r, 0);
  if (r == 0) {
    ASSERT_GT(os_socket_wait_impl(s, OS_SOCKET_WAIT_WRITE, 2000), 0);
  }
  EXPECT_EQ(os_socket_connect(s, &a), 1);  // already connected
  ASSERT_GT(os_socket_wait_impl(l, OS_SOCKET_WAIT_READ, 2000), 0);
  os_ipaddr peer;
  os_socket_t acc = os_socket_accept(l, &peer);
  ASSERT_NE(acc, OS_SOCKET_NONE);
  EXPECT_EQ(os_ipaddr_family(&peer), OS_AF_INET);
  EXPECT_EQ(os_socket_kill(acc), 0);
  os_socket_exit(acc);
  os_socket_exit(s);

  // Refused while in progress: the cause comes back, no new attempt starts.
  uint16_t port = os_ipaddr_port(&a);
  os_socket_exit(l);
  s = os_socket_init(OS_AF_INET);
  os_ipaddr_port_set(&a, port);
  r = os_socket_connect(s, &a);
  if (r == 0) {
    EXPECT_GT(os_socket_wait_impl(s, OS_SOCKET_WAIT_WRITE, 2000), 0);
    r = os_socket_connect(s, &a);
  }
  EXPECT_EQ(r, -1);
  EXPECT_EQ(os_socket_errno_get(), ECONNREFUSED);
  os_socket_exit(s);
  EXPECT_EQ(os_socket_accept(OS_SOCKET_NONE, nullptr), OS_SOCKET_NONE);
}

TEST(OsSocket, LocalStreamSockets) {
  wytest::TempDir t;
  std::string path = t / "sock";
  os_ipaddr a;
  ASSERT_TRUE(os_addrinfo_addr(path.c_str(), &a));
  os_socket_t l = os_socket_listen(&a, 4);
  ASSERT_NE(l, OS_SOCKET_NONE);
  os_socket_t s = os_socket_init(OS_AF_LOCAL);
  EXPECT_GE(os_socket_connect(s, &a), 0);
  ASSERT_GT(os_socket_wait_impl(l, OS_SOCKET_WAIT_READ, 2000), 0);
  os_socket_t acc = os_socket_accept(l, nullptr);
  ASSERT_NE(acc, OS_SOCKET_NONE);
  EXPECT_EQ(os_socket_send(s, "hi", 2), 2);
  char buf[2];
  ASSERT_GT(os_socket_wait_impl(acc, OS_SOCKET_WAIT_READ, 2000), 0);
  EXPECT_EQ(os_socket_recv(acc, buf, 2), 2);
  os_socket_exit(acc);
  os_socket_exit(s);
  os_socket_exit(l);
}

}  // namespace
