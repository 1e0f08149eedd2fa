// CREATE TABLE and the retrieval-index DDL: parsed definitions and the option checks.
#include <gtest/gtest.h>

#include "core/json_reader.h"
#include "sql/predicate_json.h"
#include "sql/parse_helpers.h"

namespace qm::sql {
namespace {

using namespace test;
using retrieval::FullTextKind;
using retrieval::RetrievalMetric;
using retrieval::VectorKind;

// What accepted tables and indexes do is stated by the golden scripts; two columns may each be
// PRIMARY KEY, and a table CHECK alone makes the statement carry constraints.
TEST(ParseCreateTable, AcceptedForms) {
  parse_ok("CREATE TABLE t (a PRIMARY KEY, b PRIMARY KEY)");
  Statement c = parse_ok("CREATE TABLE t (a, CHECK (a > 0))");
  EXPECT_EQ(as<CreateTableWithConstraintsStmt>(c).checks.size(), 1u);
  Statement st = parse_ok("CREATE TABLE t (a DOUBLE PRECISION, b NATIONAL CHARACTER VARYING(10), c CHARACTER VARYING, d num(5,0))");
  EXPECT_EQ(as<CreateTableWithConstraintsStmt>(st).columns.size(), 4u);
}

TEST(ParseCreateTable, ADeepCheckRoundTripsThroughTheManifestForm) {
  // A left-leaning AND chain over IN leaves: the deepest JSON form per level.
  auto chain = [](size_t levels) {
    std::string cond = "a IN (0)";
    for (size_t i = 0; i < levels; ++i) cond += " AND a IN (" + std::to_string(i + 1) + ")";
    return cond;
  };
  Statement st = parse_ok("CREATE TABLE t (a, CHECK (" + chain(60) + "))");
  const Predicate& check = as<CreateTableWithConstraintsStmt>(st).checks.at(0);
  // The manifest holds checks four containers deep and is read with a 128 bound.
  std::string manifest = R"({"tables":[{"checks":[)" + predicate_to_json(check) + "]}]}";
  auto doc = must(parse_json(manifest, 128));
  auto back = must(predicate_from_json(doc.members[0].second.items[0].members[0].second.items[0]));
  EXPECT_EQ(back, check);
}

TEST(ParseRetrievalIndex, FullTextAndVectorDefinitions) {
  Statement a = parse_ok("CREATE INDEX docs_fts ON docs USING FULLTEXT (title, body) WITH (id_column = 'id')");
  const auto& ft = as<CreateRetrievalIndexStmt>(a);
  EXPECT_FALSE(ft.if_not_exists);
  EXPECT_EQ(ft.definition, (retrieval::RetrievalIndexDefinition{"docs_fts", "docs", "id", FullTextKind{{"title", "body"}}}));

  Statement b = parse_ok(
      "CREATE INDEX IF NOT EXISTS emb ON docs USING vector (embedding) "
      "WITH (ID_COLUMN = 'id', metric = 'cosine', Dimensions = 384)");
  const auto& vec = as<CreateRetrievalIndexStmt>(b);
  EXPECT_TRUE(vec.if_not_exists);
  EXPECT_EQ(vec.definition,
            (retrieval::RetrievalIndexDefinition{"emb", "docs", "id", VectorKind{"embedding", RetrievalMetric::Cosine, 384}}));

  Statement c = parse_ok("CREATE INDEX e ON d USING VECTOR (v) WITH (dimensions = 4096, metric = 'squared_euclidean', id_column = 'k')");
  EXPECT_EQ(std::get<VectorKind>(as<CreateRetrievalIndexStmt>(c).definition.kind),
            (VectorKind{"v", RetrievalMetric::SquaredEuclidean, 4096}));
}

TEST(ParseRetrievalIndex, OptionCheckFailuresPointAtTheIndexName) {
  const std::string head = "CREATE INDEX ix ON d USING ";
  auto err = [&](std::string_view rest) { return parse_error(head + std::string(rest)); };
  const std::string at = " (line 1, column 14)";
  EXPECT_EQ(err("FULLTEXT (a) WITH (id_column = 'id', metric = 'cosine')"), "FULLTEXT only accepts id_column" + at);
  EXPECT_EQ(err("FULLTEXT (a) WITH (id_column = 5)"), "id_column must be an explicit string option" + at);
  EXPECT_EQ(err("FULLTEXT (a) WITH (metric = 'cosine')"), "id_column must be an explicit string option" + at);
  EXPECT_EQ(err("VECTOR (a, b) WITH (id_column = 'id', metric = 'cosine', dimensions = 3)"),
            "VECTOR requires exactly one column" + at);
  EXPECT_EQ(err("VECTOR (a) WITH (id_column = 'id', metric = 'COSINE', dimensions = 3)"),
            "metric must be 'cosine' or 'squared_euclidean'" + at);
  EXPECT_EQ(err("VECTOR (a) WITH (id_column = 'id', dimensions = 3)"), "metric must be 'cosine' or 'squared_euclidean'" + at);
  for (const char* dims : {"0", "4097", "8.5", "'3'", "NULL", "-1"})
    EXPECT_EQ(err(std::string("VECTOR (a) WITH (id_column = 'id', metric = 'cosine', dimensions = ") + dims + ")"),
              "dimensions must be an integer in 1–4096" + at)
        << dims;
}

TEST(ParseRetrievalIndex, ValidationTextBecomesTheParseError) {
  std::string cols;
  for (int i = 0; i < 15; ++i) cols += "c" + std::to_string(i) + ", ";
  EXPECT_EQ(parse_error("CREATE INDEX ix ON d USING FULLTEXT (" + cols + "c0) WITH (id_column = 'id')"),
            "schema error: full-text indexes require 1–16 distinct text columns (line 1, column 14)");
  parse_ok("CREATE INDEX ix ON d USING FULLTEXT (" + cols + "c15) WITH (id_column = 'id')");
  EXPECT_EQ(parse_error("CREATE INDEX ix ON d USING FULLTEXT (" + cols + "c15, c16) WITH (id_column = 'id')"),
            "at most 16 retrieval columns (line 1, column " + std::to_string(37 + cols.size() + 3 + 1) + ")");
}

}  // namespace
}  // namespace qm::sql
