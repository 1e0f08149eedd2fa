// Lists the parser checks for repeated names (table columns, INSERT targets, join
// qualifiers): a repeat is found wherever it stands in a long list, and a list of a hundred
// thousand names parses in linear time (checked against every earlier name one by one,
// these statements took minutes and hit the test timeout).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sql/parse_helpers.h"

namespace qm::sql::test {
namespace {


std::string names(size_t n, std::string_view prefix = "c") {
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    if (i) out += ", ";
    out += prefix;
    out += std::to_string(i);
  }
  return out;
}

TEST(ParseLongLists, RepeatsAreFoundBeforeAndPastTheHashingLength) {
  for (size_t n : {2, 15, 16, 17, 40}) {
    // The last name repeats the first one, and the one before it.
    std::string list = names(n);
    for (std::string_view repeat : {"c0", "c1"}) {
      std::string create = "CREATE TABLE t (" + list + ", " + std::string(repeat) + ")";
      size_t column = create.size() - repeat.size();  // 1-based column of the repeat
      EXPECT_EQ(parse_error(create), "duplicate column declaration `" + std::string(repeat) + "` (line 1, column " +
                                         std::to_string(column) + ")")
          << n;
      std::string head = "INSERT INTO t (" + list + ", ";
      EXPECT_EQ(parse_error(head + std::string(repeat) + ") VALUES (1)"),
                "duplicate INSERT target column `" + std::string(repeat) + "` (line 1, column " +
                    std::to_string(head.size() + 1) + ")")
          << n;
    }
    std::string select = "SELECT * FROM t";
    for (size_t i = 0; i < n; ++i) select += " JOIN u" + std::to_string(i) + " ON a = b";
    EXPECT_TRUE(parse(select)) << n;
    EXPECT_EQ(parse_error(select + " JOIN u0 ON a = b"),
              "duplicate table qualifier `u0` (line 1, column " + std::to_string(select.size() + 7) + ")")
        << n;
    EXPECT_EQ(parse_error(select + " JOIN x AS t ON a = b"),
              "duplicate table qualifier `t` (line 1, column " + std::to_string(select.size() + 7) + ")")
        << n;
    // Names compare byte for byte.
    EXPECT_TRUE(parse("CREATE TABLE t (" + list + ", C0)")) << n;
  }
}

TEST(ParseLongLists, HundredThousandNamesParseWithoutQuadraticChecks) {
  constexpr size_t kNames = 100000;
  const std::string list = names(kNames);
  auto create = must(parse("CREATE TABLE t (" + list + ")"));
  EXPECT_EQ(as<CreateTableStmt>(create).columns.size(), kNames);
  auto insert = must(parse("INSERT INTO t (" + list + ") VALUES (1)"));
  EXPECT_EQ(as<InsertWithTargetsStmt>(insert).columns->size(), kNames);
  std::string select = "SELECT * FROM t";
  for (size_t i = 0; i < kNames; ++i) select += " JOIN u" + std::to_string(i) + " ON a = b";
  auto joined = must(parse(select));
  EXPECT_EQ(as<SelectStmt>(joined).joins.size(), kNames);
}

// `INSERT INTO t VALUES (0, 'v0'), ..., (n - 1, 'v<n-1>')` followed by `tail`: long enough
// (eight tokens a tuple) that the parser reads it through a window of tokens.
std::string long_insert(size_t n, std::string_view tail = "") {
  std::string sql = "INSERT INTO t VALUES ";
  for (size_t i = 0; i < n; ++i) {
    if (i) sql += ",";
    sql += "(" + std::to_string(i) + ", 'v" + std::to_string(i) + "')";
  }
  sql += tail;
  return sql;
}

TEST(ParseLongLists, ALongInsertReadThroughAWindowKeepsEveryRowInOrder) {
  constexpr size_t kRows = 20000;
  auto insert = must(parse(long_insert(kRows, ";")));
  const PackedRows& rows = as<InsertRowsStmt>(insert).rows;
  ASSERT_EQ(rows.size(), kRows);
  PackedRows::Reader reader = rows.reader();
  std::vector<Value> row;
  for (size_t i = 0; i < kRows; ++i) {
    ASSERT_TRUE(reader.next(row));
    ASSERT_EQ(row, (std::vector<Value>{Value::integer(static_cast<int64_t>(i)), Value::text("v" + std::to_string(i))}));
  }
  EXPECT_FALSE(reader.next(row));
}

// What a long text gives must be what the same statement gives when short: the first lexical
// error anywhere wins over a grammar error, a late DEFAULT changes the statement's form, and
// where the grammar needs more than the window (one huge row, a long IN list) it still parses.
TEST(ParseLongLists, ALongTextParsesAsAShortOneWould) {
  const std::string body = long_insert(20000);
  const size_t end = body.size();
  struct Case {
    std::string sql;
    std::string error;  // empty: parses
  };
  const std::vector<Case> cases = {
      {body + ", (1, 'x' !)", "expected `=` after `!` (line 1, column " + std::to_string(end + 11) + ")"},
      {"INSERT INTO t VALUES (1 2)," + body.substr(21) + ", (1, 'x' !)",
       "expected `=` after `!` (line 1, column " + std::to_string(end + 17) + ")"},
      {body + ", (1, 2", "unexpected end of statement (line 1, column " + std::to_string(end + 8) + ")"},
      {body + " garbage", "unsupported or misplaced SQL construct `GARBAGE` (line 1, column " + std::to_string(end + 2) + ")"},
      {body + ", (1, 'unterminated)", "unterminated string literal (line 1, column " + std::to_string(end + 7) + ")"},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_error(c.sql), c.error) << c.sql.substr(c.sql.size() - 40);

  auto late_default = must(parse(body + ", (DEFAULT, 'last')"));
  const auto& with_targets = as<InsertWithTargetsStmt>(late_default);
  ASSERT_EQ(with_targets.rows.size(), 20001u);
  EXPECT_EQ(with_targets.rows[5][1], InsertValue(Value::text("v5")));
  EXPECT_TRUE(std::holds_alternative<InsertDefault>(with_targets.rows.back()[0]));

  const std::string values = names(50000, "");
  auto one_row = must(parse("INSERT INTO t VALUES (" + values + ")"));
  EXPECT_EQ(as<InsertRowStmt>(one_row).row.size(), 50000u);
  EXPECT_TRUE(parse("SELECT * FROM t WHERE a IN (" + values + ")"));
}

TEST(PackedRows, EveryKindComesBackAsItWasPacked) {
  const std::vector<std::vector<Value>> rows = {
      {Value::null(), Value::integer(INT64_MIN), Value::integer(INT64_MAX), Value::integer(0)},
      {},
      {Value::decimal(-(static_cast<i128>(1) << 126)), Value::decimal(1500000), Value::text(""),
       Value::text(std::string("a\0b", 3)), Value::text(std::string(300, 'x')), Value::blob(std::string("\xff\x00", 2))},
  };
  PackedRows packed;
  for (const auto& row : rows) packed.append(row);
  EXPECT_EQ(packed.size(), rows.size());
  EXPECT_EQ(packed.unpack(), rows);
  PackedRows again;
  for (const auto& row : rows) again.append(row);
  EXPECT_EQ(packed, again);
}

}  // namespace
}  // namespace qm::sql::test
