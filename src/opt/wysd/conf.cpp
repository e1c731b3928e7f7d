// wysd's command line and wysd.ini.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "libconf.h"
#include "liblog.h"
#include "srv.h"

WY_LOG_TAG("wysd");

namespace {

const char kUsage[] =
    "usage: wysd [conf=FILE] [root=DIR] [listen=ADDR] [port=N] [tls_port=N]\n"
    "            [trash=DIR] [write_threads=N] [level=LEVEL]\n"
    "       wysd -v\n"
    "\tconf=FILE      configuration file (section [server], users in [users])\n"
    "\troot=DIR       the directory served; clients cannot leave it\n"
    "\tlisten=ADDR    address to listen on (default all)\n"
    "\tport=N         plain TCP port (default 6688; 0 any free port; off)\n"
    "\ttls_port=N     TLS port (default 6686; 0 any free port; off)\n"
    "\ttrash=DIR      where deleted files go (same file system, outside root)\n"
    "\twrite_threads=N  threads that write one write list's files (0: one per core, at most 4)\n"
    "\tlevel=LEVEL    set log level: [verb, dbg, info, warn, err]\n";

}  // namespace

// Every setting: the [server] section takes them all, the command line
// those marked for it. The parse looks a key up here before it applies it.
const wysd_key wysd_keys[] = {
    {"conf", true, false},     {"root", true, true},        {"listen", true, true},  {"port", true, true},
    {"tls_port", true, true},  {"trash", true, true},       {"level", true, true},   {"cert", false, true},
    {"key", false, true},      {"login", false, true},      {"max_conn", false, true}, {"ctx_keep_s", false, true},
    {"login_s", false, true},  {"idle_s", false, true},     {"max_frame", false, true}, {"write_threads", true, true},
    {nullptr, false, false},
};

namespace {

const wysd_key* find_key(const std::string& k) {
  for (const wysd_key* w = wysd_keys; w->key; w++)
    if (k == w->key) return w;
  return nullptr;
}

/// A whole decimal number in [lo, hi]; "off" gives -1 when allowed.
bool parse_num(const std::string& s, long lo, long hi, bool off_ok, long* out) {
  if (off_ok && s == "off") {
    *out = -1;
    return true;
  }
  if (s.empty() || s.size() > 10) return false;
  for (char ch : s)
    if (ch < '0' || ch > '9') return false;
  long v = strtol(s.c_str(), nullptr, 10);
  if (v < lo || v > hi) return false;
  *out = v;
  return true;
}

/// Applies one setting by its key; `from` names where it came from.
/// Returns 0, 1 for an unknown key, 2 for a bad value (printed).
int apply(wysd_conf* c, const std::string& key, const std::string& val, const char* from) {
  long v = 0;
  auto bad = [&]() {
    fprintf(stderr, "wysd: %s: bad value for %s: [%s]\n", from, key.c_str(), val.c_str());
    return 2;
  };
  if (key == "root") {
    c->root = val;
  } else if (key == "listen") {
    c->listen = val;
  } else if (key == "port") {
    if (!parse_num(val, 0, 65535, true, &v)) return bad();
    c->port = static_cast<int>(v);
  } else if (key == "tls_port") {
    if (!parse_num(val, 0, 65535, true, &v)) return bad();
    c->tls_port = static_cast<int>(v);
  } else if (key == "cert") {
    c->cert = val;
  } else if (key == "key") {
    c->key = val;
  } else if (key == "login") {
    if (val == "sha")
      c->login_sha = true;
    else if (val == "challenge")
      c->login_sha = false;
    else
      return bad();
  } else if (key == "max_conn") {
    if (!parse_num(val, 1, 100000, false, &v)) return bad();
    c->max_conn = static_cast<int>(v);
  } else if (key == "ctx_keep_s") {
    if (!parse_num(val, 0, 86400, false, &v)) return bad();
    c->ctx_keep_s = static_cast<int>(v);
  } else if (key == "login_s") {
    if (!parse_num(val, 1, 3600, false, &v)) return bad();
    c->login_s = static_cast<int>(v);
  } else if (key == "idle_s") {
    if (!parse_num(val, 1, 86400, false, &v)) return bad();
    c->idle_s = static_cast<int>(v);
  } else if (key == "max_frame") {
    // At least what a read or write of one default block needs. A frame
    // never carries more than the 24-bit message length allows, so a larger
    // limit (the 32 MiB default among them) means that length.
    if (!parse_num(val, 1024 * 1024, INT32_MAX, false, &v)) return bad();
    c->max_frame = static_cast<int32_t>(v);
  } else if (key == "write_threads") {
    if (!parse_num(val, 0, 16, false, &v)) return bad();
    c->write_threads = static_cast<int>(v);
  } else if (key == "trash") {
    c->trash = val;
  } else if (key == "level") {
    if (log2_level_by_name(val.c_str()) < 0) return bad();
    c->level = val;
  } else {
    return 1;
  }
  return 0;
}

int load_file(wysd_conf* c) {
  const char* path = c->conf_path.c_str();
  os_stat_t st;
  if (os_file_stat(path, true, &st) < 0) {
    fprintf(stderr, "wysd: conf [%s]: %s\n", path, os_last_errstr());
    return 2;
  }
  conf_handle* h = conf_load(path);
  if (h == nullptr) {
    fprintf(stderr, "wysd: conf [%s]: cannot be read\n", path);
    return 2;
  }
  int ret = 0;
  std::vector<std::string> keys;
  conf_get_keys(h, "server", &keys);
  for (const std::string& k : keys) {
    const char* v = conf_get_str(h, "server", k.c_str(), "");
    const wysd_key* w = find_key(k);
    int r = w && w->in_file ? apply(c, k, v, path) : 1;
    if (r == 1) {
      fprintf(stderr, "wysd: conf [%s]: unknown key [%s] in [server]\n", path, k.c_str());
      r = 2;
    }
    if (r != 0) ret = r;
  }
  keys.clear();
  conf_get_keys(h, "users", &keys);
  for (const std::string& k : keys) c->users[k] = conf_get_str(h, "users", k.c_str(), "");
  conf_close(h);
  // Passwords that others can read are not passwords: refuse, as ssh
  // refuses a key file others can read.
  if (!c->users.empty() && (st.mode & 077) != 0) {
    fprintf(stderr, "wysd: conf [%s] holds users and is readable by others (mode %o): chmod 600 it\n",
            path, st.mode & 0777);
    return 2;
  }
  return ret;
}

/// The certificate and key paths: the configured ones, else beside the
/// configuration file (the working directory without one). Refuses a key
/// the server itself would hand out. Returns 0, or 2 with a message.
int tls_files(wysd_conf* c) {
  std::string dir = ".";
  size_t sl = c->conf_path.rfind('/');
  if (sl != std::string::npos) dir = sl == 0 ? "" : c->conf_path.substr(0, sl);
  if (c->cert.empty()) c->cert = dir + "/wysd_cert.pem";
  if (c->key.empty()) c->key = dir + "/wysd_key.pem";
  std::string root, key;
  if (os_path_resolve(c->root.c_str(), &root) != 0 || os_path_resolve(c->key.c_str(), &key) != 0) return 0;
  if (root == "/" || key == root || key.compare(0, root.size() + 1, root + "/") == 0) {
    fprintf(stderr, "wysd: key [%s] lies inside the root [%s], where clients could read it: set key= elsewhere\n",
            c->key.c_str(), c->root.c_str());
    return 2;
  }
  return 0;
}

}  // namespace

const char* wysd_usage() { return kUsage; }

int wysd_conf_load(int argc, char** argv, wysd_conf* c) {
  if (argc == 2 && strcmp(argv[1], "-v") == 0) {
    printf("wysd %s\n", WYSD_SRV_VERSION);
    return 3;
  }
  // The file first, then the words, which override it.
  std::vector<std::pair<std::string, std::string>> words;
  for (int i = 1; i < argc; i++) {
    const char* eq = strchr(argv[i], '=');
    if (eq == nullptr || eq == argv[i]) return 1;
    std::string key(argv[i], static_cast<size_t>(eq - argv[i]));
    if (key == "conf")
      c->conf_path = eq + 1;
    else
      words.emplace_back(key, eq + 1);
  }
  if (!c->conf_path.empty()) {
    int r = load_file(c);
    if (r != 0) return r;
  }
  for (const auto& [k, v] : words) {
    const wysd_key* w = find_key(k);
    if (w == nullptr || !w->on_command_line) return 1;
    int r = apply(c, k, v, "command line");
    if (r != 0) return r;
  }
  if (c->root.empty()) {
    fprintf(stderr, "wysd: no root: give root=DIR or a conf file with root\n");
    return 2;
  }
  if (c->port < 0 && c->tls_port < 0) {
    fprintf(stderr, "wysd: every listener is off\n");
    return 2;
  }
  return c->tls_port >= 0 ? tls_files(c) : 0;
}
