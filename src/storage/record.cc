#include "storage/record.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/bytes.h"
#include "core/utf8.h"
#include "storage/cas_store.h"

namespace qm::storage::record {
namespace {

enum Tag : uint8_t { kNull = 0, kInt = 1, kTextInline = 2, kBlobInline = 3, kTextCas = 4, kBlobCas = 5, kDecimal = 6 };

QmError corrupt(const char* what) { return QmError::corruption(what); }

// UTF-8 check with a word-at-a-time pass over the ASCII prefix that most stored text is.
bool utf8_ok(std::span<const uint8_t> b) {
  size_t i = 0;
  for (; i + 8 <= b.size(); i += 8)
    if (load_u64(b.data() + i) & 0x8080808080808080ull) break;
  for (; i < b.size() && b[i] < 0x80; ++i) {
  }
  return i == b.size() || is_valid_utf8(as_chars(b.subspan(i)));
}

// Sets `slot` to a text or blob value, reusing its buffer when it already holds that kind.
void assign_bytes(Value& slot, bool text, std::span<const uint8_t> bytes) {
  const char* p = reinterpret_cast<const char*>(bytes.data());
  if (text ? slot.is_text() : slot.is_blob()) {
    slot.mutable_bytes().assign(p, bytes.size());
  } else {
    std::string s(p, bytes.size());
    slot = text ? Value::text(std::move(s)) : Value::blob(std::move(s));
  }
}

Result<void> decode_fields(std::span<const uint8_t> bytes, const CasStore& store, Row& out) {
  ByteReader rd(bytes);
  auto count = rd.u16();
  if (!count) return fail(corrupt("record: truncated u16"));
  size_t n = *count;
  if (out.size() > n) out.resize(n);
  // Every field takes at least its tag byte, so a hostile count cannot reserve more than the
  // input could hold.
  out.reserve(std::min(n, rd.remaining()));
  for (size_t i = 0; i < n; ++i) {
    auto tag = rd.u8();
    if (!tag) return fail(corrupt("record: truncated at field tag"));
    Value& slot = i < out.size() ? out[i] : out.emplace_back();
    switch (*tag) {
      case kNull:
        slot.set_null();
        break;
      case kInt: {
        auto v = rd.i64();
        if (!v) return fail(corrupt("record: truncated u64"));
        slot.set_int(*v);
        break;
      }
      case kTextInline:
      case kBlobInline: {
        auto len = rd.u16();
        if (!len) return fail(corrupt("record: truncated u16"));
        auto payload = rd.bytes(*len);
        if (!payload) return fail(corrupt("record: truncated inline payload"));
        bool text = *tag == kTextInline;
        if (text && !utf8_ok(*payload)) return fail(corrupt("record: invalid utf-8 text"));
        assign_bytes(slot, text, *payload);
        break;
      }
      case kTextCas:
      case kBlobCas: {
        auto index = rd.u64();
        if (!index) return fail(corrupt("record: truncated u64"));
        QM_ASSIGN(auto blob, store.get(*index));
        bool text = *tag == kTextCas;
        if (text && !utf8_ok(blob)) return fail(corrupt("record: invalid utf-8 in CAS"));
        assign_bytes(slot, text, blob);
        break;
      }
      case kDecimal: {
        auto raw = rd.bytes(16);
        if (!raw) return fail(corrupt("record: truncated i128"));
        i128 m;
        std::memcpy(&m, raw->data(), 16);
        slot.set_decimal(m);
        break;
      }
      default: {
        char buf[48];
        std::snprintf(buf, sizeof buf, "record: bad field tag 0x%02X", static_cast<unsigned>(*tag));
        return fail(QmError::corruption(buf));
      }
    }
  }
  return {};
}

}  // namespace

Result<void> encode_row_into(std::span<const Value> values, CasStore& store, std::string& out) {
  if (values.size() > kMaxFields) return fail(QmError::schema("too many columns (max 65535)"));
  const size_t start = out.size();
  ByteWriter w(out);
  w.u16(static_cast<uint16_t>(values.size()));
  for (const Value& v : values) {
    switch (v.kind()) {
      case Value::Kind::Null:
        w.u8(kNull);
        break;
      case Value::Kind::Int:
        w.u8(kInt);
        w.i64(v.as_int());
        break;
      case Value::Kind::Decimal: {
        w.u8(kDecimal);
        i128 m = v.as_decimal();
        uint8_t raw[16];
        std::memcpy(raw, &m, 16);
        w.bytes(std::span<const uint8_t>(raw, 16));
        break;
      }
      case Value::Kind::Text:
      case Value::Kind::Blob: {
        bool text = v.is_text();
        std::string_view b = v.bytes();
        if (b.size() <= kInlineLimit) {
          w.u8(text ? kTextInline : kBlobInline);
          w.u16(static_cast<uint16_t>(b.size()));
          w.bytes(b);
        } else {
          auto index = store.put(b);
          if (!index) {
            out.resize(start);
            return fail(std::move(index).error());
          }
          w.u8(text ? kTextCas : kBlobCas);
          w.u64(*index);
        }
        break;
      }
    }
  }
  return {};
}

Result<std::string> encode_row(std::span<const Value> values, CasStore& store) {
  std::string out;
  QM_TRY(encode_row_into(values, store, out));
  return out;
}

Result<std::string> encode_record(const RecordEnvelope& envelope, std::span<const Value> values, CasStore& store) {
  std::string out(kEnvelopeSize, '\0');
  envelope.store(reinterpret_cast<uint8_t*>(out.data()));
  QM_TRY(encode_row_into(values, store, out));
  return out;
}

Result<void> decode_row_into(std::span<const uint8_t> bytes, const CasStore& store, Row& out) {
  auto r = decode_fields(bytes, store, out);
  if (!r) out.clear();
  return r;
}

Result<Row> decode_row(std::span<const uint8_t> bytes, const CasStore& store) {
  Row out;
  QM_TRY(decode_row_into(bytes, store, out));
  return out;
}

Result<RecordEnvelope> read_envelope(std::span<const uint8_t> bytes) {
  if (bytes.size() < kEnvelopeSize) return fail(QmError::buffer_too_small(kEnvelopeSize, bytes.size()));
  return RecordEnvelope::load(bytes.data());
}

Result<RecordEnvelope> decode_record_into(std::span<const uint8_t> bytes, const CasStore& store, Row& out) {
  auto env = read_envelope(bytes);
  if (!env) {
    out.clear();
    return env;
  }
  QM_TRY(decode_row_into(bytes.subspan(kEnvelopeSize), store, out));
  return *env;
}

Result<std::pair<RecordEnvelope, Row>> decode_record(std::span<const uint8_t> bytes, const CasStore& store) {
  Row row;
  QM_ASSIGN(RecordEnvelope env, decode_record_into(bytes, store, row));
  return std::pair<RecordEnvelope, Row>(env, std::move(row));
}

}  // namespace qm::storage::record
