#include "libpwd.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string key(const char* u, const char* p, const char* c) {
  char out[LIBPWD_KEY_SIZE];
  EXPECT_EQ(0, libpwd_build_key(u, p, c, out, sizeof out));
  return out;
}

// Expected keys were computed outside this code:
//   python3 -c "import hashlib; print(hashlib.sha1(b'QKDRV').hexdigest())"
//   python3 -c "import hashlib; print(hashlib.sha1(b'QKDRValicesecretcert-text').hexdigest())"
TEST(LibpwdTest, KnownVectors) {
  EXPECT_EQ("548a8333ead193108027077439e7f8498a7e35dc", key("", "", ""));
  EXPECT_EQ("548a8333ead193108027077439e7f8498a7e35dc", key(nullptr, nullptr, nullptr));
  EXPECT_EQ("175908f53804d55986a743d22bdee66a41ba6645", key("alice", "secret", "cert-text"));
}

TEST(LibpwdTest, PartsJoinWithoutSeparators) {
  EXPECT_EQ(key("alice", "secret", "cert-text"), key("alic", "esecret", "cert-text"));
  EXPECT_EQ(key("alice", "secret", "cert-text"), key("", "alicesecretcert-", "text"));
  EXPECT_NE(key("alice", "secret", ""), key("alice", "secreT", ""));
}

TEST(LibpwdTest, KeyShapeAndSmallBuffer) {
  std::string k = key("u", "p\xff\x01", "c");
  ASSERT_EQ(40u, k.size());
  EXPECT_EQ(std::string::npos, k.find_first_not_of("0123456789abcdef"));

  char small[40];
  memset(small, 'x', sizeof small);
  EXPECT_EQ(-1, libpwd_build_key("u", "p", "c", small, sizeof small));
  EXPECT_EQ('x', small[0]);
  EXPECT_EQ(-1, libpwd_build_key("u", "p", "c", nullptr, 41));
}

}  // namespace
