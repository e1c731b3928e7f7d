// SHA-1 and Base64 through mbedTLS; the 2.x and 3.x interfaces differ only in
// the SHA-1 entry point.
#include <mbedtls/base64.h>
#include <mbedtls/sha1.h>
#include <mbedtls/version.h>

#include <climits>

#include "liblog.h"
#include "pal_hash.h"

WY_LOG_TAG("pal");

int hash_sha1(const void* data, size_t len, uint8_t out[SHA1_DIGEST_SIZE]) {
  if (!WY_CHECK(out != nullptr && (data != nullptr || len == 0))) return -1;
  static const unsigned char empty = 0;
  const auto* in = data ? static_cast<const unsigned char*>(data) : &empty;
#if MBEDTLS_VERSION_NUMBER >= 0x03000000
  int rc = mbedtls_sha1(in, len, out);
#else
  int rc = mbedtls_sha1_ret(in, len, out);
#endif
  return rc == 0 ? 0 : -1;
}

int base64_encode(const void* data, size_t len, char* out, size_t out_size) {
  if (!WY_CHECK(out != nullptr && (data != nullptr || len == 0))) return -1;
  if (out_size == 0) return -1;
  out[0] = '\0';
  // The text plus its NUL must fit; mbedTLS checks the same before writing.
  if (base64_encoded_len(len) >= out_size || base64_encoded_len(len) > INT_MAX) return -1;
  size_t olen = 0;
  static const unsigned char empty = 0;
  const auto* in = data ? static_cast<const unsigned char*>(data) : &empty;
  if (mbedtls_base64_encode(reinterpret_cast<unsigned char*>(out), out_size, &olen, in, len) != 0) {
    out[0] = '\0';
    return -1;
  }
  return static_cast<int>(olen);
}

std::string base64_encode(const void* data, size_t len) {
  std::string s(base64_encoded_len(len) + 1, '\0');
  int n = base64_encode(data, len, s.data(), s.size());
  s.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return s;
}

int base64_decode(const char* text, size_t len, void* out, size_t out_size) {
  if (!WY_CHECK(text != nullptr || len == 0)) return -1;
  if (len == 0) return 0;
  // mbedTLS silently drops a trailing group of fewer than four characters;
  // such a text was cut somewhere, so it is refused here.
  size_t chars = 0;
  for (size_t i = 0; i < len; ++i) chars += !(text[i] == ' ' || text[i] == '\r' || text[i] == '\n');
  if (chars % 4 != 0) return -1;
  size_t olen = 0;
  // With no room at all mbedTLS only reports the size it would need; pass a
  // dummy so the call still validates the text and refuses by size.
  unsigned char dummy;
  unsigned char* dst = out_size ? static_cast<unsigned char*>(out) : &dummy;
  if (!WY_CHECK(dst != nullptr)) return -1;
  int rc = mbedtls_base64_decode(dst, out_size, &olen, reinterpret_cast<const unsigned char*>(text), len);
  if (rc != 0 || olen > INT_MAX) return -1;
  return static_cast<int>(olen);
}

int base64_decode(const std::string& text, std::string* out) {
  if (!WY_CHECK(out != nullptr)) return -1;
  out->assign(text.size() / 4 * 3 + 3, '\0');
  int n = base64_decode(text.data(), text.size(), out->data(), out->size());
  out->resize(n < 0 ? 0 : static_cast<size_t>(n));
  return n;
}
