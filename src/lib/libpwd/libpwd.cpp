// Login key building.
#include "libpwd.h"

#include <string>

#include "pal_hash.h"
#include "liblog.h"

WY_LOG_TAG("pwd");

namespace {

// Built into every key so that a key never equals the plain SHA-1 of the
// user's own texts; the server applies the same rule.
constexpr char kKeyPrefix[] = "QKDRV";

}  // namespace

int libpwd_build_key(const char* user, const char* passwd, const char* cert, char* lkey, size_t lkey_size) {
  user = user ? user : "";
  passwd = passwd ? passwd : "";
  cert = cert ? cert : "";
  // The password stays out of the log, whatever the level: log files are
  // read and shared far more widely than the credentials they would expose.
  LOGV("user=[%s] pwd=[%s] cert=[%s]\n", user, passwd[0] ? "***" : "", cert);
  if (!WY_CHECK(lkey != nullptr && lkey_size >= LIBPWD_KEY_SIZE)) return -1;
  std::string all = std::string(kKeyPrefix) + user + passwd + cert;
  uint8_t md[SHA1_DIGEST_SIZE];
  if (!WY_CHECK(hash_sha1(all.data(), all.size(), md) == 0)) return -1;
  static const char hex[] = "0123456789abcdef";
  for (size_t i = 0; i < SHA1_DIGEST_SIZE; ++i) {
    lkey[2 * i] = hex[md[i] >> 4];
    lkey[2 * i + 1] = hex[md[i] & 15];
  }
  lkey[2 * SHA1_DIGEST_SIZE] = '\0';
  LOGV("lkey=[%s]\n", lkey);
  return 0;
}
