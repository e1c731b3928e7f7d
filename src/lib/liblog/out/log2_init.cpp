// Log settings from the "log" section of the program's ini file.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "libconf.h"
#include "log2_out_imp.h"

WY_LOG_TAG("log");

namespace {

constexpr int kFileSizeMin = 2048;

}  // namespace

int log2_init_imp(const char* ini_path) {
  log2_t* L = log2_default();
  if (const char* v = getenv("WYDBGLOG"); v != nullptr) log2_set_debug(L, 1);
  // Sockets need no start-up on POSIX; syslog and bsv open theirs on demand.
  log2_debugf(L, "conf=[%s]\n", ini_path ? ini_path : "");
  conf_ptr conf(ini_path ? conf_load(ini_path) : nullptr);
  if (!conf) {
    log2_debugf(L, "conf_load [%s] failed\n", ini_path ? ini_path : "");
    return -1;
  }
  auto get = [&](const char* key) -> const char* {
    const char* v = conf_get_str(conf.get(), "log", key, "");
    if (v == nullptr || *v == '\0') return nullptr;
    log2_debugf(L, "log.%s=%s\n", key, v);
    return v;
  };

  if (const char* v = get("debug"); v && strcmp(v, "1") == 0) log2_set_debug(L, 1);
  if (const char* v = get("level")) log2_ioctl(L, LOG2_SET_LEVEL_NAME, v);
  if (const char* v = get("flags")) log2_ioctl(L, LOG2_SET_FLAGS_TAGS, v);
  if (const char* v = get("syslog")) {
    if (log2_ioctl(L, LOG2_SET_SYSLOG, v) == 0) log2_ioctl(L, LOG2_SET_SYSLOG_ON, 1);
  }
  if (const char* v = get("bsvlog")) log2_ioctl(L, LOG2_SET_BSV, v);
  if (const char* v = get("file_dir")) log2_ioctl(L, LOG2_SET_FILE_DIR, v);
  if (const char* v = get("file_mode")) log2_set_file_mode(L, v);
  if (const char* v = get("file")) {
    if (log2_ioctl(L, LOG2_SET_FILE, v) == 0) log2_ioctl(L, LOG2_SET_FILE_ON, 1);
  }
  if (const char* v = get("file_size")) {
    uint64_t n = str_size_parse(v);
    if (n < static_cast<uint64_t>(kFileSizeMin)) {
      LOGW("log2_ioctl log.file_size=%d (must>=%d error)\n", static_cast<int>(n), kFileSizeMin);
    } else {
      // The limit is an int: anything larger is held at its maximum.
      int lim = n > 0x7fffffffu ? 0x7fffffff : static_cast<int>(n);
      log2_ioctl(L, LOG2_SET_FILE_SIZE, lim);
    }
  }
  if (const char* v = get("dbgview")) log2_ioctl(L, LOG2_SET_DBGVIEW_ON, strcmp(v, "1") == 0 ? 1 : 0);
  return 0;
}
