// Small records passed between statement dispatch, the row sources and the write paths.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "core/value.h"

namespace qm::db {

// The visible row versions UPDATE and DELETE act on, as they find them: each one's address,
// and the values of all, `width` per row. The values are packed end to end (a kind byte,
// then the payload) rather than kept as Values, which are several times larger: for a
// statement matching many rows, fresh memory was most of the cost of holding them.
class MatchedRows {
 public:
  explicit MatchedRows(size_t width = 0) : width_(width) {}

  size_t size() const { return row_ids_.size(); }
  bool empty() const { return row_ids_.empty(); }
  const std::vector<uint64_t>& row_ids() const { return row_ids_; }
  // Row i's values into `out` (resized to `width`), reusing its text buffers.
  void row_into(size_t i, Row& out) const {
    out.resize(width_);
    const char* at = starts_[i];
    for (Value& v : out) at = unpack(at, v);
  }
  // `values` must hold `width` values.
  void push_back(uint64_t row_id, std::span<const Value> values) {
    size_t need = 0;
    for (const Value& v : values) need += packed_size(v);
    char* at = reserve(need);
    starts_.push_back(at);
    for (const Value& v : values) at = pack(at, v);
    row_ids_.push_back(row_id);
  }

 private:
  // Rows are packed into chunks that never move (a row lies inside one chunk), so a large
  // match is never copied to grow.
  static constexpr size_t kChunkBytes = size_t{64} << 10;

  static size_t packed_size(const Value& v) {
    switch (v.kind()) {
      case Value::Kind::Null: return 1;
      case Value::Kind::Int: return 1 + sizeof(int64_t);
      case Value::Kind::Decimal: return 1 + sizeof(i128);
      case Value::Kind::Text:
      case Value::Kind::Blob: break;
    }
    return 1 + sizeof(size_t) + v.bytes().size();
  }
  char* reserve(size_t need) {
    if (chunks_.empty() || capacity_ - used_ < need) {
      // A row larger than a chunk (large texts) gets a chunk of its own size.
      capacity_ = std::max(need, kChunkBytes);
      chunks_.push_back(std::make_unique_for_overwrite<char[]>(capacity_));
      used_ = 0;
    }
    char* at = chunks_.back().get() + used_;
    used_ += need;
    return at;
  }
  template <class T>
  static char* put(char* at, T x) {
    std::memcpy(at, &x, sizeof x);
    return at + sizeof x;
  }
  static char* pack(char* at, const Value& v) {
    *at++ = static_cast<char>(v.kind());
    switch (v.kind()) {
      case Value::Kind::Null: return at;
      case Value::Kind::Int: return put(at, v.as_int());
      case Value::Kind::Decimal: return put(at, v.as_decimal());
      case Value::Kind::Text:
      case Value::Kind::Blob: break;
    }
    const std::string_view bytes = v.bytes();
    at = put(at, bytes.size());
    if (!bytes.empty()) std::memcpy(at, bytes.data(), bytes.size());
    return at + bytes.size();
  }
  template <class T>
  static const char* get(const char* at, T& x) {
    std::memcpy(&x, at, sizeof x);
    return at + sizeof x;
  }
  static const char* unpack(const char* at, Value& v) {
    const auto kind = static_cast<Value::Kind>(*at++);
    switch (kind) {
      case Value::Kind::Null: v.set_null(); return at;
      case Value::Kind::Int: {
        int64_t x;
        at = get(at, x);
        v.set_int(x);
        return at;
      }
      case Value::Kind::Decimal: {
        i128 x;
        at = get(at, x);
        v.set_decimal(x);
        return at;
      }
      case Value::Kind::Text:
      case Value::Kind::Blob: break;
    }
    size_t n;
    at = get(at, n);
    if (v.kind() == kind) {
      v.mutable_bytes().assign(at, n);
    } else {
      std::string bytes(at, n);
      v = kind == Value::Kind::Text ? Value::text(std::move(bytes)) : Value::blob(std::move(bytes));
    }
    return at + n;
  }

  size_t width_;
  std::vector<uint64_t> row_ids_;
  std::vector<const char*> starts_;
  std::vector<std::unique_ptr<char[]>> chunks_;
  size_t capacity_ = 0;  // of the last chunk
  size_t used_ = 0;
};

// The values a statement has already accepted for each UNIQUE column, in normal form
// (`unique_key`), so checking a row against the earlier rows of its statement is a lookup.
using PendingUnique = std::map<std::string, std::set<Value>, std::less<>>;

// The key under which UNIQUE treats a value: an Int n is the Decimal n * 1,000,000, so
// that Int 5 and Decimal 5.000000 are one value; every other value is itself.
Value unique_key(const Value& v);

// A prepared statement: the SQL as given (placeholders unbound) and its placeholder count.
struct PreparedStatement {
  std::string sql;
  size_t parameter_count = 0;
};

}  // namespace qm::db
