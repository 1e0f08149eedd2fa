// Grouping and aggregates through the C interface, on both grouped executions: the
// streaming one (no WHERE, no HAVING) and the one over collected rows.
#include <gtest/gtest.h>

#include <string>

#include "support/c_api.h"

namespace {

using qm::test::CDb;

const std::string kDone = R"~({"done":true})~";

CDb mixed() {
  CDb db = CDb::memory();
  EXPECT_EQ(db.query("CREATE TABLE t (g, x)"), kDone);
  EXPECT_EQ(db.query("INSERT INTO t VALUES (5, 1), (NULL, 2), (5.0, 3), ('a', NULL), (NULL, 4), (5, 2.5), "
                     "(-1, 'zz')"),
            R"~({"mutated":7})~");
  return db;
}

TEST(SelectGroup, NullGroupsComeFirstAndIntAndDecimalKeysStayApart) {
  CDb db = mixed();
  const std::string expected =
      R"~({"columns":["g","n"],"rows":[[null,2],[-1,1],[5,2],["5.000000",1],["a",1]]})~";
  EXPECT_EQ(db.query("SELECT g, COUNT(*) AS n FROM t GROUP BY g"), expected);
  // The collected-rows path groups the same way.
  EXPECT_EQ(db.query("SELECT g, COUNT(*) AS n FROM t WHERE g IS NULL OR g IS NOT NULL GROUP BY g"), expected);
}

TEST(SelectGroup, EveryAggregateOverEmptyInput) {
  CDb db = CDb::memory();
  ASSERT_EQ(db.query("CREATE TABLE e (g, x)"), kDone);
  const std::string all = "SELECT COUNT(*), COUNT(x), SUM(x), AVG(x), MIN(x), MAX(x) FROM e";
  const std::string one_row =
      R"~({"columns":["count","count(x)","sum(x)","avg(x)","min(x)","max(x)"],"rows":[[0,0,null,null,null,null]]})~";
  EXPECT_EQ(db.query(all), one_row);
  EXPECT_EQ(db.query(all + " WHERE x > 1"), one_row);
  EXPECT_EQ(db.query("SELECT g, COUNT(*) FROM e GROUP BY g"), R"~({"columns":["g","count"],"rows":[]})~");
  // Only NULL inputs: the same as none, and COUNT(x) stays 0.
  ASSERT_EQ(db.query("INSERT INTO e VALUES (1, NULL), (1, NULL)"), R"~({"mutated":2})~");
  EXPECT_EQ(db.query(all),
            R"~({"columns":["count","count(x)","sum(x)","avg(x)","min(x)","max(x)"],"rows":[[2,0,null,null,null,null]]})~");
}

TEST(SelectGroup, SumStaysIntUntilADecimalAndAvgRoundsHalfAwayFromZero) {
  CDb db = CDb::memory();
  ASSERT_EQ(db.query("CREATE TABLE n (g, x)"), kDone);
  ASSERT_EQ(db.query("INSERT INTO n VALUES (1, 1), (1, 2), (2, 1), (2, 0.5), (3, 0.000001), (3, 0.000002), "
                     "(4, -0.000001), (4, -0.000002), (5, 1), (5, 1), (5, 2)"),
            R"~({"mutated":11})~");
  EXPECT_EQ(db.query("SELECT g, SUM(x), AVG(x) FROM n GROUP BY g"),
            R"~({"columns":["g","sum(x)","avg(x)"],"rows":[[1,3,"1.500000"],[2,"1.500000","0.750000"],)~"
            R"~([3,"0.000003","0.000002"],[4,"-0.000003","-0.000002"],[5,4,"1.333333"]]})~");
}

TEST(SelectGroup, MinAndMaxAcrossKinds) {
  CDb db = mixed();
  // MAX: any text is above every number; MIN keeps the numeric minimum.
  EXPECT_EQ(db.query("SELECT MIN(x), MAX(x) FROM t"), R"~({"columns":["min(x)","max(x)"],"rows":[[1,"zz"]]})~");
  CDb ties = CDb::memory();
  ASSERT_EQ(ties.query("CREATE TABLE m (x)"), kDone);
  ASSERT_EQ(ties.query("INSERT INTO m VALUES (2.0), (2), (4.5), (5)"), R"~({"mutated":4})~");
  EXPECT_EQ(ties.query("SELECT MIN(x), MAX(x) FROM m"), R"~({"columns":["min(x)","max(x)"],"rows":[["2.000000",5]]})~");
}

TEST(SelectGroup, OverflowTexts) {
  CDb db = CDb::memory();
  ASSERT_EQ(db.query("CREATE TABLE big (x)"), kDone);
  ASSERT_EQ(db.query("INSERT INTO big VALUES (9223372036854775807), (1)"), R"~({"mutated":2})~");
  EXPECT_EQ(db.query("SELECT SUM(x) FROM big"), "error: schema error: SUM overflowed i64");
  EXPECT_EQ(db.query("SELECT SUM(x) FROM big WHERE x > 0"), "error: schema error: SUM overflowed i64");
  // The 128-bit sum itself did not overflow: AVG still answers.
  EXPECT_EQ(db.query("SELECT AVG(x) FROM big"),
            R"~({"columns":["avg(x)"],"rows":[["4611686018427387904.000000"]]})~");
  CDb dec = CDb::memory();
  ASSERT_EQ(dec.query("CREATE TABLE d (g, x)"), kDone);
  ASSERT_EQ(dec.query("INSERT INTO d VALUES (1, 170141183460469231731687303715884.105727), (1, 0.000001), "
                      "(2, 170141183460469231731687303715884.105727), (2, 1)"),
            R"~({"mutated":4})~");
  // The 128-bit running sum itself overflows while adding; the Int part only when combined.
  EXPECT_EQ(dec.query("SELECT SUM(x) FROM d WHERE g = 1"), "error: schema error: SUM overflowed");
  EXPECT_EQ(dec.query("SELECT AVG(x) FROM d WHERE g = 1"), "error: schema error: AVG overflowed");
  EXPECT_EQ(dec.query("SELECT SUM(x) FROM d WHERE g = 2"), "error: schema error: numeric aggregate overflowed");
  EXPECT_EQ(dec.query("SELECT AVG(x) FROM d WHERE g = 2"), "error: schema error: numeric aggregate overflowed");
  // Streaming: the first group fails while its values are folded.
  EXPECT_EQ(dec.query("SELECT g, AVG(x) FROM d GROUP BY g"), "error: schema error: AVG overflowed");
  ASSERT_EQ(db.query("INSERT INTO big VALUES ('seven')"), R"~({"mutated":1})~");
  EXPECT_EQ(db.query("SELECT SUM(x) FROM big"), R"~(error: schema error: SUM requires numeric values, found Text("seven"))~");
  EXPECT_EQ(db.query("SELECT AVG(x) FROM big WHERE x IS NOT NULL"),
            R"~(error: schema error: AVG requires numeric values, found Text("seven"))~");
}

TEST(SelectGroup, HavingOnAliasesAndAggregates) {
  CDb db = mixed();
  EXPECT_EQ(db.query("SELECT g, COUNT(*) AS n FROM t GROUP BY g HAVING n > 1"),
            R"~({"columns":["g","n"],"rows":[[null,2],[5,2]]})~");
  EXPECT_EQ(db.query("SELECT g AS grp, SUM(x) AS s FROM t WHERE x IS NOT NULL AND g <> 'a' GROUP BY g "
                     "HAVING s > 3 OR grp = -1"),
            R"~(error: schema error: SUM requires numeric values, found Text("zz"))~");
  EXPECT_EQ(db.query("SELECT g AS grp, SUM(x) AS s FROM t WHERE g <> -1 GROUP BY g HAVING s > 3 OR grp = 'a'"),
            R"~({"columns":["grp","s"],"rows":[[5,"3.500000"],["a",null]]})~");
  EXPECT_EQ(db.query("SELECT g AS grp, COUNT(x) FROM t GROUP BY g HAVING grp = 5 OR COUNT(*) = 2"),
            R"~({"columns":["grp","count(x)"],"rows":[[null,2],[5,2],["5.000000",1]]})~");
  // A grouped column that is not in the select list cannot be named in HAVING.
  EXPECT_EQ(db.query("SELECT COUNT(*) FROM t GROUP BY g HAVING g = 5"), "error: schema error: no column `g`");
}

TEST(SelectGroup, ColumnsMustBeGroupedOrAggregated) {
  CDb db = mixed();
  const std::string err = "error: schema error: column `x` must appear in GROUP BY or inside an aggregate";
  EXPECT_EQ(db.query("SELECT g, x FROM t GROUP BY g"), err);
  EXPECT_EQ(db.query("SELECT x, COUNT(*) FROM t"), err);
  EXPECT_EQ(db.query("SELECT g, x FROM t WHERE g = 1 GROUP BY g"), err);
  CDb empty = CDb::memory();
  ASSERT_EQ(empty.query("CREATE TABLE t (g, x)"), kDone);
  EXPECT_EQ(empty.query("SELECT g, x FROM t GROUP BY g"), err);
  EXPECT_EQ(empty.query("SELECT UPPER(g), COUNT(*) FROM t GROUP BY g"),
            "error: query parse error: scalar expressions cannot yet be mixed with GROUP BY or aggregates");
  EXPECT_EQ(empty.query("SELECT g, COUNT(*) FROM t GROUP BY g ORDER BY x"), "error: schema error: no column `x`");
}

TEST(SelectGroup, OrderDistinctOffsetLimitOnGroups) {
  CDb db = mixed();
  EXPECT_EQ(db.query("SELECT g, COUNT(*) AS n FROM t GROUP BY g ORDER BY n DESC, g LIMIT 2 OFFSET 1"),
            R"~({"columns":["g","n"],"rows":[[5,2],[-1,1]]})~");
  EXPECT_EQ(db.query("SELECT DISTINCT COUNT(*) AS n FROM t GROUP BY g ORDER BY n"),
            R"~({"columns":["n"],"rows":[[1],[2]]})~");
}

TEST(SelectGroup, DeletedRowsAreNotFoldedButSnapshotsSeeThem) {
  CDb db = mixed();
  const uint64_t before = db.clock();
  ASSERT_EQ(db.query("DELETE FROM t WHERE g IS NULL"), R"~({"mutated":2})~");
  EXPECT_EQ(db.query("SELECT COUNT(*) AS n, SUM(x) FROM t WHERE x <> 'zz' BEFORE " + std::to_string(before)),
            R"~({"columns":["n","sum(x)"],"rows":[[5,"12.500000"]]})~");
  EXPECT_EQ(db.query("SELECT g, COUNT(*) FROM t GROUP BY g"),
            R"~({"columns":["g","count"],"rows":[[-1,1],[5,2],["5.000000",1],["a",1]]})~");
  EXPECT_EQ(db.query("SELECT g, COUNT(*) FROM t GROUP BY g BEFORE " + std::to_string(before) + " LIMIT 1"),
            R"~({"columns":["g","count"],"rows":[[null,2]]})~");
}

}  // namespace
