// The live row counts behind COUNT(*): one step per write, a copy at a memory transaction's
// begin (a handful of integers) put back by its rollback.
#include "table/live_row_counts.h"

#include "table/catalog.h"

namespace qm::db {

Result<void> LiveRowCounts::row_stored(std::string_view table, uint64_t, std::span<const Value>) {
  if (auto it = counts_.find(table); it != counts_.end()) ++it->second;
  return {};
}

Result<void> LiveRowCounts::row_marked(std::string_view table, uint64_t, uint64_t) {
  auto it = counts_.find(table);
  if (it == counts_.end()) return {};
  // A count that would fall below zero no longer describes the table: scan it again.
  if (it->second == 0) counts_.erase(it);
  else --it->second;
  return {};
}

Result<void> LiveRowCounts::table_dropped(std::string_view table) {
  if (auto it = counts_.find(table); it != counts_.end()) counts_.erase(it);
  return {};
}

Result<void> LiveRowCounts::catalog_replaced(const Catalog&) {
  counts_.clear();
  return {};
}

void LiveRowCounts::transaction_began() { at_begin_ = counts_; }

Result<void> LiveRowCounts::rolled_back(const Catalog& catalog) {
  counts_ = std::move(at_begin_);
  at_begin_.clear();
  // Only tables the restored catalog holds keep a count (a begin copy names no other).
  std::erase_if(counts_, [&](const auto& entry) { return !catalog.contains(entry.first); });
  return {};
}

}  // namespace qm::db
