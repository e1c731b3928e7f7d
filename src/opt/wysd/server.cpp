// Listeners, session threads and the context registry.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <new>
#include <thread>

#include "liblog.h"
#include "srv.h"

WY_LOG_TAG("wysd");

namespace {

std::condition_variable g_idle;  // a session ended

}  // namespace

uint8_t* wysd_scratch::reserve(size_t n) {
  if (n <= cap) return buf.get();
  try {
    buf = std::make_unique_for_overwrite<uint8_t[]>(n);
  } catch (const std::bad_alloc&) {
    LOGE("size=%u malloc failed\n", static_cast<unsigned>(n));
    buf.reset();
    cap = 0;
    return nullptr;
  }
  cap = n;
  return buf.get();
}

wysd_ctx::wysd_ctx() { sdcomp_select(&pack, "none"); }

wysd_ctx::~wysd_ctx() {
  files.clear();
  librdir_close(rdir);
  libmfile_close(mfile);
}

struct wysd_server::listener {
  os_socket_t sock = OS_SOCKET_NONE;
  bool tls = false;
  uint16_t port = 0;
  std::string addr;
  os_thread* thread = nullptr;
};

wysd_server::wysd_server(wysd_conf conf) : conf_(std::move(conf)) {}

wysd_server::~wysd_server() {
  stop();
  os_root_close(root_);
  ssl_srv_conf_free(tls_);
}

int wysd_server::open_root() {
  root_ = os_root_open(conf_.root.c_str());
  if (root_ == nullptr) {
    LOGE("root [%s]: %s\n", conf_.root.c_str(), os_last_errstr());
    return -1;
  }
  if (!conf_.trash.empty() && os_root_set_trash(root_, conf_.trash.c_str()) < 0) {
    LOGE("trash [%s]: %s (it must be a directory on the root's file system, outside the root)\n",
         conf_.trash.c_str(), os_last_errstr());
    return -1;
  }
  return 0;
}

int wysd_server::open_tls() {
  bool created = false;
  std::string why;
  tls_ = ssl_srv_conf_new(conf_.cert.c_str(), conf_.key.c_str(), &created, &why);
  if (tls_ == nullptr) {
    LOGE("TLS: %s\n", why.c_str());
    return -1;
  }
  if (created)
    LOGI("wrote a new key [%s] and a self-signed certificate [%s]\n", conf_.key.c_str(), conf_.cert.c_str());
  LOGI("certificate [%s] sha256=%s\n", conf_.cert.c_str(), ssl_srv_conf_fp(tls_));
  return 0;
}

wysd_server::listener* wysd_server::open_listener(int port, bool tls) {
  os_ipaddr a;
  if (!os_addrinfo_addr(conf_.listen.c_str(), &a)) {
    LOGE("listen [%s]: cannot resolve\n", conf_.listen.c_str());
    return nullptr;
  }
  os_ipaddr_port_set(&a, static_cast<uint16_t>(port));
  auto l = std::make_unique<listener>();
  l->tls = tls;
  l->sock = os_socket_listen(&a, 128);
  char buf[128];
  if (l->sock == OS_SOCKET_NONE) {
    LOGE("listen %s: %s\n", os_ipaddr_cstr(&a, buf, sizeof buf), os_last_errstr());
    return nullptr;
  }
  os_ipaddr bound;
  os_socket_local_addr(l->sock, &bound);
  l->port = os_ipaddr_port(&bound);
  l->addr = os_ipaddr_cstr(&bound, buf, sizeof buf);
  listener* lp = l.get();
  l->thread = os_thread_start(tls ? "wysd_accept_tls" : "wysd_accept", [this, lp] {
    accept_loop(lp);
    return 0;
  }, 0, nullptr);
  if (l->thread == nullptr) {
    os_socket_exit(l->sock);
    return nullptr;
  }
  listeners_.push_back(std::move(l));
  return lp;
}

int wysd_server::start() {
  if (open_root() < 0) return -1;
  if (conf_.port < 0 && conf_.tls_port < 0) {
    LOGE("no listener: port and tls_port are off\n");
    return -1;
  }
  // The certificate first: a TLS listener that cannot start must not leave
  // the plain one serving as if all were well.
  if (conf_.tls_port >= 0 && open_tls() < 0) return -1;
  listener* plain = nullptr;
  listener* tls = nullptr;
  if (conf_.port >= 0 && (plain = open_listener(conf_.port, false)) == nullptr) return -1;
  if (conf_.tls_port >= 0 && (tls = open_listener(conf_.tls_port, true)) == nullptr) return -1;
  if (conf_.users.empty())
    LOGW("no users configured: anyone who can reach the port may log in\n");
  LOGI("serving [%s] login=%s max_conn=%d\n", conf_.root.c_str(), conf_.login_sha ? "sha" : "challenge",
       conf_.max_conn);
  if (plain != nullptr) {
    port_ = plain->port;
    printf("wysd listening tcp %s\n", plain->addr.c_str());
  }
  if (tls != nullptr) {
    tls_port_ = tls->port;
    printf("wysd listening tls %s sha256=%s\n", tls->addr.c_str(), ssl_srv_conf_fp(tls_));
  }
  fflush(stdout);
  return 0;
}

void wysd_server::stop() {
  if (stopping_.exchange(true)) return;
  for (auto& l : listeners_) {
    os_thread_wait_kill_exit(l->thread, 5000, nullptr);
    os_socket_exit(l->sock);
  }
  listeners_.clear();
  std::unique_lock<std::mutex> lk(mu_);
  // Every session's waits end at once; each closes its own connection.
  for (auto& [p, s] : sessions_) s->nc.stop.store(1);
  g_idle.wait_for(lk, std::chrono::seconds(10), [this] { return active_ == 0; });
  if (active_ != 0) LOGW("%d sessions did not end in time\n", active_);
  ctxs_.clear();
  LOGI("stopped\n");
}

void wysd_server::accept_loop(listener* l) {
  while (!stopping_.load()) {
    int w = os_socket_wait_impl(l->sock, OS_SOCKET_WAIT_READ, 200);
    if (w <= 0) continue;
    os_ipaddr peer;
    os_socket_t c = os_socket_accept(l->sock, &peer);
    if (c == OS_SOCKET_NONE) continue;
    // Answers go out as soon as they are written: with Nagle on, a frame's
    // second write waited for the client's delayed acknowledgement.
    os_socket_ctrl(c, OS_SOCKET_CTRL_SET_TCP_NODELAY, 1);
    char buf[128];
    auto s = std::make_shared<wysd_session>();
    s->srv = this;
    s->peer = os_ipaddr_cstr(&peer, buf, sizeof buf);
    s->peer_ip = s->peer.substr(0, s->peer.rfind(':'));
    s->nc.handle = c;
    s->nc.timeout = 10000;
    s->tls = l->tls;
    bool full = false;
    {
      std::lock_guard<std::mutex> lk(mu_);
      full = active_ >= conf_.max_conn;
      if (!full) {
        active_++;
        sessions_[s.get()] = s;
      }
    }
    if (full) {
      LOGW("peer=%s refused: %d connections (max_conn)\n", s->peer.c_str(), conf_.max_conn);
      if (s->tls) {
        // A plain answer would be garbage to a TLS client, and a handshake
        // here would hold up the accept loop: only close.
        net_close(&s->nc);
        continue;
      }
      // One answer so the client can tell why, then the door closes.
      blob_buf b;
      int v = os_verr_get(EBUSY);
      wysd_srv_rsp_begin(&b, v, "too many connections");
      s->nc.timeout = 1000;
      wysd_srv_send_response(&s->nc, proto(), WYSD_CMD_LOGIN, &b);
      net_close(&s->nc);
      continue;
    }
    os_thread* t = os_thread_start("wysd_session", [this, s] {
      run_session(s);
      return 0;
    }, 0, nullptr);
    if (t == nullptr) {
      std::lock_guard<std::mutex> lk(mu_);
      sessions_.erase(s.get());
      active_--;
      net_close(&s->nc);
      continue;
    }
    os_thread_close(t);  // the session ends on its own and says so
  }
}

// ---------------------------------------------------------------------------
// Sessions

namespace {

/// What the next frame may take: before login the rest of the login
/// deadline, then the idle time.
int32_t next_wait_ms(const wysd_session* s, const wysd_conf& c) {
  if (s->logged_in) return c.idle_s * 1000;
  int64_t left = static_cast<int64_t>(s->start_ms) + c.login_s * 1000 - static_cast<int64_t>(os_clock_ms());
  return left > 0 ? static_cast<int32_t>(left) : 0;
}

}  // namespace

void wysd_server::run_session(std::shared_ptr<wysd_session> s) {
  s->start_ms = os_clock_ms();
  s->ctx = std::make_shared<wysd_ctx>();
  ctx_hold(s->ctx, &s->nc.stop);
  LOGI("peer=%s connected%s\n", s->peer.c_str(), s->tls ? " (tls)" : "");
  const char* why = "closed by peer";
  // The handshake counts against the login deadline: a peer that is not
  // TLS, or sends nothing, costs this thread no more than that.
  bool serve = true;
  std::string tls_why;
  if (s->tls && ssl_srv_accept(tls_, &s->nc, conf_.login_s * 1000, &tls_why) != 0) {
    LOGW("peer=%s %s\n", s->peer.c_str(), tls_why.c_str());
    why = "no TLS handshake";
    serve = false;
  } else if (s->tls) {
    LOGI("peer=%s tls suite=%s id=0x%04x\n", s->peer.c_str(), ssl_suite_name(&s->nc), ssl_suite_id(&s->nc));
  }
  while (serve) {
    int32_t wait = next_wait_ms(s.get(), conf_);
    if (wait <= 0) {
      why = "no login in time";
      break;
    }
    s->nc.timeout = wait;
    uint8_t code = 0;
    int32_t len = 0;
    bool too_long = false;
    int32_t max = s->logged_in ? conf_.max_frame : WYSD_PRELOGIN_FRAME;
    int st = wysd_srv_recv_request(&s->nc, &code, &s->rb, &len, max, &too_long);
    if (too_long) {
      LOGW("peer=%s frame of %d bytes refused (limit %d)\n", s->peer.c_str(), len, max);
      int v = os_verr_get(EMSGSIZE);
      wysd_srv_rsp_begin(&s->ctx->rsp, v, "frame too long");
      s->nc.timeout = 2000;
      wysd_srv_send_response(&s->nc, proto(), code, &s->ctx->rsp);
      why = "frame too long";
      break;
    }
    if (st != WYSD_ST_OK) {
      why = st == WYSD_ST_TIMEOUT_ERROR ? (s->logged_in ? "idle" : "no login in time")
            : s->nc.stop.load()          ? "stopped"
            : st == WYSD_ST_NET_DATA_ERROR ? "not a frame"
                                           : "closed by peer";
      break;
    }
    s->requests++;
    s->bytes_in += static_cast<uint64_t>(len) + 4;
    wysd_action a = wysd_dispatch(s.get(), code, len);
    if (a == WYSD_CLOSE) {
      // Nothing goes out: a goodbye has no answer, and a request that could
      // not be answered ends the connection instead.
      why = s->bye ? "bye" : "refused";
      break;
    }
    s->nc.timeout = conf_.idle_s * 1000;
    const blob_buf& r = s->ctx->rsp;
    if (wysd_srv_send_response(&s->nc, proto(), s->ctx->rsp_code, &r) != WYSD_ST_OK) {
      why = "send failed";
      break;
    }
    s->bytes_out += static_cast<uint64_t>(blob_buf_len(&r)) + 4;
  }
  LOGI("peer=%s user=[%s] %s: requests=%llu in=%llu out=%llu\n", s->peer.c_str(), s->user.c_str(), why,
       static_cast<unsigned long long>(s->requests), static_cast<unsigned long long>(s->bytes_in),
       static_cast<unsigned long long>(s->bytes_out));
  net_close(&s->nc);
  ctx_release(s->ctx, !s->bye && !stopping_.load());
  s->ctx.reset();
  std::lock_guard<std::mutex> lk(mu_);
  sessions_.erase(s.get());
  active_--;
  freed_at_ms_ = os_clock_ms();
  g_idle.notify_all();
}

// ---------------------------------------------------------------------------
// Contexts

uint64_t wysd_server::ctx_register(const std::shared_ptr<wysd_ctx>& c) {
  std::lock_guard<std::mutex> lk(mu_);
  if (c->id != 0) return c->id;
  uint64_t id = 0;
  for (int i = 0; i < 8 && (id == 0 || ctxs_.count(id) != 0); i++)
    if (os_random_bytes(&id, sizeof id) < 0) id = 0;
  if (id == 0 || ctxs_.count(id) != 0) return 0;
  c->id = id;
  ctxs_[id] = c;
  return id;
}

std::shared_ptr<wysd_ctx> wysd_server::ctx_find(uint64_t id, const std::string& user) {
  std::lock_guard<std::mutex> lk(mu_);
  auto it = ctxs_.find(id);
  if (it == ctxs_.end() || it->second->user != user) return nullptr;
  return it->second;
}

std::shared_ptr<wysd_ctx> wysd_server::ctx_take(uint64_t id, const std::string& user,
                                                std::atomic<int32_t>* stop, int* verr) {
  std::lock_guard<std::mutex> lk(mu_);
  auto it = ctxs_.find(id);
  if (it == ctxs_.end()) {
    *verr = os_verr_get(ENOENT);
    return nullptr;
  }
  std::shared_ptr<wysd_ctx> c = it->second;
  if (c->user != user) {
    *verr = os_verr_get(EACCES);
    return nullptr;
  }
  if (c->running) {
    *verr = os_verr_get(EBUSY);
    return nullptr;
  }
  c->running = true;
  c->owner_stop = stop;
  c->park_until_ms = 0;
  return c;
}

int wysd_server::ctx_stop(uint64_t id, const std::string& user) {
  std::lock_guard<std::mutex> lk(mu_);
  auto it = ctxs_.find(id);
  if (it == ctxs_.end() || it->second->user != user) return os_verr_get(ENOENT);
  if (it->second->owner_stop != nullptr) it->second->owner_stop->store(1);
  return 0;
}

int wysd_server::ctx_running(uint64_t id, const std::string& user) {
  std::lock_guard<std::mutex> lk(mu_);
  auto it = ctxs_.find(id);
  if (it == ctxs_.end() || it->second->user != user) return -1;
  return it->second->running ? 1 : 0;
}

void wysd_server::ctx_hold(const std::shared_ptr<wysd_ctx>& c, std::atomic<int32_t>* stop) {
  std::lock_guard<std::mutex> lk(mu_);
  c->running = true;
  c->owner_stop = stop;
}

void wysd_server::ctx_release(const std::shared_ptr<wysd_ctx>& c, bool park) {
  std::shared_ptr<wysd_ctx> drop;  // freed outside the lock: closing files takes time
  std::lock_guard<std::mutex> lk(mu_);
  c->running = false;
  c->owner_stop = nullptr;
  if (c->id == 0) return;
  if (park && conf_.ctx_keep_s > 0) {
    c->park_until_ms = os_clock_ms() + static_cast<uint64_t>(conf_.ctx_keep_s) * 1000;
    LOGI("ctx %llu of [%s] parked for %d s\n", static_cast<unsigned long long>(c->id), c->user.c_str(),
         conf_.ctx_keep_s);
    return;
  }
  auto it = ctxs_.find(c->id);
  if (it != ctxs_.end() && it->second == c) {
    drop = it->second;
    ctxs_.erase(it);
  }
}

void wysd_server::sweep() {
  bool release = false;
  {
    std::vector<std::shared_ptr<wysd_ctx>> expired;  // freed outside the lock
    std::lock_guard<std::mutex> lk(mu_);
    uint64_t now = os_clock_ms();
    for (auto it = ctxs_.begin(); it != ctxs_.end();) {
      const wysd_ctx& c = *it->second;
      if (!c.running && c.park_until_ms != 0 && c.park_until_ms <= now) {
        LOGI("ctx %llu of [%s] expired\n", static_cast<unsigned long long>(c.id), c.user.c_str());
        expired.push_back(it->second);
        it = ctxs_.erase(it);
      } else {
        ++it;
      }
    }
    if (!expired.empty()) freed_at_ms_ = now;
    // What ended sessions and expired contexts freed (their buffers are
    // sized to the largest frame they saw) goes back to the system once
    // none has ended for a while: a busy server keeps reusing it instead
    // of paying for fresh pages with every connection.
    if (freed_at_ms_ != 0 && now - freed_at_ms_ >= kReleaseQuietMs) {
      freed_at_ms_ = 0;
      release = true;
    }
  }
  if (release) {
    long before = os_mem_resident_kib();
    os_mem_release();
    LOGD("quiet: memory released, resident %ld -> %ld KiB\n", before, os_mem_resident_kib());
  }
}

int wysd_server::login_failed(const std::string& ip) {
  std::lock_guard<std::mutex> lk(mu_);
  uint32_t n = ++fails_[ip];
  if (fails_.size() > 4096) fails_.clear();  // bounded: a flood of peers forgets
  LOGW("peer=%s failed login #%u\n", ip.c_str(), n);
  // One second, growing with the peer's failures, at most five.
  return static_cast<int>(1000 * (n < 5 ? n : 5));
}
