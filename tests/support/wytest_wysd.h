// The built wysd as a test peer: started on 127.0.0.1 with a port it picks
// itself, found by its listening line, stopped by its pid. Standard library
// and POSIX only, like the rest of the support library.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "wytest.h"

#ifndef WY_WYSD_BIN
#define WY_WYSD_BIN ""
#endif

namespace wytest {

inline int64_t now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
inline void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

/// True when the tests have a server binary to run.
inline bool have_server() { return WY_WYSD_BIN[0] != '\0' && access(WY_WYSD_BIN, X_OK) == 0; }
#define WYSD_REQUIRE_SERVER() \
  do {                        \
    if (!::wytest::have_server()) GTEST_SKIP() << "wysd is not built"; \
  } while (0)

using Users = std::vector<std::pair<std::string, std::string>>;

/// One wysd process on 127.0.0.1, its configuration, and what it printed.
class WysdServer {
 public:
  WysdServer() = default;
  /// A server still running at the end is stopped; it must end with 0 (a
  /// crash, a sanitizer report or a hang on SIGTERM fails the test).
  ~WysdServer() {
    if (!running()) return;
    int st = stop();
    if (st != 0) ADD_FAILURE() << "wysd ended with status " << st << " on SIGTERM\n" << log();
  }
  WysdServer(const WysdServer&) = delete;
  WysdServer& operator=(const WysdServer&) = delete;

  /// Writes wysd.ini (mode `mode`) with a [server] section that listens on
  /// loopback with a free port and TLS off, then `server_lines` (later keys
  /// win), and a [users] section when `users` is not empty. Returns its path.
  std::string write_conf(const std::string& server_lines, const Users& users = {}, mode_t mode = 0600) {
    std::string text = "[server]\nlisten = 127.0.0.1\nport = 0\ntls_port = off\n" + server_lines;
    if (!text.empty() && text.back() != '\n') text += '\n';
    if (!users.empty()) {
      text += "[users]\n";
      for (auto& [u, p] : users) text += u + " = " + p + "\n";
    }
    std::string path = dir_ / "wysd.ini";
    unlink(path.c_str());
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd >= 0) {
      if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) ADD_FAILURE() << "write " << path;
      fchmod(fd, mode);
      ::close(fd);
    }
    return path;
  }

  /// Writes the configuration and starts wysd with conf= and root=. Returns
  /// true once the listening line came (port() then tells the port).
  /// `env` holds "NAME=value" words added to the server's environment.
  bool start(const std::string& root, const std::string& server_lines = "", const Users& users = {},
             const std::vector<std::string>& extra = {}, const std::vector<std::string>& env = {}) {
    std::string conf = write_conf(server_lines, users);
    std::vector<std::string> args = {"conf=" + conf, "root=" + root};
    args.insert(args.end(), extra.begin(), extra.end());
    return start_args(args, 10000, env);
  }

  /// Starts wysd with exactly `args` (and `env` added to its environment)
  /// and waits (at most `deadline_ms`) for its listening line. False when it
  /// exited or stayed silent.
  bool start_args(const std::vector<std::string>& args, int deadline_ms = 10000,
                  const std::vector<std::string>& env = {}) {
    stop();
    std::string bin = WY_WYSD_BIN;
    std::string out = dir_ / "stdout", err = dir_ / "stderr";
    std::vector<std::string> all = {bin};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    int ofd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int efd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int nfd = open("/dev/null", O_RDONLY);
    std::vector<std::string> env_words = env;  // putenv keeps the pointers
    pid_t pid = fork();
    if (pid == 0) {
      dup2(nfd, 0);
      dup2(ofd, 1);
      dup2(efd, 2);
      // The server must not keep the test's client sockets alive.
      close_range(3, ~0U, 0);
      for (auto& e : env_words) putenv(e.data());
      execv(bin.c_str(), argv.data());
      _exit(127);
    }
    ::close(ofd);
    ::close(efd);
    ::close(nfd);
    if (pid < 0) return false;
    pid_ = pid;
    status_ = -1;
    // Both listening lines leave in one flush: once one is there, so is
    // the other when that listener is on.
    for (int64_t end = now_ms() + deadline_ms; now_ms() < end;) {
      std::string o = read_file(out);
      port_ = listen_port(o, "wysd listening tcp 127.0.0.1:");
      tls_port_ = listen_port(o, "wysd listening tls 127.0.0.1:");
      if (port_ > 0 || tls_port_ > 0) {
        size_t at = o.find(" sha256=");
        fp_ = at == std::string::npos ? "" : o.substr(at + 8, o.find('\n', at) - at - 8);
        return true;
      }
      if (!running()) return false;
      sleep_ms(10);
    }
    return false;
  }

  /// True while the process has not exited (reaps it when it has).
  bool running() {
    if (pid_ <= 0) return false;
    int ws = 0;
    pid_t r = waitpid(pid_, &ws, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
      pid_ = -1;
      return false;
    }
    return r == 0;
  }

  /// Waits at most `ms` for the process to exit by itself. Returns its
  /// status, or -1 when it is still running.
  int wait_exit(int ms) {
    for (int64_t end = now_ms() + ms; running() && now_ms() < end;) sleep_ms(10);
    return running() ? -1 : status_;
  }

  /// SIGTERM, a bounded wait, SIGKILL as the last resort. Returns the exit
  /// status (128 + signal when killed), or the status it already had.
  int stop(int deadline_ms = 10000) {
    if (!running()) return status_;
    kill(pid_, SIGTERM);
    if (wait_exit(deadline_ms) >= 0) return status_;
    kill(pid_, SIGKILL);
    int ws = 0;
    waitpid(pid_, &ws, 0);
    status_ = 128 + SIGKILL;
    pid_ = -1;
    killed_ = true;
    return status_;
  }

  int port() const { return port_; }
  /// The TLS port (0 when that listener is off) and its certificate's
  /// SHA-256 as the listening line gives it.
  int tls_port() const { return tls_port_; }
  const std::string& fingerprint() const { return fp_; }
  pid_t pid() const { return pid_; }
  bool killed() const { return killed_; }
  const TempDir& dir() const { return dir_; }
  std::string out() const { return read_file(dir_ / "stdout"); }
  std::string err() const { return read_file(dir_ / "stderr"); }
  /// Everything it printed, for failure messages.
  std::string log() const { return "--- wysd stdout:\n" + out() + "--- wysd stderr:\n" + err(); }

 private:
  TempDir dir_;
  pid_t pid_ = -1;
  int status_ = -1;
  int port_ = 0;
  int tls_port_ = 0;
  std::string fp_;
  bool killed_ = false;

  // The port of a whole listening line starting with `head`, or 0.
  static int listen_port(const std::string& o, const std::string& head) {
    size_t at = o.find(head);
    if (at == std::string::npos || o.find('\n', at) == std::string::npos) return 0;
    return std::atoi(o.c_str() + at + head.size());
  }
};

/// Runs openssl with `args` (in `dir`'s files); true on status 0.
inline bool openssl(const std::vector<std::string>& args) {
  RunResult r = run("/usr/bin/openssl", args);
  if (r.status != 0) ADD_FAILURE() << "openssl failed: " << r.err;
  return r.status == 0;
}

/// A key and a self-signed certificate (RSA, as the forced suite needs),
/// made by openssl in `dir`: "cert.pem", "key.pem". `days` < 0 makes one that
/// expired `-days` days ago. False when openssl failed.
inline bool make_cert(const std::string& dir, int days, const std::string& cn = "wytest") {
  std::string key = dir + "/key.pem", cert = dir + "/cert.pem";
  if (days > 0)
    return openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert, "-subj",
                    "/CN=" + cn, "-days", std::to_string(days)});
  // req cannot date a certificate in the past; a self-signing "ca" can.
  write_file(dir + "/index.txt", "");
  write_file(dir + "/serial", "01\n");
  write_file(dir + "/ca.cnf", "[ca]\ndefault_ca = c\n[c]\ndatabase = " + dir + "/index.txt\nnew_certs_dir = " +
                                  dir + "\nserial = " + dir + "/serial\ndefault_md = sha256\npolicy = p\n"
                                  "[p]\ncommonName = supplied\n");
  time_t end = time(nullptr) + static_cast<time_t>(days) * 86400;
  char from[32], to[32];
  time_t start = end - 30 * 86400;
  strftime(from, sizeof from, "%Y%m%d%H%M%SZ", gmtime(&start));
  strftime(to, sizeof to, "%Y%m%d%H%M%SZ", gmtime(&end));
  return openssl({"req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", dir + "/req.csr",
                  "-subj", "/CN=" + cn}) &&
         openssl({"ca", "-batch", "-config", dir + "/ca.cnf", "-selfsign", "-keyfile", key, "-in",
                  dir + "/req.csr", "-out", cert, "-startdate", from, "-enddate", to, "-notext"});
}

/// One key and certificate for every TLS server of this test program, so
/// that starting a server costs no key generation. Paths of cert and key.
inline const std::pair<std::string, std::string>& shared_cert() {
  static TempDir dir;
  static std::pair<std::string, std::string> paths = [] {
    make_cert(dir.path(), 30);
    return std::make_pair(dir / "cert.pem", dir / "key.pem");
  }();
  return paths;
}

/// The [server] lines of a server whose TLS listener takes a free port and
/// presents `cert` and `key` (the shared pair when empty).
inline std::string tls_lines(std::string cert = "", std::string key = "") {
  if (cert.empty()) {
    cert = shared_cert().first;
    key = shared_cert().second;
  }
  return "tls_port = 0\ncert = " + cert + "\nkey = " + key + "\n";
}


}  // namespace wytest
