#include "storage/column_codec.h"

#include <algorithm>
#include <cstdio>

#include "core/bytes.h"
#include "core/utf8.h"

namespace qm::storage::compress {
namespace {

QmError corrupt(const char* what) { return QmError::corruption(what); }
QmError end_of_buffer() { return corrupt("columnar: unexpected end of buffer"); }

template <class... Args>
QmError corruptf(const char* fmt, Args... args) {
  char buf[128];
  std::snprintf(buf, sizeof buf, fmt, args...);
  return QmError::corruption(buf);
}

Result<std::vector<Value>> decode_raw(std::span<const uint8_t> bytes) {
  ByteReader rd(bytes);
  auto count = rd.u32();
  if (!count) return fail(end_of_buffer());
  std::vector<Value> out;
  // Each value takes at least its tag byte.
  out.reserve(std::min<size_t>(*count, rd.remaining()));
  for (uint32_t i = 0; i < *count; ++i) {
    auto tag = rd.u8();
    if (!tag) return fail(corrupt("columnar raw: truncated tag"));
    switch (*tag) {
      case 0:
        out.emplace_back();
        break;
      case 1: {
        auto v = rd.i64();
        if (!v) return fail(end_of_buffer());
        out.push_back(Value::integer(*v));
        break;
      }
      case 2:
      case 3: {
        auto len = rd.u32();
        if (!len) return fail(end_of_buffer());
        auto payload = rd.bytes(*len);
        if (!payload) return fail(end_of_buffer());
        if (*tag == 3) {
          out.push_back(Value::blob(*payload));
        } else {
          if (!is_valid_utf8(as_chars(*payload))) return fail(corrupt("columnar raw: bad utf-8"));
          out.push_back(Value::text(std::string(as_chars(*payload))));
        }
        break;
      }
      case 4: {
        size_t pos = rd.position();
        QM_ASSIGN(i128 m, decode_packed_i128(bytes, pos));
        rd.skip(pos - rd.position());
        out.push_back(Value::decimal(m));
        break;
      }
      default:
        return fail(corruptf("columnar raw: bad value tag 0x%02X", static_cast<unsigned>(*tag)));
    }
  }
  if (!rd.at_end()) return fail(corrupt("columnar raw: trailing bytes"));
  return out;
}

Result<std::vector<Value>> decode_packed_decimals(std::span<const uint8_t> bytes, uint16_t rows) {
  std::vector<Value> out;
  out.reserve(std::min<size_t>(rows, bytes.size()));
  size_t pos = 0;
  for (uint16_t i = 0; i < rows; ++i) {
    QM_ASSIGN(i128 m, decode_packed_i128(bytes, pos));
    out.push_back(Value::decimal(m));
  }
  if (pos != bytes.size()) return fail(corrupt("packed decimal column has trailing bytes"));
  return out;
}

}  // namespace

Result<uint64_t> read_uvarint(std::span<const uint8_t> bytes, size_t& pos) {
  uint64_t result = 0;
  for (int i = 0;; ++i) {
    if (pos >= bytes.size()) return fail(corrupt("truncated varint"));
    uint8_t b = bytes[pos++];
    uint64_t payload = b & 0x7F;
    if (i == 9) {
      if (payload > 1) return fail(corrupt("varint overflow"));
      if (b & 0x80) return fail(corrupt("unterminated varint"));
    }
    result |= payload << (7 * i);
    if (!(b & 0x80)) {
      if (i > 0 && payload == 0) return fail(corrupt("non-canonical varint"));
      return result;
    }
  }
}

Result<i128> decode_packed_i128(std::span<const uint8_t> bytes, size_t& pos) {
  u128 result = 0;
  for (int i = 0;; ++i) {
    if (pos >= bytes.size()) return fail(corrupt("packed decimal: truncated varint"));
    uint8_t b = bytes[pos++];
    u128 payload = b & 0x7F;
    if (i == 18) {
      if (payload > 3) return fail(corrupt("packed decimal: varint exceeds 128 bits"));
      if (b & 0x80) return fail(corrupt("packed decimal: unterminated varint"));
    }
    result |= payload << (7 * i);
    if (!(b & 0x80)) {
      if (i > 0 && payload == 0) return fail(corrupt("packed decimal: non-canonical varint"));
      return static_cast<i128>(result >> 1) ^ -static_cast<i128>(result & 1);
    }
  }
}

Result<std::vector<int64_t>> delta_z_decode(std::span<const uint8_t> bytes) {
  size_t pos = 0;
  QM_ASSIGN(uint64_t n, read_uvarint(bytes, pos));
  std::vector<int64_t> out;
  if (n > 0) {
    if (bytes.size() - pos < 8) return fail(corrupt("delta-z: missing base"));
    out.reserve(static_cast<size_t>(std::min<uint64_t>(n, bytes.size())));
    uint64_t prev = load_u64(bytes.data() + pos);
    pos += 8;
    out.push_back(static_cast<int64_t>(prev));
    for (uint64_t i = 1; i < n; ++i) {
      QM_ASSIGN(uint64_t d, read_uvarint(bytes, pos));
      prev += static_cast<uint64_t>(zigzag_decode(d));
      out.push_back(static_cast<int64_t>(prev));
    }
  }
  if (pos != bytes.size()) return fail(corrupt("delta-z: trailing bytes"));
  return out;
}

Result<std::vector<uint8_t>> unpack_codes(std::span<const uint8_t> bytes, uint8_t width, uint64_t count) {
  if (width < 1 || width > 8) return fail(corruptf("bit-pack: invalid bit width %u (must be 1..=8)", unsigned{width}));
  uint64_t bits;
  if (__builtin_mul_overflow(count, uint64_t{width}, &bits)) return fail(corrupt("bit-pack: encoded size overflow"));
  uint64_t expected = bits / 8 + (bits % 8 != 0);
  if (bytes.size() != expected)
    return fail(corruptf("bit-pack: expected %llu byte(s), found %zu", static_cast<unsigned long long>(expected),
                         bytes.size()));
  if (bits % 8 != 0 && (bytes.back() >> (bits % 8)) != 0) return fail(corrupt("bit-pack: nonzero padding bits"));
  std::vector<uint8_t> out(static_cast<size_t>(count));
  const unsigned mask = (1u << width) - 1;
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t bit = i * width;
    size_t byte = static_cast<size_t>(bit / 8);
    unsigned shift = static_cast<unsigned>(bit % 8);
    unsigned v = bytes[byte] >> shift;
    if (shift + width > 8) v |= static_cast<unsigned>(bytes[byte + 1]) << (8 - shift);
    out[static_cast<size_t>(i)] = static_cast<uint8_t>(v & mask);
  }
  return out;
}

Result<DictionaryColumn> DictionaryColumn::parse(std::span<const uint8_t> block) {
  ByteReader rd(block);
  auto symbols = rd.u16();
  if (!symbols) return fail(end_of_buffer());
  if (*symbols > kMaxDictionarySymbols)
    return fail(corruptf("dictionary: %u symbols exceeds the codec limit", unsigned{*symbols}));
  DictionaryColumn d;
  d.symbols.reserve(*symbols);
  for (uint16_t i = 0; i < *symbols; ++i) {
    auto len = rd.u32();
    if (!len) return fail(end_of_buffer());
    auto text = rd.bytes(*len);
    if (!text) return fail(end_of_buffer());
    if (!is_valid_utf8(as_chars(*text))) return fail(corrupt("dictionary: bad utf-8 symbol"));
    d.symbols.emplace_back(as_chars(*text));
  }
  auto width = rd.u8();
  if (!width) return fail(corrupt("dictionary: missing bit width"));
  auto codes = rd.u32();
  auto stream_len = rd.u32();
  if (!codes || !stream_len) return fail(end_of_buffer());
  auto stream = rd.bytes(*stream_len);
  if (!stream) return fail(end_of_buffer());
  if (!rd.at_end()) return fail(corrupt("dictionary: trailing bytes after code stream"));
  d.width = *width;
  d.code_count = *codes;
  d.stream = *stream;
  return d;
}

Result<std::vector<Value>> DictionaryColumn::decode() const {
  QM_ASSIGN(auto codes, unpack_codes(stream, width, code_count));
  std::vector<Value> out;
  out.reserve(codes.size());
  for (uint8_t c : codes) {
    if (c >= symbols.size()) return fail(corrupt("dictionary: code out of range"));
    out.push_back(Value::text(symbols[c]));
  }
  return out;
}

Result<std::vector<Value>> decode_column(uint8_t encoding, std::span<const uint8_t> bytes, uint16_t rows) {
  std::vector<Value> values;
  switch (encoding) {
    case kEncodingDeltaInt: {
      QM_ASSIGN(auto ints, delta_z_decode(bytes));
      values.reserve(ints.size());
      for (int64_t v : ints) values.push_back(Value::integer(v));
      break;
    }
    case kEncodingDictionary: {
      QM_ASSIGN(auto dict, DictionaryColumn::parse(bytes));
      QM_ASSIGN(values, dict.decode());
      break;
    }
    case kEncodingRaw: {
      QM_ASSIGN(values, decode_raw(bytes));
      break;
    }
    case kEncodingPackedDecimal: {
      QM_ASSIGN(values, decode_packed_decimals(bytes, rows));
      break;
    }
    default:
      return fail(corruptf("columnar: unknown column encoding 0x%02X", unsigned{encoding}));
  }
  if (values.size() != rows)
    return fail(corruptf("columnar: column length %zu != row count %u", values.size(), unsigned{rows}));
  return values;
}

}  // namespace qm::storage::compress
