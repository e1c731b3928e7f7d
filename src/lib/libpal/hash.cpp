// SHA-1 through mbedTLS (the 2.x and 3.x interfaces differ only in its entry
// point) and Base64. Base64 carries every small file of a list, so plain text
// goes through the tables here; mbedTLS's decoder, which runs in constant
// time at a fraction of the speed, keeps the texts with line breaks or blanks,
// so that what it accepts and refuses stays the rule.
#include <mbedtls/base64.h>
#include <mbedtls/sha1.h>
#include <mbedtls/version.h>

#include <climits>

#include "liblog.h"
#include "pal_hash.h"

WY_LOG_TAG("pal");

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

/// The 6-bit value of each character, 0xFF where it is none.
struct decode_table {
  uint8_t v[256];
  constexpr decode_table() : v() {
    for (uint8_t& x : v) x = 0xFF;
    for (int i = 0; i < 64; i++) v[static_cast<uint8_t>(kAlphabet[i])] = static_cast<uint8_t>(i);
  }
};
constexpr decode_table kDecode;

/// Plain text (whole groups of the alphabet, at most two '=' at its end)
/// into `out`: the byte count, -1 when it is too small, -2 when the text is
/// not plain (the general decoder decides).
int64_t decode_plain(const unsigned char* t, size_t len, unsigned char* out, size_t out_size) {
  if (len % 4 != 0) return -2;
  size_t pad = t[len - 1] == '=' ? (t[len - 2] == '=' ? 2 : 1) : 0;
  size_t need = len / 4 * 3 - pad;
  if (need > out_size) return -1;
  unsigned char* o = out;
  size_t whole = len - (pad ? 4 : 0);
  for (size_t i = 0; i < whole; i += 4) {
    uint32_t a = kDecode.v[t[i]], b = kDecode.v[t[i + 1]], c = kDecode.v[t[i + 2]], d = kDecode.v[t[i + 3]];
    if ((a | b | c | d) > 63) return -2;
    uint32_t x = a << 18 | b << 12 | c << 6 | d;
    o[0] = static_cast<unsigned char>(x >> 16);
    o[1] = static_cast<unsigned char>(x >> 8);
    o[2] = static_cast<unsigned char>(x);
    o += 3;
  }
  if (pad != 0) {
    const unsigned char* g = t + whole;
    uint32_t a = kDecode.v[g[0]], b = kDecode.v[g[1]], c = pad == 1 ? kDecode.v[g[2]] : 0;
    if ((a | b | c) > 63) return -2;
    uint32_t x = a << 18 | b << 12 | c << 6;
    *o++ = static_cast<unsigned char>(x >> 16);
    if (pad == 1) *o++ = static_cast<unsigned char>(x >> 8);
  }
  return static_cast<int64_t>(need);
}

}  // namespace

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
  const auto* in = static_cast<const unsigned char*>(data);
  char* o = out;
  size_t i = 0;
  for (; i + 3 <= len; i += 3) {
    uint32_t x = uint32_t{in[i]} << 16 | uint32_t{in[i + 1]} << 8 | in[i + 2];
    o[0] = kAlphabet[x >> 18];
    o[1] = kAlphabet[(x >> 12) & 63];
    o[2] = kAlphabet[(x >> 6) & 63];
    o[3] = kAlphabet[x & 63];
    o += 4;
  }
  if (i < len) {
    uint32_t x = uint32_t{in[i]} << 16 | (i + 1 < len ? uint32_t{in[i + 1]} << 8 : 0);
    o[0] = kAlphabet[x >> 18];
    o[1] = kAlphabet[(x >> 12) & 63];
    o[2] = i + 1 < len ? kAlphabet[(x >> 6) & 63] : '=';
    o[3] = '=';
    o += 4;
  }
  *o = '\0';
  return static_cast<int>(o - out);
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
  int64_t fast = decode_plain(reinterpret_cast<const unsigned char*>(text), len, static_cast<unsigned char*>(out),
                              out != nullptr ? out_size : 0);
  if (fast == -1 || fast > INT_MAX) return -1;
  if (fast >= 0) return static_cast<int>(fast);
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
