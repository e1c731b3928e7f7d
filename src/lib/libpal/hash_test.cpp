#include "pal_hash.h"

#include <gtest/gtest.h>
#include <mbedtls/base64.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

std::string hex(const uint8_t* p, size_t n) {
  std::string s;
  char b[3];
  for (size_t i = 0; i < n; ++i) {
    snprintf(b, sizeof b, "%02x", p[i]);
    s += b;
  }
  return s;
}

// FIPS 180-1 appendix A vectors, and python3 hashlib for the password form:
//   base64.b64encode(hashlib.sha1(b'secret').digest()) == b'5en6G6MezRroT3XKqkdPOmY/BfQ='
TEST(HashTest, Sha1KnownVectors) {
  uint8_t md[SHA1_DIGEST_SIZE];
  ASSERT_EQ(0, hash_sha1("abc", 3, md));
  EXPECT_EQ("a9993e364706816aba3e25717850c26c9cd0d89d", hex(md, sizeof md));
  const char* two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  ASSERT_EQ(0, hash_sha1(two, strlen(two), md));
  EXPECT_EQ("84983e441c3bd26ebaae4aa1f95129e5e54670f1", hex(md, sizeof md));
  ASSERT_EQ(0, hash_sha1(nullptr, 0, md));
  EXPECT_EQ("da39a3ee5e6b4b0d3255bfef95601890afd80709", hex(md, sizeof md));
  EXPECT_EQ(-1, hash_sha1(nullptr, 3, md));

  ASSERT_EQ(0, hash_sha1("secret", 6, md));
  EXPECT_EQ("5en6G6MezRroT3XKqkdPOmY/BfQ=", base64_encode(md, sizeof md));
}

TEST(HashTest, Base64Rfc4648Vectors) {
  const char* plain[] = {"", "f", "fo", "foo", "foob", "fooba", "foobar"};
  const char* coded[] = {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
  for (size_t i = 0; i < 7; ++i) {
    EXPECT_EQ(coded[i], base64_encode(plain[i], strlen(plain[i])));
    std::string back;
    EXPECT_EQ(static_cast<int>(strlen(plain[i])), base64_decode(coded[i], &back));
    EXPECT_EQ(plain[i], back);
  }
}

TEST(HashTest, Base64RoundTripAllBytes) {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  for (size_t n = 0; n <= bytes.size(); n += 37) {
    std::string text = base64_encode(bytes.data(), n);
    EXPECT_EQ(base64_encoded_len(n), text.size());
    std::string back;
    EXPECT_EQ(static_cast<int>(n), base64_decode(text, &back));
    EXPECT_EQ(bytes.substr(0, n), back);
  }
}

TEST(HashTest, Base64RefusesWhatDoesNotFit) {
  char text[9];
  EXPECT_EQ(8, base64_encode("foobar", 6, text, sizeof text));
  EXPECT_STREQ("Zm9vYmFy", text);
  EXPECT_EQ(-1, base64_encode("foobar", 6, text, 8));  // no room for the NUL
  EXPECT_STREQ("", text);

  // Decoding into a buffer one byte short must write nothing past it.
  char out[8];
  memset(out, '#', sizeof out);
  EXPECT_EQ(-1, base64_decode("Zm9vYmFy", 8, out, 5));
  EXPECT_EQ('#', out[5]);
  EXPECT_EQ(6, base64_decode("Zm9vYmFy", 8, out, 6));
  EXPECT_EQ(0, memcmp(out, "foobar", 6));
  EXPECT_EQ(-1, base64_decode("Zm9vYmFy", 8, out, 0));

  EXPECT_EQ(-1, base64_decode("Zm9v!mFy", 8, out, sizeof out));  // not Base64
  EXPECT_EQ(-1, base64_decode("Zm9vY", 5, out, sizeof out));     // cut short
  EXPECT_EQ(-1, base64_decode("Zg==Zg==", 8, out, sizeof out));  // padding inside
}

}  // namespace

// The table codec against mbedTLS's: the same text for every length, and
// for texts with a character changed (blanks, line breaks, padding, bytes
// outside the alphabet) the same verdict and the same bytes as mbedTLS
// gives under our rule that a text's characters come in whole groups.
TEST(HashTest, Base64MatchesTheLibraryOnPlainAndDamagedTexts) {
  std::mt19937 rng(7);
  const char kChange[] = {'=', ' ', '\n', '\r', '!', '-', '_', 'A', '/', '+', '\0', '\x80', '\xff'};
  int damaged = 0, refused = 0;
  for (size_t n = 0; n < 300; ++n) {
    std::string bytes(n, '\0');
    for (char& c : bytes) c = static_cast<char>(rng());
    std::vector<unsigned char> lib(base64_encoded_len(n) + 1);
    size_t olen = 0;
    ASSERT_EQ(0, mbedtls_base64_encode(lib.data(), lib.size(), &olen,
                                       reinterpret_cast<const unsigned char*>(bytes.data()), n));
    std::string text = base64_encode(bytes.data(), n);
    ASSERT_EQ(std::string(reinterpret_cast<char*>(lib.data()), olen), text) << n;
    for (int k = 0; k < 8 && !text.empty(); ++k) {
      std::string t = text;
      t[rng() % t.size()] = kChange[rng() % sizeof kChange];
      if (k % 2) t.insert(rng() % (t.size() + 1), 1, kChange[rng() % sizeof kChange]);
      size_t chars = 0;
      for (char c : t) chars += !(c == ' ' || c == '\r' || c == '\n');
      std::vector<unsigned char> want(n + 4), got(n + 4);
      size_t wlen = 0;
      int wrc = chars % 4 != 0 ? -1
                : mbedtls_base64_decode(want.data(), want.size(), &wlen,
                                        reinterpret_cast<const unsigned char*>(t.data()), t.size());
      int grc = base64_decode(t.data(), t.size(), got.data(), got.size());
      damaged++;
      if (wrc != 0) {
        refused++;
        EXPECT_EQ(-1, grc) << "[" << t << "]";
      } else {
        ASSERT_EQ(static_cast<int>(wlen), grc) << "[" << t << "]";
        EXPECT_EQ(0, memcmp(want.data(), got.data(), wlen)) << "[" << t << "]";
      }
    }
  }
  // Both verdicts were met many times.
  EXPECT_GT(refused, 200);
  EXPECT_GT(damaged - refused, 200);
}
