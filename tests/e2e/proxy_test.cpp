// tarn to wysd through real proxies started here on 127.0.0.1: tinyproxy
// (HTTP CONNECT, Basic authentication), microsocks (SOCKS5, with and
// without login), dante (SOCKS4, SOCKS5) and OpenSSH's "ssh -D" against a
// loopback sshd (SOCKS4a). Every case copies a tree to the server and back
// through the proxy; the proxy is chosen by "proxy_url", by name from
// wy_proxy.ini, or by "http_proxy".
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <memory>
#include <thread>

#include "wytest_tree.h"
#include "wytest_wysd.h"

using namespace wytest;

namespace {

// A port that was free a moment ago (the peer binds it next).
int free_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(fd);
  return port;
}

bool accepts(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

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

bool is_root() { return geteuid() == 0; }

// One peer program run by the test, output to a log file, stopped by pid.
class Daemon {
 public:
  Daemon() = default;
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;
  ~Daemon() { stop(); }
  bool start(const std::vector<std::string>& argv, const std::string& log) {
    log_ = log;
    std::vector<std::string> a = argv;
    std::vector<char*> v;
    for (auto& s : a) v.push_back(s.data());
    v.push_back(nullptr);
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    int nfd = open("/dev/null", O_RDONLY);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(nfd, 0);
      dup2(fd, 1);
      dup2(fd, 2);
      close_range(3, ~0U, 0);
      execv(v[0], v.data());
      _exit(127);
    }
    close(fd);
    close(nfd);
    return pid_ > 0;
  }
  // Waits (at most 10 s) until `port` accepts connections; false when the
  // program ended instead.
  bool listening(int port) {
    for (int64_t end = now_ms() + 10000; now_ms() < end; sleep_ms(20)) {
      if (!running()) return false;
      if (accepts(port)) return true;
    }
    return false;
  }
  bool running() {
    if (pid_ <= 0) return false;
    int ws;
    if (waitpid(pid_, &ws, WNOHANG) == pid_) pid_ = -1;
    return pid_ > 0;
  }
  void stop() {
    if (!running()) return;
    kill(pid_, SIGTERM);
    for (int64_t end = now_ms() + 5000; running() && now_ms() < end;) sleep_ms(10);
    if (running()) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }
  std::string log() const { return "--- " + log_ + ":\n" + read_file(log_); }

 private:
  pid_t pid_ = -1;
  std::string log_;
};

// A proxy of one kind, up on 127.0.0.1; its URL as tarn is given it.
struct Proxy {
  std::string scheme;  // "http", "socks4", "socks5"
  std::string user, pwd;
  int port = 0;
  std::vector<std::unique_ptr<Daemon>> procs;  // stopped in reverse order
  TempDir dir;

  ~Proxy() {
    while (!procs.empty()) procs.pop_back();
  }
  std::string url(const std::string& pw) const {
    std::string cred = user.empty() ? "" : user + (pw.empty() ? "" : ":" + pw) + "@";
    return scheme + "://" + cred + "127.0.0.1:" + std::to_string(port);
  }
  std::string url() const { return url(pwd); }
  std::string logs() const {
    std::string s;
    for (auto& p : procs) s += p->log();
    return s;
  }
  Daemon* run(const std::vector<std::string>& argv, const std::string& name) {
    procs.push_back(std::make_unique<Daemon>());
    if (!procs.back()->start(argv, dir / (name + ".log"))) ADD_FAILURE() << "cannot start " << argv[0];
    return procs.back().get();
  }
};

bool have(const char* bin) { return access(bin, X_OK) == 0; }
#define REQUIRE_BIN(b) \
  if (!have(b)) GTEST_SKIP() << b << " is not installed (scripts/setup.sh installs it)"

// tinyproxy, with Basic authentication when `user` is not empty.
bool start_tinyproxy(Proxy* p, const std::string& user, const std::string& pwd) {
  p->scheme = "http", p->user = user, p->pwd = pwd, p->port = free_port();
  std::string conf = "Port " + std::to_string(p->port) + "\nListen 127.0.0.1\nAllow 127.0.0.1\n"
                     "Timeout 30\nMaxClients 32\nLogLevel Info\n";
  if (!user.empty()) conf += "BasicAuth " + user + " " + pwd + "\n";
  write_file(p->dir / "tinyproxy.conf", conf);
  return p->run({"/usr/bin/tinyproxy", "-d", "-c", p->dir / "tinyproxy.conf"}, "tinyproxy")->listening(p->port);
}

bool start_microsocks(Proxy* p, const std::string& user, const std::string& pwd) {
  p->scheme = "socks5", p->user = user, p->pwd = pwd, p->port = free_port();
  std::vector<std::string> argv = {"/usr/bin/microsocks", "-i", "127.0.0.1", "-p", std::to_string(p->port)};
  if (!user.empty()) argv.insert(argv.end(), {"-u", user, "-P", pwd});
  return p->run(argv, "microsocks")->listening(p->port);
}

// dante, without login, speaking SOCKS4 and SOCKS5 to loopback targets only.
bool start_dante(Proxy* p, const std::string& scheme) {
  p->scheme = scheme, p->port = free_port();
  write_file(p->dir / "danted.conf",
             "logoutput: " + p->dir / "danted.out" + "\ninternal: 127.0.0.1 port = " + std::to_string(p->port) +
                 "\nexternal: 127.0.0.1\nclientmethod: none\nsocksmethod: none\n"
                 "user.privileged: root\nuser.unprivileged: nobody\n"
                 "client pass {\n from: 127.0.0.0/8 to: 0.0.0.0/0\n}\n"
                 "socks pass {\n from: 127.0.0.0/8 to: 127.0.0.0/8\n command: connect\n protocol: tcp\n log: connect\n}\n");
  return p->run({"/usr/sbin/danted", "-f", p->dir / "danted.conf", "-p", p->dir / "danted.pid", "-N", "1"}, "danted")
      ->listening(p->port);
}

// "ssh -D" (SOCKS4/4a/5 in the ssh client; the sshd end resolves and
// connects) against an sshd with its own host and user keys.
bool start_ssh_socks(Proxy* p) {
  p->scheme = "socks4", p->port = free_port();
  const std::string d = p->dir.path();
  int sshd_port = free_port();
  mkdir("/run/sshd", 0755);  // sshd's privilege separation directory
  for (const char* k : {"host_key", "user_key"}) {
    RunResult r = run("/usr/bin/ssh-keygen", {"-q", "-t", "ed25519", "-N", "", "-f", d + "/" + k});
    if (r.status != 0) return ADD_FAILURE() << "ssh-keygen: " << r.err, false;
  }
  write_file(d + "/authorized_keys", read_file(d + "/user_key.pub"));
  write_file(d + "/sshd_config", "Port " + std::to_string(sshd_port) +
                                     "\nListenAddress 127.0.0.1\nHostKey " + d + "/host_key\n"
                                     "AuthorizedKeysFile " + d + "/authorized_keys\n"
                                     "PubkeyAuthentication yes\nPasswordAuthentication no\n"
                                     "KbdInteractiveAuthentication no\nUsePAM no\nStrictModes no\n"
                                     "PermitRootLogin prohibit-password\nAllowTcpForwarding yes\nPidFile none\n");
  if (!p->run({"/usr/sbin/sshd", "-D", "-e", "-f", d + "/sshd_config"}, "sshd")->listening(sshd_port)) return false;
  return p->run({"/usr/bin/ssh", "-F", "/dev/null", "-N", "-D", "127.0.0.1:" + std::to_string(p->port), "-p",
                 std::to_string(sshd_port), "-i", d + "/user_key", "-o", "StrictHostKeyChecking=no", "-o",
                 "UserKnownHostsFile=/dev/null", "-o", "BatchMode=yes", "-o", "ExitOnForwardFailure=yes",
                 "root@127.0.0.1"},
                "ssh")
      ->listening(p->port);
}

// A server, a source tree and the runs of tarn against both.
class ProxyCopy : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!have_server()) GTEST_SKIP() << "wysd is not built";
    make_tree(t / "src");
    fs::create_directories(t / "root");
    ASSERT_TRUE(srv.start(t / "root")) << srv.log();
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
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(fd, 8), 0);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  int port = ntohs(a.sin_port);
  std::atomic<bool> done{false};
  std::thread noise([&] {
    for (int i = 0; i < 50 && !done; i++) {
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
