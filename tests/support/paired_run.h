// Helpers of the tests that run one random statement list on two databases and compare them:
// a statement or a transaction call by its SQL word, the statistics that make up the state,
// and where two images part.
#pragma once

#include <string>

#include "db/stats.h"
#include "ffi/db_handle.h"
#include "support/c_api.h"

namespace qm::test {

// Runs one statement, or the transaction call BEGIN, COMMIT or ROLLBACK names ("ok" or the error).
inline std::string run_or_call(const CDb& db, const std::string& sql) {
  auto call = [&](int ok) { return ok ? std::string("ok") : "error: " + last_error(); };
  if (sql == "BEGIN") return call(qm_begin_transaction(db.get()));
  if (sql == "COMMIT") return call(qm_commit_transaction(db.get()));
  if (sql == "ROLLBACK") return call(qm_rollback_transaction(db.get()));
  return db.query(sql);
}

// The statistics JSON without the cache's residency, which is not part of the state.
inline std::string state_stats(const CDb& db) {
  auto s = db::inspect_stats(db.get()->db);
  if (!s) return "error: " + s.error().message();
  s->buffer_pool.resident_pages = 0;
  return db::stats_to_json(*s);
}

// "same", or where two byte strings part, so a failure names a place instead of printing both.
inline std::string first_difference(const std::string& a, const std::string& b) {
  size_t i = 0;
  while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
  if (i == a.size() && i == b.size()) return "same";
  return "sizes " + std::to_string(a.size()) + " and " + std::to_string(b.size()) + ", first difference at " +
         std::to_string(i) + ": " + a.substr(i > 40 ? i - 40 : 0, 80);
}

}  // namespace qm::test
