// tarn to wysd through real proxies started here on 127.0.0.1: tinyproxy
// (HTTP CONNECT, Basic authentication), microsocks (SOCKS5, with and
// without login), dante (SOCKS4, SOCKS5) and OpenSSH's "ssh -D" against a
// loopback sshd (SOCKS4a). Every case copies a tree to the server and back
// through the proxy; the proxy is chosen by "proxy_url", by name from
// wy_proxy.ini, or by "http_proxy".
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <thread>

#include "wytest_proxy.h"
#include "wytest_tree.h"
#include "wytest_wysd.h"

using namespace wytest;

namespace {

std::string b64(const std::string& in) {
  static const char* k = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < in.size(); i += 3) {
    uint32_t v = static_cast<uint8_t>(in[i]) << 16;
    if (i + 1 < in.size()) v |= static_cast<uint8_t>(in[i + 1]) << 8;
    if (i + 2 < in.size()) v |= static_cast<uint8_t>(in[i + 2]);
    out += k[v >> 18 & 63];
    out += k[v >> 12 & 63];
    out += i + 1 < in.size() ? k[v >> 6 & 63] : '=';
    out += i + 2 < in.size() ? k[v & 63] : '=';
  }
  return out;
}

std::string hex(const std::string& in) {
  std::string out;
  for (unsigned char c : in) out += "0123456789abcdef"[c >> 4], out += "0123456789abcdef"[c & 15];
  return out;
}

// A server, a source tree and the runs of tarn against both.
class ProxyCopy : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!have_server()) GTEST_SKIP() << "wysd is not built";
    make_tree(t / "src");
    fs::create_directories(t / "root");
    ASSERT_TRUE(srv.start(t / "root", tls_lines())) << srv.log();
  }
  // The server URL of `rel` with `query`; `scheme` and `port` leave room for
  // the TLS listener.
  std::string url(const std::string& scheme, int port, const std::string& rel, const std::string& query,
                  const std::string& host = "127.0.0.1") const {
    return scheme + "://" + host + ":" + std::to_string(port) + "/" + rel + (query.empty() ? "" : "?" + query);
  }
  // Copies the source tree to `rel` on the server and back to a local
  // "back_<rel>", with `query` (the proxy choice) on the server URL, and
  // compares both copies. `wrap` goes before tarn on its command line.
  void copy_through(const std::string& scheme, int port, const std::string& rel, const std::string& query,
                    const std::vector<std::string>& env = {}, const std::string& host = "127.0.0.1",
                    const std::vector<std::string>& wrap = {}, const std::string& peer_logs = "") {
    auto r = run_tarn({"mode=cp", "if=" + t / "src", "of=" + url(scheme, port, rel, query, host)}, env, wrap);
    ASSERT_EQ(r.status, 0) << r.err << srv.log() << peer_logs;
    expect_same(t / "src", t / ("root/" + rel), true);
    r = run_tarn({"mode=cp", "if=" + url(scheme, port, rel, query, host), "of=" + t / ("back_" + rel)}, env, wrap);
    ASSERT_EQ(r.status, 0) << r.err << srv.log() << peer_logs;
    expect_same(t / "src", t / ("back_" + rel), true);
  }
  // A run that must fail at open: status 1, `msg` in the log, nothing written.
  void expect_refused(const std::string& rel, const std::string& query, const std::string& msg,
                      const std::vector<std::string>& env = {}, int port = 0) {
    auto start = std::chrono::steady_clock::now();
    auto r = run_tarn({"mode=cp", "if=" + t / "src", "of=" + url("wyp", port ? port : srv.port(), rel, query)}, env);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find(msg), std::string::npos) << "no \"" << msg << "\" in:\n" << r.err;
    EXPECT_FALSE(fs::exists(t / ("root/" + rel)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  }
  RunResult run_tarn(const std::vector<std::string>& args, const std::vector<std::string>& env,
                     const std::vector<std::string>& wrap = {}) {
    std::vector<std::string> e = env;
    e.push_back("WY_ENV_CONF_DIR=" + t / "conf");  // never the user's own configuration
    if (wrap.empty()) return tarn_on(t / "src", args, e);
    std::vector<std::string> a(wrap.begin() + 1, wrap.end());
    a.push_back(WY_TARN_BIN);
    a.insert(a.end(), args.begin(), args.end());
    return run(wrap[0], a, e);
  }
  static std::string by_url(const Proxy& p) { return "proxy_url=" + b64(p.url()); }

  TempDir t;
  WysdServer srv;
};

TEST_F(ProxyCopy, HttpConnectThroughTinyproxy) {
  REQUIRE_BIN("/usr/bin/tinyproxy");
  Proxy open_p;
  ASSERT_TRUE(start_tinyproxy(&open_p, "", "")) << open_p.logs();
  copy_through("wyp", srv.port(), "open", by_url(open_p), {}, "127.0.0.1", {}, open_p.logs());
  copy_through("wyps", srv.tls_port(), "open_tls", by_url(open_p), {}, "127.0.0.1", {}, open_p.logs());

  Proxy auth;
  ASSERT_TRUE(start_tinyproxy(&auth, "ann", "Tiny-s3cret")) << auth.logs();
  copy_through("wyp", srv.port(), "auth", by_url(auth), {}, "127.0.0.1", {}, auth.logs());
  EXPECT_NE(read_file(auth.dir / "tinyproxy.log").find("CONNECT"), std::string::npos) << auth.logs();
  // A wrong or missing password is the proxy's 401/407.
  expect_refused("wrong", "proxy_url=" + b64(auth.url("wrong")), "proxy user or pwd error");
  Proxy anon;
  anon.scheme = "http", anon.port = auth.port;
  expect_refused("anon", by_url(anon), "proxy user or pwd error");
}

TEST_F(ProxyCopy, Socks5ThroughMicrosocks) {
  REQUIRE_BIN("/usr/bin/microsocks");
  Proxy open_p;
  ASSERT_TRUE(start_microsocks(&open_p, "", "")) << open_p.logs();
  copy_through("wyp", srv.port(), "open", by_url(open_p), {}, "127.0.0.1", {}, open_p.logs());
  copy_through("wyps", srv.tls_port(), "open_tls", by_url(open_p), {}, "127.0.0.1", {}, open_p.logs());

  Proxy auth;
  ASSERT_TRUE(start_microsocks(&auth, "ann", "Micro-s3cret")) << auth.logs();
  copy_through("wyp", srv.port(), "auth", by_url(auth), {}, "127.0.0.1", {}, auth.logs());
  expect_refused("wrong", "proxy_url=" + b64(auth.url("wrong")), "Proxy password or user name error");
  // A target the proxy cannot reach: nothing listens on the port.
  expect_refused("refused", by_url(open_p), "Connection refused!", {}, free_port());
}

TEST_F(ProxyCopy, Socks4AndSocks5ThroughDante) {
  REQUIRE_BIN("/usr/sbin/danted");
  if (!is_root()) GTEST_SKIP() << "danted's configuration here switches users: needs root";
  for (const char* scheme : {"socks4", "socks5"}) {
    Proxy p;
    ASSERT_TRUE(start_dante(&p, scheme)) << p.logs();
    copy_through("wyp", srv.port(), scheme, by_url(p), {}, "127.0.0.1", {}, p.logs() + read_file(p.dir / "danted.out"));
    copy_through("wyps", srv.tls_port(), std::string(scheme) + "_tls", by_url(p), {}, "127.0.0.1", {},
                 p.logs() + read_file(p.dir / "danted.out"));
    // dante logs each tunnel it made: the copies went through it.
    EXPECT_NE(read_file(p.dir / "danted.out").find("tcp/connect"), std::string::npos) << p.logs();
  }
}

// The name "localhost" resolves to 255.255.255.255 for tarn alone (its own
// /etc/hosts in a mount namespace), so tarn sends the SOCKS4a form and the
// sshd end resolves the name as usual.
TEST_F(ProxyCopy, Socks4aThroughSshDynamicForward) {
  REQUIRE_BIN("/usr/sbin/sshd");
  REQUIRE_BIN("/usr/bin/ssh");
  REQUIRE_BIN("/usr/bin/unshare");
  if (!is_root()) GTEST_SKIP() << "a private /etc/hosts for tarn (unshare -m, mount --bind) needs root";
  Proxy p;
  ASSERT_TRUE(start_ssh_socks(&p)) << p.logs();
  write_file(t / "hosts", "255.255.255.255 localhost\n");
  std::vector<std::string> wrap = {"/usr/bin/unshare", "-m", "/bin/sh", "-c",
                                   "mount --bind \"$0\" /etc/hosts && exec \"$@\"", t / "hosts"};
  copy_through("wyp", srv.port(), "via4a", by_url(p), {}, "localhost", wrap, p.logs());
  copy_through("wyps", srv.tls_port(), "via4a_tls", by_url(p), {}, "localhost", wrap, p.logs());
  auto r = run_tarn({"mode=ls", "if=" + url("wyp", srv.port(), "via4a", by_url(p), "localhost"),
                     "olist=" + t / "list", "level=verb"},
                    {}, wrap);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("use socks4a"), std::string::npos) << r.err;
}

// "proxy_url" first, then a named proxy of wy_proxy.ini, and "http_proxy"
// only when neither is given.
TEST_F(ProxyCopy, SelectionRules) {
  REQUIRE_BIN("/usr/bin/tinyproxy");
  REQUIRE_BIN("/usr/bin/microsocks");
  Proxy http;
  ASSERT_TRUE(start_tinyproxy(&http, "", "")) << http.logs();
  Proxy socks;
  ASSERT_TRUE(start_microsocks(&socks, "ann", "Sel-s3cret_9")) << socks.logs();
  write_file(t / "conf/wy_proxy.ini", "[ms]\nproto = socks5\nip = 127.0.0.1\nport = " + std::to_string(socks.port) +
                                          "\nuser = ann\npwd = " + hex(socks.pwd) + "\n"
                                          "[bad]\nproto = socks5\nip = 127.0.0.1\nport = " +
                                          std::to_string(socks.port) + "\nuser = ann\npwd = " + hex("nope") + "\n");
  const std::string dead = "http_proxy=http://127.0.0.1:" + std::to_string(free_port());
  const std::string via_http = "http_proxy=" + http.url();

  // The environment's proxy is used when nothing else is named...
  copy_through("wyp", srv.port(), "env", "", {via_http}, "127.0.0.1", {}, http.logs());
  EXPECT_NE(read_file(http.dir / "tinyproxy.log").find("CONNECT"), std::string::npos) << http.logs();
  expect_refused("env_dead", "", "connect 127.0.0.1:", {dead});
  // ...and ignored when the URL names one, by proxy_url or by name.
  copy_through("wyp", srv.port(), "named", "proxy=ms", {dead}, "127.0.0.1", {}, socks.logs());
  copy_through("wyp", srv.port(), "by_url", by_url(socks), {dead}, "127.0.0.1", {}, socks.logs());
  expect_refused("named_bad", "proxy=bad", "Proxy password or user name error", {via_http});
  // A name that is not in the file fails even with a usable http_proxy.
  expect_refused("named_none", "proxy=nosuch", "proxy name [nosuch] does not exist", {via_http});
  expect_refused("bad_url", "proxy_url=" + b64("ftp://127.0.0.1:1"), "proxy protocol [ftp] Unsupported", {});

  // The passwords never reach the log, even at the most verbose level.
  auto r = run_tarn({"mode=ls", "if=" + url("wyp", srv.port(), "named", "proxy=ms"), "olist=" + t / "l1",
                     "level=verb"},
                    {dead});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find(socks.pwd), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find(hex(socks.pwd)), std::string::npos) << r.err;
  r = run_tarn({"mode=ls", "if=" + url("wyp", srv.port(), "named", by_url(socks)), "olist=" + t / "l2",
                "level=verb"},
               {});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find(socks.pwd), std::string::npos) << r.err;
}

// Something that is not a proxy, or not there: the cause and status 1,
// soon, with nothing written.
TEST_F(ProxyCopy, DownRefusingOrGarbageProxies) {
  REQUIRE_BIN("/usr/bin/tinyproxy");
  std::string dead = "http://127.0.0.1:" + std::to_string(free_port());
  expect_refused("down", "proxy_url=" + b64(dead), "connect 127.0.0.1:");

  // The proxy cannot reach the target: tinyproxy answers 500.
  Proxy http;
  ASSERT_TRUE(start_tinyproxy(&http, "", "")) << http.logs();
  expect_refused("unreached", by_url(http), "proxy read return error", {}, free_port());

  // A peer that answers every connection with a line of noise.
  int port = 0;
  int fd = listen_loopback(&port);
  ASSERT_GE(fd, 0);
  std::atomic<bool> done{false};
  std::thread noise([&] {
    for (int64_t end = now_ms() + 60000; !done && now_ms() < end;) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      int c = accept(fd, nullptr, nullptr);
      if (c < 0) continue;
      const char junk[] = "220 mail.example ESMTP ready\r\n\r\n";
      if (write(c, junk, sizeof junk - 1) < 0) {}
      sleep_ms(50);
      close(c);
    }
  });
  for (const char* kind : {"http", "socks4", "socks5"}) {
    std::string u = std::string(kind) + "://127.0.0.1:" + std::to_string(port);
    expect_refused(std::string("noise_") + kind, "proxy_url=" + b64(u),
                   kind[0] == 'h' ? "proxy read return error" : kind[5] == '4' ? "proxy read return error"
                                                                              : "Proxy read return error");
  }
  done = true;
  noise.join();
  close(fd);
}

}  // namespace
