// Column codecs of columnar pages, read side only (nothing in the library writes columnar
// pages). Every decoder is total over hostile input: bounds-checked reads, storage reserved
// from a declared count capped by the input length, the first fault returned as Corruption
// with the codec's own text, nothing partial returned.
//
//   uvarint      LEB128, least significant group first, at most 10 bytes, canonical (a
//                multi-byte value never ends in a zero group)
//   zigzag       n -> (n >> 1) ^ -(n & 1)
//   packed i128  zigzag of a canonical LEB128 u128 of at most 19 bytes
//   delta-z      uvarint N; N > 0: i64 base, then N - 1 zigzag uvarint deltas (wrapping adds)
//   bit packing  count codes of `width` (1..8) bits, least significant bit first, in exactly
//                ceil(count * width / 8) bytes with zero padding bits
//   dictionary   u16 symbol count (<= 256), per symbol u32 len + UTF-8, u8 bit width,
//                u32 code count, u32 stream length, the packed code stream
// Column encodings: 1 Int delta-z, 2 Text dictionary, 3 raw tagged values, 4 packed Decimals.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/int128.h"
#include "core/value.h"

namespace qm::storage::compress {

inline constexpr uint8_t kEncodingDeltaInt = 1;
inline constexpr uint8_t kEncodingDictionary = 2;
inline constexpr uint8_t kEncodingRaw = 3;
inline constexpr uint8_t kEncodingPackedDecimal = 4;
inline constexpr size_t kMaxDictionarySymbols = 256;

// Reads a uvarint at `pos` and advances it: "truncated varint", "varint overflow",
// "unterminated varint", "non-canonical varint".
Result<uint64_t> read_uvarint(std::span<const uint8_t> bytes, size_t& pos);
inline constexpr int64_t zigzag_decode(uint64_t n) {
  return static_cast<int64_t>(n >> 1) ^ -static_cast<int64_t>(n & 1);
}
// "packed decimal: truncated varint", "... varint exceeds 128 bits", "... unterminated
// varint", "... non-canonical varint".
Result<i128> decode_packed_i128(std::span<const uint8_t> bytes, size_t& pos);
// "delta-z: missing base", "delta-z: trailing bytes" and the varint texts.
Result<std::vector<int64_t>> delta_z_decode(std::span<const uint8_t> bytes);
// "bit-pack: invalid bit width {} (must be 1..=8)", "bit-pack: encoded size overflow",
// "bit-pack: expected {} byte(s), found {}", "bit-pack: nonzero padding bits".
Result<std::vector<uint8_t>> unpack_codes(std::span<const uint8_t> bytes, uint8_t width, uint64_t count);

// A dictionary column's parts, as read from its block.
struct DictionaryColumn {
  std::vector<std::string> symbols;
  uint8_t width = 0;
  uint32_t code_count = 0;
  std::span<const uint8_t> stream;

  // Parses a whole encoding-2 block ("dictionary: ..." and "columnar: unexpected end of
  // buffer" texts).
  static Result<DictionaryColumn> parse(std::span<const uint8_t> block);
  // The Text values the codes name ("dictionary: code out of range").
  Result<std::vector<Value>> decode() const;
};

// Decodes one column block into exactly `rows` values:
// "columnar: unknown column encoding 0x{:02X}", "columnar: column length {} != row count {}"
// and the codecs' texts.
Result<std::vector<Value>> decode_column(uint8_t encoding, std::span<const uint8_t> bytes, uint16_t rows);

}  // namespace qm::storage::compress
