// The page checksum: what is hashed, the 0 -> 1 rule, unstamped pages, and that any single
// changed byte of a stamped page is caught.
#include <gtest/gtest.h>

#include <vector>

#include "core/blake3.h"
#include "core/bytes.h"
#include "storage/page.h"

namespace qm::storage {
namespace {

uint8_t random_byte(uint64_t& x) { return static_cast<uint8_t>((x = x * 6364136223846793005u + 1442695040888963407u) >> 56); }

Page sample_page() {
  Page p{};
  for (size_t i = 0; i < kPageSize; ++i) p[i] = static_cast<uint8_t>(i * 31 + 7);
  store_u32(p.data() + kChecksumOffset, 0);
  return p;
}

TEST(PageChecksum, HashesEverythingButTheChecksumField) {
  Page p = sample_page();
  Blake3Hasher h;
  h.update(std::span<const uint8_t>(p.data(), 24));
  h.update(std::span<const uint8_t>(p.data() + 28, kPageSize - 28));
  uint32_t expected = load_u32(h.finalize().data());
  EXPECT_EQ(page_checksum(p), expected == 0 ? 1u : expected);
  // The field itself is not hashed.
  Page q = p;
  store_u32(q.data() + kChecksumOffset, 0xDEADBEEF);
  EXPECT_EQ(page_checksum(q), page_checksum(p));
}

// The chunk-parallel hash against the incremental hasher fed the same 4092 bytes, over
// pages of uniform and random bytes and holes at both ends of the first chunk.
TEST(PageChecksum, ParallelChunkHashEqualsTheIncrementalHash) {
  std::vector<Page> pages(3);
  pages[0].fill(0);
  pages[1].fill(0xFF);
  pages[2] = sample_page();
  uint64_t x = 42;
  for (int n = 0; n < 16; ++n) {
    Page& p = pages.emplace_back();
    for (auto& b : p) b = random_byte(x);
  }
  for (size_t hole : {size_t{0}, size_t{24}, size_t{1020}}) {
    for (const Page& p : pages) {
      Blake3Hasher h;
      h.update(std::span<const uint8_t>(p.data(), hole));
      h.update(std::span<const uint8_t>(p.data() + hole + 4, kPageSize - hole - 4));
      ASSERT_EQ(blake3_prefix_u32_of_4k_without(p, hole), load_u32(h.finalize().data())) << "hole " << hole;
    }
  }
}

// Pages checksummed side by side, in groups that fill the SIMD lanes and ones that do not,
// give each page its own checksum.
TEST(PageChecksum, ARunOfPagesGetsEachPagesOwnChecksum) {
  uint64_t x = 7;
  std::vector<uint8_t> run(40 * kPageSize);
  for (auto& b : run) b = random_byte(x);
  for (size_t n : {size_t{1}, size_t{5}, size_t{16}, size_t{17}, size_t{40}}) {
    std::vector<uint32_t> sums(n + 1, 0);  // one more than the pages: left as it was
    page_checksums(std::span<const uint8_t>(run.data(), n * kPageSize), sums);
    for (size_t i = 0; i < n; ++i)
      ASSERT_EQ(sums[i], page_checksum(std::span<const uint8_t, kPageSize>(run.data() + i * kPageSize, kPageSize)))
          << n << " pages, page " << i;
    EXPECT_EQ(sums[n], 0u);
  }
}

TEST(PageChecksum, EveryFlipOfAStampedPageIsCaughtAndNamedAndUnstampedPagesPass) {
  Page p = sample_page();
  EXPECT_TRUE(verify_page_checksum(3, p));
  p[100] ^= 0xFF;
  EXPECT_TRUE(verify_page_checksum(3, p));  // unstamped: whatever it holds
  stamp_page_checksum(p);
  ASSERT_NE(load_u32(p.data() + kChecksumOffset), 0u);
  ASSERT_TRUE(verify_page_checksum(3, p));
  for (size_t i = 0; i < kPageSize; ++i) {
    Page q = p;
    q[i] ^= 0x01;
    if (load_u32(q.data() + kChecksumOffset) == 0) continue;  // would read as unstamped
    ASSERT_EQ(verify_page_checksum(3, q).error().kind, ErrorKind::Corruption) << "flip at byte " << i;
  }
  store_u32(p.data() + kChecksumOffset, 0x00ABCDEF);
  char expected[128];
  std::snprintf(expected, sizeof expected,
                "data corruption: page 12 checksum mismatch (stored 0x00abcdef, computed 0x%08x)", page_checksum(p));
  EXPECT_EQ(verify_page_checksum(12, p).error().message(), expected);
}

}  // namespace
}  // namespace qm::storage
