#include "storage/record.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/bytes.h"
#include "core/utf8.h"
#include "storage/cas_store.h"

namespace qm::storage::record {
namespace {

enum Tag : uint8_t {
  kNull = 0,
  kInt = kIntFieldTag,
  kTextInline = 2,
  kBlobInline = 3,
  kTextCas = 4,
  kBlobCas = 5,
  kDecimal = 6
};

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

// The one walk over a row's fields: checks each field as it comes (bounds, tags, UTF-8,
// blob indexes) and hands on(i, tag, payload) its payload bytes (a stored blob's bytes for a
// blob-store field). The first fault ends the walk. `on_count` sees the declared count and
// the most fields the bytes could hold (each takes at least its tag byte) first. Raw
// pointers with one bounds test per read: this runs for every record a scan meets.
template <class OnCount, class OnField>
Result<void> walk_fields(std::span<const uint8_t> bytes, const CasStore& store, OnCount on_count, OnField on) {
  const uint8_t* p = bytes.data();
  const uint8_t* const end = p + bytes.size();
  if (bytes.size() < 2) return fail(corrupt("record: truncated u16"));
  const size_t n = load_u16(p);
  p += 2;
  on_count(n, std::min(n, static_cast<size_t>(end - p)));
  for (size_t i = 0; i < n; ++i) {
    if (p == end) return fail(corrupt("record: truncated at field tag"));
    const uint8_t tag = *p++;
    const size_t left = static_cast<size_t>(end - p);
    std::span<const uint8_t> payload;
    switch (tag) {
      case kNull:
        break;
      case kInt:
        if (left < 8) return fail(corrupt("record: truncated u64"));
        payload = {p, 8};
        p += 8;
        break;
      case kTextInline:
      case kBlobInline: {
        if (left < 2) return fail(corrupt("record: truncated u16"));
        const size_t len = load_u16(p);
        if (left - 2 < len) return fail(corrupt("record: truncated inline payload"));
        payload = {p + 2, len};
        p += 2 + len;
        if (tag == kTextInline && !utf8_ok(payload)) return fail(corrupt("record: invalid utf-8 text"));
        break;
      }
      case kTextCas:
      case kBlobCas: {
        if (left < 8) return fail(corrupt("record: truncated u64"));
        const uint64_t index = load_u64(p);
        p += 8;
        QM_ASSIGN(payload, store.get(index));
        if (tag == kTextCas && !utf8_ok(payload)) return fail(corrupt("record: invalid utf-8 in CAS"));
        break;
      }
      case kDecimal:
        if (left < 16) return fail(corrupt("record: truncated i128"));
        payload = {p, 16};
        p += 16;
        break;
      default: {
        char buf[48];
        std::snprintf(buf, sizeof buf, "record: bad field tag 0x%02X", static_cast<unsigned>(tag));
        return fail(QmError::corruption(buf));
      }
    }
    on(i, tag, payload);
  }
  return {};
}

Result<void> decode_fields(std::span<const uint8_t> bytes, const CasStore& store, Row& out) {
  return walk_fields(
      bytes, store,
      [&](size_t n, size_t reserve) {
        if (out.size() > n) out.resize(n);
        out.reserve(reserve);
      },
      [&](size_t i, uint8_t tag, std::span<const uint8_t> payload) {
        load_field(Field{tag, payload}, i < out.size() ? out[i] : out.emplace_back());
      });
}

}  // namespace

void load_other_field(const Field& field, Value& slot) {
  switch (field.tag) {
    case kNull:
      slot.set_null();
      break;
    case kInt:
      slot.set_int(static_cast<int64_t>(load_u64(field.payload.data())));
      break;
    case kDecimal: {
      i128 m;
      std::memcpy(&m, field.payload.data(), 16);
      slot.set_decimal(m);
      break;
    }
    default:
      assign_bytes(slot, field.tag == kTextInline || field.tag == kTextCas, field.payload);
      break;
  }
}

namespace {

// split_row for a sound row, which is every row a scan meets: the same checks as walk_fields
// in the same order, but a fault only returns false (the caller then walks the row again to
// name it), so the loop carries no error building. `out` is sized as split_row sizes it.
bool split_sound_row(std::span<const uint8_t> bytes, const CasStore& store, std::vector<Field>& out,
                     bool check_text = true) {
  const uint8_t* p = bytes.data();
  const uint8_t* const end = p + bytes.size();
  if (bytes.size() < 2) return false;
  const size_t n = load_u16(p);
  p += 2;
  const size_t most = std::min(n, static_cast<size_t>(end - p));
  if (out.size() != most) out.resize(most);
  Field* field = out.data();
  for (size_t i = 0; i < n; ++i) {
    // Each field takes at least its tag byte, so i < most whenever p has not reached end.
    if (p == end) return false;
    const uint8_t tag = *p++;
    const size_t left = static_cast<size_t>(end - p);
    size_t take;
    switch (tag) {
      case kNull:
        take = 0;
        break;
      case kInt:
        take = 8;
        break;
      case kDecimal:
        take = 16;
        break;
      case kTextInline:
      case kBlobInline: {
        if (left < 2) return false;
        const size_t len = load_u16(p);
        if (left - 2 < len) return false;
        field[i] = Field{tag, {p + 2, len}};
        p += 2 + len;
        if (check_text && tag == kTextInline && !utf8_ok(field[i].payload)) return false;
        continue;
      }
      case kTextCas:
      case kBlobCas: {
        if (left < 8) return false;
        auto stored = store.get(load_u64(p));
        if (!stored) return false;
        p += 8;
        field[i] = Field{tag, *stored};
        if (check_text && tag == kTextCas && !utf8_ok(field[i].payload)) return false;
        continue;
      }
      default:
        return false;
    }
    if (left < take) return false;
    field[i] = Field{tag, {p, take}};
    p += take;
  }
  return true;
}

}  // namespace

bool text_field_ok(const Field& field) {
  return (field.tag != kTextInline && field.tag != kTextCas) || utf8_ok(field.payload);
}

Result<void> split_row_unchecked_text(std::span<const uint8_t> bytes, const CasStore& store, std::vector<Field>& out) {
  if (split_sound_row(bytes, store, out, /*check_text=*/false)) return {};
  return split_row(bytes, store, out);
}

Result<void> split_row(std::span<const uint8_t> bytes, const CasStore& store, std::vector<Field>& out) {
  if (split_sound_row(bytes, store, out)) return {};
  // Sized once per row from the capped count; a row that walks to its end declared no more
  // fields than that, so every index written is inside.
  auto r = walk_fields(
      bytes, store,
      [&](size_t, size_t most) {
        if (out.size() != most) out.resize(most);
      },
      [&](size_t i, uint8_t tag, std::span<const uint8_t> payload) { out[i] = Field{tag, payload}; });
  if (!r) out.clear();
  return r;
}

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
