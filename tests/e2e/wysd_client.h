// The test side of the file server: starting the built wysd on loopback with
// a port it picks itself, and a small client that sends one request at a
// time with the protocol library and takes the response apart, plus a raw
// mode that puts arbitrary bytes on the wire.
//
// Every wait here is bounded: the server start and stop, every read of the
// client (the stream time-out) and every "is it closed yet" check.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "libpwd.h"
#include "libwysd.h"
#include "pal_hash.h"
#include "wytest.h"

#ifndef WY_WYSD_BIN
#define WY_WYSD_BIN ""
#endif

namespace wysdtest {

namespace fs = std::filesystem;
using wytest::TempDir;

// Error codes the server answers with.
constexpr int32_t kAccess = -38;   // "Access denied."
constexpr int32_t kAuth = -89;     // "Authentication failure."
constexpr int32_t kNotSup = -37;   // "Not supported."
constexpr int32_t kNoFile = -102;  // "File not found."

// Open flags (virtual-file flags as the copy engine sends them).
constexpr uint64_t kOpenRead = 0x1081;   // read, share all, sequential
constexpr uint64_t kOpenWrite = 0x2A;    // write, create, truncate
constexpr uint64_t kFlWrite = 0x2, kFlRdwr = 0x4, kFlCreate = 0x8, kFlAppend = 0x10, kFlTrunc = 0x20;

// Control codes.
enum : int32_t {
  kIoPack = 10001,
  kIoMkdirs = 10013,
  kIoPathTimes = 10030,
  kIoFileStat = 10039,
  kIoReadTimeout = 10100,
  kIoWriteTimeout = 10105,
  kCtxNew = 101,
  kCtxGet = 102,
  kCtxLastIdx = 103,
  kCtxAttach = 104,
  kCtxAttachReply = 105,
  kCtxRunStatus = 106,
  kCtxReqStop = 107,
  kRdirOpen = 10120,
  kRdirClose = 10121,
  kRdirEnum = 10122,
  kRdirRead = 10123,
  kMfOpen = 10130,
  kMfClose = 10131,
  kMfListRet = 10132,
  kMfReadList = 10133,
  kMfMkdirList = 10134,
  kMfWriteList = 10135,
  kMfDelList = 10136,
  kMfDelFiles = 10138,
};

inline int64_t now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
inline void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

/// True when the tests have a server binary to run.
inline bool have_server() { return WY_WYSD_BIN[0] != '\0' && access(WY_WYSD_BIN, X_OK) == 0; }
#define WYSD_REQUIRE_SERVER() \
  do {                        \
    if (!::wysdtest::have_server()) GTEST_SKIP() << "wysd is not built"; \
  } while (0)

using Users = std::vector<std::pair<std::string, std::string>>;

/// One wysd process on 127.0.0.1, its configuration, and what it printed.
class WysdServer {
 public:
  WysdServer() = default;
  ~WysdServer() { stop(); }
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
    const std::string head = "wysd listening tcp 127.0.0.1:";
    for (int64_t end = now_ms() + deadline_ms; now_ms() < end;) {
      std::string o = wytest::read_file(out);
      size_t at = o.find(head);
      if (at != std::string::npos) {
        size_t nl = o.find('\n', at);
        if (nl != std::string::npos) {
          port_ = std::atoi(o.c_str() + at + head.size());
          return port_ > 0;
        }
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
  pid_t pid() const { return pid_; }
  bool killed() const { return killed_; }
  const TempDir& dir() const { return dir_; }
  std::string out() const { return wytest::read_file(dir_ / "stdout"); }
  std::string err() const { return wytest::read_file(dir_ / "stderr"); }
  /// Everything it printed, for failure messages.
  std::string log() const { return "--- wysd stdout:\n" + out() + "--- wysd stderr:\n" + err(); }

 private:
  TempDir dir_;
  pid_t pid_ = -1;
  int status_ = -1;
  int port_ = 0;
  bool killed_ = false;
};


/// A temporary place with a served root ("root"), room beside it for what
/// must stay untouched, and the server on it.
struct Site {
  TempDir t;
  WysdServer srv;
  Site() { fs::create_directories(t / "root"); }
  // Whatever a test did, the server still ends in order on SIGTERM (a
  // crash or a sanitizer report shows here).
  ~Site() {
    if (srv.running()) {
      int st = srv.stop();
      EXPECT_EQ(st, 0) << srv.log().substr(0, 8000);
    }
  }
  std::string root() const { return t / "root"; }
  std::string in_root(const std::string& rel) const { return t / ("root/" + rel); }
  /// Starts the server on the root; fails the test (fatally) when it does not come up.
  void start(const std::string& server_lines = "", const Users& users = {}) {
    ASSERT_TRUE(srv.start(root(), server_lines, users)) << srv.log();
  }
  int port() const { return srv.port(); }
};

/// One response taken apart.
struct Reply {
  int st = -1;          // client status: 0 ok, 4 server error, 2 malformed, else a receive failure
  uint8_t code = 0;     // code byte of the response frame
  uint8_t proto = 0;    // protocol byte of the response frame
  int32_t eno = 0;      // "errno"
  std::string estr;     // "errno_str"
  std::map<std::string, std::string> attrs;  // payloads of the response set, by name
  std::string data;     // READ/PREAD: the unpacked data
  std::vector<uint8_t> raw;                  // the whole message as received

  bool ok() const { return st == WYSD_ST_OK && eno == 0; }
  bool has(const std::string& n) const { return attrs.count(n) != 0; }
  std::string get(const std::string& n) const {
    auto it = attrs.find(n);
    return it == attrs.end() ? std::string() : it->second;
  }
  uint64_t u64(const std::string& n) const {
    std::string s = get(n);
    uint64_t v = 0;
    for (unsigned char c : s) v = v << 8 | c;
    return v;
  }
  int32_t i32(const std::string& n) const { return static_cast<int32_t>(u64(n)); }
  /// A string or text payload without its trailing NULs.
  std::string text(const std::string& n) const {
    std::string s = get(n);
    while (!s.empty() && s.back() == '\0') s.pop_back();
    return s;
  }
  /// For failure messages.
  std::string what() const {
    return "st=" + std::to_string(st) + " code=" + std::to_string(code) + " errno=" + std::to_string(eno) + " [" +
           estr + "]";
  }
};

using Build = std::function<void(blob_buf*)>;

/// A client connection: requests through the protocol library, one at a
/// time, or raw bytes.
class Conn {
 public:
  Conn() { sdcomp_select(&ctx_.pack, "none"); }
  ~Conn() { close(); }
  Conn(const Conn&) = delete;
  Conn& operator=(const Conn&) = delete;

  /// Connects to 127.0.0.1:port. `timeout_ms` is the budget of every read.
  bool connect(int port, int timeout_ms = 10000) {
    close();
    sock_connect_param p;
    p.connect_timeout = 4000;
    cdir_err err;
    os_socket_t s = sock_tcp_connect("127.0.0.1", static_cast<uint16_t>(port), &p, &err);
    if (s == OS_SOCKET_NONE) {
      last_error_ = err.msg;
      return false;
    }
    ctx_.nc.type = NET_SOCK_TYPE;
    ctx_.nc.handle = s;
    ctx_.nc.timeout = timeout_ms;
    ctx_.srv_proto = 0;
    sent_ = 0;
    return true;
  }
  bool connected() const { return ctx_.nc.handle != 0; }
  /// Closes the socket without saying goodbye.
  void close() {
    if (ctx_.nc.handle != 0) net_close(&ctx_.nc);
    ctx_.nc.handle = 0;
  }
  void set_timeout(int ms) { ctx_.nc.timeout = ms; }
  /// The system descriptor (a socket handle is the descriptor plus one).
  int fd() const { return static_cast<int>(ctx_.nc.handle - 1); }
  const std::string& last_error() const { return last_error_; }
  /// Requests sent on this connection, counted as the server counts them
  /// (the attach controls 104 and 105 excepted).
  uint64_t sent() const { return sent_; }
  /// Protocol byte of the first response.
  uint8_t srv_proto() const { return ctx_.srv_proto; }

  // ---- framed requests

  /// Sends one request whose attributes `build` adds.
  void send(int code, const Build& build) {
    blob_buf_init(&ctx_.req);
    if (build) build(&ctx_.req);
    client_send_reqest(&ctx_, code, blob_buf_data(&ctx_.req), blob_buf_len(&ctx_.req));
    if (!counted_skip_) sent_++;
  }
  /// Receives one frame and parses it with the response set of its own code
  /// byte (or of `code` when the byte names no known request).
  Reply recv(int code = 0) {
    Reply r;
    int32_t len = 0;
    uint8_t proto = 0, cbyte = 0;
    r.st = wysd_recv_frame(&ctx_.nc, &proto, &cbyte, &ctx_.rbuf, &len);
    if (ctx_.srv_proto == 0) ctx_.srv_proto = proto;
    if (r.st != WYSD_ST_OK) return r;
    r.code = cbyte;
    r.proto = proto;
    r.raw.assign(ctx_.rbuf.buf.get(), ctx_.rbuf.buf.get() + len);
    // An unknown code's answer is the head alone.
    static const blobmsg_policy head[] = {{"errno", BLOBMSG_TYPE_INT32}, {"errno_str", BLOBMSG_TYPE_STRING}};
    static const wysd_msg_policy head_only = {0, nullptr, 0, head, 2};
    const wysd_msg_policy* pol = wysd_msg_policy_get(cbyte);
    if (pol == nullptr || pol->rsp_n == 0) pol = wysd_msg_policy_get(code);
    if (pol == nullptr || pol->rsp_n == 0) pol = &head_only;
    std::vector<const blob_attr*> tb(static_cast<size_t>(pol->rsp_n), nullptr);
    r.st = client_parse_response(&ctx_, len, pol->rsp, pol->rsp_n, tb.data());
    if (r.st == WYSD_ST_NET_DATA_ERROR) return r;
    r.eno = static_cast<int32_t>(blobmsg_get_u32(tb[0]));
    r.estr = blobmsg_get_string(tb[1]);
    if (r.st == WYSD_ST_SRV_ERROR) r.st = WYSD_ST_OK;  // the error is in eno
    for (int i = 2; i < pol->rsp_n; i++)
      if (tb[i] != nullptr)
        r.attrs[pol->rsp[i].name] =
            std::string(static_cast<const char*>(blobmsg_data(tb[i])), static_cast<size_t>(blobmsg_data_len(tb[i])));
    return r;
  }
  /// One request and its response.
  Reply call(int code, const Build& build) {
    send(code, build);
    return recv(code);
  }

  // ---- login

  Reply login_probe() { return login_plain(":", ""); }
  /// LOGIN with the password in its "{SHA}" form (empty stays empty).
  Reply login_sha(const std::string& user, const std::string& pw) {
    std::string form;
    if (!pw.empty()) {
      uint8_t d[SHA1_DIGEST_SIZE];
      hash_sha1(pw.data(), pw.size(), d);
      form = "{SHA}" + base64_encode(d, sizeof d);
    }
    return login_plain(user, form);
  }
  Reply login_plain(const std::string& user, const std::string& passwd) {
    return call(WYSD_CMD_LOGIN, [&](blob_buf* b) {
      blobmsg_add_string(b, "user", user.c_str());
      blobmsg_add_string(b, "passwd", passwd.c_str());
    });
  }
  Reply login2(const std::string& user) {
    Reply r = call(WYSD_CMD_LOGIN2, [&](blob_buf* b) {
      blobmsg_add_string(b, "user", user.c_str());
      blobmsg_add_u32(b, "ver", 1);
    });
    if (r.ok()) cert_ = r.text("cert");
    return r;
  }
  Reply login3(const std::string& lkey) {
    return call(WYSD_CMD_LOGIN3, [&](blob_buf* b) { blobmsg_add_string(b, "lkey", lkey.c_str()); });
  }
  static std::string key_of(const std::string& user, const std::string& pw, const std::string& cert) {
    char k[LIBPWD_KEY_SIZE] = {};
    libpwd_build_key(user.c_str(), pw.c_str(), cert.c_str(), k, sizeof k);
    return k;
  }
  /// LOGIN2 then LOGIN3 with the key built from the fresh cert.
  Reply login_challenge(const std::string& user, const std::string& pw) {
    Reply r = login2(user);
    if (!r.ok()) return r;
    return login3(key_of(user, pw, cert_));
  }
  const std::string& cert() const { return cert_; }
  /// Logs in as the client does: the probe first, then the login the
  /// server's protocol byte asks for. True on success.
  bool login(const std::string& user = "", const std::string& pw = "") {
    Reply r = login_probe();
    if (r.ok()) return true;
    if (r.st != WYSD_ST_OK || r.eno != 1) return false;
    r = r.proto == 1 ? login_sha(user, pw) : login_challenge(user, pw);
    return r.ok();
  }
  /// Connects and logs in.
  bool open_session(int port, const std::string& user = "", const std::string& pw = "") {
    return connect(port) && login(user, pw);
  }

  // ---- requests

  Reply info() {
    return call(WYSD_CMD_INFO, [](blob_buf* b) { blobmsg_add_string(b, "param", ""); });
  }
  /// OPEN with `path` sent as a string attribute of exactly its bytes (a NUL
  /// inside stays inside).
  Reply open(const std::string& path, uint64_t mode) {
    return call(WYSD_CMD_OPEN, [&](blob_buf* b) {
      blobmsg_add_field(b, BLOBMSG_TYPE_STRING, "path", path.c_str(), static_cast<int32_t>(path.size() + 1));
      blobmsg_add_u64(b, "mode", mode);
    });
  }
  /// The descriptor of an open, 0 when it failed.
  uint64_t open_fd(const std::string& path, uint64_t mode) {
    Reply r = open(path, mode);
    return r.ok() ? r.u64("fd") : 0;
  }
  Reply close_fd(uint64_t fd) {
    return call(WYSD_CMD_CLOSE, [&](blob_buf* b) { blobmsg_add_u64(b, "fd", fd); });
  }
  Reply read(uint64_t fd, int32_t len) { return read_imp(fd, len, -1); }
  Reply pread(uint64_t fd, int32_t len, int64_t off) { return read_imp(fd, len, off); }
  Reply write(uint64_t fd, const std::string& data) { return write_imp(fd, data, -1); }
  Reply pwrite(uint64_t fd, const std::string& data, int64_t off) { return write_imp(fd, data, off); }
  Reply seek(uint64_t fd, int64_t off, int64_t mode = 0) {
    return call(WYSD_CMD_SEEK, [&](blob_buf* b) {
      blobmsg_add_u64(b, "fd", fd);
      blobmsg_add_u64(b, "offset", static_cast<uint64_t>(off));
      blobmsg_add_u64(b, "mode", static_cast<uint64_t>(mode));
    });
  }
  /// File control with `data` and its terminating 0.
  Reply ioctl(uint64_t fd, int32_t cmd, const std::string& data) {
    return call(WYSD_CMD_IOCTL, [&](blob_buf* b) {
      blobmsg_add_u64(b, "fd", fd);
      blobmsg_add_u32(b, "cmd", static_cast<uint32_t>(cmd));
      blobmsg_add_u32(b, "len", static_cast<uint32_t>(data.size() + 1));
      blobmsg_add_field(b, BLOBMSG_TYPE_RAW, "data", data.c_str(), static_cast<int32_t>(data.size() + 1));
    });
  }
  /// Selects the codec on both ends: the control, then (when accepted) ours.
  bool set_pack(const std::string& name) {
    Reply r = ioctl(0, kIoPack, name);
    return r.ok() && sdcomp_select(&ctx_.pack, name.c_str()) == 0;
  }
  /// Connection control with `data` plus a 0 (none when `data` is empty and
  /// `nul` is false) and result capacity `olen`.
  void send_ioctl2(int32_t cmd, const std::string& data, int32_t olen = 1 << 20, bool nul = true) {
    std::string d = data;
    if (nul) d.push_back('\0');
    bool skip = cmd == kCtxAttach || cmd == kCtxAttachReply;
    counted_skip_ = skip;
    send(WYSD_CMD_IOCTL2, [&](blob_buf* b) {
      blobmsg_add_u64(b, "fd", 0);
      blobmsg_add_u32(b, "cmd", static_cast<uint32_t>(cmd));
      blobmsg_add_field(b, BLOBMSG_TYPE_RAW, "data", d.data(), static_cast<int32_t>(d.size()));
      blobmsg_add_u32(b, "olen", static_cast<uint32_t>(olen));
    });
    counted_skip_ = false;
  }
  Reply ioctl2(int32_t cmd, const std::string& data, int32_t olen = 1 << 20, bool nul = true) {
    send_ioctl2(cmd, data, olen, nul);
    return recv(WYSD_CMD_IOCTL2);
  }
  /// Resets the request count after an attach (the context's count goes on).
  void set_sent(uint64_t n) { sent_ = n; }

  // ---- raw bytes

  /// Writes bytes as they are. False when the write failed.
  bool send_raw(const std::string& bytes) {
    return net_write(&ctx_.nc, bytes.data(), static_cast<int>(bytes.size())) == static_cast<int>(bytes.size());
  }
  /// Waits at most `ms` for the server to close the connection, reading and
  /// dropping whatever it sends first (kept in *seen when given). True
  /// when it closed (end of stream or a reset).
  bool wait_closed(int ms, std::string* seen = nullptr) {
    int fd = this->fd();
    for (int64_t end = now_ms() + ms; now_ms() < end;) {
      pollfd p = {fd, POLLIN, 0};
      int n = poll(&p, 1, 50);
      if (n < 0) return true;
      if (n == 0) continue;
      char buf[4096];
      ssize_t k = ::recv(fd, buf, sizeof buf, 0);
      if (k == 0) return true;
      if (k < 0) {
        if (errno == EAGAIN || errno == EINTR) continue;
        return true;
      }
      if (seen) seen->append(buf, static_cast<size_t>(k));
    }
    return false;
  }
  /// True when some bytes arrive within `ms` (without taking them).
  bool readable_within(int ms) {
    pollfd p = {fd(), POLLIN, 0};
    return poll(&p, 1, ms) > 0;
  }

  wysd_cli_ctx& ctx() { return ctx_; }

 private:
  Reply read_imp(uint64_t fd, int32_t len, int64_t off) {
    int code = off < 0 ? WYSD_CMD_READ : WYSD_CMD_PREAD;
    Reply r = call(code, [&](blob_buf* b) {
      blobmsg_add_u64(b, "fd", fd);
      blobmsg_add_u32(b, "len", static_cast<uint32_t>(len));
      if (off >= 0) blobmsg_add_u64(b, "offset", static_cast<uint64_t>(off));
    });
    if (r.ok()) {
      std::string packed = r.get("data");
      std::string out(static_cast<size_t>(len > 0 ? len : 0) + 1, '\0');
      int n = packed.empty() ? 0
                             : sdcomp_unpack(&ctx_.pack, packed.data(), static_cast<int>(packed.size()), out.data(),
                                             static_cast<int>(out.size()));
      if (n < 0) {
        r.st = WYSD_ST_UNPACK_ERROR;
      } else {
        out.resize(static_cast<size_t>(n));
        r.data = out;
      }
    }
    return r;
  }
  Reply write_imp(uint64_t fd, const std::string& data, int64_t off) {
    std::string packed(static_cast<size_t>(sdcomp_bound(static_cast<int>(data.size()))), '\0');
    // Nothing is packed too, as the client does: lz4 makes one byte of it.
    int n = sdcomp_pack(&ctx_.pack, data.data(), static_cast<int>(data.size()), packed.data(),
                        static_cast<int>(packed.size()));
    if (n < 0) {
      Reply r;
      r.st = WYSD_ST_UNPACK_ERROR;
      return r;
    }
    packed.resize(static_cast<size_t>(n));
    int code = off < 0 ? WYSD_CMD_WRITE : WYSD_CMD_PWRITE;
    return call(code, [&](blob_buf* b) {
      blobmsg_add_u64(b, "fd", fd);
      blobmsg_add_u32(b, "flags", 0);
      blobmsg_add_u32(b, "len", static_cast<uint32_t>(data.size()));
      if (off >= 0) blobmsg_add_u64(b, "offset", static_cast<uint64_t>(off));
      blobmsg_add_field(b, BLOBMSG_TYPE_RAW, "data", packed.data(), static_cast<int32_t>(packed.size()));
    });
  }

  wysd_cli_ctx ctx_;
  std::string cert_;
  std::string last_error_;
  uint64_t sent_ = 0;
  bool counted_skip_ = false;
};

/// A frame head for raw sends: magic, request protocol byte, code, and the
/// 24-bit root length `len` (a root table header word).
inline std::string frame_head(int code, uint32_t len) {
  std::string h = {'W', 'Y', '\x01', static_cast<char>(code), '\x02', static_cast<char>(len >> 16),
                   static_cast<char>(len >> 8), static_cast<char>(len)};
  return h;
}
/// A whole request frame built with the attribute builder.
inline std::string frame_of(int code, const Build& build) {
  blob_buf b;
  blob_buf_init(&b);
  if (build) build(&b);
  const uint8_t* m = blob_buf_data(&b);
  std::string s = {'W', 'Y', '\x01', static_cast<char>(code)};
  s.append(reinterpret_cast<const char*>(m), static_cast<size_t>(blob_buf_len(&b)));
  return s;
}

/// The value of key `key` in an info text of "key=[value]" lines.
inline std::string info_value(const std::string& info, const std::string& key) {
  size_t pos = 0;
  while (pos < info.size()) {
    size_t nl = info.find('\n', pos);
    std::string line = info.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
    pos = nl == std::string::npos ? info.size() : nl + 1;
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string k = line.substr(0, eq);
    while (!k.empty() && k.back() == ' ') k.pop_back();
    while (!k.empty() && k.front() == ' ') k.erase(0, 1);
    if (k != key) continue;
    size_t a = line.find('[', eq), b = line.rfind(']');
    if (a == std::string::npos || b == std::string::npos || b < a) return "";
    return line.substr(a + 1, b - a - 1);
  }
  return "";
}

/// A dotted version as one number (four 16-bit parts).
inline uint64_t version_value(const std::string& v) {
  uint64_t out = 0;
  int parts = 0;
  size_t pos = 0;
  while (pos <= v.size() && parts < 4) {
    size_t dot = v.find('.', pos);
    std::string p = v.substr(pos, dot == std::string::npos ? std::string::npos : dot - pos);
    out = out << 16 | static_cast<uint64_t>(std::strtoul(p.c_str(), nullptr, 10));
    parts++;
    if (dot == std::string::npos) break;
    pos = dot + 1;
  }
  return out << 16 * (4 - parts);
}

/// What a test compares to show that a directory outside the root was not
/// touched: the tree below it and the directory's own mode and times.
inline std::string outside_state(const std::string& dir) {
  struct stat st = wytest::lstat_of(dir);
  return wytest::tree_digest(dir) + "self\t" + std::to_string(st.st_mode) + "\t" + std::to_string(st.st_mtime) + "\t" +
         std::to_string(st.st_ctime) + "\n";
}

/// Reads reader blocks (10123) until both streams ended or `deadline_ms`
/// passed: the record texts of each stream and their end codes.
struct Listing {
  std::string files, dirs;
  bool file_end = false, dir_end = false;
  int file_code = 1, dir_code = 1;
  int32_t eno = 0;  // a failing read control
};
inline void add_block(Listing* l, const std::string& b) {
  if (b.empty()) return;
  bool f = b[0] == 'F';
  std::string s = b.substr(1);
  size_t cr = s.find('\r');
  (f ? l->files : l->dirs) += s.substr(0, cr);
  if (cr != std::string::npos) {
    (f ? l->file_end : l->dir_end) = true;
    (f ? l->file_code : l->dir_code) = std::atoi(s.c_str() + cr + 1);
  }
}
inline Listing remote_listing(Conn& c, int deadline_ms = 10000) {
  Listing l;
  for (int64_t end = now_ms() + deadline_ms; !(l.file_end && l.dir_end) && now_ms() < end;) {
    Reply r = c.ioctl2(kRdirRead, "", 1 << 20, false);
    if (!r.ok()) {
      l.eno = r.eno != 0 ? r.eno : -1000 - r.st;
      break;
    }
    add_block(&l, r.get("data"));
  }
  return l;
}

/// The lines of a text, sorted (readers may hand out a directory's entries
/// in any order).
inline std::vector<std::string> sorted_lines(const std::string& s) {
  std::vector<std::string> v;
  size_t pos = 0;
  while (pos < s.size()) {
    size_t nl = s.find('\n', pos);
    if (nl == std::string::npos) nl = s.size();
    if (nl > pos) v.push_back(s.substr(pos, nl - pos));
    pos = nl + 1;
  }
  std::sort(v.begin(), v.end());
  return v;
}

/// Collects multi-file results (10132) until `done` says they are complete
/// or `deadline_ms` passed.
inline std::string remote_results(Conn& c, const std::function<bool(const std::string&)>& done,
                                  int deadline_ms = 10000, int32_t* eno = nullptr) {
  std::string all;
  for (int64_t end = now_ms() + deadline_ms; !done(all) && now_ms() < end;) {
    Reply r = c.ioctl2(kMfListRet, "", 1 << 20, false);
    if (!r.ok()) {
      if (eno) *eno = r.eno != 0 ? r.eno : -1000 - r.st;
      break;
    }
    all += r.get("data");
  }
  return all;
}

}  // namespace wysdtest
