#include "core/file_header.h"

#include "core/bytes.h"

namespace qm {

Result<FileHeader> FileHeader::decode(std::span<const uint8_t> bytes) {
  if (bytes.size() < kFileHeaderSize) return fail(QmError::buffer_too_small(kFileHeaderSize, bytes.size()));
  static constexpr std::array<uint8_t, 4> kMagic{'Q', 'M', 'D', 'B'};
  std::array<uint8_t, 4> found{bytes[0], bytes[1], bytes[2], bytes[3]};
  if (found != kMagic) return fail(QmError::signature_mismatch(kMagic, found));
  FileHeader h;
  h.format_version = load_u16(bytes.data() + 4);
  if (h.format_version == 0 || h.format_version > kMaxFormatVersion)
    return fail(QmError::corruption("unsupported .qmdb format version " + std::to_string(h.format_version) +
                                    "; this build reads up to " + std::to_string(kMaxFormatVersion)));
  h.manifest_offset = load_u64(bytes.data() + 8);
  h.pages_end = load_u64(bytes.data() + 16);
  return h;
}

void FileHeader::encode_to(std::string& out) const {
  ByteWriter w(out);
  w.bytes(std::string_view("QMDB"));
  w.u16(format_version);
  w.u16(0);
  w.u64(manifest_offset);
  w.u64(pages_end);
}

}  // namespace qm
