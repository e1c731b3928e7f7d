// Both ends over real loopback sockets: handshakes on many threads at once,
// the forced suite, the pin, peers that close, stall or speak something
// else, and the server's key and certificate made on first use.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "libssl.h"
#include "net_test_util.h"
#include "wytest.h"

namespace {

using net_test::clk;
using net_test::Listener;
using net_test::ms_since;

// A client connection to `port`, not yet TLS.
void dial(net_conn* nc, uint16_t port, int32_t timeout_ms) {
  sock_connect_param p;
  p.connect_timeout = 2000;
  cdir_err err;
  nc->handle = sock_tcp_connect("127.0.0.1", port, &p, &err);
  nc->timeout = timeout_ms;
}

// One server configuration for the whole program: key generation is the
// slow part, and every case may share the pair.
struct ServerKeys {
  wytest::TempDir dir;
  ssl_srv_conf* conf = nullptr;
  bool created = false;
  std::string why;
  ServerKeys() { conf = ssl_srv_conf_new((dir / "c.pem").c_str(), (dir / "k.pem").c_str(), &created, &why); }
  ~ServerKeys() { ssl_srv_conf_free(conf); }
};
ServerKeys& keys() {
  static ServerKeys k;
  return k;
}

// A TLS echo server on its own thread: each accepted connection gets a
// thread that handshakes, records the suite, and echoes what it reads
// until the client closes. Stops (bounded) with the test.
class EchoServer {
 public:
  explicit EchoServer(ssl_srv_conf* conf) : conf_(conf) {
    thread_ = std::thread([this] { run(); });
  }
  ~EchoServer() {
    stop_.store(true);
    thread_.join();
    for (auto& t : sessions_) t.join();
  }
  uint16_t port() const { return l_.port; }
  std::atomic<int> forced{0}, other{0}, failed{0};

 private:
  void run() {
    for (int i = 0; i < 200 && !stop_.load(); i++) {
      os_socket_t c = l_.accept_one(100);
      if (c == OS_SOCKET_NONE) continue;
      sessions_.emplace_back([this, c] { serve(c); });
    }
  }
  void serve(os_socket_t c) {
    net_conn nc;
    nc.handle = c;
    nc.timeout = 5000;
    std::string why;
    if (ssl_srv_accept(conf_, &nc, 5000, &why) != 0) {
      failed++;
      net_close(&nc);
      return;
    }
    (ssl_suite_id(&nc) == 0x0035 ? forced : other)++;
    char buf[4096];
    for (int i = 0; i < 1000; i++) {
      int r = net_read(&nc, buf, 1);
      if (r != 1) break;
      if (net_write(&nc, buf, 1) != 1) break;
    }
    net_close(&nc);
  }
  ssl_srv_conf* conf_;
  Listener l_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::vector<std::thread> sessions_;
};

TEST(SslFp, ReadsTheFormsUsersWrite) {
  std::string hex(64, 'a'), out;
  EXPECT_EQ(ssl_fp_normalise(hex.c_str(), &out), 0);
  EXPECT_EQ(out, hex);
  std::string colons;
  for (int i = 0; i < 32; i++) colons += std::string(i ? ":" : "") + "A" + std::to_string(i % 10);
  ASSERT_EQ(ssl_fp_normalise(colons.c_str(), &out), 0);
  EXPECT_EQ(out.size(), 64u);
  EXPECT_EQ(out.substr(0, 6), "a0a1a2");
  for (std::string bad : {std::string(63, 'a'), std::string(65, 'a'), std::string(63, 'a') + "g",
                          ":" + hex, hex + ":", "a:" + std::string(63, 'a'), std::string()}) {
    EXPECT_EQ(ssl_fp_normalise(bad.c_str(), &out), -1) << bad;
    EXPECT_TRUE(out.empty());
  }
}

TEST(SslSrvConf, MakesAKeyOnceAndNeverReplacesHalfAPair) {
  ServerKeys& k = keys();
  ASSERT_NE(k.conf, nullptr) << k.why;
  EXPECT_TRUE(k.created);
  struct stat st {};
  ASSERT_EQ(stat((k.dir / "k.pem").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(strlen(ssl_srv_conf_fp(k.conf)), 64u);
  // A second start loads the same pair: the fingerprint users pinned stays.
  bool created = true;
  std::string why;
  ssl_srv_conf* again = ssl_srv_conf_new((k.dir / "c.pem").c_str(), (k.dir / "k.pem").c_str(), &created, &why);
  ASSERT_NE(again, nullptr) << why;
  EXPECT_FALSE(created);
  EXPECT_STREQ(ssl_srv_conf_fp(again), ssl_srv_conf_fp(k.conf));
  ssl_srv_conf_free(again);
  // A certificate without its key is an error, not a reason for a new pair.
  wytest::TempDir t;
  wytest::write_file(t / "c.pem", wytest::read_file(k.dir / "c.pem"));
  EXPECT_EQ(ssl_srv_conf_new((t / "c.pem").c_str(), (t / "k.pem").c_str(), &created, &why), nullptr);
  EXPECT_NE(why.find("is missing"), std::string::npos) << why;
  EXPECT_NE(access((t / "k.pem").c_str(), F_OK), 0);
  // A key that belongs to another certificate is refused.
  ServerKeys other;
  ASSERT_NE(other.conf, nullptr) << other.why;
  EXPECT_EQ(ssl_srv_conf_new((k.dir / "c.pem").c_str(), (other.dir / "k.pem").c_str(), &created, &why), nullptr);
  EXPECT_NE(why.find("does not belong"), std::string::npos) << why;
}

// Six clients at once, half forcing the suite: each must get what it asked
// for (a shared, rewritten suite list would mix them up), move data, and
// pass or fail the pin as its own.
TEST(SslCli, ConcurrentHandshakesKeepTheirOwnSuitesAndPins) {
  ASSERT_NE(keys().conf, nullptr) << keys().why;
  ASSERT_EQ(libssl_init(), 0);
  EchoServer srv(keys().conf);
  const std::string fp = ssl_srv_conf_fp(keys().conf);
  constexpr int kThreads = 6, kRounds = 3;
  std::atomic<int> ok{0}, bad{0}, pin_refused{0};
  std::vector<std::thread> ts;
  for (int t = 0; t < kThreads; t++) {
    ts.emplace_back([&, t] {
      for (int r = 0; r < kRounds; r++) {
        bool force = (t + r) % 2 == 0;
        bool wrong_pin = t == 5 && r == 1;
        std::string pin = wrong_pin ? std::string(64, '0') : (t % 3 == 0 ? fp : "");
        net_conn nc;
        dial(&nc, srv.port(), 5000);
        ssl_cli_result res;
        void* ssl = ssl_cli_connect(&nc, force ? (t % 2 ? "AES_256_ECB" : "aes_256_ecb") : "RC4-SHA",
                                    pin.c_str(), &res);
        if (wrong_pin) {
          if (ssl == nullptr && res.pin_mismatch && res.why.find(fp) != std::string::npos &&
              res.why.find(std::string(64, '0')) != std::string::npos)
            pin_refused++;
          else
            bad++;
          net_close(&nc);
          continue;
        }
        // Unforced, our server picks ChaCha20-Poly1305 (the fastest bulk
        // cipher of the library) from the client's default list.
        bool good = ssl != nullptr && res.fp == fp && nc.ssl == ssl &&
                    ssl_suite_id(&nc) == (force ? 0x0035 : 0xCCA8);  // ECDHE-RSA-CHACHA20-POLY1305
        const char msg[] = "ping over tls";
        char back[sizeof msg] = {};
        good = good && net_write(&nc, msg, sizeof msg) == static_cast<int>(sizeof msg) &&
               net_read(&nc, back, sizeof back) == static_cast<int>(sizeof back) && memcmp(msg, back, sizeof msg) == 0;
        (good ? ok : bad)++;
        net_close(&nc);
        EXPECT_EQ(nc.ssl, nullptr);
      }
    });
  }
  for (auto& th : ts) th.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(pin_refused.load(), 1);
  EXPECT_EQ(ok.load(), kThreads * kRounds - 1);
  // The server saw every forced handshake as such (5 of them succeed plus
  // the wrong-pin one, which completed its handshake: 9 forced in all).
  for (int i = 0; i < 100 && srv.forced.load() + srv.other.load() < kThreads * kRounds; i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(srv.forced.load(), kThreads * kRounds / 2);
  EXPECT_EQ(srv.other.load(), kThreads * kRounds / 2);
  EXPECT_EQ(srv.failed.load(), 0);
}

// Peers that are no TLS server: each fails with the library's text, within
// the time-out, and leaves the connection plain.
TEST(SslCli, HostilePeersFailCleanlyInBoundedTime) {
  ASSERT_EQ(libssl_init(), 0);
  enum { kClose, kGarbage, kSilent, kDrip };
  for (int mode : {kClose, kGarbage, kSilent, kDrip}) {
    Listener l;
    std::atomic<bool> done{false};
    std::thread peer([&] {
      os_socket_t c = l.accept_one();
      if (c == OS_SOCKET_NONE) return;
      if (mode == kGarbage) {
        const char junk[] = "HTTP/1.0 400 nope\r\n\r\n";
        os_socket_send(c, junk, sizeof junk - 1);
      }
      // Silent and dripping peers hold the socket until the client gave up.
      for (int i = 0; i < 100 && !done.load() && mode != kClose && mode != kGarbage; i++) {
        if (mode == kDrip) os_socket_send(c, "\x16", 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      if (mode == kGarbage) std::this_thread::sleep_for(std::chrono::milliseconds(200));
      os_socket_exit(c);
    });
    net_conn nc;
    dial(&nc, l.port, 800);
    auto t0 = clk::now();
    ssl_cli_result res;
    void* ssl = ssl_cli_connect(&nc, "", "", &res);
    int64_t took = ms_since(t0);
    done.store(true);
    EXPECT_EQ(ssl, nullptr) << mode;
    EXPECT_EQ(nc.ssl, nullptr);
    EXPECT_NE(res.why.find("TLS handshake failed: "), std::string::npos) << mode << " " << res.why;
    EXPECT_GT(res.why.size(), strlen("TLS handshake failed: ")) << mode;
    // The deadline covers the whole handshake, a dripping peer included.
    EXPECT_LT(took, 3000) << mode;
    net_close(&nc);
    peer.join();
  }
}

TEST(SslCli, ReadTimeoutAndPeerCloseEndInMinusOne) {
  ASSERT_NE(keys().conf, nullptr) << keys().why;
  Listener l;
  std::atomic<bool> release{false};
  std::thread srv([&] {
    net_conn s;
    s.handle = l.accept_one();
    s.timeout = 5000;
    std::string why;
    if (ssl_srv_accept(keys().conf, &s, 5000, &why) == 0) {
      net_write(&s, "abc", 3);
      for (int i = 0; i < 200 && !release.load(); i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    net_close(&s);  // sends the close-notify
  });
  net_conn nc;
  dial(&nc, l.port, 300);
  ASSERT_NE(ssl_cli_connect(&nc, nullptr), nullptr);
  char buf[8] = {};
  // Three bytes came, then nothing within the time-out: the library sees
  // the silent callback as the end, the read as a failure.
  EXPECT_EQ(net_read(&nc, buf, 3), 3);
  EXPECT_EQ(memcmp(buf, "abc", 3), 0);
  EXPECT_EQ(net_read(&nc, buf, 4), -1);
  release.store(true);
  srv.join();
  net_close(&nc);
}

}  // namespace
