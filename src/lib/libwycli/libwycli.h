// libwycli: where the client configuration lives, profile URLs and the
// time-outs a URL carries.
#pragma once

#include <cstddef>

#include "pal_err.h"

/// Sets the configuration directory (WY_ENV_CONF_DIR replaces it when set),
/// the client and proxy configuration paths and the cache directory, and
/// exports WY_PROXY_FILE and WY_CACHE. Returns 0.
int wy_conf_set_path(const char* dir);
/// Path of the client configuration file.
const char* wy_conf_client_path();
/// Path of the proxy configuration file.
const char* wy_conf_proxy_path();
