// EXPLAIN rows through the C interface: the exact JSON of the plan for the COUNT(*) fast
// path, snapshots, index lookups and ranges, the ordered index read with its early stop,
// top-N, grouping and joins; and that EXPLAIN reads nothing and fails as the SELECT does.
#include <gtest/gtest.h>

#include <string>

#include "support/c_api.h"

namespace {

using qm::test::CDb;

const std::string kDone = R"({"done":true})";
const std::string kHead = R"~({"columns":["step","operation","detail"],"rows":[)~";

CDb indexed() {
  CDb db = CDb::memory();
  EXPECT_EQ(db.query("CREATE TABLE t (a, b)"), kDone);
  EXPECT_EQ(db.query("CREATE INDEX ON t (a)"), kDone);
  EXPECT_EQ(db.query("INSERT INTO t VALUES (1, 'x'), (2, 'y'), (3, 'z')"), R"({"mutated":3})");
  return db;
}

std::string snapshot_row(uint64_t s) { return R"~([0,"snapshot","transaction )~" + std::to_string(s) + R"~("])~"; }

TEST(SelectExplain, CountStarAloneIsTwoSteps) {
  CDb db = indexed();
  EXPECT_EQ(db.query("EXPLAIN SELECT COUNT(*) FROM t"),
            kHead + snapshot_row(db.clock()) +
                R"~(,[1,"count envelopes","t: MVCC visibility only; row bodies are not decoded"]]})~");
}

TEST(SelectExplain, SnapshotIsBeforeOrTheClock) {
  CDb db = indexed();
  EXPECT_EQ(db.query("EXPLAIN SELECT COUNT(*) AS n FROM t BEFORE 7"),
            kHead + snapshot_row(7) +
                R"~(,[1,"count envelopes","t: MVCC visibility only; row bodies are not decoded"]]})~");
  ASSERT_EQ(db.query("INSERT INTO t VALUES (4, 'w')"), R"({"mutated":1})");
  EXPECT_EQ(db.clock(), 4u);
  EXPECT_NE(db.query("EXPLAIN SELECT * FROM t").find(snapshot_row(4)), std::string::npos);
}

TEST(SelectExplain, LookupAndRangeOnAnIndexedColumn) {
  CDb db = indexed();
  EXPECT_EQ(db.query("EXPLAIN SELECT b FROM t WHERE a = 2"),
            kHead + snapshot_row(3) +
                R"~(,[1,"index lookup","t.a; recheck full predicate and MVCC visibility"],)~"
                R"~([2,"filter","evaluate WHERE with SQL NULL semantics"],[3,"project","select output columns"]]})~");
  EXPECT_EQ(db.query("EXPLAIN SELECT b FROM t WHERE b = 'x' AND a BETWEEN 1 AND 2"),
            kHead + snapshot_row(3) +
                R"~(,[1,"index range scan","t.a; recheck full predicate and MVCC visibility"],)~"
                R"~([2,"filter","evaluate WHERE with SQL NULL semantics"],[3,"project","select output columns"]]})~");
  EXPECT_EQ(db.query("EXPLAIN SELECT b FROM t WHERE a = 1 OR a = 2"),
            kHead + snapshot_row(3) +
                R"~(,[1,"table scan","t: scan row versions and check MVCC visibility"],)~"
                R"~([2,"filter","evaluate WHERE with SQL NULL semantics"],[3,"project","select output columns"]]})~");
}

TEST(SelectExplain, OrderedIndexScanWithEarlyStop) {
  CDb db = indexed();
  EXPECT_EQ(db.query("EXPLAIN SELECT b FROM t ORDER BY a DESC LIMIT 10 OFFSET 5"),
            kHead + snapshot_row(3) +
                R"~(,[1,"ordered index scan","t.a DESC; early stop 15"],[2,"project","select output columns"],)~"
                R"~([3,"offset","5"],[4,"limit","10"]]})~");
  EXPECT_EQ(db.query("EXPLAIN SELECT * FROM t ORDER BY a"),
            kHead + snapshot_row(3) +
                R"~(,[1,"ordered index scan","t.a ASC; early stop none"],[2,"project","select output columns"]]})~");
  // The SELECT itself takes the rows the plan describes.
  EXPECT_EQ(db.query("SELECT b FROM t ORDER BY a DESC LIMIT 1 OFFSET 1"), R"({"columns":["b"],"rows":[["y"]]})");
}

TEST(SelectExplain, TopNUnlessDistinct) {
  CDb db = indexed();
  EXPECT_EQ(db.query("EXPLAIN SELECT a FROM t ORDER BY b LIMIT 2"),
            kHead + snapshot_row(3) +
                R"~(,[1,"table scan","t: scan row versions and check MVCC visibility"],[2,"top-N sort","b ASC"],)~"
                R"~([3,"project","select output columns"],[4,"limit","2"]]})~");
  EXPECT_EQ(db.query("EXPLAIN SELECT DISTINCT a FROM t ORDER BY b DESC, a LIMIT 2"),
            kHead + snapshot_row(3) +
                R"~(,[1,"table scan","t: scan row versions and check MVCC visibility"],[2,"sort","b DESC, a ASC"],)~"
                R"~([3,"project","select output columns"],[4,"distinct","deduplicate output rows"],[5,"limit","2"]]})~");
}

TEST(SelectExplain, GroupedAndJoinedPlans) {
  CDb db = indexed();
  ASSERT_EQ(db.query("CREATE TABLE u (a, c)"), kDone);
  EXPECT_EQ(db.query("EXPLAIN SELECT b, COUNT(*) AS n FROM t GROUP BY b HAVING n > 0 ORDER BY n"),
            kHead + snapshot_row(3) +
                R"~(,[1,"table scan","t: scan row versions and check MVCC visibility"],[2,"aggregate","group by b"],)~"
                R"~([3,"project","select group output columns"],[4,"filter groups","having"],[5,"sort","n ASC"]]})~");
  EXPECT_EQ(db.query("EXPLAIN SELECT * FROM u JOIN t x ON u.a = x.a WHERE u.c = 1"),
            kHead + snapshot_row(3) +
                R"~(,[1,"table scan","u AS u"],[2,"source filter","apply driving-relation predicates before joining"],)~"
                R"~([3,"adaptive indexed inner join","u.a = x.a; probe x.a once per distinct left key when cheaper, )~"
                R"~(otherwise build the right input"],[4,"filter","evaluate WHERE with SQL NULL semantics"],)~"
                R"~([5,"project","select output columns"]]})~");
  EXPECT_EQ(db.query("EXPLAIN SELECT * FROM t x LEFT JOIN u ON x.a = u.a"),
            kHead + snapshot_row(3) +
                R"~(,[1,"table scan","t AS x"],[2,"table scan","u AS u"],)~"
                R"~([3,"left equality join","x.a = u.a; build ordered map of right input"],)~"
                R"~([4,"project","select output columns"]]})~");
}

TEST(SelectExplain, FailsAsTheSelectWouldAndRefusesWrites) {
  CDb db = indexed();
  EXPECT_EQ(db.query("EXPLAIN SELECT nosuch FROM t"), "error: schema error: no column `nosuch`");
  EXPECT_EQ(db.query("SELECT nosuch FROM t"), "error: schema error: no column `nosuch`");
  EXPECT_EQ(db.query("EXPLAIN SELECT * FROM gone"), "error: table not found: gone");
  EXPECT_EQ(db.query("EXPLAIN SELECT b, a FROM t GROUP BY b"),
            "error: schema error: column `a` must appear in GROUP BY or inside an aggregate");
  const std::string refused = db.query("EXPLAIN DELETE FROM t WHERE a = 1");
  EXPECT_EQ(refused.rfind("error: query parse error:", 0), 0u) << refused;
  EXPECT_EQ(db.query("SELECT COUNT(*) FROM t"), R"({"columns":["count"],"rows":[[3]]})");
}

}  // namespace
