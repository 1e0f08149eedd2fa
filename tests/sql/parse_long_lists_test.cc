// Lists the parser checks for repeated names (table columns, INSERT targets, join
// qualifiers): a repeat is found wherever it stands in a long list, and a list of a hundred
// thousand names parses in linear time (checked against every earlier name one by one,
// these statements took minutes and hit the test timeout).
#include <gtest/gtest.h>

#include <string>

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

}  // namespace
}  // namespace qm::sql::test
