// The row work of one equality join, apart from reading tables: join-key matching, the
// distinct left keys, the choice between probing the right table's index and building
// the right input, the map of right rows by key and the joined output rows.
//
// Join keys match after normalisation: an Int n is the Decimal n * 1,000,000, so Int 3
// and Decimal 3.000000 match, while Decimal, Text and Blob keys match only their own kind
// with equal content (Text '2' never matches Int 2). NULL keys never match. Keys are
// hashed and compared in normalised form without building the normalised value, so
// looking a key up copies nothing.
//
// Output order: the left rows in their order; for each, its matches in the order they were
// added to the right map; a LEFT join's padded row stands where its left row stands. Left
// rows are consumed: a row's last output takes its values instead of a copy.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_set>
#include <vector>

#include "core/error.h"
#include "core/value.h"
#include "table/query_budget.h"
#include "sql/statement.h"

namespace qm::db::join {

// The order of normalised keys (Int as Decimal), the kind-first value order otherwise.
std::strong_ordering compare_keys(const Value& a, const Value& b);

// The normalised key itself: Int n becomes Decimal n * 1,000,000, others stay.
Value normalize_key(const Value& v);

struct JoinKeyLess {
  bool operator()(const Value& a, const Value& b) const { return compare_keys(a, b) < 0; }
};
struct JoinKeyHash {
  size_t operator()(const Value& v) const;
};
struct JoinKeyEqual {
  bool operator()(const Value& a, const Value& b) const { return compare_keys(a, b) == 0; }
};

using KeySet = std::unordered_set<Value, JoinKeyHash, JoinKeyEqual>;

// The keys in ascending normalised order, the order in which the index is probed.
std::vector<Value> sorted_keys(const KeySet& keys);

// Right rows grouped by normalised key, each key's rows in the order they were added. The
// rows live in one vector and each key's rows are chained through it; keys are found
// through an open-addressing table of (hash, first row, last row) whose key is the first
// row's value at the key position, so no key is copied and a lookup touches one slot run
// and one row.
class RightMap {
 public:
  static constexpr size_t npos = SIZE_MAX;

  // `pos` is the key's position in every row added.
  explicit RightMap(size_t pos) : pos_(pos) {}

  void reserve(size_t rows);
  // Adds a row under its key; a row whose key is NULL (or that is too narrow) is dropped.
  void add(Row row);
  // The first row of the key's chain, or npos.
  size_t first(const Value& key) const;
  // Asks the memory system ahead for what a lookup of `key` will read: its home slot
  // (`stage` 0), the row entry that slot names (1), the row's values (2). Each stage reads
  // what the one before fetched, so a caller issues them a few keys apart, in that order.
  void prefetch(const Value& key, int stage) const;
  size_t next(size_t i) const { return next_[i]; }
  const Row& row(size_t i) const { return rows_[i]; }
  size_t size() const { return rows_.size(); }

 private:
  struct Slot {
    uint64_t hash = 0;
    size_t head = npos;  // npos: empty
    size_t tail = npos;
  };
  size_t find_slot(const Value& key, uint64_t hash) const;
  void grow(size_t capacity);  // a power of two

  size_t pos_;
  size_t keys_ = 0;
  std::vector<Row> rows_;
  std::vector<size_t> next_;
  std::vector<Slot> slots_;  // a power of two in size, at most half full
};

// Whether to probe the right table's index once per distinct left key rather than read
// the whole right table: always with a budget (it bounds the work of selective joins),
// otherwise only while 4 probes per stored right row version are not exceeded.
bool prefer_probe(uint64_t distinct_keys, uint64_t right_row_versions, bool budgeted);

// Every non-NULL left key is charged (liveness, then "join probe keys" bytes) one by one,
// repeats included; the distinct keys are collected in normalised form until `limit` of
// them are held (the probe decision needs no more than that).
Result<KeySet> distinct_left_keys(std::span<const Row> left, size_t pos, QueryBudget* budget, size_t limit);

// Appends right rows under their keys, in order; rows with a NULL key are dropped.
void add_right_rows(RightMap& map, std::vector<Row> rows);

// The joined rows: for each left row, one row per match (left values then right values);
// unmatched or NULL-keyed left rows are padded with NULLs in a LEFT join and dropped in
// an INNER one. Every output row is charged as materialised.
Result<std::vector<Row>> join_rows(std::vector<Row> left, size_t left_pos, const RightMap& right,
                                   size_t right_width, sql::JoinKind kind, QueryBudget* budget);

}  // namespace qm::db::join
