// Which proxy a connection goes through: an explicit proxy URL, a proxy
// named in the proxy file, or the "http_proxy" environment variable.
#include <cstdlib>
#include <cstring>
#include <string>

#include "libconf.h"
#include "liblog.h"
#include "libnet.h"
#include "pal_url.h"

WY_LOG_TAG("net");

namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Two hexadecimal digits per byte, either case. False for an odd count or a
// character that is not a digit.
bool hex_decode(const std::string& hex, std::string* out) {
  out->clear();
  if (hex.size() % 2 != 0) return false;
  for (size_t i = 0; i < hex.size(); i += 2) {
    int hi = hex_digit(hex[i]), lo = hex_digit(hex[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out->push_back(static_cast<char>(hi << 4 | lo));
  }
  return true;
}

// The proxy URL of a record; `pwd` stands in for the password, so a log
// line can carry the URL without it.
std::string proxy_url_of(const std::string& proto, const std::string& user, const std::string& pwd,
                         const std::string& ip, int port) {
  if (!user.empty() && !pwd.empty())
    return str_format("%s://%s:%s@%s:%d", proto.c_str(), user.c_str(), pwd.c_str(), ip.c_str(), port);
  return str_format("%s://%s:%d", proto.c_str(), ip.c_str(), port);
}

std::string masked(const std::string& pwd) { return pwd.empty() ? std::string() : std::string("***"); }

}  // namespace

int conf_proxy_2_id(const char* name, cdir_err* err) {
  if (name != nullptr) {
    if (strcmp(name, "http") == 0) return PROXY_TYPE_HTTP;
    if (strcmp(name, "socks4") == 0) return PROXY_TYPE_SOCKS4;
    if (strcmp(name, "socks5") == 0) return PROXY_TYPE_SOCKS5;
  }
  if (err != nullptr) CDIR_ERR_SET(err, -2, "proxy protocol [%s] Unsupported\n", name != nullptr ? name : "");
  return -1;
}

int conf_proxy_load(const char* path, const char* name, proxy_conf* proxy, std::string* url_out,
                    cdir_err* err) {
  if (!WY_CHECK(path != nullptr && name != nullptr && proxy != nullptr)) return -1;
  conf_ptr c(conf_load(path));
  if (!c) {
    CDIR_ERR_SET(err, -2, "conf_load [%s] failed", path);
    return -1;
  }
  std::vector<std::string> secs;
  conf_get_sections(c.get(), &secs);
  bool found = false;
  for (const std::string& s : secs) found = found || s == name;
  if (!found) {
    CDIR_ERR_SET(err, -2, "proxy name [%s] does not exist", name);
    return -1;
  }
  proxy->proto = conf_get_str(c.get(), name, "proto", "");
  if (proxy->proto.size() > 31) proxy->proto.resize(31);
  int type = conf_proxy_2_id(proxy->proto.c_str(), err);
  if (type < 0) return -1;
  proxy->type = type;
  proxy->ip = conf_get_str(c.get(), name, "ip", "");
  if (proxy->ip.size() > 1023) proxy->ip.resize(1023);
  proxy->port = conf_get_int(c.get(), name, "port", 0);
  proxy->user = conf_get_str(c.get(), name, "user", "");
  if (proxy->user.size() > 4095) proxy->user.resize(4095);
  std::string hex = conf_get_str(c.get(), name, "pwd", "");
  if (hex.size() > 255) hex.resize(255);
  if (!hex_decode(hex, &proxy->pwd)) {
    CDIR_ERR_SET(err, -2, "proxy pwd [%s] invalid", hex.c_str());
    proxy->pwd.clear();
    return -1;
  }
  if (url_out != nullptr)
    *url_out = proxy_url_of(proxy->proto, proxy->user, proxy->pwd, proxy->ip, proxy->port);
  return 0;
}

int conf_proxy_get(const char* proxy_url, const char* proxy_name, proxy_conf* proxy, cdir_err* err) {
  if (!WY_CHECK(proxy != nullptr)) return -1;
  std::string buf(URL_BUF_SIZE, '\0');
  url_t u;
  std::string scheme, host, user, pwd;
  int port = 0;
  if (proxy_url != nullptr && *proxy_url != '\0') {
    if (url_parser(&u, buf.data(), buf.size(), proxy_url) != 0) {
      CDIR_ERR_SET(err, -2, "proxy url [%s] invalid", proxy_url);
      return -1;
    }
    scheme = u.scheme, host = u.host, user = u.user, pwd = u.password, port = u.port;
  } else if (proxy_name != nullptr && *proxy_name != '\0') {
    const char* file = getenv("WY_PROXY_FILE");
    if (file == nullptr || *file == '\0') {
      CDIR_ERR_SET(err, -2, "%%WY_ENV_PROXY_FILE%% Is NULL");
      return -1;
    }
    proxy_conf loaded;
    std::string url;
    if (conf_proxy_load(file, proxy_name, &loaded, &url, err) != 0) return -1;
    LOGV("use proxy=%s [%s]\n", proxy_name,
         proxy_url_of(loaded.proto, loaded.user, masked(loaded.pwd), loaded.ip, loaded.port).c_str());
    scheme = loaded.proto, host = loaded.ip, user = loaded.user, pwd = loaded.pwd, port = loaded.port;
  } else {
    const char* env = getenv("http_proxy");
    if (env == nullptr || *env == '\0') return 1;
    if (url_parser(&u, buf.data(), buf.size(), env) != 0) {
      CDIR_ERR_SET(err, -2, "env url [%s] invalid", env);
      return -1;
    }
    scheme = u.scheme, host = u.host, user = u.user, pwd = u.password, port = u.port;
    LOGV("use http_proxy=%s\n", proxy_url_of(scheme, user, masked(pwd), host, port).c_str());
  }
  int type = conf_proxy_2_id(scheme.c_str(), err);
  if (type < 0) return -1;
  if (host.empty()) {
    CDIR_ERR_SET(err, -2, "proxy ip is empty");
    return -1;
  }
  if (port == 0) {
    CDIR_ERR_SET(err, -2, "proxy port is empty");
    return -1;
  }
  proxy->type = type;
  proxy->proto = scheme.substr(0, 31);
  proxy->ip = host.substr(0, 1023);
  proxy->port = port;
  proxy->user = user.substr(0, 4095);
  proxy->pwd = pwd.substr(0, 4095);
  return 0;
}
