// libwycli: where the client configuration lives, profile URLs and the
// time-outs a URL carries.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pal_err.h"

/// Sets the configuration directory (WY_ENV_CONF_DIR replaces it when set),
/// the client and proxy configuration paths and the cache directory, and
/// exports WY_PROXY_FILE and WY_CACHE. Returns 0.
int wy_conf_set_path(const char* dir);
/// Path of the client configuration file.
const char* wy_conf_client_path();
/// Path of the proxy configuration file.
const char* wy_conf_proxy_path();

/// One connection profile of the client configuration.
struct client_info {
  int32_t kind = 0;  // 4 wyp, 3 net, 2 loc
  char name[256] = {};
  uint8_t use_ssl = 0;
  char ip[256] = {};
  char port[32] = {};
  char user[256] = {};
  char pwd[256] = {};
  char bs[8] = {};
  char fmod[4] = {};
  char dmod[4] = {};
  char proxy[256] = {};
  char ssl_fp[128] = {};  // pinned server certificate SHA-256, becomes "ssl-fp"
};

/// Size of every URL buffer.
constexpr size_t CLIENT_URL_SIZE = 8192;

/// Expands `url` into `out` (CLIENT_URL_SIZE bytes): a URL beginning with
/// "///" names a profile whose base URL replaces the name; any other URL is
/// only normalised (outer blanks and quotes removed, "\" read as "/").
/// Returns 0, or -1 with the cause in `err`.
int client_url_expand(const char* url, char* out, cdir_err* err);
/// Adds "connect_timeout", "read_timeout" and "write_timeout" from the
/// client configuration (defaults 6, 15, 8) where `url` (CLIENT_URL_SIZE
/// bytes) lacks them. Returns 0.
int client_url_set_timeouts(char* url);
/// Reads profile `name`. Returns 0, or -1 with the cause in `err`.
int conf_client_get_info(const char* name, client_info* info, cdir_err* err);
/// Builds the base URL of a profile into `out` (CLIENT_URL_SIZE bytes).
void client_info_to_url(const client_info* info, char* out);
