// LiveRowCounts: the number of live row versions of each table (versions no deletion mark has
// retired), kept by the write path as a write observer so that COUNT(*) of a whole table need
// not scan it. A table's count is unknown until a scan first fills it (the first COUNT(*)
// after open or after the table's creation); whatever replaces the catalog as a whole makes every count unknown,
// except a transaction's rollback, which puts back the counts known at its begin.
//
// Invariant: a known count equals the number of versions of the table with no deletion mark,
// which (the clock never being behind a mark) are exactly those a read at the clock sees.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "table/write_observers.h"

namespace qm::db {

class LiveRowCounts final : public WriteObserver {
 public:
  std::optional<uint64_t> find(std::string_view table) const {
    auto it = counts_.find(table);
    return it == counts_.end() ? std::nullopt : std::optional<uint64_t>(it->second);
  }
  // A count just taken by a scan of the table as it stands.
  void fill(std::string_view table, uint64_t count) { counts_.insert_or_assign(std::string(table), count); }

  Result<void> row_stored(std::string_view table, uint64_t row_id, std::span<const Value> values) override;
  Result<void> row_marked(std::string_view table, uint64_t row_id, uint64_t deleted_tx) override;
  Result<void> table_dropped(std::string_view table) override;
  Result<void> catalog_replaced(const Catalog& catalog) override;
  void transaction_began() override;
  Result<void> rolled_back(const Catalog& catalog) override;

 private:
  using Counts = std::map<std::string, uint64_t, std::less<>>;
  Counts counts_;
  Counts at_begin_;  // the counts when the open transaction began
};

}  // namespace qm::db
