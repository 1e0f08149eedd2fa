// The image writer: header fields and region offsets, and the overflow refusal.
#include <gtest/gtest.h>

#include "core/bytes.h"
#include "storage/image_writer.h"
#include "support/result_text.h"

namespace qm::storage {
namespace {


std::span<const uint8_t> b(const std::string& s) { return as_bytes(s); }

TEST(ImageWriter, RegionsFollowEachOtherAtTheStatedOffsets) {
  std::vector<Page> pages(2);
  pages[0].fill(0x11);
  pages[1].fill(0x22);
  std::string pool(100, 'p'), index(40, 'i'), manifest(500, 'm');
  auto img = must(bake_monolith_bytes_with_index(pages, b(pool), b(index), b(manifest), 8));
  ASSERT_EQ(img.size(), 8856u);
  const auto* p = reinterpret_cast<const uint8_t*>(img.data());
  EXPECT_EQ(img.substr(0, 4), "QMDB");
  EXPECT_EQ(load_u16(p + 4), 8);
  EXPECT_EQ(load_u16(p + 6), 0);
  EXPECT_EQ(load_u64(p + 8), 8356u);
  EXPECT_EQ(load_u64(p + 16), 8216u);
  EXPECT_EQ(p[24], 0x11);
  EXPECT_EQ(p[24 + 4096], 0x22);
  EXPECT_EQ(img.substr(8216, 100), pool);
  EXPECT_EQ(img.substr(8316, 40), index);
  EXPECT_EQ(img.substr(8356), manifest);
  EXPECT_EQ(img.capacity(), img.size());  // built in one buffer of the final size
}

TEST(ImageWriter, SizesBeyondTheAddressSpaceAreRefusedBeforeAllocating) {
  auto l = must(image_layout(2, 100, 40, 500));
  EXPECT_EQ(l.index_offset, 8316u);
  EXPECT_EQ(l.total, 8856u);
  const std::string text = "data corruption: monolith size overflows address space";
  EXPECT_EQ(image_layout(uint64_t{1} << 52, 0, 0, 0).error().message(), text);
  EXPECT_TRUE(image_layout((uint64_t{1} << 52) - 1, 0, 0, 0));
  EXPECT_EQ(image_layout(1, UINT64_MAX - 100, 0, 0).error().message(), text);
  EXPECT_EQ(image_layout(0, 10, UINT64_MAX - 20, 0).error().message(), text);
  EXPECT_EQ(image_layout(0, 0, 0, UINT64_MAX).error().message(), text);
}

}  // namespace
}  // namespace qm::storage
