// ORDER BY ... LIMIT keeps only its first rows while reading (without a budget). It must
// give exactly what sorting every row gives, which the budgeted path still does: the same
// rows in the same order under ties, mixed kinds, several and descending keys, OFFSET,
// WHERE and retired versions, and the same errors in the same precedence.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "db/database.h"
#include "support/db_test_util.h"

namespace {

using namespace qm::db::test;

using qm::db::Database;
using qm::db::QueryLimits;

// The budgeted entry point reads every row and sorts them all.
std::string run_sorting_everything(Database& db, const std::string& sql) { return run_limited(db, sql, roomy()); }

const std::vector<std::string> kValues = {"NULL", "0", "1", "2", "-1", "2.0", "2.5", "'a'", "'b'", "''", "'ab'"};

Database table_with_ties() {
  Database db = Database::open_memory();
  EXPECT_EQ(run(db, "CREATE TABLE t (id, a, b)"), R"({"done":true})");
  std::mt19937 rng(7);
  std::string insert = "INSERT INTO t VALUES ";
  for (int i = 0; i < 300; ++i) {
    if (i) insert += ", ";
    insert += "(" + std::to_string(i) + ", " + kValues[rng() % kValues.size()] + ", " +
              kValues[rng() % kValues.size()] + ")";
  }
  EXPECT_EQ(run(db, insert), R"({"mutated":300})");
  EXPECT_EQ(run(db, "DELETE FROM t WHERE id >= 100 AND id < 120"), R"({"mutated":20})");
  EXPECT_EQ(run(db, "UPDATE t SET a = 'ab' WHERE id >= 200 AND id < 210"), R"({"mutated":10})");
  return db;
}

TEST(TopNWhileReading, GivesThePrefixOfTheFullStableSort) {
  Database db = table_with_ties();
  const std::vector<std::string> orders = {"a", "a DESC", "b, a", "a DESC, b DESC", "b DESC, id"};
  const std::vector<std::string> wheres = {"", " WHERE id < 250", " WHERE a = 2", " WHERE b > 'a'"};
  const std::vector<std::string> tails = {" LIMIT 1", " LIMIT 10", " LIMIT 7 OFFSET 5", " LIMIT 0",
                                          " LIMIT 400", " LIMIT 3 OFFSET 298"};
  for (const std::string& where : wheres)
    for (const std::string& order : orders)
      for (const std::string& tail : tails)
        for (const std::string& columns : {std::string("*"), std::string("b, id")}) {
          const std::string sql = "SELECT " + columns + " FROM t" + where + " ORDER BY " + order + tail;
          EXPECT_EQ(run(db, sql), run_sorting_everything(db, sql)) << sql;
        }
}

TEST(TopNWhileReading, ErrorsKeepTheirTextAndPrecedence) {
  Database db = table_with_ties();
  const std::vector<std::string> failing = {
      "SELECT * FROM t ORDER BY nope LIMIT 3", "SELECT * FROM t WHERE nope = 1 ORDER BY nope LIMIT 3",
      "SELECT * FROM t WHERE nope = 1 ORDER BY a LIMIT 3", "SELECT * FROM missing ORDER BY a LIMIT 3",
      "SELECT nope FROM t ORDER BY a LIMIT 3"};
  for (const std::string& sql : failing) {
    const std::string out = run(db, sql);
    EXPECT_EQ(out.rfind("error: ", 0), 0u) << sql;
    EXPECT_EQ(out, run_sorting_everything(db, sql)) << sql;
  }
  // A damaged chain is reported as by the full read, not hidden by the early limit.
  db.catalog().tables().find("t")->second.row_versions += 1;
  const std::string sql = "SELECT * FROM t ORDER BY a LIMIT 1";
  EXPECT_EQ(run(db, sql).rfind("error: data corruption", 0), 0u);
  EXPECT_EQ(run(db, sql), run_sorting_everything(db, sql));
}

}  // namespace
