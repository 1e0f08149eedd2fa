// The parse-once form of a one-row INSERT of placeholders: it must be recognised only when
// every VALUES item is a placeholder and no placeholder is anywhere else, and then give
// exactly the statement that binding the values into the text and parsing it gives, for
// values of every kind and at the edges of their ranges.
#include "sql/insert_template.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/int128.h"
#include "sql/params.h"
#include "sql/parser.h"
#include "support/result_text.h"

namespace qm::sql {
namespace {


TEST(InsertTemplate, RecognisesOnlyValuesListsMadeOfThePlaceholders) {
  for (const char* sql : {"INSERT INTO t VALUES (?, ?, ?)", "insert into t values(?,?);", "INSERT INTO t (a, b) VALUES (?, ?)",
                          "INSERT INTO \"odd name\" VALUES (?) ; ;", "INSERT INTO t VALUES (\n?\n)"})
    EXPECT_TRUE(InsertTemplate::recognise(sql)) << sql;
  for (const char* sql : {"INSERT INTO t VALUES (NULL, ?)",     // a literal NULL beside the placeholder
                          "INSERT INTO t VALUES (?, NULL)",
                          "INSERT INTO t VALUES (?), (?)",      // two rows
                          "INSERT INTO t VALUES (DEFAULT, ?)",  // DEFAULT needs the table's defaults
                          "INSERT INTO t VALUES (1, 2)",        // no placeholder
                          "INSERT INTO t VALUES (?, 'a?')",     // a question mark inside a string
                          "UPDATE t SET a = ? WHERE b = ?", "DELETE FROM t WHERE a = ?", "SELECT ?",
                          "INSERT INTO t VALUES (?", "INSERT INTO t VALUES (?, ?) extra", "INSERT INTO t VALUES (?) -- ?"})
    EXPECT_FALSE(InsertTemplate::recognise(sql)) << sql;
}

std::vector<Value> edge_values() {
  return {Value::null(),
          Value::integer(0),
          Value::integer(-1),
          Value::integer(INT64_MAX),
          Value::integer(INT64_MIN),
          Value::decimal(0),
          Value::decimal(-1),
          Value::decimal(2500000),
          Value::decimal(kI128Max),
          Value::decimal(kI128Min),
          Value::text(""),
          Value::text("it's"),
          Value::text("''"),
          Value::text("?"),
          Value::text("line\nbreak; DROP TABLE t"),
          Value::text("é 漢字 🙂"),
          Value::text(std::string("nul\0inside", 10)),
          Value::text("-- not a comment"),
          Value::text("NULL")};
}

TEST(InsertTemplate, BuildsExactlyTheStatementThatBindingAndParsingGives) {
  const std::vector<Value> values = edge_values();
  std::mt19937 rng(11);
  for (const char* sql : {"INSERT INTO t VALUES (?, ?, ?)", "INSERT INTO t (x, y, z) VALUES (?,?,?);"}) {
    auto tmpl = must(InsertTemplate::recognise(sql));
    for (int round = 0; round < 400; ++round) {
      const std::vector<Value> set = {values[rng() % values.size()], values[rng() % values.size()],
                                      values[rng() % values.size()]};
      auto direct = must(tmpl.bind(set));
      auto bound = must(bind_params(sql, set));
      auto parsed = must(parse(bound));
      EXPECT_TRUE(direct == parsed) << bound;
    }
  }
}

TEST(InsertTemplate, LeavesBlobsAndWrongCountsToTheTextPath) {
  auto tmpl = must(InsertTemplate::recognise("INSERT INTO t VALUES (?, ?)"));
  EXPECT_FALSE(tmpl.bind(std::vector<Value>{Value::integer(1), Value::blob("b")}));
  EXPECT_FALSE(tmpl.bind(std::vector<Value>{Value::integer(1)}));
  EXPECT_TRUE(tmpl.bind(std::vector<Value>{Value::integer(1), Value::null()}));
}

}  // namespace
}  // namespace qm::sql
