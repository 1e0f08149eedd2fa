// A test-only writer of columnar pages and their column encodings (the library only reads
// them), producing exactly the layout the reader accepts.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "core/bytes.h"
#include "core/int128.h"
#include "core/record_envelope.h"
#include "core/value.h"

namespace qm::storage::fixture {

using Bytes = std::vector<uint8_t>;

inline void put_uvarint(Bytes& out, uint64_t v) {
  do {
    uint8_t b = v & 0x7F;
    v >>= 7;
    out.push_back(v ? (b | 0x80) : b);
  } while (v);
}

inline void put_packed_i128(Bytes& out, i128 v) {
  u128 z = (static_cast<u128>(v) << 1) ^ static_cast<u128>(v >> 127);
  do {
    uint8_t b = static_cast<uint8_t>(z & 0x7F);
    z >>= 7;
    out.push_back(z ? (b | 0x80) : b);
  } while (z);
}

inline void put_u16(Bytes& out, uint16_t v) { out.insert(out.end(), {uint8_t(v), uint8_t(v >> 8)}); }
inline void put_u32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
}
inline void put_u64(Bytes& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(uint8_t(v >> (8 * i)));
}
inline void put_str(Bytes& out, std::string_view s) { out.insert(out.end(), s.begin(), s.end()); }

inline Bytes delta_z(const std::vector<int64_t>& values) {
  Bytes out;
  put_uvarint(out, values.size());
  if (values.empty()) return out;
  put_u64(out, static_cast<uint64_t>(values[0]));
  for (size_t i = 1; i < values.size(); ++i) {
    int64_t d = static_cast<int64_t>(static_cast<uint64_t>(values[i]) - static_cast<uint64_t>(values[i - 1]));
    put_uvarint(out, (static_cast<uint64_t>(d) << 1) ^ static_cast<uint64_t>(d >> 63));
  }
  return out;
}

inline Bytes pack_codes(const std::vector<uint8_t>& codes, unsigned width) {
  Bytes out((codes.size() * width + 7) / 8, 0);
  for (size_t i = 0; i < codes.size(); ++i)
    for (unsigned b = 0; b < width; ++b)
      if (codes[i] >> b & 1) out[(i * width + b) / 8] |= uint8_t(1u << ((i * width + b) % 8));
  return out;
}

inline Bytes dictionary(const std::vector<std::string>& symbols, const std::vector<uint8_t>& codes, uint8_t width) {
  Bytes out;
  put_u16(out, static_cast<uint16_t>(symbols.size()));
  for (const auto& s : symbols) {
    put_u32(out, static_cast<uint32_t>(s.size()));
    put_str(out, s);
  }
  out.push_back(width);
  Bytes stream = pack_codes(codes, width);
  put_u32(out, static_cast<uint32_t>(codes.size()));
  put_u32(out, static_cast<uint32_t>(stream.size()));
  out.insert(out.end(), stream.begin(), stream.end());
  return out;
}

inline Bytes raw(const std::vector<Value>& values) {
  Bytes out;
  put_u32(out, static_cast<uint32_t>(values.size()));
  for (const auto& v : values) {
    switch (v.kind()) {
      case Value::Kind::Null: out.push_back(0); break;
      case Value::Kind::Int: out.push_back(1); put_u64(out, static_cast<uint64_t>(v.as_int())); break;
      case Value::Kind::Text: out.push_back(2); put_u32(out, uint32_t(v.bytes().size())); put_str(out, v.bytes()); break;
      case Value::Kind::Blob: out.push_back(3); put_u32(out, uint32_t(v.bytes().size())); put_str(out, v.bytes()); break;
      case Value::Kind::Decimal: out.push_back(4); put_packed_i128(out, v.as_decimal()); break;
    }
  }
  return out;
}

inline Bytes packed_decimals(const std::vector<i128>& values) {
  Bytes out;
  for (i128 v : values) put_packed_i128(out, v);
  return out;
}

struct Column {
  uint8_t encoding;
  Bytes payload;
};

struct ColdPageShape {
  uint64_t page_id = 7;
  std::optional<uint64_t> next;
  uint32_t source_page_size = 4096;
  uint8_t layout = 1;
  std::vector<RecordEnvelope> envelopes;  // one per row
  uint16_t arity = 0;
  std::vector<Column> columns;
};

// The page bytes, padded with zeros to 4096 when they fit.
inline Bytes cold_page(const ColdPageShape& s, bool pad = true) {
  Bytes out;
  put_u64(out, s.page_id);
  out.push_back(2);
  put_u16(out, static_cast<uint16_t>(s.envelopes.size()));
  put_u64(out, s.next.value_or(~uint64_t{0}));
  put_u32(out, s.source_page_size);
  out.push_back(s.layout);
  put_u32(out, 0);  // checksum
  put_u16(out, s.arity);
  for (const auto& e : s.envelopes) {
    put_u64(out, e.created_tx);
    put_u64(out, e.deleted_tx);
    put_u64(out, e.reserved);
  }
  for (const auto& c : s.columns) {
    out.push_back(c.encoding);
    put_u32(out, static_cast<uint32_t>(c.payload.size()));
    out.insert(out.end(), c.payload.begin(), c.payload.end());
  }
  if (pad && out.size() < 4096) out.resize(4096, 0);
  return out;
}

}  // namespace qm::storage::fixture
