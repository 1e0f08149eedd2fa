// The planner may never change a result: generated read queries, and the writes that
// retire and add row versions, give the same JSON on a table with secondary indexes and on
// the same table without any. Index candidates come in key order, so rows whose order the
// statement leaves open are compared as a multiset, LIMIT comes only with a total ORDER BY,
// and BEFORE reads only at statement boundaries (one UPDATE's new versions take their
// clock values in the order its rows were found). Values mix every literal kind (and numbers at the i64
// extremes) so that numeric twins, kind-first ranges and their clamping are exercised.
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "db/database.h"
#include "support/db_test_util.h"

namespace {

using qm::db::test::run;

using qm::db::Database;

const std::vector<std::string> kLiterals = {
    "NULL", "0", "1", "2", "3", "-1", "-3", "2.0", "2.5", "-0.5", "1.000001", "3.000000",
    "9223372036854775807", "-9223372036854775808", "9223372036854775807.5", "-9223372036854775808.25",
    "'a'", "'b'", "'m'", "'zz'", "''", "'é'"};
const std::vector<std::string> kColumns = {"a", "b", "c"};
const std::vector<std::string> kOps = {"=", "<>", "<", "<=", ">", ">="};

// Concatenation by appending (GCC 12 at -O3 misreads chains of operator+ on strings).
template <class... Pieces>
std::string cat(const Pieces&... pieces) {
  std::string out;
  (out.append(pieces), ...);
  return out;
}

class Generator {
 public:
  explicit Generator(uint32_t seed) : rng_(seed) {}

  size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
  bool chance(int percent) { return static_cast<int>(pick(100)) < percent; }
  const std::string& literal() { return kLiterals[pick(kLiterals.size())]; }
  const std::string& column() { return kColumns[pick(kColumns.size())]; }

  std::string leaf() {
    const std::string& c = column();
    switch (pick(6)) {
      case 0:
      case 1: return cat(c, " ", kOps[pick(kOps.size())], " ", literal());
      case 2: return cat(c, chance(30) ? " NOT" : "", " BETWEEN ", literal(), " AND ", literal());
      case 3: return cat(c, chance(30) ? " NOT" : "", " IN (", literal(), ", ", literal(), ")");
      case 4: return cat(c, chance(50) ? " IS NOT NULL" : " IS NULL");
      default: return cat(c, chance(30) ? " NOT" : "", " LIKE '", chance(50) ? "%" : "_", "'");
    }
  }

  std::string predicate(int depth) {
    if (depth >= 3 || chance(40)) return leaf();
    const char* joiner = chance(70) ? " AND " : " OR ";
    const std::string left = predicate(depth + 1);
    const std::string right = predicate(depth + 1);
    return cat("(", left, joiner, right, ")");
  }

  std::string select(const std::vector<uint64_t>& boundaries) {
    std::string sql;
    const int shape = static_cast<int>(pick(10));
    if (shape == 0) {
      sql = "SELECT COUNT(*) FROM t";
    } else if (shape == 1) {
      sql = cat("SELECT ", column(), ", COUNT(*), MIN(", column(), "), MAX(", column(), ") FROM t");
    } else {
      const std::string list = chance(50) ? std::string("*") : cat(column(), ", ", column());
      sql = cat("SELECT ", chance(20) ? "DISTINCT " : "", list, " FROM t");
    }
    if (chance(85)) sql.append(" WHERE ").append(predicate(0));
    if (shape == 1) sql.append(" GROUP BY ").append(kColumns[0]);
    if (chance(20)) sql.append(" BEFORE ").append(std::to_string(boundaries[pick(boundaries.size())]));
    if (shape != 1 && chance(50)) {
      sql.append(" ORDER BY ").append(column()).append(chance(50) ? " DESC" : "");
      sql.append(", a, b, c");
      if (chance(40)) sql.append(" LIMIT ").append(std::to_string(pick(6)));
      if (chance(20)) sql.append(" OFFSET ").append(std::to_string(pick(4)));
    }
    return sql;
  }

  std::string insert(int rows) {
    std::string sql = "INSERT INTO t VALUES ";
    for (int r = 0; r < rows; ++r) {
      if (r) sql += ", ";
      sql.append(cat("(", literal(), ", ", literal(), ", ", literal(), ")"));
    }
    return sql;
  }

  std::string write() {
    if (chance(50)) return cat("UPDATE t SET ", column(), " = ", literal(), " WHERE ", predicate(1));
    return cat("DELETE FROM t WHERE ", predicate(1));
  }

 private:
  std::mt19937 rng_;
};

// Rows sorted, for a statement that leaves their order open.
std::string as_multiset(const std::string& sql, const std::string& result) {
  if (sql.find(" ORDER BY ") != std::string::npos || result.rfind("error", 0) == 0) return result;
  nlohmann::json doc = nlohmann::json::parse(result);
  if (!doc.contains("rows")) return result;
  std::vector<std::string> rows;
  for (const auto& row : doc["rows"]) rows.push_back(row.dump());
  std::sort(rows.begin(), rows.end());
  std::string out = doc["columns"].dump();
  for (const std::string& row : rows) out.append("\n").append(row);
  return out;
}

TEST(PlannerDifferential, IndexesNeverChangeAResult) {
  Generator gen(20240611);
  Database plain = Database::open_memory();
  Database indexed = Database::open_memory();
  std::vector<uint64_t> boundaries{0};
  auto both = [&](const std::string& sql) {
    const std::string expected = as_multiset(sql, run(plain, sql));
    EXPECT_EQ(as_multiset(sql, run(indexed, sql)), expected) << sql;
    boundaries.push_back(plain.clock());
    return expected;
  };
  both("CREATE TABLE t (a, b, c)");
  ASSERT_EQ(run(indexed, "CREATE INDEX ON t (a)"), R"({"done":true})");
  ASSERT_EQ(run(indexed, "CREATE INDEX ON t (b)"), R"({"done":true})");
  for (int i = 0; i < 8; ++i) both(gen.insert(10));
  int queries = 0;
  for (int round = 0; round < 6; ++round) {
    for (int q = 0; q < 60; ++q, ++queries) both(gen.select(boundaries));
    // Retire and add versions, so that indexes hold invisible candidates.
    for (int w = 0; w < 3; ++w) both(gen.write());
    both(gen.insert(4));
  }
  EXPECT_EQ(queries, 360);
  EXPECT_EQ(plain.clock(), indexed.clock());
}

}  // namespace
