// libssl: TLS over a connected net_conn, both ends, on mbedTLS.
//
// Client: one process-wide configuration, built once; a handshake over the
// connection's socket installs read, write and close hooks in the net_conn,
// so net_read/net_write move application data through TLS. Nobody is
// authenticated unless the caller pins the server certificate's SHA-256.
//
// Server: a configuration holding the certificate and key (written
// self-signed on first use when both files are missing), and a handshake
// with a deadline, after which the session reads and writes as over plain TCP.
#pragma once

#include <cstdint>
#include <string>

#include "libnet.h"

/// Creates the process-wide client configuration unless it exists. Returns
/// 0 (on failure logs "ssl_cli_conf_new failed" and leaves it absent).
int libssl_init();
/// Frees the process-wide client configuration (nothing when absent). Call it
/// when no handshake can be running any more. Returns 0.
int libssl_exit();

/// The client configuration: random generator and two SSL configurations,
/// the library's default suites and the one forced by "aes_256_ecb". Both
/// are read-only once built, so handshakes on many threads share them.
struct ssl_cli_conf;
ssl_cli_conf* ssl_cli_conf_new();
void ssl_cli_conf_free(ssl_cli_conf* c);

/// What a failed handshake tells its caller besides the log.
struct ssl_cli_result {
  std::string fp;   // the server certificate's SHA-256, lower-case hex ("" when none came)
  std::string why;  // cause of a failure ("" on success)
  bool pin_mismatch = false;  // the handshake worked but the certificate is not the pinned one
};

/// TLS handshake on `nc` (a connected socket) within nc->timeout ms in all.
/// `cipher` is the URL's "ssl-cipher" text ("aes_256_ecb" in any case
/// forces TLS-RSA-WITH-AES-256-CBC-SHA, 0x0035); `pin`, when not empty, is
/// the SHA-256 of the only certificate accepted (64 hex digits, see
/// ssl_fp_normalise). Returns the TLS context with nc's hooks installed (the
/// caller stores it in nc->ssl), or nullptr after logging, with the cause in
/// *res when given. Nothing of the application is sent before the check.
void* ssl_cli_connect(net_conn* nc, const char* cipher, const char* pin = nullptr,
                      ssl_cli_result* res = nullptr);

/// Read hook: up to `len` bytes of application data, looping until all came
/// or nc->timeout passed (the count so far). -1 on a TLS or socket error or
/// when the peer ended the connection before anything came.
int ssl_recv_proc(net_conn* nc, void* buf, int len);
/// Write hook: all `len` bytes, or the count sent when nc->timeout passed;
/// -1 on a TLS or socket error.
int ssl_send_proc(net_conn* nc, const void* buf, int len);
/// Close hook: sends the close-notify (waiting at most a second) and frees
/// the TLS context of nc.
void ssl_close_proc(net_conn* nc);

/// The negotiated suite of a TLS connection: its id (0 when none) and name.
int ssl_suite_id(const net_conn* nc);
const char* ssl_suite_name(const net_conn* nc);

/// Reads a certificate fingerprint as users write it: 64 hex digits, in any
/// case, optionally in pairs separated by ":". Puts the lower-case digits
/// into *out. Returns 0, or -1 when it is not such a text.
int ssl_fp_normalise(const char* text, std::string* out);
/// SHA-256 of `der` (a DER certificate) as lower-case hex.
std::string ssl_fp_of_der(const uint8_t* der, size_t len);

/// The server's TLS configuration.
struct ssl_srv_conf;
/// Loads the certificate and key (PEM). When both files are missing, first
/// writes a new 2048-bit RSA key (mode 0600, never over an existing file)
/// and a self-signed certificate for it valid for ten years; *created then
/// says so. Returns the configuration, or nullptr with the cause in *why.
ssl_srv_conf* ssl_srv_conf_new(const char* cert_path, const char* key_path, bool* created,
                               std::string* why);
void ssl_srv_conf_free(ssl_srv_conf* c);
/// SHA-256 of the server's certificate, lower-case hex.
const char* ssl_srv_conf_fp(const ssl_srv_conf* c);

/// Server handshake on the accepted `nc` within `deadline_ms` in all,
/// giving up early when nc->stop is set. Installs the hooks and nc->ssl on
/// success and returns 0; -1 with the cause in *why.
int ssl_srv_accept(ssl_srv_conf* c, net_conn* nc, int32_t deadline_ms, std::string* why);
