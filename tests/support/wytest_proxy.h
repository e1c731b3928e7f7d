// Real proxies as test peers: tinyproxy, microsocks, dante and "ssh -D"
// against a loopback sshd, each started on 127.0.0.1 with a free port and a
// configuration that admits loopback only, and stopped by its pid.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "wytest.h"
#include "wytest_relay.h"
#include "wytest_wysd.h"

namespace wytest {

// A port that was free a moment ago (the peer binds it next).
inline int free_port() {
  int port = 0;
  int fd = listen_loopback(&port);
  if (fd < 0) return 0;
  ::close(fd);
  return port;
}

inline bool accepts(int port) {
  int fd = connect_loopback(port);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

inline bool is_root() { return geteuid() == 0; }

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

inline bool have(const char* bin) { return access(bin, X_OK) == 0; }
#define REQUIRE_BIN(b) \
  if (!have(b)) GTEST_SKIP() << b << " is not installed (scripts/setup.sh installs it)"

// tinyproxy, with Basic authentication when `user` is not empty.
inline bool start_tinyproxy(Proxy* p, const std::string& user, const std::string& pwd) {
  p->scheme = "http", p->user = user, p->pwd = pwd, p->port = free_port();
  std::string conf = "Port " + std::to_string(p->port) + "\nListen 127.0.0.1\nAllow 127.0.0.1\n"
                     "Timeout 30\nMaxClients 32\nLogLevel Info\n";
  if (!user.empty()) conf += "BasicAuth " + user + " " + pwd + "\n";
  write_file(p->dir / "tinyproxy.conf", conf);
  return p->run({"/usr/bin/tinyproxy", "-d", "-c", p->dir / "tinyproxy.conf"}, "tinyproxy")->listening(p->port);
}

inline bool start_microsocks(Proxy* p, const std::string& user, const std::string& pwd) {
  p->scheme = "socks5", p->user = user, p->pwd = pwd, p->port = free_port();
  std::vector<std::string> argv = {"/usr/bin/microsocks", "-i", "127.0.0.1", "-p", std::to_string(p->port)};
  if (!user.empty()) argv.insert(argv.end(), {"-u", user, "-P", pwd});
  return p->run(argv, "microsocks")->listening(p->port);
}

// dante, without login, speaking SOCKS4 and SOCKS5 to loopback targets only.
inline bool start_dante(Proxy* p, const std::string& scheme) {
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
inline bool start_ssh_socks(Proxy* p) {
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


}  // namespace wytest
