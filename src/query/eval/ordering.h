// The ordering tail of every row-returning SELECT: stable ORDER BY, the top-N selection
// that replaces a full sort when only the first k rows are wanted, DISTINCT, OFFSET and
// LIMIT. Rows order by the kind-first total order of Value, key by key, a descending key
// reversing its comparison. Rows are moved, never copied: sorting permutes positions and
// then moves each row once.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/value.h"
#include "sql/statement.h"

namespace qm::db {

struct OrderKey {
  size_t pos = 0;
  bool descending = false;
};

// Each key resolved against the column names; the first failure stops.
Result<std::vector<OrderKey>> order_keys(std::span<const std::string> names, std::span<const sql::OrderBy> order_by);

// Compares two rows by the keys (the first key that differs decides).
std::weak_ordering compare_by_keys(std::span<const Value> a, std::span<const Value> b, std::span<const OrderKey> keys);

// Sorts stably by the keys; key errors are reported even over no rows.
Result<void> sort_rows(std::vector<Row>& rows, std::span<const std::string> names,
                       std::span<const sql::OrderBy> order_by);
void sort_rows_by_keys(std::vector<Row>& rows, std::span<const OrderKey> keys);

// Keeps the first k rows of the stable sort, in order. Ties break by input position, so
// the result is exactly the prefix of `sort_rows`' result.
Result<void> take_top_n(std::vector<Row>& rows, std::span<const std::string> names,
                        std::span<const sql::OrderBy> order_by, uint64_t k);

// Removes every row equal (kind-first, value by value) to an earlier one.
void dedup_rows(std::vector<Row>& rows);

// Drops `offset` rows from the front, then keeps at most `limit`.
void apply_offset_limit(std::vector<Row>& rows, std::optional<uint64_t> limit, uint64_t offset);

}  // namespace qm::db
