// The server end: certificate and key (made on first use), the server
// configuration and the handshake of an accepted connection.
#include <mbedtls/pk.h>
#include <mbedtls/platform_util.h>
#include <mbedtls/rsa.h>
#include <mbedtls/x509_crt.h>
#include <mbedtls/x509_csr.h>

#include <ctime>
#include <new>
#include <vector>

#include "liblog.h"
#include "libssl.h"
#include "pal_file.h"
#include "pal_str.h"
#include "ssl_imp.h"

#if !defined(MBEDTLS_THREADING_C)
// Handshakes on many session threads share one RSA key, whose blinding
// values the library only guards with its own mutexes.
#error "the server needs mbedTLS built with MBEDTLS_THREADING_C"
#endif

WY_LOG_TAG("sslsrv");

struct ssl_srv_conf {
  ssl_rng rng;
  std::vector<int> suites;  // the server's order of preference
  mbedtls_x509_crt crt;
  mbedtls_pk_context pk;
  mbedtls_ssl_config conf;
  std::string fp;
  ssl_srv_conf() {
    mbedtls_x509_crt_init(&crt);
    mbedtls_pk_init(&pk);
    mbedtls_ssl_config_init(&conf);
  }
  ~ssl_srv_conf() {
    mbedtls_ssl_config_free(&conf);
    mbedtls_pk_free(&pk);
    mbedtls_x509_crt_free(&crt);
  }
};

namespace {

constexpr int kKeyBits = 2048;  // RSA: the suite "aes_256_ecb" forces needs an RSA key
constexpr int kValidYears = 10;

// "YYYYMMDDhhmmss" in UTC for `t`.
std::string x509_time(time_t t) {
  struct tm tm {};
  gmtime_r(&t, &tm);
  char buf[32];
  strftime(buf, sizeof buf, "%Y%m%d%H%M%S", &tm);
  return buf;
}

std::string fail(std::string* why, const std::string& what, int ret) {
  *why = what + ": " + ssl_err_text(ret);
  return *why;
}

// Writes a new RSA key to key_path (mode 0600) and a self-signed
// certificate for it to cert_path. Returns 0, or -1 with *why.
int make_self_signed(ssl_rng* rng, const char* cert_path, const char* key_path, std::string* why) {
  mbedtls_pk_context pk;
  mbedtls_pk_init(&pk);
  mbedtls_x509write_cert w;
  mbedtls_x509write_crt_init(&w);
  std::vector<unsigned char> buf(16384);
  int ret = mbedtls_pk_setup(&pk, mbedtls_pk_info_from_type(MBEDTLS_PK_RSA));
  if (ret == 0) ret = mbedtls_rsa_gen_key(mbedtls_pk_rsa(pk), ssl_rng_random, rng, kKeyBits, 65537);
  if (ret != 0) {
    fail(why, "RSA key generation failed", ret);
  } else if ((ret = mbedtls_pk_write_key_pem(&pk, buf.data(), buf.size())) != 0) {
    fail(why, "writing the key failed", ret);
  } else if (os_file_create_new(key_path, reinterpret_cast<const char*>(buf.data()), 0600) != 0) {
    *why = std::string("key [") + key_path + "]: " + os_last_errstr();
    ret = -1;
  }
  if (ret == 0) {
    unsigned char serial[16];
    ssl_rng_random(rng, serial, sizeof serial);
    serial[0] &= 0x7f;  // a positive number
    serial[0] |= 0x01;
    time_t now = time(nullptr);
    // A day back: a client whose clock lags must not see it as not yet valid.
    std::string from = x509_time(now - 86400);
    std::string to = x509_time(now + static_cast<time_t>(kValidYears) * 365 * 86400);
    mbedtls_x509write_crt_set_version(&w, MBEDTLS_X509_CRT_VERSION_3);
    mbedtls_x509write_crt_set_md_alg(&w, MBEDTLS_MD_SHA256);
    mbedtls_x509write_crt_set_subject_key(&w, &pk);
    mbedtls_x509write_crt_set_issuer_key(&w, &pk);
#if MBEDTLS_VERSION_NUMBER >= 0x03040000
    ret = mbedtls_x509write_crt_set_serial_raw(&w, serial, sizeof serial);
#else
    mbedtls_mpi sn;
    mbedtls_mpi_init(&sn);
    ret = mbedtls_mpi_read_binary(&sn, serial, sizeof serial);
    if (ret == 0) ret = mbedtls_x509write_crt_set_serial(&w, &sn);
    mbedtls_mpi_free(&sn);
#endif
    if (ret == 0) ret = mbedtls_x509write_crt_set_subject_name(&w, "CN=wysd");
    if (ret == 0) ret = mbedtls_x509write_crt_set_issuer_name(&w, "CN=wysd");
    if (ret == 0) ret = mbedtls_x509write_crt_set_validity(&w, from.c_str(), to.c_str());
    if (ret == 0) ret = mbedtls_x509write_crt_set_basic_constraints(&w, 0, -1);
    if (ret == 0) ret = mbedtls_x509write_crt_pem(&w, buf.data(), buf.size(), ssl_rng_random, rng);
    if (ret != 0) {
      fail(why, "writing the certificate failed", ret);
    } else if (os_file_create_new(cert_path, reinterpret_cast<const char*>(buf.data()), 0644) != 0) {
      *why = std::string("cert [") + cert_path + "]: " + os_last_errstr();
      ret = -1;
    }
    // Half a pair would stop the next start from making a new one.
    if (ret != 0) os_file_delete(key_path);
  }
  mbedtls_platform_zeroize(buf.data(), buf.size());
  mbedtls_x509write_crt_free(&w);
  mbedtls_pk_free(&pk);
  return ret == 0 ? 0 : -1;
}

int load_pair(ssl_srv_conf* c, const char* cert_path, const char* key_path, std::string* why) {
  int ret = mbedtls_x509_crt_parse_file(&c->crt, cert_path);
  if (ret != 0) {
    fail(why, std::string("cert [") + cert_path + "]", ret);
    return -1;
  }
#if MBEDTLS_VERSION_NUMBER >= 0x03000000
  ret = mbedtls_pk_parse_keyfile(&c->pk, key_path, nullptr, ssl_rng_random, &c->rng);
#else
  ret = mbedtls_pk_parse_keyfile(&c->pk, key_path, nullptr);
#endif
  if (ret != 0) {
    fail(why, std::string("key [") + key_path + "]", ret);
    return -1;
  }
#if MBEDTLS_VERSION_NUMBER >= 0x03000000
  ret = mbedtls_pk_check_pair(&c->crt.pk, &c->pk, ssl_rng_random, &c->rng);
#else
  ret = mbedtls_pk_check_pair(&c->crt.pk, &c->pk);
#endif
  if (ret != 0) {
    fail(why, std::string("key [") + key_path + "] does not belong to cert [" + cert_path + "]", ret);
    return -1;
  }
  os_stat_t st;
  if (os_file_stat(key_path, true, &st) == 0 && (st.mode & 077) != 0)
    LOGW("key [%s] is readable by others (mode %o): chmod 600 it\n", key_path, st.mode & 0777);
  return 0;
}

// The server decides the suite and the curve. The curve: the client's order
// would pick P-521 (tens of milliseconds per handshake), so the fast ones.
// The suite: the bulk cipher bounds a big file's speed, and this library's
// ChaCha20-Poly1305 runs at about 1.5 times its AES-GCM even with the AES
// and carry-less multiply instructions (314 against 210 MB/s a core here:
// its GCM takes one call per 16-byte block), so ChaCha20 first, then
// AES-GCM, then everything else the library offers.
void srv_prefer_fast(ssl_srv_conf* c) {
  c->suites = {MBEDTLS_TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305_SHA256,
               MBEDTLS_TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305_SHA256,
               MBEDTLS_TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256, MBEDTLS_TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384};
  for (const int* s = mbedtls_ssl_list_ciphersuites(); *s != 0; s++) c->suites.push_back(*s);
  c->suites.push_back(0);
  mbedtls_ssl_conf_ciphersuites(&c->conf, c->suites.data());
#if MBEDTLS_VERSION_NUMBER >= 0x03010000
  static const uint16_t groups[] = {MBEDTLS_SSL_IANA_TLS_GROUP_X25519, MBEDTLS_SSL_IANA_TLS_GROUP_SECP256R1,
                                    MBEDTLS_SSL_IANA_TLS_GROUP_SECP384R1, MBEDTLS_SSL_IANA_TLS_GROUP_NONE};
  mbedtls_ssl_conf_groups(&c->conf, groups);
#else
  static const mbedtls_ecp_group_id curves[] = {MBEDTLS_ECP_DP_CURVE25519, MBEDTLS_ECP_DP_SECP256R1,
                                                MBEDTLS_ECP_DP_SECP384R1, MBEDTLS_ECP_DP_NONE};
  mbedtls_ssl_conf_curves(&c->conf, curves);
#endif
}

}  // namespace

ssl_srv_conf* ssl_srv_conf_new(const char* cert_path, const char* key_path, bool* created, std::string* why) {
  *created = false;
  auto* c = new (std::nothrow) ssl_srv_conf;
  if (c == nullptr) {
    *why = "memory allocation failed";
    return nullptr;
  }
  int ret = c->rng.seed("wysd_server");
  if (ret != 0) {
    fail(why, "mbedtls_ctr_drbg_seed failed", ret);
    delete c;
    return nullptr;
  }
  bool have_cert = os_path_exists(cert_path), have_key = os_path_exists(key_path);
  if (have_cert != have_key) {
    // Never replace one half: the other may be what clients have pinned.
    *why = std::string(have_cert ? "key [" : "cert [") + (have_cert ? key_path : cert_path) +
           "] is missing while " + (have_cert ? "cert [" : "key [") + (have_cert ? cert_path : key_path) +
           "] exists";
    delete c;
    return nullptr;
  }
  if (!have_cert) {
    if (make_self_signed(&c->rng, cert_path, key_path, why) != 0) {
      delete c;
      return nullptr;
    }
    *created = true;
  }
  if (load_pair(c, cert_path, key_path, why) != 0) {
    delete c;
    return nullptr;
  }
  ret = mbedtls_ssl_config_defaults(&c->conf, MBEDTLS_SSL_IS_SERVER, MBEDTLS_SSL_TRANSPORT_STREAM,
                                    MBEDTLS_SSL_PRESET_DEFAULT);
  if (ret == 0) {
    ssl_conf_tls12(&c->conf);
    srv_prefer_fast(c);
    mbedtls_ssl_conf_rng(&c->conf, ssl_rng_random, &c->rng);
    ret = mbedtls_ssl_conf_own_cert(&c->conf, &c->crt, &c->pk);
  }
  if (ret != 0) {
    fail(why, "TLS server configuration failed", ret);
    delete c;
    return nullptr;
  }
  c->fp = ssl_fp_of_der(c->crt.raw.p, c->crt.raw.len);
  return c;
}

void ssl_srv_conf_free(ssl_srv_conf* c) { delete c; }

const char* ssl_srv_conf_fp(const ssl_srv_conf* c) { return c->fp.c_str(); }

int ssl_srv_accept(ssl_srv_conf* c, net_conn* nc, int32_t deadline_ms, std::string* why) {
  auto* ch = new (std::nothrow) ssl_chan;
  if (ch == nullptr) {
    *why = "memory allocation failed";
    return -1;
  }
  if (ssl_chan_handshake(ch, &c->conf, nc, deadline_ms, why) != 0) {
    delete ch;
    return -1;
  }
  ssl_chan_install(ch);
  return 0;
}
