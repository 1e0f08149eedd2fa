// Small records passed between statement dispatch, the row sources and the write paths.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "core/value.h"

namespace qm::db {

// The visible row versions UPDATE and DELETE act on, as they find them: each one's address,
// and the values of all, `width` per row, laid end to end in blocks of a fixed number of
// rows, so matching many rows takes no allocation per row.
class MatchedRows {
 public:
  explicit MatchedRows(size_t width = 0)
      : width_(width), block_rows_(width == 0 ? kBlockValues : std::max<size_t>(1, kBlockValues / width)) {}

  size_t size() const { return row_ids_.size(); }
  bool empty() const { return row_ids_.empty(); }
  const std::vector<uint64_t>& row_ids() const { return row_ids_; }
  std::span<Value> row(size_t i) { return {blocks_[i / block_rows_].data() + (i % block_rows_) * width_, width_}; }
  std::span<const Value> row(size_t i) const {
    return {blocks_[i / block_rows_].data() + (i % block_rows_) * width_, width_};
  }
  // `values` must hold `width` values.
  void push_back(uint64_t row_id, std::span<const Value> values) {
    if (row_ids_.size() % block_rows_ == 0) {
      blocks_.emplace_back();
      // Most statements match a few rows: the first block grows as they come; once a
      // statement has filled one, the next are taken whole.
      if (blocks_.size() > 1) blocks_.back().reserve(block_rows_ * width_);
    }
    blocks_.back().insert(blocks_.back().end(), values.begin(), values.end());
    row_ids_.push_back(row_id);
  }

 private:
  static constexpr size_t kBlockValues = 4096;  // a block of a wide table holds fewer rows
  size_t width_;
  size_t block_rows_;
  std::vector<uint64_t> row_ids_;
  std::vector<std::vector<Value>> blocks_;
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
