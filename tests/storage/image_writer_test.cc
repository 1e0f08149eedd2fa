// The image writer's layout arithmetic and its overflow refusal (the layout of a real image is
// the image tests' own).
#include <gtest/gtest.h>

#include "storage/image_writer.h"
#include "support/result_text.h"

namespace qm::storage {
namespace {


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
