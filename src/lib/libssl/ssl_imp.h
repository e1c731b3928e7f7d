// Inside libssl: the random generator both ends share, the per-connection
// channel and its socket callbacks, and the few calls whose form changed
// between mbedTLS 2.28 and 3.x.
#pragma once

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/ssl.h>
#include <mbedtls/version.h>

#include <mutex>
#include <string>

#include "libnet.h"

/// An entropy collector and a CTR-DRBG seeded from it. The generator is
/// called from every handshake thread; the lock keeps that safe whether or
/// not the library was built with its own mutexes.
struct ssl_rng {
  mbedtls_entropy_context entropy;
  mbedtls_ctr_drbg_context drbg;
  std::mutex mu;
  ssl_rng();
  ~ssl_rng();
  ssl_rng(const ssl_rng&) = delete;
  ssl_rng& operator=(const ssl_rng&) = delete;
  /// Seeds with the personalisation `pers`. Returns the library's result.
  int seed(const char* pers);
};
/// The f_rng of mbedTLS over an ssl_rng.
int ssl_rng_random(void* rng, unsigned char* out, size_t len);

/// One TLS connection: the library's context and the net_conn it runs on.
struct ssl_chan {
  mbedtls_ssl_context ssl;
  net_conn* nc = nullptr;
  /// While the handshake runs: the clock time (ms) by which it must end, so
  /// a peer that sends a byte now and then cannot hold it forever. 0 later.
  int64_t deadline_ms = 0;
  ssl_chan() { mbedtls_ssl_init(&ssl); }
  ~ssl_chan() { mbedtls_ssl_free(&ssl); }
  ssl_chan(const ssl_chan&) = delete;
  ssl_chan& operator=(const ssl_chan&) = delete;
};

/// Sets `ch` up on `conf` over nc and runs the handshake within
/// `deadline_ms`. Returns 0, or the library's error with its text in *why.
int ssl_chan_handshake(ssl_chan* ch, const mbedtls_ssl_config* conf, net_conn* nc, int32_t deadline_ms,
                       std::string* why);
/// Makes ch the TLS channel of its net_conn: context and hooks.
void ssl_chan_install(ssl_chan* ch);
/// The library's text for an error number.
std::string ssl_err_text(int ret);

/// TLS 1.2 is what both ends speak: the newer library would offer 1.3,
/// which has neither the forced suite nor these suites' names.
inline void ssl_conf_tls12(mbedtls_ssl_config* conf) {
#if MBEDTLS_VERSION_NUMBER >= 0x03020000
  mbedtls_ssl_conf_min_tls_version(conf, MBEDTLS_SSL_VERSION_TLS1_2);
  mbedtls_ssl_conf_max_tls_version(conf, MBEDTLS_SSL_VERSION_TLS1_2);
#else
  (void)conf;
#endif
}
