// The query exports as a host meets them beyond what the golden scripts state: argument
// faults and their fixed texts, and prepared statements that outlive the database they were
// prepared on.
#include <gtest/gtest.h>

#include <string>

#include "support/c_api.h"

namespace {

using namespace qm::test;

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

  EXPECT_EQ(outcome(qm_prepare(nullptr, "SELECT 1")), "error: qm_prepare: db handle is NULL");
  EXPECT_EQ(outcome(qm_prepare(db.get(), kBadUtf8)), "error: qm_prepare: sql is NULL or not valid UTF-8");

  QmStmt* stmt = qm_prepare(db.get(), "CREATE TABLE x (a)");
  ASSERT_NE(stmt, nullptr);
  EXPECT_EQ(take_json(qm_stmt_execute(nullptr, nullptr, nullptr)), "error: qm_stmt_execute: statement handle is NULL");
  EXPECT_EQ(take_json(qm_stmt_execute(stmt, nullptr, "[]")), "error: qm_stmt_execute: db handle is NULL");
  EXPECT_EQ(take_json(qm_stmt_execute(stmt, db.get(), kBadUtf8)),
            "error: qm_stmt_execute: params is NULL or not valid UTF-8");
  EXPECT_EQ(take_json(qm_stmt_execute(stmt, db.get(), "[1")).rfind("error: qm_stmt_execute: invalid params JSON: ", 0),
            0u);
  EXPECT_EQ(outcome(qm_stmt_parameter_count(nullptr)), "error: qm_stmt_parameter_count: statement handle is NULL");
  // Closing NULL does nothing, not even clearing the last error.
  qm_stmt_close(nullptr);
  EXPECT_EQ(last_error(), "qm_stmt_parameter_count: statement handle is NULL");
  qm_stmt_close(stmt);

  const std::string batch_fault = "error: qm_execute_many: null handle or invalid UTF-8 input";
  EXPECT_EQ(take_json(qm_execute_many(nullptr, "DELETE FROM t WHERE a = ?", "[]")), batch_fault);
  EXPECT_EQ(take_json(qm_execute_many(db.get(), kBadUtf8, "[]")), batch_fault);
  EXPECT_EQ(take_json(qm_execute_many(db.get(), "DELETE FROM t WHERE a = ?", nullptr)), batch_fault);
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

}  // namespace
