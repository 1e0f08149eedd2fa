// Helpers of the database tests: SQL run through the internal entry points as the host would
// see it, every stored row version of a table in chain order, and small file edits of a workspace.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include <atomic>
#include <memory>

#include "core/result_json.h"
#include "table/catalog_rebuild.h"
#include "db/database.h"
#include "table/chain_scan.h"
#include "support/result_text.h"
#include "query/statements/statements.h"

namespace qm::db::test {

using qm::test::error_text;  // as test::error_text, as before

// The result JSON of one statement, or "error: " and its text.
inline std::string run(Database& db, const std::string& sql) {
  auto r = query_with(db, sql, {});
  if (!r) return "error: " + r.error().message();
  return json::result_to_string(*r);
}

// The same through the budgeted entry point.
inline std::string run_limited(Database& db, const std::string& sql, const QueryLimits& limits,
                               std::shared_ptr<std::atomic<bool>> cancel = nullptr) {
  auto r = query_with_limits_cancellable(db, sql, {}, limits, std::move(cancel));
  if (!r) return "error: " + r.error().message();
  return json::result_to_string(*r);
}

inline QueryLimits roomy() { return QueryLimits{UINT64_MAX, UINT64_MAX, UINT64_MAX, std::nullopt}; }

// Every stored record version of a table (retired ones included), in chain order.
inline std::vector<Row> stored_rows(Database& db, const std::string& table) {
  std::vector<Row> rows;
  auto it = db.catalog().tables().find(table);
  if (it == db.catalog().tables().end()) {
    ADD_FAILURE() << "no table " << table;
    return rows;
  }
  auto walked = scan(db.store().cache, it->second, db.store().cas, [&](const RecordVersion& version) -> Result<void> {
    rows.emplace_back(version.values.begin(), version.values.end());
    return {};
  });
  if (!walked) ADD_FAILURE() << walked.error().message();
  return rows;
}

inline Row row(std::initializer_list<Value> values) { return Row(values); }

// The Int first values of table "t", as a set.
inline std::set<int64_t> values_of(Database& db) {
  std::set<int64_t> out;
  for (const auto& r : stored_rows(db, "t")) out.insert(r[0].as_int());
  return out;
}

inline std::set<int64_t> values_of(Database&& db) { return values_of(db); }

// A development workspace that must open; a failure ends the test program.
inline Database open_ok(const std::string& path) {
  auto db = Database::open_workspace(path);
  EXPECT_TRUE(db.has_value()) << db.error().message();
  if (!db) std::abort();
  return std::move(*db);
}


// Replaces the first occurrence of `from` in `text` (which must hold it).
inline std::string replace_once(std::string text, const std::string& from, const std::string& to) {
  auto pos = text.find(from);
  EXPECT_NE(pos, std::string::npos) << "missing: " << from << " in " << text;
  if (pos != std::string::npos) text.replace(pos, from.size(), to);
  return text;
}

}  // namespace qm::db::test
