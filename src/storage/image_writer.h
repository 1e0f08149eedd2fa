// The single-file image (.qmdb) layout and its writer. For n pages, a blob pool of P bytes,
// an index region of I bytes and a manifest of M bytes:
//   0                    24-byte header: "QMDB", u16 version, u16 0, u64 manifest offset,
//                        u64 page-area end
//   24                   pages 0 .. n-1, 4096 bytes each, as stored (checksums stamped)
//   E = 24 + 4096 n      blob pool (blobs in index order)
//   E + P                index region (binary secondary indexes, back to back)
//   O = E + P + I        manifest JSON, to the end of the file
// The writer lays already prepared parts end to end in one buffer of the exact final size; it
// does not check the manifest's offsets (the bake builds both from the same sizes).
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "core/error.h"
#include "storage/page.h"

namespace qm::storage {

struct ImageLayout {
  uint64_t pages_end = 0;        // E
  uint64_t index_offset = 0;     // E + P
  uint64_t manifest_offset = 0;  // O
  uint64_t total = 0;            // O + M
};

// n >= 2^52 or any sum overflowing 64 bits: Corruption "monolith size overflows address space".
Result<ImageLayout> image_layout(uint64_t page_count, uint64_t pool_len, uint64_t index_len, uint64_t manifest_len);

// The 24-byte header of an image with that layout, into out[0, 24).
void write_image_header(std::span<uint8_t, 24> out, const ImageLayout& layout, uint16_t version);

Result<std::string> bake_monolith_bytes_with_index(std::span<const Page> pages, std::span<const uint8_t> pool,
                                                   std::span<const uint8_t> index_region,
                                                   std::span<const uint8_t> manifest, uint16_t version);

}  // namespace qm::storage
