// QueryBudget: the bounds on one statement's work (rows scanned, bytes held in memory,
// result rows, a deadline) and the cancel flag another thread may raise. Counters only
// grow and saturate at the largest u64, so a charge never wraps back under a limit; a
// counter keeps the charge that pushed it over. The cancel flag is the only state shared
// between threads and is only ever read here (acquire).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "core/error.h"
#include "core/saturating.h"
#include "core/value.h"
#include "retrieval/control.h"

namespace qm::db {

// The caller's limits; copied into the budget unchanged.
struct QueryLimits {
  uint64_t max_scan_rows = 0;
  uint64_t max_bytes = 0;
  uint64_t max_result_rows = 0;
  std::optional<std::chrono::steady_clock::time_point> deadline;
};

// The fixed caps of a retrieval request (100000 scanned rows, 16 MiB held, 10000 result
// rows), for work that runs under them with no caller's limits of its own.
inline constexpr QueryLimits kRetrievalCaps{retrieval::kMaxScanRows, retrieval::kMaxBytes, retrieval::kMaxResultRows,
                                            std::nullopt};

// Bytes a value counts for: 32, plus the payload of a Text or Blob.
uint64_t value_charge(const Value& v);
// Bytes a row counts for: 24 plus its values, saturating.
uint64_t row_charge(std::span<const Value> row);


class QueryBudget {
 public:
  explicit QueryBudget(const QueryLimits& limits, std::shared_ptr<std::atomic<bool>> cancel = nullptr)
      : cancel(std::move(cancel)),
        max_scan_rows(limits.max_scan_rows),
        max_bytes(limits.max_bytes),
        max_result_rows(limits.max_result_rows),
        deadline(limits.deadline) {}

  // Cancel flag first (Cancelled), then the deadline ("deadline expired"); no charge.
  Result<void> checkpoint() const;
  // Liveness, then one more scanned row.
  Result<void> scan_row();
  // One kept row; no liveness test.
  Result<void> materialize(std::span<const Value> row);
  // The same for a row whose charge (row_charge of its values) was counted without them.
  Result<void> materialize_charge(uint64_t charge);
  // Liveness, then one value under a label ("{label} materialized more than {} bytes").
  Result<void> materialize_value(std::string_view label, const Value& value);
  // Liveness, then room for n candidate rows within the scan allowance and 8 bytes each.
  Result<void> reserve_index_candidates(uint64_t n);

  // Adds to the materialised bytes (saturating); true when the total is now over the limit.
  bool add_bytes(uint64_t n) {
    bytes_materialized = saturating_add(bytes_materialized, n);
    return bytes_materialized > max_bytes;
  }

  uint64_t rows_scanned = 0;
  uint64_t bytes_materialized = 0;
  std::shared_ptr<std::atomic<bool>> cancel;
  uint64_t max_scan_rows;
  uint64_t max_bytes;
  uint64_t max_result_rows;
  std::optional<std::chrono::steady_clock::time_point> deadline;
};

}  // namespace qm::db
