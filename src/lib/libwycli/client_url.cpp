// Profiles and URL expansion.
#include <strings.h>

#include <cstring>
#include <string>

#include "libconf.h"
#include "liblog.h"
#include "libpal.h"
#include "libwycli.h"

WY_LOG_TAG("wycli");

namespace {

/// Outer blanks and quote pairs removed, backslashes read as slashes.
std::string normalise(const char* in) {
  std::string s = in ? in : "";
  while (true) {
    size_t a = s.find_first_not_of(" \t\r\n");
    size_t b = s.find_last_not_of(" \t\r\n");
    s = a == std::string::npos ? "" : s.substr(a, b - a + 1);
    if (s.size() >= 2 && ((s.front() == '"' && s.back() == '"') || (s.front() == '\'' && s.back() == '\'')))
      s = s.substr(1, s.size() - 2);
    else
      break;
  }
  for (char& c : s)
    if (c == '\\') c = '/';
  return s;
}

/// Copies `val` into a fixed field; a value that does not fit is refused
/// and leaves the field empty.
template <size_t N>
void set_field(char (&field)[N], const char* val) {
  size_t n = strlen(val);
  if (n >= N) {
    LOGE("value [%.32s] too long for a field of %zu bytes", val, N);
    field[0] = '\0';
    return;
  }
  memcpy(field, val, n + 1);
}

}  // namespace

int conf_client_get_info(const char* name, client_info* info, cdir_err* err) {
  const char* path = wy_conf_client_path();
  conf_ptr h(conf_load(path));
  if (!h) return CDIR_ERR_SET(err, -1, "conf_load %s failed", path);
  *info = client_info{};
  set_field(info->name, name);
  std::string sec = std::string("session/") + name;
  const char* none = "error_val!!!";
  std::string prot = conf_get_str(h.get(), sec.c_str(), "prot", none);
  if (prot == none) return CDIR_ERR_SET(err, -1, "'%s' does not exist", name);
  if (prot == "wyp") {
    info->kind = 4;
    std::string ip = conf_get_str(h.get(), sec.c_str(), "ip", none);
    if (ip == none) return CDIR_ERR_SET(err, -1, "Failed to get ip");
    set_field(info->ip, ip.c_str());
    info->use_ssl = conf_get_int(h.get(), sec.c_str(), "use_ssl", 0) != 0;
    set_field(info->port, conf_get_str(h.get(), sec.c_str(), "port", ""));
    set_field(info->user, conf_get_str(h.get(), sec.c_str(), "user", ""));
    set_field(info->pwd, conf_get_str(h.get(), sec.c_str(), "pwd", ""));
    set_field(info->proxy, conf_get_str(h.get(), sec.c_str(), "proxy", ""));
    set_field(info->ssl_fp, conf_get_str(h.get(), sec.c_str(), "ssl_fp", ""));
    set_field(info->bs, conf_get_str(h.get(), sec.c_str(), "bs", "2M"));
    set_field(info->fmod, conf_get_str(h.get(), sec.c_str(), "fmod", "644"));
    set_field(info->dmod, conf_get_str(h.get(), sec.c_str(), "dmod", "755"));
  } else if (prot == "net") {
    info->kind = 3;
  } else if (prot == "loc") {
    info->kind = 2;
  } else {
    return CDIR_ERR_SET(err, -1, "Unsupported protocol [%s]", prot.c_str());
  }
  return 0;
}

void client_info_to_url(const client_info* info, char* out) {
  std::string u;
  switch (info->kind) {
    case 4: {
      u = info->use_ssl ? "wyps://" : "wyp://";
      if (info->user[0]) {
        u += info->user;
        if (info->pwd[0]) u += std::string(":") + info->pwd;
        u += "@";
      }
      std::string host = info->ip;
      for (char& c : host)
        if (c == '_') c = ':';
      u += host.find(':') != std::string::npos ? "[" + host + "]" : host;
      bool def = (!info->use_ssl && strcmp(info->port, "WYP_DEF_PORT") == 0) ||
                 (info->use_ssl && strcmp(info->port, "WYPS_DEF_PORT") == 0);
      if (info->port[0] && !def) u += std::string(":") + info->port;
      snprintf(out, CLIENT_URL_SIZE, "%s", u.c_str());
      if (info->proxy[0]) url_set_query(out, CLIENT_URL_SIZE, "proxy", info->proxy, URL_SET_ALWAYS);
      if (info->ssl_fp[0]) url_set_query(out, CLIENT_URL_SIZE, "ssl-fp", info->ssl_fp, URL_SET_ALWAYS);
      return;
    }
    case 3:
      snprintf(out, CLIENT_URL_SIZE, "net://%s", info->name);
      return;
    case 2:
      snprintf(out, CLIENT_URL_SIZE, "loc://");
      return;
    default:
      return;
  }
}

int client_url_expand(const char* url, char* out, cdir_err* err) {
  std::string u = normalise(url);
  if (u.compare(0, 3, "///") != 0) {
    if (u.size() >= CLIENT_URL_SIZE) return CDIR_ERR_SET(err, -1, "url too long");
    snprintf(out, CLIENT_URL_SIZE, "%s", u.c_str());
    return 0;
  }
  std::string rest = u.substr(3);
  size_t slash = rest.find('/');
  std::string name = rest.substr(0, slash);
  rest = slash == std::string::npos ? "" : rest.substr(slash);
  char base[CLIENT_URL_SIZE] = "";
  if (!name.empty()) {
    client_info info;
    if (conf_client_get_info(name.c_str(), &info, err) < 0) return -1;
    client_info_to_url(&info, base);
  }
  std::string b = base;
  if (strncasecmp(b.c_str(), "loc://", 6) == 0) b.clear();
  size_t q = rest.find('?');
  if (q != std::string::npos) {
    b += (b.find('?') == std::string::npos ? "?" : "&") + rest.substr(q + 1);
    rest.erase(q);
  }
  size_t bq = b.find('?');
  if (bq != std::string::npos) {
    if (!rest.empty() && rest[0] != '/') rest = "/" + rest;
    b.insert(bq, rest);
  } else {
    b += rest;
  }
  b = normalise(b.c_str());
  if (b.size() >= CLIENT_URL_SIZE) return CDIR_ERR_SET(err, -1, "url too long");
  snprintf(out, CLIENT_URL_SIZE, "%s", b.c_str());
  return 0;
}

int client_url_set_timeouts(char* url) {
  int ct = 6, rt = 15, wt = 8;
  conf_ptr h(conf_load(wy_conf_client_path()));
  if (h) {
    ct = conf_get_int(h.get(), "conf", "connect_timeout", 6);
    rt = conf_get_int(h.get(), "conf", "read_timeout", 15);
    wt = conf_get_int(h.get(), "conf", "write_timeout", 8);
  }
  url_set_query(url, CLIENT_URL_SIZE, "connect_timeout", ct, URL_SET_NOT_EXIST);
  url_set_query(url, CLIENT_URL_SIZE, "read_timeout", rt, URL_SET_NOT_EXIST);
  url_set_query(url, CLIENT_URL_SIZE, "write_timeout", wt, URL_SET_NOT_EXIST);
  return 0;
}
