#include "platform/crypto.h"

#include <gtest/gtest.h>

namespace {

TEST(CryptoTest, DigestsMatchKnownVectors) {
  auto md5 = platform::md5("");
  EXPECT_EQ(platform::hexString(md5.data(), md5.size()), "d41d8cd98f00b204e9800998ecf8427e");
  md5 = platform::md5("The quick brown fox jumps over the lazy dog");
  EXPECT_EQ(platform::hexString(md5.data(), md5.size()), "9e107d9d372bb6826bd81d3542a419d6");
  auto sha = platform::sha256("abc");
  EXPECT_EQ(platform::hexString(sha.data(), sha.size()),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(CryptoTest, RandomBytesAndAFailingGenerator) {
  uint8_t a[32] = {}, b[32] = {};
  ASSERT_TRUE(platform::secureRandomBytes(a, sizeof a));
  ASSERT_TRUE(platform::secureRandomBytes(b, sizeof b));
  EXPECT_NE(std::string(a, a + 32), std::string(b, b + 32));

  platform::setRandomSource([](uint8_t* out, size_t count, std::string& failure) {
    for (size_t i = 0; i < count; ++i) out[i] = 0xAB;  // half-done work must not leak out
    failure = "entropy source unavailable";
    return false;
  });
  platform::ErrorRef error;
  uint8_t c[8];
  EXPECT_FALSE(platform::secureRandomBytes(c, sizeof c, &error));
  platform::setRandomSource(nullptr);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), platform::kSecureRandomErrorDomain);
  EXPECT_EQ(error->localizedDescription(), "entropy source unavailable");
  EXPECT_EQ(std::string(c, c + 8), std::string(8, '\0'));
}

}  // namespace
