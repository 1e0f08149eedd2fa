#include "table/query_budget.h"

#include <string>

namespace qm::db {

uint64_t value_charge(const Value& v) {
  if (v.is_text() || v.is_blob()) return saturating_add(32, v.bytes().size());
  return 32;
}

uint64_t row_charge(std::span<const Value> row) {
  uint64_t total = 24;
  for (const Value& v : row) total = saturating_add(total, value_charge(v));
  return total;
}

Result<void> QueryBudget::checkpoint() const {
  if (cancel && cancel->load(std::memory_order_acquire)) return fail(QmError::cancelled());
  if (deadline && std::chrono::steady_clock::now() >= *deadline) {
    return fail(QmError::resource_limit("deadline expired"));
  }
  return {};
}

Result<void> QueryBudget::scan_row() {
  QM_TRY(checkpoint());
  rows_scanned = saturating_add(rows_scanned, 1);
  if (rows_scanned > max_scan_rows) {
    return fail(QmError::resource_limit("scanned more than " + std::to_string(max_scan_rows) + " rows"));
  }
  return {};
}

Result<void> QueryBudget::materialize(std::span<const Value> row) { return materialize_charge(row_charge(row)); }

Result<void> QueryBudget::materialize_charge(uint64_t charge) {
  if (add_bytes(charge)) {
    return fail(QmError::resource_limit("materialized more than " + std::to_string(max_bytes) + " bytes"));
  }
  return {};
}

Result<void> QueryBudget::materialize_value(std::string_view label, const Value& value) {
  QM_TRY(checkpoint());
  if (add_bytes(value_charge(value))) {
    return fail(QmError::resource_limit(std::string(label) + " materialized more than " + std::to_string(max_bytes) +
                                        " bytes"));
  }
  return {};
}

Result<void> QueryBudget::reserve_index_candidates(uint64_t n) {
  QM_TRY(checkpoint());
  uint64_t remaining = rows_scanned > max_scan_rows ? 0 : max_scan_rows - rows_scanned;
  if (n > remaining) {
    return fail(QmError::resource_limit("index produced more than " + std::to_string(remaining) +
                                        " remaining row candidates"));
  }
  uint64_t bytes = n > UINT64_MAX / 8 ? UINT64_MAX : n * 8;
  if (add_bytes(bytes)) {
    return fail(QmError::resource_limit("index candidates materialized more than " + std::to_string(max_bytes) +
                                        " bytes"));
  }
  return {};
}

}  // namespace qm::db
