// The client connection: URL options, connect and login, the packing and
// the server's version, status to error record, reconnecting, and the
// repair of a lost response by attaching the server context again.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <strings.h>
#include <thread>

#include "liblog.h"
#include "libpwd.h"
#include "libssl.h"
#include "libwysd.h"
#include "pal_hash.h"
#include "pal_url.h"
#include "wysd_cli_imp.h"

WY_LOG_TAG("sdcli");

namespace {

constexpr uint16_t kPortPlain = 6688;
constexpr uint16_t kPortTls = 6686;
constexpr int32_t kResultCap = 4096;

// A query value cut to `max` characters; empty when absent.
std::string query_value(const char* query, const char* key, size_t max) {
  std::string out(URL_BUF_SIZE, '\0');
  if (url_query_get_value(query, key, out.data(), out.size()) != 0) return std::string();
  out.resize(strnlen(out.c_str(), max));
  return out;
}

// Whole seconds of an option as milliseconds; `def` when absent, empty or
// not positive.
int32_t seconds_ms(const char* query, const char* key, int32_t def) {
  std::string v = query_value(query, key, 15);
  long s = strtol(v.c_str(), nullptr, 10);
  if (s <= 0) return def;
  if (s > INT32_MAX / 1000) s = INT32_MAX / 1000;
  return static_cast<int32_t>(s * 1000);
}

// A size option; `def` when absent or not a positive size, at most `max`.
int64_t size_opt(const char* query, const char* key, int64_t def, int64_t max) {
  std::string v = query_value(query, key, 31);
  uint64_t n = str_size_parse(v.c_str());
  if (n == 0) return def;
  return n > static_cast<uint64_t>(max) ? max : static_cast<int64_t>(n);
}

// The TLS handshake on the connected socket, with the pin of the URL's
// "ssl-fp". Returns 0, or -1 with the cause in *why.
int cli_ssl_connect(wysd_cli_ctx* ctx, ssl_cli_result* res) {
  void* ssl = ssl_cli_connect(&ctx->nc, ctx->cipher.c_str(), ctx->ssl_fp.c_str(), res);
  if (ssl == nullptr) return -1;
  ctx->nc.ssl = ssl;
  return 0;
}

// One request whose message is in ctx->req: send, receive, parse with the
// response set of `code` into tb. Returns a status.
int exchange(wysd_cli_ctx* ctx, int code, const blob_attr** tb) {
  const wysd_msg_policy* pol = wysd_msg_policy_get(code);
  client_send_reqest(ctx, code, blob_buf_data(&ctx->req), blob_buf_len(&ctx->req));
  int32_t len = 0;
  int st = client_recv_response(ctx, &len);
  if (st != WYSD_ST_OK) {
    LOGD("client_recv_response ret=%d error: %s\n", st, client_status_str(st));
    return st;
  }
  LOGV("client_recv_response len=%d\n", len);
  st = client_parse_response(ctx, len, pol->rsp, pol->rsp_n, tb);
  if (st == WYSD_ST_NET_DATA_ERROR) LOGV("blobmsg_parse ret=%d\n", -1);
  return st;
}

// The one-step login: the password as "{SHA}" and its digest in base64.
int cli_init1(wysd_cli_ctx* ctx, const char* user, const char* pw) {
  std::string passwd;
  if (*pw != '\0') {
    uint8_t dig[SHA1_DIGEST_SIZE];
    if (hash_sha1(pw, strlen(pw), dig) != 0) return WYSD_ST_MEMORY_ERROR;
    passwd = "{SHA}" + base64_encode(dig, sizeof dig);
  }
  if (blob_buf_init(&ctx->req) < 0 || blobmsg_add_string(&ctx->req, "user", user) < 0 ||
      blobmsg_add_string(&ctx->req, "passwd", passwd.c_str()) < 0)
    return WYSD_ST_MEMORY_ERROR;
  const blob_attr* tb[3];
  return exchange(ctx, WYSD_CMD_LOGIN, tb);
}

// The challenge login: the server's "cert", then the key built from it.
int cli_init2(wysd_cli_ctx* ctx, const char* user, const char* pw) {
  if (blob_buf_init(&ctx->req) < 0 || blobmsg_add_string(&ctx->req, "user", user) < 0 ||
      blobmsg_add_u32(&ctx->req, "ver", 1) < 0)
    return WYSD_ST_MEMORY_ERROR;
  const blob_attr* tb[4];
  int st = exchange(ctx, WYSD_CMD_LOGIN2, tb);
  if (st != WYSD_ST_OK) return st;
  const char* c = blobmsg_get_string(tb[3]);
  std::string cert(c, strnlen(c, 256));
  char key[LIBPWD_KEY_SIZE] = {};
  if (libpwd_build_key(user, pw, cert.c_str(), key, sizeof key) != 0) return WYSD_ST_MEMORY_ERROR;
  if (blob_buf_init(&ctx->req) < 0 || blobmsg_add_string(&ctx->req, "lkey", key) < 0)
    return WYSD_ST_MEMORY_ERROR;
  const blob_attr* tb3[2];
  return exchange(ctx, WYSD_CMD_LOGIN3, tb3);
}


// A decimal result of a control ("" counts as 0).
uint64_t result_u64(const char* s) { return strtoull(s, nullptr, 10); }

// Waits `ms`, ending early when the stream is asked to stop. False when it was.
bool pause_ms(wysd_cli_ctx* ctx, int ms) {
  for (int waited = 0; waited < ms; waited += 50) {
    if (ctx->nc.stop.load() != 0) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return ctx->nc.stop.load() == 0;
}

// Reconnects, attaches the server context again and brings back the
// response of request `code` (message `msg`).
int client_fix_last_error_imp(wysd_cli_ctx* ctx, int code, const std::vector<uint8_t>& msg, int32_t* len) {
  LOGD("==>\n");
  for (int attempt = 1;; attempt++) {
    if (wysd_cli_reconnect(ctx) == 0) break;
    const cdir_err* e = ctx->err;
    LOGD("wysd_cli_reconnect eno=%d erorr: %s\n", e->verr, e->msg.empty() ? verr2str(e->verr) : e->msg.c_str());
    if (e->verr != -40 || attempt >= 3) return WYSD_ST_NET_ERROR;
  }
  LOGD("wysd_cli_reconnect ok\n");
  std::string addr = std::to_string(ctx->srv_ctx_id);
  auto alen = static_cast<int32_t>(addr.size() + 1);
  char out[kResultCap + 1] = {};
  int32_t olen = 0;
  int st = cli_ioctl2_imp(ctx, 0, WYSD_IOCTL2_CTX_REQ_STOP, addr.c_str(), alen, nullptr, 0, nullptr);
  if (st != WYSD_ST_OK) {
    LOGD("WYSD_IOCTL2_CTX_REQ_STOP addr=%s ret=%d error:%s\n", addr.c_str(), st, client_status_str(st));
    return st;
  }
  // The old session needs a moment to notice the stop and give the
  // context back.
  if (!pause_ms(ctx, 1000)) return WYSD_ST_USER_STOP;
  st = cli_ioctl2_imp(ctx, 0, WYSD_IOCTL2_CTX_RUN_STATUS, addr.c_str(), alen, out, kResultCap, &olen);
  if (st != WYSD_ST_OK) {
    LOGD("WYSD_IOCTL2_CTX_RUN_STATUS addr=%s ret=%d failed\n", addr.c_str(), st);
    return st;
  }
  out[olen] = '\0';
  LOGD("run status=[%s]\n", out);
  if (atoi(out) == 1) {
    LOGD("ctx thread now is runing\n");
    return WYSD_ST_NET_ERROR;
  }
  st = cli_ioctl2_imp(ctx, 0, WYSD_IOCTL2_GET_LAST_CMD_IDX, addr.c_str(), alen, out, kResultCap, &olen);
  if (st != WYSD_ST_OK) {
    LOGD("WYSD_IOCTL2_GET_LAST_CMD_IDX addr=%s ret=%d failed\n", addr.c_str(), st);
    return st;
  }
  out[olen] = '\0';
  uint64_t last = result_u64(out);
  uint64_t sent = ctx->cmd_send_count;
  if (last == sent) {
    // The server ran it: its stored response comes again.
    LOGD("WYSD_IOCTL2_ATTACH_CTX_REPLY\n");
    st = cli_ioctl2_imp(ctx, 0, WYSD_IOCTL2_ATTACH_CTX_REPLY, addr.c_str(), alen, nullptr, 0, nullptr);
    if (st != WYSD_ST_OK) {
      LOGD("WYSD_IOCTL2_ATTACH_CTX_REPLY addr=%s ret=%d failed\n", addr.c_str(), st);
      return st;
    }
    return client_recv_response_imp(ctx, len);
  }
  if (sent == last + 1) {
    // It never ran: attach, then send it again.
    LOGD("WYSD_IOCTL2_ATTACH_CTX\n");
    st = cli_ioctl2_imp(ctx, 0, WYSD_IOCTL2_ATTACH_CTX, addr.c_str(), alen, nullptr, 0, nullptr);
    if (st != WYSD_ST_OK) {
      LOGD("WYSD_IOCTL2_ATTACH_CTX addr=%s ret=%d failed\n", addr.c_str(), st);
      return st;
    }
    client_send_reqest(ctx, code, msg.data(), static_cast<int32_t>(msg.size()));
    return client_recv_response_imp(ctx, len);
  }
  LOGE("cmd_send_count=%llu srv_last_idx=%llu [%s]\n", static_cast<unsigned long long>(sent),
       static_cast<unsigned long long>(last), out);
  return WYSD_ST_NET_ERROR;
}

}  // namespace

// The probe with user ":" first: a server that needs no credentials lets
// it in; one that answers code 1 gets the login its protocol byte names.
int cli_login(wysd_cli_ctx* ctx) {
  ctx->srv_errno = 0;
  int st = cli_init1(ctx, ":", "");
  if (st != WYSD_ST_SRV_ERROR || ctx->srv_errno != 1) return st;
  if (ctx->srv_proto == 1) return cli_init1(ctx, ctx->user.c_str(), ctx->passwd.c_str());
  return cli_init2(ctx, ctx->user.c_str(), ctx->passwd.c_str());
}

int wysd_cli_read_opts(const char* url, wysd_cli_opts* o, cdir_err* err) {
  std::string buf(URL_BUF_SIZE, '\0');
  url_t u;
  if (url == nullptr || url_parser(&u, buf.data(), buf.size(), url) != 0) {
    CDIR_ERR_SET(err, -2, "%s", "");
    return -1;
  }
  o->ssl = strcasecmp(u.scheme, "wyps") == 0;
  o->host = u.host;
  o->port = u.port > 0 && u.port <= 65535 ? static_cast<uint16_t>(u.port) : (o->ssl ? kPortTls : kPortPlain);
  o->user = u.user;
  o->passwd = u.password;
  const char* q = u.query;
  o->connect_timeout = seconds_ms(q, "connect_timeout", 4000);
  o->read_timeout = seconds_ms(q, "read_timeout", 10000);
  o->write_timeout = seconds_ms(q, "write_timeout", 8000);
  // The server must give up a stuck write before our read of its answer does.
  if (o->write_timeout > o->read_timeout - 1000) o->write_timeout = o->read_timeout - 1000;
  o->pack = query_value(q, "pack", 15);
  if (o->pack.empty()) o->pack = "lz4";
  std::string purl = query_value(q, "proxy_url", 8191);
  o->proxy_url.clear();
  if (!purl.empty() && base64_decode(purl, &o->proxy_url) < 0) {
    CDIR_ERR_SET(err, -2, "proxy_url is not base64");
    return -1;
  }
  o->proxy = query_value(q, "proxy", 255);
  o->block_size = static_cast<int32_t>(size_opt(q, "mblock-size", 10485760, WYSD_CLI_BLOCK_MAX));
  o->rdir_size = static_cast<int32_t>(size_opt(q, "rdir-size", 1048576, INT32_MAX));
  o->sock_bufsize = static_cast<uint32_t>(size_opt(q, "sock-bufsize", 262144, INT32_MAX));
  o->cipher = query_value(q, "ssl-cipher", 47);
  std::string fp = query_value(q, "ssl-fp", 127);
  o->ssl_fp.clear();
  if (!fp.empty() && ssl_fp_normalise(fp.c_str(), &o->ssl_fp) != 0) {
    CDIR_ERR_SET(err, -2, "ssl-fp [%s] is not a SHA-256 fingerprint (64 hex digits)", fp.c_str());
    return -1;
  }
  return 0;
}

bool wysd_info_value(const char* text, const char* key, size_t max, std::string* out) {
  out->clear();
  std::string_view all(text != nullptr ? text : "");
  size_t pos = 0;
  while (pos < all.size()) {
    size_t nl = all.find('\n', pos);
    std::string_view line = all.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
    pos = nl == std::string_view::npos ? all.size() : nl + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) return false;
    std::string_view k = line.substr(0, eq);
    while (!k.empty() && (k.front() == ' ' || k.front() == '\t')) k.remove_prefix(1);
    while (!k.empty() && (k.back() == ' ' || k.back() == '\t')) k.remove_suffix(1);
    if (k != key) continue;
    std::string_view rest = line.substr(eq + 1);
    size_t open = rest.find('['), close = rest.rfind(']');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open) return false;
    std::string_view v = rest.substr(open + 1, close - open - 1);
    if (v.size() > max) return false;
    out->assign(v);
    return true;
  }
  return false;
}

void wysd_parse_info(const char* text, wysd_srv_info* out) {
  wysd_info_value(text, "ver", 31, &out->ver);
  wysd_info_value(text, "plat", 63, &out->plat);
  wysd_info_value(text, "arch", 63, &out->arch);
  wysd_info_value(text, "bit", 7, &out->bit);
  wysd_info_value(text, "order", 15, &out->order);
  wysd_info_value(text, "is_root", 3, &out->is_root);
}

void wysd_cli_apply_info(wysd_cli_ctx* ctx, const wysd_srv_info& info) {
  ctx->srv_ver = info.ver;
  ctx->pos_io = str_version_to_u64(info.ver.c_str()) >= str_version_to_u64("1.6.4");
  ctx->win_srv = info.plat == "windows";
}

int wysd_cli_init() {
  static std::atomic<bool> done{false};
  if (done.exchange(true)) {
    LOGV("==>\n");
    return 0;
  }
  // The response sets are constant tables; the TLS configuration is built
  // once here and released by the transport's teardown at the end of the run.
  libssl_init();
  sock_env_init([] { libssl_exit(); });
  return 0;
}

cdir_err* wysd_cli_err(wysd_cli_ctx* ctx) { return ctx->err; }
const char* wysd_cli_srv_ver(const wysd_cli_ctx* ctx) { return ctx->srv_ver.c_str(); }
void wysd_cli_stop(wysd_cli_ctx* ctx) { ctx->nc.stop.store(1); }

void wysd_cli_resume(wysd_cli_ctx* ctx) { ctx->nc.stop.store(0); }

wysd_cli_ctx* cli_get_ctx(void* handle, int64_t* fd) {
  if (handle == nullptr) return nullptr;
  int32_t kind = *static_cast<const int32_t*>(handle);
  if (kind == 0) return static_cast<wysd_cli_ctx*>(handle);
  if (kind == 1) {
    auto* f = static_cast<wysd_cli_file*>(handle);
    if (fd != nullptr) *fd = f->fd;
    return f->conn;
  }
  LOGE("invalid handle\n");
  return nullptr;
}

void wysd_cli_set_last_error(wysd_cli_ctx* ctx, int status) {
  cdir_err* e = ctx->err;
  switch (status) {
    case WYSD_ST_OK:
      CDIR_ERR_SET(e, 0, "%s", "");
      break;
    case WYSD_ST_NET_ERROR: {
      int eno = os_socket_errno_get();
      if (eno != 0)
        CDIR_ERR_SET(e, os_verr_get(eno), "%s", os_errno_str(eno, nullptr, 0));
      else
        CDIR_ERR_SET(e, -400, "read data net error");
      break;
    }
    case WYSD_ST_NET_DATA_ERROR:
      CDIR_ERR_SET(e, -466, "read data content error");
      break;
    case WYSD_ST_TIMEOUT_ERROR:
    case WYSD_ST_DATA_LEN_ERROR:
      CDIR_ERR_SET(e, -40, "read data timeout");
      break;
    case WYSD_ST_SRV_ERROR:
      CDIR_ERR_SET(e, ctx->srv_errno, "%s", ctx->srv_errstr.c_str());
      break;
    case WYSD_ST_MEMORY_ERROR:
      CDIR_ERR_SET(e, -8, "memory allocation failed");
      break;
    default:
      CDIR_ERR_SET(e, -1, "unkown error=%d", status);
      break;
  }
}

int cli_info(wysd_cli_ctx* ctx, char* buf, size_t size) {
  if (blob_buf_init(&ctx->req) < 0 || blobmsg_add_string(&ctx->req, "param", "") < 0)
    return WYSD_ST_MEMORY_ERROR;
  const blob_attr* tb[3];
  int st = exchange(ctx, WYSD_CMD_INFO, tb);
  if (st != WYSD_ST_OK) return st;
  if (buf != nullptr && size > 0) str_cpy(buf, size, blobmsg_get_string(tb[2]));
  return WYSD_ST_OK;
}

// The version query: the server's facts into the connection.
static int wysd_cli_ver_info(wysd_cli_ctx* ctx) {
  std::string info(kResultCap, '\0');
  int st = cli_info(ctx, info.data(), info.size());
  wysd_cli_set_last_error(ctx, st);
  if (st != WYSD_ST_OK) return -1;
  wysd_srv_info si;
  wysd_parse_info(info.c_str(), &si);
  wysd_cli_apply_info(ctx, si);
  LOGV("ver=%s os=%s.%s.%s order=%s is_root=%s\n", si.ver.c_str(), si.plat.c_str(), si.arch.c_str(),
       si.bit.c_str(), si.order.c_str(), si.is_root.c_str());
  return 0;
}

wysd_cli_ctx* wysd_cli_connect(const char* url, cdir_err* err) {
  wysd_cli_opts o;
  if (wysd_cli_read_opts(url, &o, err) != 0) return nullptr;
  sock_connect_param param;
  param.connect_timeout = o.connect_timeout;
  param.buf_size = o.sock_bufsize;
  if (conf_proxy_get(o.proxy_url.c_str(), o.proxy.c_str(), &param.proxy, err) < 0) return nullptr;
  os_socket_t s = sock_tcp_connect(o.host.c_str(), o.port, &param, err);
  if (s == OS_SOCKET_NONE) {
    LOGD("sock_connect ip=%s port=%d connect_timeout=%d buf_size=%d failed\n", o.host.c_str(), o.port,
         o.connect_timeout, o.sock_bufsize);
    return nullptr;
  }
  auto* ctx = new (std::nothrow) wysd_cli_ctx;
  if (ctx == nullptr) {
    os_socket_exit(s);
    CDIR_ERR_SET(err, -8, "%s", "");
    return nullptr;
  }
  ctx->err = err != nullptr ? err : &ctx->own_err;
  ctx->nc.handle = static_cast<intptr_t>(s);
  ctx->nc.timeout = o.read_timeout;
  ctx->block_size = o.block_size;
  ctx->rdir_size = o.rdir_size;
  ctx->ssl = o.ssl;
  ctx->cipher = o.cipher;
  ctx->ssl_fp = o.ssl_fp;
  ssl_cli_result tls;
  if (ctx->ssl && cli_ssl_connect(ctx, &tls) != 0) {
    CDIR_ERR_SET(err, -1, "ssl_cli_connect failed: %s", tls.why.c_str());
    net_close(&ctx->nc);
    delete ctx;
    return nullptr;
  }
  ctx->sock_bufsize = o.sock_bufsize;
  ctx->host = o.host;
  ctx->port = o.port;
  ctx->connect_timeout = o.connect_timeout;
  ctx->read_timeout = o.read_timeout;
  ctx->write_timeout = o.write_timeout;
  ctx->user = o.user;
  ctx->passwd = o.passwd;
  str_cpy(ctx->pack.name, sizeof ctx->pack.name, o.pack.c_str());
  int st = cli_login(ctx);
  if (st != WYSD_ST_OK) {
    LOGD("cli_init ret=%d\n", st);
    wysd_cli_set_last_error(ctx, st);
    wysd_cli_exit_imp(ctx);
    return nullptr;
  }
  LOGV("ip=%s port=%d sock_bufsize=%d block_size=%d rdir_size=%d\n", ctx->host.c_str(), ctx->port,
       ctx->sock_bufsize, ctx->block_size, ctx->rdir_size);
  LOGV("connect_timeout=%d read_timeout=%d write_timeout=%d\n", ctx->connect_timeout, ctx->read_timeout,
       ctx->write_timeout);
  // Never the password itself.
  LOGV("user=[%s] passwd=[%s] pack=[%s] bssl=[%d] cipher=[%s]\n", ctx->user.c_str(), "***", o.pack.c_str(),
       ctx->ssl ? 1 : 0, ctx->cipher.c_str());
  if (wysd_cli_ioctl(ctx, WYSD_IOCTL_PACK, o.pack.c_str(), -1) != 0 || wysd_cli_ver_info(ctx) != 0) {
    wysd_cli_exit_imp(ctx);
    return nullptr;
  }
  return ctx;
}

int wysd_cli_exit_imp(wysd_cli_ctx* ctx) {
  if (ctx == nullptr) return 0;
  LOGV("==>\n");
  wysd_cli_close_all(ctx);
  int st = WYSD_ST_OK;
  if (ctx->nc.handle != 0 || ctx->nc.type != NET_SOCK_TYPE) {
    uint8_t empty[4];
    blob_buf b;
    if (blob_buf_init(&b) == 0) {
      memcpy(empty, blob_buf_data(&b), 4);
      st = wysd_send_request(&ctx->nc, WYSD_CMD_BYE, empty, 4);
    }
  }
  net_close(&ctx->nc);
  delete ctx;
  LOGV("<==\n");
  return st;
}

int wysd_cli_set_auto_reconnect(wysd_cli_ctx* ctx) {
  if (wysd_cli_ioctl2(ctx, WYSD_IOCTL2_NEW_CTX, "0", -1, nullptr, 0, nullptr) != 0) return -1;
  char out[kResultCap + 1] = {};
  int32_t olen = 0;
  if (wysd_cli_ioctl2(ctx, WYSD_IOCTL2_GET_CTX, nullptr, 0, out, kResultCap, &olen) != 0) return -1;
  out[olen] = '\0';
  ctx->srv_ctx_id = result_u64(out);
  ctx->auto_reconnect = true;
  return 0;
}

void wysd_cli_clear_auto_reconnect(wysd_cli_ctx* ctx) { ctx->auto_reconnect = false; }

namespace {

bool stream_stop_requested(void* data, int32_t) { return static_cast<net_conn*>(data)->stop.load() != 0; }

}  // namespace

int wysd_cli_reconnect(wysd_cli_ctx* ctx) {
  // Closing clears the stream's marks; a stop asked for before must still
  // win, or a Ctrl+C during a repair would wait for its connects and login.
  int32_t stop = ctx->nc.stop.load();
  net_close(&ctx->nc);
  ctx->nc.type = NET_SOCK_TYPE;
  if (stop != 0) {
    ctx->nc.stop.store(stop);
    CDIR_ERR_SET(ctx->err, -1, "User request stop");
    return -1;
  }
  sock_connect_param param;
  param.connect_timeout = ctx->connect_timeout;
  param.buf_size = ctx->sock_bufsize;
  stop_ctl sc;  // a stop during the connect ends it too
  sc.should_stop = stream_stop_requested;
  sc.data = &ctx->nc;
  param.sc = &sc;
  cdir_err why;
  os_socket_t s = sock_tcp_connect(ctx->host.c_str(), ctx->port, &param, &why);
  if (s == OS_SOCKET_NONE) {
    CDIR_ERR_SET(ctx->err, -40, "connect timeout error");
    return -1;
  }
  ctx->nc.handle = static_cast<intptr_t>(s);
  ssl_cli_result tls;
  if (ctx->ssl && cli_ssl_connect(ctx, &tls) != 0) {
    // Another certificate than the pinned one is no network trouble to wait
    // out: the repair must not try again.
    if (tls.pin_mismatch)
      CDIR_ERR_SET(ctx->err, -1, "ssl_cli_connect failed: %s", tls.why.c_str());
    else
      CDIR_ERR_SET(ctx->err, -40, "ssl connect timeout error");
    net_close(&ctx->nc);
    return -1;
  }
  int st = cli_login(ctx);
  if (st != WYSD_ST_OK) {
    wysd_cli_set_last_error(ctx, st);
    return -1;
  }
  return 0;
}

int wysd_cli_restart_work(wysd_cli_ctx* ctx, wysd_cli_file* f) {
  LOGD("==>\n");
  if (wysd_cli_reconnect(ctx) != 0) return -1;
  if (f != nullptr) {
    int64_t fd = 0;
    int st = cli_open(ctx, f->path.c_str(), f->flags, &fd);
    wysd_cli_set_last_error(ctx, st);
    if (st != WYSD_ST_OK) return -1;
    f->fd = fd;
    f->rd_timeout_pending = f->wr_timeout_pending = ctx->win_srv;
    uint64_t at = 0;
    st = cli_seek(ctx, fd, f->offset, &at);
    wysd_cli_set_last_error(ctx, st);
    if (st != WYSD_ST_OK) {
      LOGD("seek: offset=%llu ctx->offset=%llu error\n", static_cast<unsigned long long>(-1),
           static_cast<unsigned long long>(f->offset));
      return -1;
    }
  }
  int r = wysd_cli_ioctl(ctx, WYSD_IOCTL_PACK, ctx->pack.name, -1);
  if (r != 0) {
    LOGD("wysd_cli_ioctl WYSD_IOCTL_PACK %s error=%d\n", ctx->pack.name, r);
    return -1;
  }
  return 0;
}

int client_fix_last_error(wysd_cli_ctx* ctx, int32_t* len) {
  LOGD("==>\n");
  int code = ctx->last_cmd;
  const uint8_t* m = blob_buf_data(&ctx->req);
  std::vector<uint8_t> msg;
  if (m != nullptr && ctx->req_ext != nullptr) {
    // Data sent from the caller's memory goes again whole: the message up
    // to it, the data and its zero padding.
    msg.assign(m, m + ctx->req_head);
    msg.insert(msg.end(), ctx->req_ext, ctx->req_ext + ctx->req_ext_len);
    msg.resize(static_cast<size_t>(blob_buf_len(&ctx->req)), 0);
  } else if (m != nullptr) {
    msg.assign(m, m + blob_buf_len(&ctx->req));
  }
  // The requests of the repair itself are whole messages.
  ctx->req_ext = nullptr;
  ctx->req_ext_len = ctx->req_head = 0;
  ctx->fixing = true;
  int st = client_fix_last_error_imp(ctx, code, msg, len);
  ctx->fixing = false;
  if (st != WYSD_ST_OK) return st;
  // The lost response is in the receive buffer; the count query below
  // must not overwrite it for good.
  std::vector<uint8_t> rsp(ctx->rbuf.buf.get(), ctx->rbuf.buf.get() + *len);
  char out[kResultCap + 1] = {};
  int32_t olen = 0;
  st = cli_ioctl2_imp(ctx, 0, WYSD_IOCTL2_GET_LAST_CMD_IDX, "0", 2, out, kResultCap, &olen);
  if (st != WYSD_ST_OK) {
    LOGE("WYSD_IOCTL2_GET_LAST_CMD_IDX addr=[%s] ret=%d failed\n", "0", st);
    return st;
  }
  out[olen] = '\0';
  ctx->cmd_send_count = result_u64(out) + 1;
  // The buffer only grows, so it still holds the saved response's size.
  memcpy(ctx->rbuf.buf.get(), rsp.data(), rsp.size());
  *len = static_cast<int32_t>(rsp.size());
  LOGD("last_cmd_len=%d cmd_send_count=%llu fix ok\n", *len, static_cast<unsigned long long>(ctx->cmd_send_count));
  return WYSD_ST_OK;
}
