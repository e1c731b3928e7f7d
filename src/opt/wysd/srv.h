// wysd inside: configuration, contexts, sessions and the request dispatcher.
//
// One session per connection runs on its own thread: it reads a request,
// dispatches it and writes exactly one response (none for bye and for the
// attach that replays a stored response). What a client builds up — open
// files, a directory reader, a multi-file object, the packing codec, the
// request count and the last response — lives in its context, which
// outlives a dropped connection for ctx_keep_s so the client can attach it
// again and learn what happened to its last request.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "libpal.h"
#include "libssl.h"
#include "libwysd.h"
#include "librdir.h"
#include "pal_root.h"

/// The server's version as the information request reports it.
inline constexpr const char* WYSD_SRV_VERSION = "1.8.0";
/// Protocol byte of every response: tells the client which login to run.
inline constexpr uint8_t WYSD_PROTO_SHA = 1;
inline constexpr uint8_t WYSD_PROTO_CHALLENGE = 2;
/// Largest frame a peer may announce before it has logged in.
inline constexpr int32_t WYSD_PRELOGIN_FRAME = 64 * 1024;

/// What wysd.ini and the command line set.
struct wysd_conf {
  std::string conf_path;
  std::string root;
  std::string listen = "0.0.0.0";
  int port = 6688;       // -1: off; 0: any free port
  int tls_port = 6686;   // -1: off; 0: any free port
  /// PEM files of the TLS listener; written self-signed when both are
  /// missing. Default: wysd_cert.pem and wysd_key.pem beside the
  /// configuration file, or in the working directory without one.
  std::string cert, key;
  bool login_sha = false;  // "sha": one-step login; else the challenge login
  int max_conn = 64;
  int ctx_keep_s = 60;
  int login_s = 10;
  int idle_s = 300;
  int32_t max_frame = 32 * 1024 * 1024;
  // Threads that write the files of one write list: creating files scales
  // with the cores. 0: one per processor, at most 4.
  int write_threads = 0;
  std::string trash;
  std::string level;
  std::map<std::string, std::string> users;  // name -> password
};

/// Reads the command line and the configuration file it names into `c`.
/// Returns 0; 1 after printing the usage text for a bad word; 2 with a
/// message on standard error for a bad file or value; 3 for "-v" (printed).
int wysd_conf_load(int argc, char** argv, wysd_conf* c);
/// The usage text.
const char* wysd_usage();

/// One setting wysd knows, and where it may be given.
struct wysd_key {
  const char* key;
  bool on_command_line;  // as key=value on the command line
  bool in_file;          // in the [server] section of the configuration file
};
/// Every setting, ended by a null key.
extern const wysd_key wysd_keys[];

/// One client's state, kept across a dropped connection.
struct wysd_ctx {
  uint64_t id = 0;  // 0 until the client asks for one; then registered
  std::string user;
  uint64_t exec_count = 0;  // requests executed on this context
  blob_buf rsp;             // the response of the last request, kept to resend
  int rsp_code = 0;
  sdcomp_slot pack;
  std::map<int64_t, os_file_uptr> files;
  int64_t next_fd = 1;
  librdir* rdir = nullptr;
  libmfile* mfile = nullptr;
  // Set by the owning session, read by others under the registry lock.
  std::atomic<int32_t>* owner_stop = nullptr;  // the owner's stream stop mark
  bool running = false;                        // a session holds it
  uint64_t park_until_ms = 0;                  // while parked: when it expires

  wysd_ctx();
  ~wysd_ctx();
  wysd_ctx(const wysd_ctx&) = delete;
  wysd_ctx& operator=(const wysd_ctx&) = delete;
};

class wysd_server;

/// A connection's bytes for one request's file data or result list, kept
/// for its next request and grown to the largest one asked for. They are
/// never initialised: only what a request writes into them becomes
/// resident memory (a listing block may be asked for at 4 MiB and fill a
/// few KiB), and only what it wrote is sent.
struct wysd_scratch {
  std::unique_ptr<uint8_t[]> buf;
  size_t cap = 0;
  /// At least `n` bytes; nullptr when they cannot be had (the old ones
  /// stay).
  uint8_t* reserve(size_t n);
};

/// One connection.
struct wysd_session {
  wysd_server* srv = nullptr;
  net_conn nc;
  std::string peer;  // "address:port"
  std::string peer_ip;
  bool tls = false;  // came in on the TLS listener: the handshake comes first
  bool logged_in = false;
  bool bye = false;
  std::string user;
  std::string login_user;  // the challenge login's user between its steps
  std::string cert;        // the challenge of this connection ("" when used)
  std::shared_ptr<wysd_ctx> ctx;
  wysd_rbuf rb;
  wysd_scratch scratch;  // file data between the codec and the file, result lists
  uint64_t requests = 0, bytes_in = 0, bytes_out = 0;
  uint64_t start_ms = 0;
};

/// Result of dispatching one request: send s->ctx->rsp (for an attach
/// that replays, the stored response of the attached context), or close
/// the connection without sending anything (a goodbye, or a request that
/// cannot be answered).
enum wysd_action { WYSD_SEND, WYSD_CLOSE };

/// Runs the request in s->rb (code, message length `len`), leaving the
/// response in s->ctx->rsp. Never reads beyond the message.
wysd_action wysd_dispatch(wysd_session* s, int code, int32_t len);

/// Listeners, sessions, the context registry and the served root.
class wysd_server {
 public:
  explicit wysd_server(wysd_conf conf);
  ~wysd_server();
  /// Opens the root (and trash). Returns 0, or -1 with a message logged.
  int open_root();
  /// open_root, then the listeners, printing their lines. Returns 0 or -1.
  int start();
  /// Stops the listeners and the sessions in order; waits for them.
  void stop();
  /// Expires parked contexts, and gives the memory that ended sessions
  /// and expired contexts freed back to the system once none has ended
  /// for a second. Called from the main loop.
  void sweep();

  const wysd_conf& conf() const { return conf_; }
  const os_root* root() const { return root_; }
  uint8_t proto() const { return conf_.login_sha ? WYSD_PROTO_SHA : WYSD_PROTO_CHALLENGE; }
  uint16_t port() const { return port_; }
  uint16_t tls_port() const { return tls_port_; }

  // Context registry.
  /// Gives `c` a fresh random id and registers it.
  uint64_t ctx_register(const std::shared_ptr<wysd_ctx>& c);
  /// The registered context `id` of `user`, or nullptr.
  std::shared_ptr<wysd_ctx> ctx_find(uint64_t id, const std::string& user);
  /// Takes the parked context `id` of `user` for a new session. Returns it,
  /// or nullptr with *verr set (-102 unknown, -38 another user's, -16 busy).
  std::shared_ptr<wysd_ctx> ctx_take(uint64_t id, const std::string& user, std::atomic<int32_t>* stop,
                                     int* verr);
  /// Asks the session holding context `id` to stop. Returns 0 or a verr.
  int ctx_stop(uint64_t id, const std::string& user);
  /// Run state of `id`: 1 while a session holds it, 0 parked, -1 unknown.
  int ctx_running(uint64_t id, const std::string& user);
  /// The session ends: its context is parked (when registered and the
  /// client did not say bye) or dropped.
  void ctx_release(const std::shared_ptr<wysd_ctx>& c, bool park);
  /// Marks `c` held by a session whose stream stops through `stop`.
  void ctx_hold(const std::shared_ptr<wysd_ctx>& c, std::atomic<int32_t>* stop);

  /// Delay before answering a failed login from `ip`; counts the failure.
  int login_failed(const std::string& ip);

 private:
  struct listener;
  /// Listens on `port` (0: any free one) and starts its accept thread.
  /// Returns the listener, or nullptr with a message logged.
  listener* open_listener(int port, bool tls);
  /// The TLS configuration, made first when the files are missing.
  int open_tls();
  void accept_loop(listener* l);
  void run_session(std::shared_ptr<wysd_session> s);

  wysd_conf conf_;
  os_root* root_ = nullptr;
  uint16_t port_ = 0;
  uint16_t tls_port_ = 0;
  ssl_srv_conf* tls_ = nullptr;
  std::atomic<bool> stopping_{false};
  std::vector<std::unique_ptr<listener>> listeners_;

  std::mutex mu_;  // sessions_, ctxs_, fails_, freed_at_ms_
  std::map<wysd_session*, std::shared_ptr<wysd_session>> sessions_;
  std::map<uint64_t, std::shared_ptr<wysd_ctx>> ctxs_;
  std::map<std::string, uint32_t> fails_;
  int active_ = 0;
  // When a session last ended or a context expired, 0 once the memory
  // they freed has been given back; sweep gives it back after this long
  // without another end.
  uint64_t freed_at_ms_ = 0;
  static constexpr uint64_t kReleaseQuietMs = 1000;
};
