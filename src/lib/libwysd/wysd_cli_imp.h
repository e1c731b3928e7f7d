// Inside the client connection: what the URL's options become, the server's
// information text, and the request steps the connection and file code
// share. Not part of the library's interface.
#pragma once

#include <cstdint>
#include <string>

#include "libwysd.h"

/// Largest block size: a read or write message of one block, packed at its
/// bound, must stay below the 24-bit message length.
inline constexpr int32_t WYSD_CLI_BLOCK_MAX = 0xFE0000;

/// Connection parameters read from a URL and its query.
struct wysd_cli_opts {
  bool ssl = false;  // "wyps://" in any case
  std::string host;
  uint16_t port = 0;  // 6686 for wyps, else 6688 when the URL has none
  std::string user, passwd;
  int32_t connect_timeout = 4000, read_timeout = 10000, write_timeout = 8000;  // ms
  std::string pack = "lz4";
  std::string proxy_url;  // decoded from base64
  std::string proxy;      // a proxy name of the proxy file
  int32_t block_size = 10485760;
  int32_t rdir_size = 1048576;
  uint32_t sock_bufsize = 262144;
  std::string cipher;
  std::string ssl_fp;  // "ssl-fp": the pinned certificate's SHA-256, lower-case hex
};

/// Splits `url` and reads its options. Returns 0, or -1 with `err` set: -2
/// with no message when the URL does not parse, -2 when "proxy_url" is not
/// base64, -2 when "ssl-fp" is not a SHA-256 fingerprint.
int wysd_cli_read_opts(const char* url, wysd_cli_opts* o, cdir_err* err);

/// The facts of the server's information text.
struct wysd_srv_info {
  std::string ver, plat, arch, bit, order, is_root;
};
/// Value of `key` in an information text of "key=[value]" lines: the text
/// between the first "[" and the last "]" after the "=". The walk stops at
/// the first non-empty line without "=". False when absent or longer than
/// `max` characters (out then empty).
bool wysd_info_value(const char* text, const char* key, size_t max, std::string* out);
/// Reads ver (31), plat (63), arch (63), bit (7), order (15) and is_root (3).
void wysd_parse_info(const char* text, wysd_srv_info* out);
/// Takes the server's version and platform into the connection: the
/// positional-I/O flag (1.6.4 and newer) and the Windows-server flag.
void wysd_cli_apply_info(wysd_cli_ctx* ctx, const wysd_srv_info& info);

/// The connection control request on descriptor `fd`: status of the
/// exchange, the result copied into out (at most cap bytes) with its length
/// in *out_len. Controls 100 to 110 never start a repair; 105 has no
/// response. Does not touch the error record.
int cli_ioctl2_imp(wysd_cli_ctx* ctx, int64_t fd, int code, const void* data, int32_t len, void* out,
                   int32_t cap, int32_t* out_len);
/// The file control request: status, no error record. Selects the codec
/// after a successful WYSD_IOCTL_PACK (-1 when it is not known).
int cli_file_ioctl(wysd_cli_ctx* ctx, int64_t fd, int code, const void* data, int32_t len);
/// The open request: status, the server's descriptor in *fd.
int cli_open(wysd_cli_ctx* ctx, const char* path, uint32_t flags, int64_t* fd);
/// The seek request: status, the new offset in *out.
int cli_seek(wysd_cli_ctx* ctx, int64_t fd, uint64_t offset, uint64_t* out);
/// Logs in: the probe with user ":" first, then the login the server's
/// protocol byte names (1: one step with the SHA-1 of the password, else
/// the challenge). Returns a status.
int cli_login(wysd_cli_ctx* ctx);
/// Closes every file of the connection's list and empties it.
void wysd_cli_close_all(wysd_cli_ctx* ctx);
