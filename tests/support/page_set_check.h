// A check shared by the undo tests: each table's kept set of chain pages (filled by the first
// read or mark by row id, grown by inserts, cut back by rollbacks) names exactly the pages a
// fresh walk of its chain finds.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "db/database.h"
#include "ffi/db_handle.h"
#include "support/c_api.h"
#include "table/catalog_rebuild.h"

namespace qm::test {

inline void expect_page_sets_match_walks(const CDb& db, const std::string& context) {
  db::Database& d = db.get()->db;
  for (auto& [name, table] : d.catalog().tables()) {
    if (!table.page_ids) continue;
    const db::PageSet kept = *table.page_ids;
    table.page_ids.reset();
    ASSERT_TRUE(db::ensure_table_page_ids(d.store().cache, table).has_value()) << name << " after " << context;
    ASSERT_EQ(kept.size(), table.page_ids->size()) << name << " after " << context;
    for (uint64_t id = 0; id < d.store().cache.backend().page_count(); ++id)
      ASSERT_EQ(kept.contains(id), table.page_ids->contains(id)) << name << " page " << id << " after " << context;
  }
}

}  // namespace qm::test
