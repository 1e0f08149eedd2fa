// Side-by-side hashing must give exactly the digests of hashing one input at a time.
#include "core/blake3.h"

#include <gtest/gtest.h>

#include <cctype>
#include <span>
#include <string>
#include <vector>

namespace qm {
namespace {

TEST(Blake3Each, EveryLengthAroundTheBlockAndChunkEdgesMatchesTheOneShotDigest) {
  // Lengths of every block count, each edge of a block, the chunk edge and past it, in an
  // order that fills and flushes the side-by-side groups unevenly.
  std::vector<size_t> lengths;
  for (size_t len = 0; len <= 1100; ++len)
    if (len % 64 <= 1 || len % 64 == 63 || len % 97 == 0 || (len >= 1020 && len <= 1030)) lengths.push_back(len);
  for (size_t i = 0; i < 40; ++i) lengths.push_back(1000);  // one group filled twice over
  lengths.push_back(5000);
  std::string source(6000, '\0');
  for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<char>(i * 131 + 7);

  std::vector<std::span<const uint8_t>> inputs;
  for (size_t i = 0; i < lengths.size(); ++i)
    inputs.push_back(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(source.data()) + i % 13, lengths[i]));
  std::vector<Digest> out(inputs.size());
  blake3_each(inputs, out);
  for (size_t i = 0; i < inputs.size(); ++i) EXPECT_EQ(out[i], blake3(inputs[i])) << "length " << lengths[i];
}

TEST(DigestFromHex, TakesEitherCaseAndRefusesAnyOtherByteOrLength) {
  const std::string lower = to_hex(blake3(std::string_view("x")));
  std::string upper = lower;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  ASSERT_TRUE(digest_from_hex(lower).has_value());
  EXPECT_EQ(digest_from_hex(upper), digest_from_hex(lower));
  EXPECT_EQ(to_hex(*digest_from_hex(lower)), lower);
  for (char bad : {'g', 'G', ' ', '/', ':', '@', '`', '\0', '\xff'}) {
    for (size_t at : {size_t{0}, size_t{1}, size_t{63}}) {
      std::string text = lower;
      text[at] = bad;
      EXPECT_FALSE(digest_from_hex(text).has_value()) << int(bad) << " at " << at;
    }
  }
  EXPECT_FALSE(digest_from_hex(lower.substr(1)).has_value());
  EXPECT_FALSE(digest_from_hex(lower + "0").has_value());
}

}  // namespace
}  // namespace qm
