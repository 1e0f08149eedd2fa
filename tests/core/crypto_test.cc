#include "core/crypto.h"

#include <gtest/gtest.h>

#include "core/blake3.h"
#include "core/bytes.h"

namespace qm::crypto {
namespace {

TEST(Crypto, SealOpenRoundTripAndTamperDetection) {
  Key key{};
  Nonce nonce{};
  ASSERT_TRUE(random_bytes(key).has_value());
  ASSERT_TRUE(random_bytes(nonce).has_value());
  std::string plain = "the quick brown fox", aad = "header";
  std::string cipher(plain.size(), '\0');
  auto tag = seal(key, nonce, as_bytes(aad), as_bytes(plain),
                  {reinterpret_cast<uint8_t*>(cipher.data()), cipher.size()});
  ASSERT_TRUE(tag.has_value());
  EXPECT_NE(cipher, plain);
  std::string back(plain.size(), '\0');
  std::span<uint8_t> back_span(reinterpret_cast<uint8_t*>(back.data()), back.size());
  ASSERT_TRUE(open(key, nonce, as_bytes(aad), as_bytes(cipher), *tag, back_span));
  EXPECT_EQ(back, plain);
  cipher[3] ^= 1;
  EXPECT_FALSE(open(key, nonce, as_bytes(aad), as_bytes(cipher), *tag, back_span));
  cipher[3] ^= 1;
  EXPECT_FALSE(open(key, nonce, as_bytes(std::string_view("other")), as_bytes(cipher), *tag, back_span));
}

TEST(Crypto, Argon2idIsDeterministicPerSalt) {
  std::string pass = "correct horse", salt1 = "0123456789abcdef", salt2 = "fedcba9876543210";
  auto a = argon2id(as_bytes(pass), as_bytes(salt1), 2, 1024, 1);
  auto b = argon2id(as_bytes(pass), as_bytes(salt1), 2, 1024, 1);
  auto c = argon2id(as_bytes(pass), as_bytes(salt2), 2, 1024, 1);
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(*a, *b);
  EXPECT_NE(*a, *c);
  EXPECT_FALSE(argon2id(as_bytes(pass), as_bytes(std::string_view("short")), 2, 1024, 1).has_value());
}

}  // namespace
}  // namespace qm::crypto
