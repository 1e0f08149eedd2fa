// SecondaryIndex: the in-memory index of one table column, an ordered map from a Value (in
// the total Value order: kind first, then payload) to the row ids of every stored version
// holding it, retired versions included (readers decide visibility). A key's ids keep their
// insertion order and are not deduplicated; count() is the total number of ids.
//
// Binary form (little-endian, no header): u32 key count; per key: u8 tag (0 Null, 1 Int,
// 6 Decimal, 2 Text, 3 Blob) and payload (Int i64; Decimal i128; Text/Blob u32 length +
// bytes), u32 id count, u64 ids. decode_binary treats its input as hostile: bounds-checked,
// at most 1024 ids reserved ahead of arrival, first fault Corruption "index: ...", nothing
// partial returned. encode_binary refuses counts that do not fit u32 instead of wrapping.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/value.h"

namespace qm::storage {

struct Bound {
  enum class Kind : uint8_t { Included, Excluded, Unbounded };
  Kind kind = Kind::Unbounded;
  Value value;

  static Bound included(Value v) { return {Kind::Included, std::move(v)}; }
  static Bound excluded(Value v) { return {Kind::Excluded, std::move(v)}; }
  static Bound unbounded() { return {}; }
};

struct KeyRange {
  Bound lower;
  Bound upper;
};

using IndexPairs = std::vector<std::pair<Value, std::vector<uint64_t>>>;

class SecondaryIndex {
 public:
  using Map = std::map<Value, std::vector<uint64_t>>;

  SecondaryIndex() = default;
  // A repeated key appends its ids to the earlier ones.
  static SecondaryIndex from_pairs(IndexPairs pairs);
  // Every key with its ids, in key order.
  IndexPairs to_pairs() const;

  void insert(const Value& key, uint64_t row_id);
  // The ids of one key; empty when absent.
  std::span<const uint64_t> lookup(const Value& key) const;
  // Appends the ids of every key inside the range, keys ascending, each key's ids in stored
  // order. An empty or inverted range appends nothing.
  void append_range(const KeyRange& range, std::vector<uint64_t>& out) const;
  // Calls f(key, ids) for every key inside the range, ascending.
  template <class F>
  void for_each_in_range(const KeyRange& range, F&& f) const {
    auto [it, end] = range_bounds(range);
    for (; it != end; ++it) f(it->first, std::span<const uint64_t>(it->second));
  }

  // The binary form. More than 4294967295 keys, or ids under one key, is ResourceLimit
  // "secondary index too large for its binary form (over 4294967295 entries)".
  Result<std::string> encode_binary() const;
  static Result<SecondaryIndex> decode_binary(std::span<const uint8_t> bytes);

  size_t key_count() const { return map_.size(); }
  uint64_t count() const { return count_; }
  const Map& map() const { return map_; }

  friend bool operator==(const SecondaryIndex&, const SecondaryIndex&) = default;

 private:
  // [first, last) of the keys inside the range; first == last when none (inverted included).
  std::pair<Map::const_iterator, Map::const_iterator> range_bounds(const KeyRange& range) const;

  Map map_;
  uint64_t count_ = 0;
};

namespace detail {
// encode_binary with a chosen count limit, so the refusal can be tested without 2^32 entries.
Result<std::string> encode_index_binary(const SecondaryIndex& index, uint64_t max_count);
}  // namespace detail

}  // namespace qm::storage
