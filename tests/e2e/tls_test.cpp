// tarn and wysd over TLS: the server's own certificate and its listening
// line, the forced suite, certificates no CA vouches for, pinning, and peers
// that are not TLS on either end. The copy cases of every kind run over TLS
// in copy_test.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "wytest_relay.h"
#include "wytest_tree.h"
#include "wytest_wysd.h"

using namespace wytest;

namespace {

std::string tls_url(const WysdServer& s, const std::string& rel, const std::string& query = "") {
  return "wyps://127.0.0.1:" + std::to_string(s.tls_port()) + "/" + rel + (query.empty() ? "" : "?" + query);
}

// "SHA256 Fingerprint=AB:CD:..." as lower-case hex without colons.
std::string openssl_fp(const std::string& cert) {
  RunResult r = run("/usr/bin/openssl", {"x509", "-noout", "-fingerprint", "-sha256", "-in", cert});
  std::string hex;
  size_t eq = r.out.find('=');
  if (r.status != 0 || eq == std::string::npos) return "openssl failed: " + r.err;
  for (char c : r.out.substr(eq + 1))
    if (isxdigit(static_cast<unsigned char>(c))) hex += static_cast<char>(tolower(c));
  return hex;
}

size_t count_of(const std::string& s, const std::string& what) {
  size_t n = 0;
  for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1)) n++;
  return n;
}

// First start without files: wysd writes its own pair beside its
// configuration, the key for its owner only, and prints the certificate's
// fingerprint as openssl computes it; a restart keeps the pair.
TEST(TlsServer, MakesItsCertificateOnceAndPrintsItsFingerprint) {
  WYSD_REQUIRE_SERVER();
  TempDir t;
  fs::create_directories(t / "root");
  WysdServer srv;
  ASSERT_TRUE(srv.start(t / "root", "port = off\ntls_port = 0\n")) << srv.log();
  EXPECT_EQ(srv.port(), 0) << "the plain listener is off";
  ASSERT_GT(srv.tls_port(), 0) << srv.log();
  std::string cert = srv.dir() / "wysd_cert.pem", key = srv.dir() / "wysd_key.pem";
  ASSERT_TRUE(fs::exists(cert) && fs::exists(key)) << srv.log();
  EXPECT_EQ(lstat_of(key).st_mode & 0777, 0600u);
  EXPECT_EQ(srv.fingerprint(), openssl_fp(cert)) << srv.out();
  EXPECT_EQ(srv.fingerprint().size(), 64u);
  std::string first = srv.fingerprint();
  std::string key_text = read_file(key);
  ASSERT_EQ(srv.stop(), 0) << srv.log();
  ASSERT_TRUE(srv.start(t / "root", "port = off\ntls_port = 0\n")) << srv.log();
  EXPECT_EQ(srv.fingerprint(), first);
  EXPECT_EQ(read_file(key), key_text);
  // The copy works with the pair it made, pinned as printed.
  make_tree(t / "src");
  auto r = tarn_on(t / "src", {"mode=cp", "if=" + t / "src", "of=" + tls_url(srv, "dst", "ssl-fp=" + first)});
  ASSERT_EQ(r.status, 0) << r.err << srv.log();
  expect_same(t / "src", t / "root/dst", true);
}

// "aes_256_ecb" in any case asks for TLS-RSA-WITH-AES-256-CBC-SHA only; any
// other name leaves the library's list, which prefers another suite.
TEST(TlsClient, AesEcbNameForcesSuite0x0035) {
  WYSD_REQUIRE_SERVER();
  TempDir t;
  make_tree(t / "src");
  fs::create_directories(t / "root");
  WysdServer srv;
  ASSERT_TRUE(srv.start(t / "root", tls_lines())) << srv.log();
  int n = 0;
  for (const char* name : {"aes_256_ecb", "AES_256_ECB", "RC4-SHA", ""}) {
    std::string rel = "d" + std::to_string(n++);
    std::string q = *name ? std::string("ssl-cipher=") + name : "";
    auto r = tarn_on(t / "src", {"mode=cp", "if=" + t / "src", "of=" + tls_url(srv, rel, q)});
    ASSERT_EQ(r.status, 0) << name << r.err << srv.log();
    expect_same(t / "src", t / ("root/" + rel), true);
    bool forced = n <= 2;
    EXPECT_EQ(r.err.find("force_ciphersuite=53") != std::string::npos, forced) << name << r.err;
    EXPECT_EQ(r.err.find("suite=TLS-RSA-WITH-AES-256-CBC-SHA\n") != std::string::npos, forced) << name << r.err;
  }
  // Three connections per copy (reader, lists, blocks), each on its own
  // handshake: the server saw six forced ones and six others.
  std::string log = srv.log();
  EXPECT_EQ(count_of(log, "id=0x0035"), 6u) << log;
  EXPECT_EQ(count_of(log, "tls suite="), 12u) << log;
}

// No verification by default: a certificate no CA signed, even one that
// expired, is accepted, and its fingerprint is logged on every handshake.
TEST(TlsClient, AcceptsSelfSignedAndExpiredCertificates) {
  WYSD_REQUIRE_SERVER();
  TempDir t;
  make_tree(t / "src");
  fs::create_directories(t / "root");
  for (int days : {30, -10}) {
    std::string dir = t / ("cert" + std::to_string(days));
    fs::create_directories(dir);
    ASSERT_TRUE(make_cert(dir, days));
    std::string dates = run("/usr/bin/openssl", {"x509", "-noout", "-checkend", "0", "-in", dir + "/cert.pem"}).out;
    EXPECT_EQ(dates.find("will expire") != std::string::npos, days < 0) << dates;
    WysdServer srv;
    ASSERT_TRUE(srv.start(t / "root", tls_lines(dir + "/cert.pem", dir + "/key.pem"))) << srv.log();
    EXPECT_EQ(srv.fingerprint(), openssl_fp(dir + "/cert.pem"));
    std::string rel = "dst" + std::to_string(days);
    auto r = tarn_on(t / "src", {"mode=cp", "if=" + t / "src", "of=" + tls_url(srv, rel)});
    ASSERT_EQ(r.status, 0) << days << r.err << srv.log();
    expect_same(t / "src", t / ("root/" + rel), true);
    EXPECT_EQ(count_of(r.err, "server certificate sha256=" + srv.fingerprint()), 3u) << r.err;
  }
}

// Two servers with different certificates: the pin of one opens it (in
// the URL in any of its forms, or from a profile) and refuses the other
// before anything is written there, naming both fingerprints.
TEST(TlsClient, PinAcceptsOnlyThePinnedCertificate) {
  WYSD_REQUIRE_SERVER();
  TempDir t;
  make_tree(t / "src");
  fs::create_directories(t / "root_a");
  fs::create_directories(t / "root_b");
  fs::create_directories(t / "cert_b");
  ASSERT_TRUE(make_cert(t / "cert_b", 30, "other"));
  WysdServer a, b;
  ASSERT_TRUE(a.start(t / "root_a", tls_lines())) << a.log();
  ASSERT_TRUE(b.start(t / "root_b", tls_lines(t / "cert_b/cert.pem", t / "cert_b/key.pem"))) << b.log();
  ASSERT_NE(a.fingerprint(), b.fingerprint());
  std::string upper_colons;
  for (size_t i = 0; i < a.fingerprint().size(); i += 2)
    upper_colons += (i ? ":" : "") + std::string(1, toupper(a.fingerprint()[i])) +
                    static_cast<char>(toupper(a.fingerprint()[i + 1]));
  for (const std::string& pin : {a.fingerprint(), upper_colons}) {
    auto r = tarn_on(t / "src", {"mode=cp", "if=" + t / "src", "of=" + tls_url(a, "pinned", "ssl-fp=" + pin)});
    ASSERT_EQ(r.status, 0) << pin << r.err << a.log();
    expect_same(t / "src", t / "root_a/pinned", true);
  }
  // b's certificate under a's pin: either direction, status 1, nothing written.
  auto r = tarn_on(t / "src", {"mode=cp", "if=" + t / "src", "of=" + tls_url(b, "wrong", "ssl-fp=" + a.fingerprint())});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("server certificate sha256=" + b.fingerprint() + " does not match ssl-fp=" + a.fingerprint()),
            std::string::npos)
      << r.err;
  EXPECT_FALSE(fs::exists(t / "root_b/wrong"));
  EXPECT_EQ(b.log().find("requests=0") != std::string::npos, true) << "a request reached the wrong server\n" << b.log();
  EXPECT_EQ(b.log().find("requests=1"), std::string::npos) << b.log();
  r = tarn_on(t / "root_b", {"mode=cp", "if=" + tls_url(b, "", "ssl-fp=" + a.fingerprint()), "of=" + t / "pulled"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_FALSE(fs::exists(t / "pulled/src"));
  // A pin that is no fingerprint is refused before any connection.
  r = tarn_on(t / "src", {"mode=cp", "if=" + t / "src", "of=" + tls_url(a, "bad", "ssl-fp=12:34")});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("ssl-fp [12:34] is not a SHA-256 fingerprint"), std::string::npos) << r.err;
  // The profile key ssl_fp pins the same way.
  write_file(t / "conf/wy_client.ini", "[session/a]\nprot = wyp\nuse_ssl = 1\nip = 127.0.0.1\nport = " +
                                           std::to_string(a.tls_port()) + "\nssl_fp = " + a.fingerprint() +
                                           "\n[session/b]\nprot = wyp\nuse_ssl = 1\nip = 127.0.0.1\nport = " +
                                           std::to_string(b.tls_port()) + "\nssl_fp = " + a.fingerprint() + "\n");
  std::vector<std::string> env = {"WY_ENV_CONF_DIR=" + t / "conf"};
  r = tarn_on(t / "src", {"mode=cp", "if=" + t / "src", "of=///a/profiled"}, env);
  ASSERT_EQ(r.status, 0) << r.err;
  expect_same(t / "src", t / "root_a/profiled", true);
  r = tarn_on(t / "src", {"mode=cp", "if=" + t / "src", "of=///b/profiled"}, env);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("does not match ssl-fp=" + a.fingerprint()), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(t / "root_b/profiled"));
}

// A "server" that accepts and closes at once, and a plain wysd port spoken
// to in TLS: a clear error and status 1, in about the time-outs.
TEST(TlsClient, PeersThatAreNotTlsFailClearly) {
  WYSD_REQUIRE_SERVER();
  TempDir t;
  make_tree(t / "src");
  fs::create_directories(t / "root");
  WysdServer plain;
  ASSERT_TRUE(plain.start(t / "root")) << plain.log();
  // A listener that closes every connection during the handshake.
  int closer_port = 0;
  int lfd = listen_loopback(&closer_port);
  ASSERT_GE(lfd, 0);
  std::atomic<bool> done{false};
  std::thread closer([&] {
    for (int i = 0; i < 200 && !done.load(); i++) {
      pollfd p{lfd, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      int c = accept(lfd, nullptr, nullptr);
      if (c < 0) continue;
      char buf[512];
      (void)!read(c, buf, sizeof buf);  // the client hello, then the door closes
      close(c);
    }
  });
  const std::string opts = "?connect_timeout=2&read_timeout=3";
  for (int port : {closer_port, plain.port()}) {
    int64_t t0 = now_ms();
    std::string url = "wyps://127.0.0.1:" + std::to_string(port) + "/x" + opts;
    auto r = tarn_on(t / "src", {"mode=cp", "if=" + t / "src", "of=" + url});
    EXPECT_EQ(r.status, 1) << port << r.err;
    EXPECT_NE(r.err.find("ssl_cli_connect failed: TLS handshake failed: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("mbedtls_ssl_handshake eno="), std::string::npos) << r.err;
    EXPECT_LT(now_ms() - t0, 20000) << r.err;
  }
  done.store(true);
  closer.join();
  close(lfd);
  EXPECT_FALSE(fs::exists(t / "root/x"));
}

// Peers on the TLS port that never finish a handshake (a plain client, a
// silent one, one that closes in the middle) cost the server a session
// each until the login deadline, and a TLS client copies meanwhile.
TEST(TlsServer, PeersWithoutHandshakeDoNotDisturbOthers) {
  WYSD_REQUIRE_SERVER();
  TempDir t;
  make_tree(t / "src");
  fs::create_directories(t / "root");
  WysdServer srv;
  ASSERT_TRUE(srv.start(t / "root", tls_lines() + "login_s = 2\n")) << srv.log();
  auto connect_tls_port = [&] {
    int fd = connect_loopback(srv.tls_port());
    EXPECT_GE(fd, 0);
    return fd;
  };
  int silent = connect_tls_port();
  int plain = connect_tls_port();
  const char frame[] = "\x05\x00\x00\x08" "abcdefgh";  // what a plain login's frame looks like
  ASSERT_EQ(write(plain, frame, sizeof frame - 1), static_cast<ssize_t>(sizeof frame - 1));
  int half = connect_tls_port();
  const unsigned char hello_start[] = {0x16, 0x03, 0x01, 0x00, 0x80, 0x01};  // a record that never ends
  ASSERT_EQ(write(half, hello_start, sizeof hello_start), static_cast<ssize_t>(sizeof hello_start));
  close(half);
  auto r = tarn_on(t / "src", {"mode=cp", "if=" + t / "src", "of=" + tls_url(srv, "dst")});
  ASSERT_EQ(r.status, 0) << r.err << srv.log();
  expect_same(t / "src", t / "root/dst", true);
  // The plain client was told nothing it could read as an answer, and the
  // silent one is dropped by the deadline.
  pollfd p{silent, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 6000), 1) << "the silent peer is still held\n" << srv.log();
  char buf[64];
  EXPECT_EQ(read(silent, buf, sizeof buf), 0);
  close(silent);
  close(plain);
  for (int i = 0; i < 100 && count_of(srv.log(), "no TLS handshake") < 3; i++) sleep_ms(50);
  EXPECT_EQ(count_of(srv.log(), "no TLS handshake"), 3u) << srv.log();
}

// Connections cut at random points in the middle of a run are repaired
// over TLS too: each reconnect runs a new handshake, and the trees end equal.
TEST(TlsClient, CutConnectionsAreRepairedWithNewHandshakes) {
  WYSD_REQUIRE_SERVER();
  TempDir t;
  write_file(t / "src/big.bin", pattern((6 << 20) + 123, 7));
  for (int i = 0; i < 40; i++) write_file(t / ("src/d" + std::to_string(i % 4) + "/f" + std::to_string(i)), pattern(3000 + i, i));
  fs::create_directories(t / "root");
  WysdServer srv;
  ASSERT_TRUE(srv.start(t / "root", tls_lines())) << srv.log();
  Relay relay(srv.tls_port());
  relay.raw(true);
  const std::string via = "wyps://127.0.0.1:" + std::to_string(relay.port());
  relay.random_cuts(11, 2 << 20, 1);
  auto r = tarn_on(t / "src", {"mode=cp", "bs=1M", "if=" + t / "src", "of=" + via + "/dst"});
  ASSERT_EQ(r.status, 0) << r.err << srv.log();
  expect_same(t / "src", t / "root/dst", true);
  EXPECT_NE(r.err.find("wysd_cli_reconnect ok"), std::string::npos) << r.err;
  relay.random_cuts(5, 2 << 20, 1);
  r = tarn_on(t / "root", {"mode=cp", "bs=1M", "if=" + via + "/dst", "of=" + t / "back"});
  ASSERT_EQ(r.status, 0) << r.err << srv.log();
  expect_same(t / "src", t / "back", true);
  EXPECT_NE(r.err.find("wysd_cli_reconnect ok"), std::string::npos) << r.err;
  EXPECT_EQ(relay.cuts(), 2);
  // Three connections per run, and one more handshake for each repair.
  EXPECT_GE(count_of(srv.log(), "tls suite="), 8u) << srv.log();
}

}  // namespace
