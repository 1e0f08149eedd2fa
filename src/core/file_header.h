// FileHeader: the 24-byte header of a single-file image: "QMDB", u16 format version,
// 2 reserved bytes, u64 manifest offset, u64 end of the page area (24 + 4096 x pages).
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "core/error.h"

namespace qm {

inline constexpr uint16_t kMaxFormatVersion = 8;
inline constexpr size_t kFileHeaderSize = 24;

struct FileHeader {
  uint16_t format_version = 0;
  uint64_t manifest_offset = 0;
  uint64_t pages_end = 0;

  static Result<FileHeader> decode(std::span<const uint8_t> bytes);
  void encode_to(std::string& out) const;
};

}  // namespace qm
