// CREATE TABLE, CREATE INDEX and the retrieval-index DDL.
#include <gtest/gtest.h>

#include "core/json_reader.h"
#include "engine/predicate_json.h"
#include "parse_helpers.h"

namespace qm::query {
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

TEST(ParseCreateTable, DeclaredTypeRefusals) {
  EXPECT_EQ(parse_error("CREATE TABLE t (a VARCHAR(0))"), "type size expects a positive integer, found Int(0) (line 1, column 27)");
  EXPECT_EQ(parse_error("CREATE TABLE t (a DECIMAL(5, -1))"),
            "type scale expects a non-negative integer, found Int(-1) (line 1, column 30)");
  EXPECT_EQ(parse_error("CREATE TABLE t (a DECIMAL(5, 1, 2))"), "expected RParen, found Comma (line 1, column 31)");
  EXPECT_EQ(parse_error("CREATE TABLE t (a UNSIGNED INT)"),
            "unsupported column constraint or type modifier `INT` (line 1, column 28)");
}

TEST(ParseCreateTable, UnsupportedAndDuplicateConstraints) {
  EXPECT_EQ(parse_error("CREATE TABLE t (a INT REFERENCES u(id))"),
            "unsupported column constraint or type modifier `REFERENCES` (line 1, column 23)");
  EXPECT_EQ(parse_error("CREATE TABLE t (a INT NULL)"), "unsupported column constraint or type modifier `NULL` (line 1, column 23)");
  EXPECT_EQ(parse_error("CREATE TABLE t (a INT, PRIMARY KEY (a))"), "unsupported table constraint `PRIMARY` (line 1, column 24)");
  EXPECT_EQ(parse_error("CREATE TABLE t (a INT, constraint c CHECK (a > 0))"),
            "unsupported table constraint `CONSTRAINT` (line 1, column 24)");
  EXPECT_EQ(parse_error("CREATE TABLE t (unique)"), "unsupported table constraint `UNIQUE` (line 1, column 17)");
  EXPECT_EQ(parse_error("CREATE TABLE t (a INT DEFAULT 1 DEFAULT 2)"), "duplicate DEFAULT constraint (line 1, column 33)");
  EXPECT_EQ(parse_error("CREATE TABLE t (a INT PRIMARY KEY PRIMARY KEY)"),
            "duplicate PRIMARY KEY constraint (line 1, column 35)");
  EXPECT_EQ(parse_error("CREATE TABLE t (a INT DEFAULT CURRENT_TIMESTAMP)"),
            "DEFAULT supports only NULL, integer, decimal, and text literals (line 1, column 31)");
  EXPECT_EQ(parse_error("CREATE TABLE t (a INT DEFAULT (b))"),
            "DEFAULT supports only NULL, integer, decimal, and text literals (line 1, column 32)");
  EXPECT_EQ(parse_error("CREATE TABLE t ()"), "expected identifier, found RParen (line 1, column 17)");
  EXPECT_EQ(parse_error("CREATE TABLE t (a b c)"), "unsupported column constraint or type modifier `C` (line 1, column 21)");
  EXPECT_EQ(parse_error("CREATE TABLE t (a; b)"), "expected `,` or `)`, found Semicolon (line 1, column 18)");
  EXPECT_EQ(parse_error("CREATE TABLE IF EXISTS t (a)"), "expected `not`, found Word(\"EXISTS\") (line 1, column 17)");
}

TEST(ParseCreateTable, CheckNestingIsBoundedSoTheManifestReadsBack) {
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
  auto doc = parse_json(manifest, 128);
  ASSERT_TRUE(doc.has_value()) << doc.error();
  auto back = predicate_from_json(doc->members[0].second.items[0].members[0].second.items[0]);
  ASSERT_TRUE(back.has_value()) << back.error();
  EXPECT_EQ(*back, check);

  EXPECT_EQ(parse_error("CREATE TABLE t (a, CHECK (" + chain(61) + "))"),
            "CHECK constraint nesting exceeds the 60-level limit (line 1, column 20)");
  EXPECT_EQ(parse_error("CREATE TABLE t (a INT CHECK (" + chain(61) + "))"),
            "CHECK constraint nesting exceeds the 60-level limit (line 1, column 23)");
}

TEST(ParseCreateIndex, SecondaryIndexesHaveNoNameAndOneColumn) {
  EXPECT_EQ(parse_error("CREATE UNIQUE INDEX i ON t (a)"), "expected `on`, found Word(\"i\") (line 1, column 21)");
  EXPECT_EQ(parse_error("CREATE VIEW v"), "expected TABLE or INDEX after CREATE, found Word(\"VIEW\") (line 1, column 8)");
  EXPECT_EQ(parse_error("CREATE (a)"), "expected TABLE or INDEX after CREATE, found LParen (line 1, column 8)");
  EXPECT_EQ(parse_error("CREATE"), "unexpected end of statement (line 1, column 7)");
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
  // IF NOT EXISTS does not move the reference position off the token after INDEX.
  EXPECT_EQ(parse_error("CREATE INDEX IF NOT EXISTS ix ON d USING FULLTEXT (a) WITH (id_column = 1)"),
            "id_column must be an explicit string option (line 1, column 14)");
}

TEST(ParseRetrievalIndex, ValidationTextBecomesTheParseError) {
  std::string cols;
  for (int i = 0; i < 15; ++i) cols += "c" + std::to_string(i) + ", ";
  EXPECT_EQ(parse_error("CREATE INDEX ix ON d USING FULLTEXT (" + cols + "c0) WITH (id_column = 'id')"),
            "schema error: full-text indexes require 1–16 distinct text columns (line 1, column 14)");
  parse_ok("CREATE INDEX ix ON d USING FULLTEXT (" + cols + "c15) WITH (id_column = 'id')");
  EXPECT_EQ(parse_error("CREATE INDEX ix ON d USING FULLTEXT (" + cols + "c15, c16) WITH (id_column = 'id')"),
            "at most 16 retrieval columns (line 1, column " + std::to_string(37 + cols.size() + 3 + 1) + ")");
  EXPECT_EQ(parse_error("CREATE INDEX ix ON d USING FULLTEXT (a) WITH (id_column = '')"),
            "schema error: persistent retrieval identifiers must contain 1–256 non-control UTF-8 bytes (line 1, column 14)");
  EXPECT_EQ(parse_error("CREATE INDEX ix ON d USING FULLTEXT (a) WITH (id_column = 'a\nb')"),
            "schema error: persistent retrieval identifiers must contain 1–256 non-control UTF-8 bytes (line 1, column 14)");
}

TEST(ParseRetrievalIndex, SyntaxErrors) {
  EXPECT_EQ(parse_error("CREATE INDEX docs_hnsw ON docs USING hnsw (a) WITH (id_column = 'id')"),
            "expected FULLTEXT or VECTOR index kind (line 1, column 38)");
  EXPECT_EQ(parse_error("CREATE INDEX docs_fts ON docs USING FULLTEXT (a)"), "unexpected end of statement (line 1, column 49)");
  EXPECT_EQ(parse_error("CREATE INDEX f ON d USING FULLTEXT (a) WHERE"), "expected `with`, found Word(\"WHERE\") (line 1, column 40)");
  EXPECT_EQ(parse_error("CREATE INDEX f ON d USING FULLTEXT (a) WITH (id_column = id)"),
            "expected a value, found Word(\"id\") (line 1, column 58)");
  EXPECT_EQ(parse_error("CREATE INDEX f ON d USING FULLTEXT (a) WITH (id_column = 'id', id_column = 'x')"),
            "duplicate retrieval option `id_column` (line 1, column 64)");
  EXPECT_EQ(parse_error("CREATE INDEX f ON d USING FULLTEXT (a) WITH (Language = 'en')"),
            "unknown retrieval option `language` (line 1, column 46)");
  EXPECT_EQ(parse_error("CREATE INDEX f ON d USING FULLTEXT (a b) WITH (id_column = 'id')"),
            "expected `,` or `)`, found Word(\"b\") (line 1, column 39)");
  EXPECT_EQ(parse_error("CREATE INDEX f ON d USING FULLTEXT (a) WITH (id_column = 'id' metric = 'x')"),
            "expected `,` or `)`, found Word(\"metric\") (line 1, column 63)");
}

}  // namespace
}  // namespace qm::query
