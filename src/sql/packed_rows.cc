#include "sql/packed_rows.h"

#include <cstring>

namespace qm::sql {

void PackedRows::varint(size_t n) {
  while (n >= 0x80) {
    bytes_.push_back(static_cast<char>((n & 0x7F) | 0x80));
    n >>= 7;
  }
  bytes_.push_back(static_cast<char>(n));
}

template <class T>
void PackedRows::fixed(const T& n) {
  bytes_.append(reinterpret_cast<const char*>(&n), sizeof n);
}

void PackedRows::append(std::span<const Value> row) {
  varint(row.size());
  for (const Value& v : row) {
    bytes_.push_back(static_cast<char>(v.kind()));
    switch (v.kind()) {
      case Value::Kind::Null: break;
      case Value::Kind::Int: fixed(v.as_int()); break;
      case Value::Kind::Decimal: fixed(v.as_decimal()); break;
      case Value::Kind::Text:
      case Value::Kind::Blob:
        varint(v.bytes().size());
        bytes_.append(v.bytes());
        break;
    }
  }
  ++count_;
}

size_t PackedRows::Reader::varint() {
  size_t n = 0;
  for (unsigned shift = 0;; shift += 7) {
    const auto b = static_cast<unsigned char>(bytes_[at_++]);
    n |= static_cast<size_t>(b & 0x7F) << shift;
    if (b < 0x80) return n;
  }
}

template <class T>
T PackedRows::Reader::fixed() {
  T n{};
  std::memcpy(&n, bytes_.data() + at_, sizeof n);
  at_ += sizeof n;
  return n;
}

bool PackedRows::Reader::next(std::vector<Value>& row) {
  if (at_ >= bytes_.size()) return false;
  row.resize(varint());
  for (Value& v : row) {
    const auto kind = static_cast<Value::Kind>(bytes_[at_++]);
    switch (kind) {
      case Value::Kind::Null: v.set_null(); break;
      case Value::Kind::Int: v.set_int(fixed<int64_t>()); break;
      case Value::Kind::Decimal: v.set_decimal(fixed<i128>()); break;
      case Value::Kind::Text:
      case Value::Kind::Blob: {
        const size_t n = varint();
        const std::string_view payload = bytes_.substr(at_, n);
        at_ += n;
        v = kind == Value::Kind::Text ? Value::text(payload) : Value::blob(std::string(payload));
        break;
      }
    }
  }
  return true;
}

std::vector<std::vector<Value>> PackedRows::unpack() const {
  std::vector<std::vector<Value>> rows;
  rows.reserve(count_);
  Reader reader(*this);
  std::vector<Value> row;
  while (reader.next(row)) rows.push_back(std::move(row));
  return rows;
}

}  // namespace qm::sql
