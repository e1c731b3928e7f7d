// Configuration paths of the client.
#include <cstdlib>
#include <string>

#include "libconf.h"
#include "liblog.h"
#include "libpal.h"
#include "libwycli.h"

WY_LOG_TAG("wycli");

namespace {

std::string g_client_path;
std::string g_proxy_path;
std::string g_cache_dir;

std::string join(const std::string& dir, const char* name) {
  if (dir.empty()) return name;
  return dir.back() == '/' ? dir + name : dir + "/" + name;
}

}  // namespace

int wy_conf_set_path(const char* dir) {
  std::string d = dir ? dir : "";
  const char* env = getenv("WY_ENV_CONF_DIR");
  if (env && *env) {
    d = env;
    LOGD("use env_conf_dir=[%s]\n", env);
  }
  g_client_path = join(d, "tkit-gui-user.ini");
  os_stat_t st;
  if (os_file_stat(g_client_path.c_str(), true, &st) != 0 || st.kind != OS_PATH_FILE)
    g_client_path = join(d, "wy_client.ini");
  g_proxy_path = join(d, "wy_proxy.ini");
  setenv("WY_PROXY_FILE", g_proxy_path.c_str(), 1);
  g_cache_dir = join(dir ? dir : "", "var/cache");
  setenv("WY_CACHE", g_cache_dir.c_str(), 1);
  if (conf_ptr h{conf_load(g_client_path.c_str())}) {
    g_cache_dir = conf_get_str(h.get(), "conf", "cache_dir", g_cache_dir.c_str());
    setenv("WY_CACHE", g_cache_dir.c_str(), 1);
  }
  LOGV("conf_client=[%s] conf_proxy=[%s]\n", g_client_path.c_str(), g_proxy_path.c_str());
  return 0;
}

const char* wy_conf_client_path() { return g_client_path.c_str(); }
const char* wy_conf_proxy_path() { return g_proxy_path.c_str(); }
