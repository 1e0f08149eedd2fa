// The evaluation pieces driven by parsed SQL over in-memory rows, wired the way statement
// execution wires them: WHERE through a bound predicate, then the grouped or the plain
// projection tail. Catches disagreements between the parser's tree shapes and evaluation.
#include <gtest/gtest.h>

#include "db/exec/grouping.h"
#include "db/exec/predicate.h"
#include "db/exec/projection.h"
#include "engine/parser.h"
#include "trees.h"

namespace qm::db {
namespace {

using namespace testing;

const std::vector<std::string> kNames{"id", "name", "price", "cat"};

std::vector<Row> table() {
  return {
      {I(1), T("Ünïcode"), D(2500000), T("a")}, {I(2), T("apple"), I(3), T("b")},
      {I(3), T("  pad  "), N(), T("a")},        {I(4), T("Apple"), D(-1000000), N()},
      {I(5), T("日本"), I(3), T("b")},
  };
}

Result<RowsResult> run(std::string_view sql, std::vector<Row> rows = table()) {
  QM_ASSIGN(auto stmt, query::parse(sql));
  const auto* select = std::get_if<query::SelectSingleStmt>(&stmt.node);
  if (!select) return fail(QmError::query("not a single-table SELECT"));
  const query::SelectBody& body = select->body;
  if (body.where) {
    auto bound = BoundPredicate::bind(*body.where, kNames);
    std::vector<Row> kept;
    for (Row& row : rows) {
      QM_ASSIGN(Truth t, bound.eval(row));
      if (t == Truth::True) kept.push_back(std::move(row));
    }
    rows = std::move(kept);
  }
  bool grouped = !body.group_by.empty() || body.having;
  if (const auto* items = std::get_if<query::ProjectItems>(&body.projection)) {
    for (const auto& item : items->items) grouped = grouped || std::holds_alternative<query::SelectAggregate>(item.expr);
  }
  if (!grouped) {
    return project_select(kNames, std::move(rows), body.projection, body.order_by, body.distinct, body.limit,
                          body.offset);
  }
  QM_ASSIGN(auto items, projection_to_items(body.projection));
  return project_grouped(kNames, std::move(rows), items, body.group_by, body.having ? &*body.having : nullptr,
                         body.order_by, body.distinct, body.limit, body.offset);
}

std::vector<Value> ids(const Result<RowsResult>& r) {
  std::vector<Value> out;
  if (!r) {
    ADD_FAILURE() << r.error().message();
    return out;
  }
  for (const Row& row : r->rows) out.push_back(row.at(0));
  return out;
}

TEST(SqlPipeline, WhereThreeValuedFilters) {
  EXPECT_EQ(ids(run("SELECT id FROM t WHERE price = NULL")), std::vector<Value>{});
  EXPECT_EQ(ids(run("SELECT id FROM t WHERE price IS NULL")), std::vector<Value>{I(3)});
  EXPECT_EQ(ids(run("SELECT id FROM t WHERE price NOT IN (3, NULL)")), std::vector<Value>{});
  EXPECT_EQ(ids(run("SELECT id FROM t WHERE price IN (3, NULL)")), (std::vector<Value>{I(2), I(5)}));
  EXPECT_EQ(ids(run("SELECT id FROM t WHERE price BETWEEN 2 AND 3")), (std::vector<Value>{I(1), I(2), I(5)}));
  EXPECT_EQ(ids(run("SELECT id FROM t WHERE price NOT BETWEEN 2 AND 3")), std::vector<Value>{I(4)});
  EXPECT_EQ(ids(run("SELECT id FROM t WHERE cat <> 'a' OR price < 0")), (std::vector<Value>{I(2), I(4), I(5)}));
  EXPECT_EQ(ids(run("SELECT id FROM t WHERE name LIKE '_nï%'")), std::vector<Value>{I(1)});
  EXPECT_EQ(ids(run("SELECT id FROM t WHERE name LIKE '__'")), std::vector<Value>{I(5)});
  EXPECT_EQ(err(run("SELECT id FROM t WHERE id = 0 AND nope = 1")), "schema error: no column `nope`");
  EXPECT_TRUE(run("SELECT id FROM t WHERE nope = 1", {}));  // no rows, nothing evaluated
}

TEST(SqlPipeline, ScalarFunctionsAndLabels) {
  auto r = run("SELECT UPPER(name), LENGTH(name), TRIM(name) AS t, ABS(price), COALESCE(price, 0) FROM t "
               "WHERE id IN (1, 3)");
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r->columns, (std::vector<std::string>{"upper(name)", "length(name)", "t", "abs(price)",
                                                  "coalesce(price,0)"}));
  EXPECT_EQ(r->rows[0], (Row{T("ÜNÏCODE"), I(7), T("Ünïcode"), D(2500000), D(2500000)}));
  EXPECT_EQ(r->rows[1], (Row{T("  PAD  "), I(7), T("pad"), N(), I(0)}));
  EXPECT_EQ(err(run("SELECT LOWER(id) FROM t")), "schema error: text function expects text, found int");
  auto c = run("SELECT CASE WHEN price > 2 THEN 'hi' WHEN price IS NULL THEN 'none' END FROM t ORDER BY id");
  ASSERT_TRUE(c) << c.error().message();
  EXPECT_EQ(c->columns, std::vector<std::string>{"case"});
  EXPECT_EQ(ids(c), (std::vector<Value>{T("hi"), T("hi"), T("none"), N(), T("hi")}));
}

TEST(SqlPipeline, OrderingTopNAndDistinct) {
  EXPECT_EQ(ids(run("SELECT id FROM t ORDER BY price")), (std::vector<Value>{I(3), I(2), I(5), I(4), I(1)}));
  // Kinds order first: descending puts the Decimals before the Ints, whatever their size.
  EXPECT_EQ(ids(run("SELECT id FROM t ORDER BY price DESC LIMIT 2 OFFSET 1")), (std::vector<Value>{I(4), I(2)}));
  EXPECT_EQ(ids(run("SELECT id FROM t ORDER BY name")), (std::vector<Value>{I(3), I(4), I(2), I(1), I(5)}));
  EXPECT_EQ(ids(run("SELECT DISTINCT cat FROM t ORDER BY cat")), (std::vector<Value>{N(), T("a"), T("b")}));
  EXPECT_EQ(err(run("SELECT id AS x FROM t ORDER BY x")), "schema error: no column `x`");
}

TEST(SqlPipeline, GroupingHavingAndErrors) {
  auto r = run("SELECT cat, COUNT(*) AS n, SUM(price), AVG(price) FROM t GROUP BY cat HAVING n >= 1 ORDER BY n DESC");
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r->columns, (std::vector<std::string>{"cat", "n", "sum(price)", "avg(price)"}));
  EXPECT_EQ(r->rows, (std::vector<Row>{{T("a"), I(2), D(2500000), D(2500000)},
                                       {T("b"), I(2), I(6), D(3000000)},
                                       {N(), I(1), D(-1000000), D(-1000000)}}));
  EXPECT_EQ(err(run("SELECT name, COUNT(*) FROM t GROUP BY cat")),
            "schema error: column `name` must appear in GROUP BY or inside an aggregate");
  EXPECT_EQ(err(run("SELECT * FROM t GROUP BY cat")),
            "query parse error: SELECT * cannot be combined with GROUP BY or aggregates");
  EXPECT_EQ(err(run("SELECT SUM(name) FROM t")), "schema error: SUM requires numeric values, found Text(\"Ünïcode\")");
  auto empty = run("SELECT COUNT(*), MIN(price) FROM t WHERE id > 100");
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->rows, (std::vector<Row>{{I(0), N()}}));
}

}  // namespace
}  // namespace qm::db
