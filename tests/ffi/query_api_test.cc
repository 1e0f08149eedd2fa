// The seven query exports as a host meets them: argument faults and their fixed texts,
// JSON parameters, prepared statements that outlive the database they were prepared on,
// and write batches.
#include <gtest/gtest.h>

#include <string>

#include "support/c_api.h"

namespace {

using qm::test::CDb;
using qm::test::last_error;
using qm::test::take_json;

const char kBadUtf8[] = "SELECT \xff FROM t";

TEST(QueryArguments, EveryExportNamesItsFaultyArgument) {
  CDb db = CDb::memory();
  EXPECT_EQ(take_json(qm_query(nullptr, nullptr)), "error: qm_query: db handle is NULL");
  EXPECT_EQ(take_json(qm_query(db.get(), nullptr)), "error: qm_query: sql is NULL or not valid UTF-8");
  EXPECT_EQ(take_json(qm_query(db.get(), kBadUtf8)), "error: qm_query: sql is NULL or not valid UTF-8");

  EXPECT_EQ(take_json(qm_query_params(nullptr, "SELECT 1", "[]")), "error: qm_query_params: db handle is NULL");
  EXPECT_EQ(take_json(qm_query_params(db.get(), kBadUtf8, "[]")),
            "error: qm_query_params: sql is NULL or not valid UTF-8");
  EXPECT_EQ(take_json(qm_query_params(db.get(), "SELECT 1", nullptr)),
            "error: qm_query_params: params is NULL or not valid UTF-8");
  EXPECT_EQ(take_json(qm_query_params(db.get(), "SELECT 1", "{}")),
            "error: qm_query_params: params must be a JSON array");

  EXPECT_EQ(qm_prepare(nullptr, "SELECT 1"), nullptr);
  EXPECT_EQ(last_error(), "qm_prepare: db handle is NULL");
  EXPECT_EQ(qm_prepare(db.get(), kBadUtf8), nullptr);
  EXPECT_EQ(last_error(), "qm_prepare: sql is NULL or not valid UTF-8");

  QmStmt* stmt = qm_prepare(db.get(), "CREATE TABLE x (a)");
  ASSERT_NE(stmt, nullptr);
  EXPECT_EQ(take_json(qm_stmt_execute(nullptr, nullptr, nullptr)), "error: qm_stmt_execute: statement handle is NULL");
  EXPECT_EQ(take_json(qm_stmt_execute(stmt, nullptr, "[]")), "error: qm_stmt_execute: db handle is NULL");
  EXPECT_EQ(take_json(qm_stmt_execute(stmt, db.get(), kBadUtf8)),
            "error: qm_stmt_execute: params is NULL or not valid UTF-8");
  EXPECT_EQ(take_json(qm_stmt_execute(stmt, db.get(), "[1")).rfind("error: qm_stmt_execute: invalid params JSON: ", 0),
            0u);
  EXPECT_EQ(qm_stmt_parameter_count(nullptr), 0u);
  EXPECT_EQ(last_error(), "qm_stmt_parameter_count: statement handle is NULL");
  // Closing NULL does nothing, not even clearing the last error.
  qm_stmt_close(nullptr);
  EXPECT_EQ(last_error(), "qm_stmt_parameter_count: statement handle is NULL");
  qm_stmt_close(stmt);

  const std::string batch_fault = "error: qm_execute_many: null handle or invalid UTF-8 input";
  EXPECT_EQ(take_json(qm_execute_many(nullptr, "DELETE FROM t WHERE a = ?", "[]")), batch_fault);
  EXPECT_EQ(take_json(qm_execute_many(db.get(), kBadUtf8, "[]")), batch_fault);
  EXPECT_EQ(take_json(qm_execute_many(db.get(), "DELETE FROM t WHERE a = ?", nullptr)), batch_fault);
}

TEST(QueryArguments, SuccessClearsTheLastError) {
  CDb db = CDb::memory();
  EXPECT_EQ(take_json(qm_query(nullptr, "SELECT 1")), "error: qm_query: db handle is NULL");
  char* ok = qm_query(db.get(), "CREATE TABLE t (a)");
  EXPECT_EQ(qm_last_error(), nullptr);
  qm_string_free(ok);
}

TEST(QueryParams, JsonValuesBecomeLiteralsOfTheirKind) {
  CDb db = CDb::memory();
  db.query("CREATE TABLE p (a, b)");
  EXPECT_EQ(db.query("INSERT INTO p VALUES (?, ?)", R"([1.5, "it's"])"), R"({"mutated":1})");
  EXPECT_EQ(db.query("INSERT INTO p VALUES (?, ?)", "[true, null]"), R"({"mutated":1})");
  EXPECT_EQ(db.query("INSERT INTO p VALUES (?, ?)", "[-9223372036854775808, false]"), R"({"mutated":1})");
  EXPECT_EQ(db.query("SELECT * FROM p", "[]"),
            R"({"columns":["a","b"],"rows":[["1.500000","it's"],[1,null],[-9223372036854775808,0]]})");
  EXPECT_EQ(db.query("SELECT a FROM p WHERE b = ?", R"(["it's"])"), R"({"columns":["a"],"rows":[["1.500000"]]})");
  // A text parameter stays one literal whatever it holds.
  EXPECT_EQ(db.query("SELECT a FROM p WHERE b = ?", R"(["x' OR 'a' = 'a"])"), R"({"columns":["a"],"rows":[]})");
  EXPECT_EQ(db.query("SELECT a FROM p WHERE a = ?", "[1, 2]").rfind("error: schema error: ", 0), 0u);
  EXPECT_EQ(db.query("SELECT a FROM p WHERE a = ? AND b = ?", "[1]").rfind("error: schema error: ", 0), 0u);
}

TEST(QueryPrepared, CountsPlaceholdersOutsideQuotesAndReportsSyntaxAtPrepare) {
  CDb db = CDb::memory();
  QmStmt* stmt = qm_prepare(db.get(), "SELECT \"a?\" FROM t WHERE b = '?' AND c = ? AND d = ?");
  ASSERT_NE(stmt, nullptr) << last_error();
  EXPECT_EQ(qm_stmt_parameter_count(stmt), 2u);
  qm_stmt_close(stmt);
  EXPECT_EQ(qm_prepare(db.get(), "SELEC * FROM t"), nullptr);
  EXPECT_EQ(last_error().rfind("query parse error: ", 0), 0u);
  // A placeholder where NULL may not stand fails at prepare time too.
  EXPECT_EQ(qm_prepare(db.get(), "SELECT a FROM t LIMIT ?"), nullptr);
  EXPECT_EQ(last_error().rfind("query parse error: ", 0), 0u);
}

TEST(QueryPrepared, RunsOnAnyDatabaseAndOutlivesTheOneItWasPreparedOn) {
  CDb first = CDb::memory();
  CDb second = CDb::memory();
  first.query("CREATE TABLE t (a)");
  second.query("CREATE TABLE t (a)");
  QmStmt* insert = qm_prepare(first.get(), "INSERT INTO t VALUES (?)");
  ASSERT_NE(insert, nullptr);
  EXPECT_EQ(take_json(qm_stmt_execute(insert, first.get(), "[1]")), R"({"mutated":1})");
  first.close();
  EXPECT_EQ(take_json(qm_stmt_execute(insert, second.get(), "[2]")), R"({"mutated":1})");
  EXPECT_EQ(take_json(qm_stmt_execute(insert, second.get(), "[\"three\"]")), R"({"mutated":1})");
  EXPECT_EQ(take_json(qm_stmt_execute(insert, second.get(), "[]")),
            "error: schema error: prepared statement expects 1 parameters, got 0");
  EXPECT_EQ(second.query("SELECT a FROM t"), R"({"columns":["a"],"rows":[[2],["three"]]})");
  qm_stmt_close(insert);
}

TEST(QueryBatch, RunsEverySetInOneTransactionAndReportsTheTotal) {
  CDb db = CDb::memory();
  db.query("CREATE TABLE b (k UNIQUE, v)");
  EXPECT_EQ(db.execute_many("INSERT INTO b VALUES (?, ?)", "[]"), R"({"mutated":0})");
  EXPECT_EQ(db.execute_many("INSERT INTO b VALUES (?, ?)", R"([[1, "a"], [2, "b"], [3, "c"]])"), R"({"mutated":3})");
  EXPECT_EQ(db.execute_many("UPDATE b SET v = ? WHERE k >= ?", R"([["x", 2], ["y", 3]])"), R"({"mutated":3})");
  EXPECT_EQ(db.execute_many("DELETE FROM b WHERE k = ?", "[[1], [9]]"), R"({"mutated":1})");
  EXPECT_EQ(db.query("SELECT * FROM b"), R"({"columns":["k","v"],"rows":[[2,"x"],[3,"y"]]})");
}

TEST(QueryBatch, AFailingSetLeavesNothingBehind) {
  CDb db = CDb::memory();
  db.query("CREATE TABLE b (k UNIQUE, v)");
  db.query("INSERT INTO b VALUES (1, 'kept')");
  const uint64_t clock = db.clock();
  EXPECT_EQ(db.execute_many("INSERT INTO b VALUES (?, ?)", R"([[2, "a"], [3, "b"], [2, "again"]])"),
            "error: schema error: duplicate value for unique column `k`");
  EXPECT_EQ(db.query("SELECT * FROM b"), R"({"columns":["k","v"],"rows":[[1,"kept"]]})");
  EXPECT_EQ(db.clock(), clock);
  EXPECT_FALSE(qm_in_transaction(db.get()));
}

TEST(QueryBatch, RefusalsComeBeforeAnySetRuns) {
  CDb db = CDb::memory();
  db.query("CREATE TABLE b (k, v)");
  EXPECT_EQ(db.execute_many("SELECT * FROM b WHERE k = ?", "[[1]]"),
            "error: query parse error: execute_many expects INSERT, UPDATE or DELETE");
  EXPECT_EQ(db.execute_many("INSERT INTO b VALUES (?, ?)", "[[1, 2], [3]]"),
            "error: schema error: batch row expects 2 parameters, got 1");
  EXPECT_EQ(db.execute_many("INSERT INTO b VALUES (?, ?)", "[1]").rfind("error: manifest error: ", 0), 0u);
  EXPECT_EQ(db.execute_many("INSERT INTO b VALUES (?, ?)", "[[1, [2]]]").rfind("error: query parse error: ", 0), 0u);
  EXPECT_EQ(db.query("SELECT COUNT(*) FROM b"), R"({"columns":["count"],"rows":[[0]]})");
  EXPECT_EQ(db.query("BEGIN"), R"({"done":true})");
  EXPECT_EQ(db.execute_many("INSERT INTO b VALUES (?, ?)", "[[1, 2]]"),
            "error: transaction error: execute_many owns its transaction; call it outside an active transaction");
  EXPECT_TRUE(qm_in_transaction(db.get()));
  EXPECT_EQ(db.query("ROLLBACK"), R"({"done":true})");
}

TEST(QueryResults, EachStatementKindHasItsJsonShape) {
  CDb db = CDb::memory();
  EXPECT_EQ(db.query("CREATE TABLE r (a)"), R"({"done":true})");
  EXPECT_EQ(db.query("INSERT INTO r VALUES (1)"), R"({"mutated":1})");
  EXPECT_EQ(db.query("UPDATE r SET a = 2 WHERE a = 1"), R"({"mutated":1})");
  EXPECT_EQ(db.query("SELECT a FROM r;"), R"({"columns":["a"],"rows":[[2]]})");
  EXPECT_EQ(db.query("DROP TABLE r"), R"({"done":true})");
  EXPECT_EQ(db.query("DROP TABLE IF EXISTS r"), R"({"done":true})");
  EXPECT_EQ(db.query("DROP TABLE r"), "error: table not found: r");
}

}  // namespace
