// Side-by-side hashing must give exactly the digests of hashing one input at a time.
#include "core/blake3.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace qm
