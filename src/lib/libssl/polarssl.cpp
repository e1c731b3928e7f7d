// The TLS channel: the shared random generator, the socket callbacks with
// the handshake deadline, the read/write/close hooks, and the client with its
// process-wide configuration and certificate pin.
#include <mbedtls/error.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/sha256.h>
#include <mbedtls/ssl_ciphersuites.h>
#include <mbedtls/x509_crt.h>
#include <strings.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <new>

#include "liblog.h"
#include "libssl.h"
#include "ssl_imp.h"

WY_LOG_TAG("sslcli");

// ---------------------------------------------------------------------------
// Shared pieces

ssl_rng::ssl_rng() {
  mbedtls_entropy_init(&entropy);
  mbedtls_ctr_drbg_init(&drbg);
}

ssl_rng::~ssl_rng() {
  mbedtls_ctr_drbg_free(&drbg);
  mbedtls_entropy_free(&entropy);
}

int ssl_rng::seed(const char* pers) {
  return mbedtls_ctr_drbg_seed(&drbg, mbedtls_entropy_func, &entropy,
                               reinterpret_cast<const unsigned char*>(pers), strlen(pers));
}

int ssl_rng_random(void* rng, unsigned char* out, size_t len) {
  auto* r = static_cast<ssl_rng*>(rng);
  std::lock_guard<std::mutex> lk(r->mu);
  return mbedtls_ctr_drbg_random(&r->drbg, out, len);
}

std::string ssl_err_text(int ret) {
  char buf[512] = {};
  mbedtls_strerror(ret, buf, sizeof buf);
  return buf;
}

namespace {

// During the handshake each socket call gets only what is left of the
// deadline; afterwards the connection's own time-out per call.
bool narrow_timeout(ssl_chan* ch, int32_t* saved) {
  net_conn* nc = ch->nc;
  *saved = nc->timeout;
  if (ch->deadline_ms == 0) return true;
  int64_t left = ch->deadline_ms - os_clock_ms();
  if (left <= 0) return false;
  if (left < nc->timeout) nc->timeout = static_cast<int32_t>(left);
  return true;
}

int bio_send(void* ctx, const unsigned char* buf, size_t len) {
  auto* ch = static_cast<ssl_chan*>(ctx);
  int32_t saved = 0;
  if (!narrow_timeout(ch, &saved)) return MBEDTLS_ERR_SSL_TIMEOUT;
  int n = static_cast<int>(std::min<size_t>(len, INT_MAX));
  int r = net_sock_write(ch->nc, buf, n);
  ch->nc->timeout = saved;
  // Nothing moved within the time-out is a failure, not a retry: the library
  // would call again at once.
  if (r > 0) return r;
  return r == 0 && ch->nc->disconnected.load() == 0 ? MBEDTLS_ERR_SSL_TIMEOUT : MBEDTLS_ERR_NET_SEND_FAILED;
}

int bio_recv(void* ctx, unsigned char* buf, size_t len) {
  auto* ch = static_cast<ssl_chan*>(ctx);
  int32_t saved = 0;
  if (!narrow_timeout(ch, &saved)) return MBEDTLS_ERR_SSL_TIMEOUT;
  int n = static_cast<int>(std::min<size_t>(len, INT_MAX));
  int r = net_sock_read(ch->nc, buf, n);
  ch->nc->timeout = saved;
  if (r > 0) return r;
  if (r < 0) return MBEDTLS_ERR_NET_RECV_FAILED;
  // 0: the peer closed (the library reports the end of the connection) or
  // the time-out passed.
  return ch->nc->disconnected.load() != 0 ? 0 : MBEDTLS_ERR_SSL_TIMEOUT;
}

ssl_chan* chan_of(const net_conn* nc) { return nc != nullptr ? static_cast<ssl_chan*>(nc->ssl) : nullptr; }

}  // namespace

int ssl_chan_handshake(ssl_chan* ch, const mbedtls_ssl_config* conf, net_conn* nc, int32_t deadline_ms,
                       std::string* why) {
  ch->nc = nc;
  int ret = mbedtls_ssl_setup(&ch->ssl, conf);
  if (ret != 0) {
    LOGE("mbedtls_ssl_setup failed\n");
    *why = "mbedtls_ssl_setup failed: " + ssl_err_text(ret);
    return ret;
  }
  mbedtls_ssl_set_bio(&ch->ssl, ch, bio_send, bio_recv, nullptr);
  ch->deadline_ms = os_clock_ms() + (deadline_ms > 0 ? deadline_ms : 1);
  ret = mbedtls_ssl_handshake(&ch->ssl);
  ch->deadline_ms = 0;
  if (ret != 0) {
    std::string text = ssl_err_text(ret);
    LOGE("mbedtls_ssl_handshake eno=%d err=[%s]\n", ret, text.c_str());
    *why = "TLS handshake failed: " + text;
  }
  return ret;
}

void ssl_chan_install(ssl_chan* ch) {
  net_conn* nc = ch->nc;
  nc->ssl = ch;
  nc->read_proc = ssl_recv_proc;
  nc->write_proc = ssl_send_proc;
  nc->close_proc = ssl_close_proc;
}

int ssl_recv_proc(net_conn* nc, void* buf, int len) {
  ssl_chan* ch = chan_of(nc);
  if (ch == nullptr || len < 0) return -1;
  int64_t start = os_clock_ms();
  auto* p = static_cast<unsigned char*>(buf);
  int got = 0;
  while (got < len) {
    int r = mbedtls_ssl_read(&ch->ssl, p + got, static_cast<size_t>(len - got));
    if (r > 0) {
      got += r;
      continue;
    }
    if (r == 0 || r == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY) {
      // The peer ended the connection: what came is the rest there is.
      nc->disconnected.store(1);
      return got > 0 ? got : -1;
    }
    if (r != MBEDTLS_ERR_SSL_WANT_READ && r != MBEDTLS_ERR_SSL_WANT_WRITE) {
      LOGV("mbedtls_ssl_read = %d\n", r);
      return -1;
    }
    if (os_clock_ms() - start >= nc->timeout) break;
  }
  return got;
}

int ssl_send_proc(net_conn* nc, const void* buf, int len) {
  ssl_chan* ch = chan_of(nc);
  if (ch == nullptr || len < 0) return -1;
  int64_t start = os_clock_ms();
  const auto* p = static_cast<const unsigned char*>(buf);
  int sent = 0;
  while (sent < len) {
    int r = mbedtls_ssl_write(&ch->ssl, p + sent, static_cast<size_t>(len - sent));
    if (r > 0) {
      sent += r;
      continue;
    }
    if (r < 0 && r != MBEDTLS_ERR_SSL_WANT_READ && r != MBEDTLS_ERR_SSL_WANT_WRITE) {
      LOGV("mbedtls_ssl_write = %d\n", r);
      return -1;
    }
    if (os_clock_ms() - start >= nc->timeout) break;
  }
  return sent;
}

void ssl_close_proc(net_conn* nc) {
  ssl_chan* ch = chan_of(nc);
  if (ch == nullptr) return;
  if (nc->handle != 0) {
    // A courtesy to the peer: a dead connection must not hold the close up.
    int32_t saved = nc->timeout;
    nc->timeout = saved > 0 && saved < 1000 ? saved : 1000;
    mbedtls_ssl_close_notify(&ch->ssl);
    nc->timeout = saved;
  }
  delete ch;
  nc->ssl = nullptr;
  nc->read_proc = nullptr;
  nc->write_proc = nullptr;
  nc->close_proc = nullptr;
}

int ssl_suite_id(const net_conn* nc) {
  const char* name = ssl_suite_name(nc);
  return *name != '\0' ? mbedtls_ssl_get_ciphersuite_id(name) : 0;
}

const char* ssl_suite_name(const net_conn* nc) {
  ssl_chan* ch = chan_of(nc);
  if (ch == nullptr) return "";
  const char* n = mbedtls_ssl_get_ciphersuite(&ch->ssl);
  return n != nullptr ? n : "";
}

int ssl_fp_normalise(const char* text, std::string* out) {
  out->clear();
  if (text == nullptr) return -1;
  std::string hex;
  for (const char* p = text; *p != '\0'; p++) {
    char c = *p;
    if (c == ':') {
      // Only between pairs, as "openssl x509 -fingerprint" prints them.
      if (hex.empty() || hex.size() % 2 != 0 || p[1] == '\0') return -1;
      continue;
    }
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return -1;
    hex += c;
    if (hex.size() > 64) return -1;
  }
  if (hex.size() != 64) return -1;
  *out = std::move(hex);
  return 0;
}

std::string ssl_fp_of_der(const uint8_t* der, size_t len) {
  unsigned char dig[32];
#if MBEDTLS_VERSION_NUMBER >= 0x03000000
  int r = mbedtls_sha256(der, len, dig, 0);
#else
  int r = mbedtls_sha256_ret(der, len, dig, 0);
#endif
  if (r != 0) return std::string();
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : dig) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

// ---------------------------------------------------------------------------
// The client

/// The suite list that "aes_256_ecb" forces: TLS-RSA-WITH-AES-256-CBC-SHA.
constexpr int kForcedSuite = 0x0035;

struct ssl_cli_conf {
  ssl_rng rng;
  // Two configurations built once instead of one whose suite list each
  // connection rewrites: a handshake reads the list from its configuration
  // while it runs, so a rewrite by another thread would change it under it.
  mbedtls_ssl_config def;
  mbedtls_ssl_config forced;
  int forced_list[2] = {kForcedSuite, 0};
  ssl_cli_conf() {
    mbedtls_ssl_config_init(&def);
    mbedtls_ssl_config_init(&forced);
  }
  ~ssl_cli_conf() {
    mbedtls_ssl_config_free(&forced);
    mbedtls_ssl_config_free(&def);
  }
};

namespace {

std::mutex g_conf_mu;  // creation and release of g_conf
std::atomic<ssl_cli_conf*> g_conf{nullptr};

int cli_conf_fill(ssl_cli_conf* c, mbedtls_ssl_config* conf, const int* suites) {
  int ret = mbedtls_ssl_config_defaults(conf, MBEDTLS_SSL_IS_CLIENT, MBEDTLS_SSL_TRANSPORT_STREAM,
                                        MBEDTLS_SSL_PRESET_DEFAULT);
  if (ret != 0) {
    LOGE("mbedtls_ssl_config_defaults failed\n");
    return ret;
  }
  ssl_conf_tls12(conf);
  mbedtls_ssl_conf_ciphersuites(conf, suites);
  mbedtls_ssl_conf_rng(conf, ssl_rng_random, &c->rng);
  // Nobody is authenticated by a CA: the pin, when given, is the check.
  mbedtls_ssl_conf_authmode(conf, MBEDTLS_SSL_VERIFY_NONE);
  return 0;
}

}  // namespace

ssl_cli_conf* ssl_cli_conf_new() {
  LOGV("==>\n");
  auto* c = new (std::nothrow) ssl_cli_conf;
  if (c == nullptr) {
    LOGE("size=%u malloc failed\n", static_cast<unsigned>(sizeof(ssl_cli_conf)));
    return nullptr;
  }
  if (c->rng.seed("ssl_client") != 0) {
    LOGE("mbedtls_ctr_drbg_seed failed\n");
    delete c;
    return nullptr;
  }
  if (cli_conf_fill(c, &c->def, mbedtls_ssl_list_ciphersuites()) != 0 ||
      cli_conf_fill(c, &c->forced, c->forced_list) != 0) {
    delete c;
    return nullptr;
  }
  return c;
}

void ssl_cli_conf_free(ssl_cli_conf* c) { delete c; }

int libssl_init() {
  std::lock_guard<std::mutex> lk(g_conf_mu);
  if (g_conf.load() != nullptr) return 0;
  ssl_cli_conf* c = ssl_cli_conf_new();
  if (c == nullptr) LOGE("ssl_cli_conf_new failed\n");
  g_conf.store(c);
  return 0;
}

int libssl_exit() {
  std::lock_guard<std::mutex> lk(g_conf_mu);
  ssl_cli_conf_free(g_conf.exchange(nullptr));
  return 0;
}

void* ssl_cli_connect(net_conn* nc, const char* cipher, const char* pin, ssl_cli_result* res) {
  ssl_cli_result local;
  if (res == nullptr) res = &local;
  *res = ssl_cli_result{};
  if (!WY_CHECK(nc != nullptr)) return nullptr;
  if (g_conf.load() == nullptr) libssl_init();
  ssl_cli_conf* c = g_conf.load();
  if (c == nullptr) {
    res->why = "no TLS configuration";
    return nullptr;
  }
  std::string want;
  if (pin != nullptr && *pin != '\0' && ssl_fp_normalise(pin, &want) != 0) {
    res->why = "ssl-fp is not a SHA-256 fingerprint (64 hex digits)";
    return nullptr;
  }
  const mbedtls_ssl_config* conf = &c->def;
  if (cipher != nullptr && strcasecmp(cipher, "aes_256_ecb") == 0) {
    LOGD("force_ciphersuite=%d\n", kForcedSuite);
    conf = &c->forced;
  }
  auto* ch = new (std::nothrow) ssl_chan;
  if (ch == nullptr) {
    res->why = "memory allocation failed";
    return nullptr;
  }
  if (ssl_chan_handshake(ch, conf, nc, nc->timeout, &res->why) != 0) {
    delete ch;
    return nullptr;
  }
  const mbedtls_x509_crt* crt = mbedtls_ssl_get_peer_cert(&ch->ssl);
  if (crt != nullptr) res->fp = ssl_fp_of_der(crt->raw.p, crt->raw.len);
  const char* suite = mbedtls_ssl_get_ciphersuite(&ch->ssl);
  LOGI("server certificate sha256=%s suite=%s\n", res->fp.empty() ? "none" : res->fp.c_str(),
       suite != nullptr ? suite : "?");
  if (!want.empty() && res->fp != want) {
    res->pin_mismatch = true;
    res->why = "server certificate sha256=" + (res->fp.empty() ? std::string("none") : res->fp) +
               " does not match ssl-fp=" + want;
    LOGE("%s\n", res->why.c_str());
    // No close-notify either: nothing more goes to this peer.
    delete ch;
    return nullptr;
  }
  ssl_chan_install(ch);
  return ch;
}
