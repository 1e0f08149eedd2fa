// Robustness: thousands of mutated statements (truncations, random bytes, token splices)
// must each give a tree or a positioned Query error, never a crash. Parsed
// predicates must survive their JSON round trip. Seeded, so failures reproduce.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "engine/params.h"
#include "engine/parser.h"
#include "engine/predicate_json.h"
#include "support/result_text.h"

namespace qm::query {
namespace {


const std::vector<std::string> kCorpus = {
    "SELECT * FROM t",
    "SELECT DISTINCT a, b AS x, COUNT(*), SUM(t.c) FROM t AS q JOIN u ON q.a = u.b LEFT OUTER JOIN v w ON w.k = u.k "
    "WHERE a = 1 AND (b <> 'x' OR c NOT IN (1, 2.5, NULL)) GROUP BY a, b HAVING COUNT(*) >= 2 BEFORE 9 "
    "ORDER BY a DESC, b LIMIT 10 OFFSET 3",
    "SELECT CASE WHEN a IS NULL THEN lower(b) WHEN a BETWEEN 1 AND 2 THEN 'é' ELSE coalesce(c, 0) END FROM t",
    "SELECT nullif(abs(x), -0.5), upper(trim(\"na me\")), length([q]]r]) FROM `t``x`",
    "EXPLAIN SELECT a FROM t WHERE b LIKE 'x%' AND c NOT LIKE '%y'",
    "INSERT INTO t VALUES (1, 'a''b', -2.000001, NULL)",
    "INSERT INTO t (a, b) VALUES (DEFAULT, 1), (2, DEFAULT)",
    "INSERT INTO t DEFAULT VALUES",
    "UPDATE t SET a = 'z' WHERE b IS NOT NULL OR c < 5",
    "UPDATE t SET a = DEFAULT WHERE id = 1",
    "DELETE FROM t WHERE a NOT BETWEEN 1 AND 9",
    "CREATE TABLE IF NOT EXISTS t (id INTEGER PRIMARY KEY, name VARCHAR(40) NOT NULL DEFAULT 'x' UNIQUE, "
    "qty DECIMAL(10, 2) CHECK (qty >= 0), d DOUBLE PRECISION DEFAULT (1.5), CHECK (name <> '' OR qty IN (1, 2)))",
    "CREATE TABLE t (a, b, c)",
    "CREATE UNIQUE INDEX ON t (a)",
    "CREATE INDEX docs_fts ON docs USING FULLTEXT (title, body) WITH (id_column = 'id')",
    "CREATE INDEX IF NOT EXISTS emb ON docs USING VECTOR (e) WITH (id_column = 'id', metric = 'cosine', dimensions = 8)",
    "DROP TABLE IF EXISTS t;",
    "DROP INDEX docs_fts",
    "BEGIN TRANSACTION",
    "COMMIT",
    "ROLLBACK;;",
    "SELECT 名前, 'ü' FROM テーブル WHERE 名前 = 'x'\n  AND y = 2",
};

const std::vector<std::string> kVocabulary = {
    "SELECT", "FROM", "WHERE", "AND", "OR", "NOT", "IN", "IS", "NULL", "BETWEEN", "LIKE", "CASE", "WHEN", "THEN",
    "ELSE", "END", "JOIN", "LEFT", "ON", "AS", "GROUP", "BY", "HAVING", "ORDER", "LIMIT", "OFFSET", "BEFORE",
    "DISTINCT", "COUNT", "SUM", "ABS", "COALESCE", "CREATE", "TABLE", "INDEX", "UNIQUE", "PRIMARY", "KEY",
    "DEFAULT", "CHECK", "INSERT", "INTO", "VALUES", "UPDATE", "SET", "DELETE", "DROP", "IF", "EXISTS", "USING",
    "WITH", "(", ")", ",", "=", "<>", "<=", ">=", "<", ">", "*", ".", ";", "'s'", "''", "\"q\"", "[b]", "`c`",
    "1", "-1", "2.5", "-0.000001", "9223372036854775808", "x", "t.a", "é", "?", "!", "-", "'", "\"", "[",
};

// Parses and checks the outcome's shape; returns whether it parsed.
bool check_parse(const std::string& sql) {
  auto r = parse(sql);
  if (!r) {
    EXPECT_EQ(r.error().kind, ErrorKind::Query) << sql;
    EXPECT_NE(r.error().detail.find(" (line "), std::string::npos) << sql;
    return false;
  }
  // Every predicate a statement carries survives the stored JSON form when its nesting
  // fits the reader.
  auto round_trip = [&](const Predicate& p) {
    if (predicate_json_depth(p) > 128) return;
    auto back = must(predicate_from_json_text(predicate_to_json(p)));
    EXPECT_EQ(back, p) << sql;
  };
  if (const auto* s = std::get_if<SelectSingleStmt>(&r->node); s && s->body.where) round_trip(*s->body.where);
  if (const auto* c = std::get_if<CreateTableWithConstraintsStmt>(&r->node))
    for (const auto& p : c->checks) round_trip(p);
  if (const auto* d = std::get_if<DeleteStmt>(&r->node)) round_trip(d->predicate);
  Statement copy = *r;  // deep copies compare equal
  EXPECT_EQ(copy, *r);
  return true;
}

TEST(ParseFuzz, EveryTruncationOfEveryStatementGivesATreeOrAnError) {
  size_t parsed = 0, total = 0;
  for (const auto& sql : kCorpus) {
    EXPECT_TRUE(check_parse(sql)) << sql;
    for (size_t cut = 0; cut < sql.size(); ++cut) {
      parsed += check_parse(sql.substr(0, cut));  // may split a UTF-8 sequence: must be refused cleanly
      ++total;
    }
  }
  EXPECT_GT(total, 1000u);
  EXPECT_GT(parsed, 0u);
}

TEST(ParseFuzz, RandomByteMutationsNeverCrash) {
  std::mt19937 rng(20240611);
  for (int round = 0; round < 2500; ++round) {
    std::string sql = kCorpus[rng() % kCorpus.size()];
    int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits && !sql.empty(); ++e) {
      size_t at = rng() % sql.size();
      switch (rng() % 4) {
        case 0: sql[at] = static_cast<char>(rng() % 256); break;
        case 1: sql.insert(at, 1, static_cast<char>(rng() % 256)); break;
        case 2: sql.erase(at, 1 + rng() % 8); break;
        default: sql.insert(at, 1, "()',;.-\"[]`?!<>="[rng() % 16]); break;
      }
    }
    check_parse(sql);
    // The placeholder scanner and binder take the same hostile text.
    size_t n = parameter_count(sql);
    std::vector<Value> params(n, Value::integer(static_cast<int64_t>(round)));
    auto bound = must(bind_params(sql, params));
    EXPECT_EQ(parameter_count(bound), 0u) << sql;
  }
}

TEST(ParseFuzz, TokenSplicesNeverCrash) {
  std::mt19937 rng(77);
  for (int round = 0; round < 2500; ++round) {
    std::string sql = round % 2 ? kVocabulary[rng() % 32] : kCorpus[rng() % kCorpus.size()];
    int words = 1 + static_cast<int>(rng() % 12);
    for (int w = 0; w < words; ++w) {
      size_t at = sql.empty() ? 0 : rng() % (sql.size() + 1);
      // Insert at a space boundary when possible, so tokens stay mostly intact.
      size_t space = sql.find(' ', at);
      at = space == std::string::npos ? sql.size() : space;
      sql.insert(at, " " + kVocabulary[rng() % kVocabulary.size()]);
    }
    check_parse(sql);
  }
}

}  // namespace
}  // namespace qm::query
