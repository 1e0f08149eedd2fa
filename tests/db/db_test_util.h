// Helpers of the database tests: every stored row version of a table in chain order, and
// small file edits of a workspace.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "db/catalog_rebuild.h"
#include "db/database.h"
#include "db/query/chain_scan.h"

namespace qm::db::test {

// Every stored record version of a table (retired ones included), in chain order.
inline std::vector<Row> stored_rows(Database& db, const std::string& table) {
  std::vector<Row> rows;
  auto it = db.tables.find(table);
  if (it == db.tables.end()) {
    ADD_FAILURE() << "no table " << table;
    return rows;
  }
  auto walked = scan(db.cache, it->second, db.cas, [&](const RecordVersion& version) -> Result<void> {
    rows.emplace_back(version.values.begin(), version.values.end());
    return {};
  });
  if (!walked) ADD_FAILURE() << walked.error().message();
  return rows;
}

inline Row row(std::initializer_list<Value> values) { return Row(values); }

// The error text of a failed result, or "(ok)".
template <class T>
std::string error_text(const Result<T>& r) {
  return r ? std::string("(ok)") : r.error().message();
}

// Replaces the first occurrence of `from` in `text` (which must hold it).
inline std::string replace_once(std::string text, const std::string& from, const std::string& to) {
  auto pos = text.find(from);
  EXPECT_NE(pos, std::string::npos) << "missing: " << from << " in " << text;
  if (pos != std::string::npos) text.replace(pos, from.size(), to);
  return text;
}

}  // namespace qm::db::test
