// Joins through the C interface: LEFT and INNER joins with unmatched and NULL keys, keys
// of mixed kinds, the index probe and the scan giving the same rows, snapshots, chains of
// joins, WHERE over joined rows and the errors of ON resolution.
#include <gtest/gtest.h>

#include <string>

#include "support/c_api.h"

namespace {

using qm::test::CDb;

const std::string kDone = R"({"done":true})";

// Customers and orders; order 13 has no customer, order 14 a NULL one, customer 3 no order.
CDb shop() {
  CDb db = CDb::memory();
  EXPECT_EQ(db.query("CREATE TABLE c (id, name)"), kDone);
  EXPECT_EQ(db.query("CREATE TABLE o (id, cid, total)"), kDone);
  EXPECT_EQ(db.query("INSERT INTO c VALUES (1, 'ann'), (2, 'bob'), (3, 'cy'), (NULL, 'nobody')"), R"({"mutated":4})");
  EXPECT_EQ(db.query("INSERT INTO o VALUES (10, 1, 5), (11, 2, 7), (12, 1, 9), (13, 99, 1), (14, NULL, 2)"),
            R"({"mutated":5})");
  return db;
}

TEST(SelectJoin, LeftJoinPadsUnmatchedAndNullKeysInLeftOrder) {
  CDb db = shop();
  EXPECT_EQ(db.query("SELECT c.name, o.id FROM c LEFT JOIN o ON c.id = o.cid"),
            R"({"columns":["c.name","o.id"],"rows":[["ann",10],["ann",12],["bob",11],["cy",null],["nobody",null]]})");
  EXPECT_EQ(db.query("SELECT c.name, o.id FROM c JOIN o ON o.cid = c.id"),
            R"({"columns":["c.name","o.id"],"rows":[["ann",10],["ann",12],["bob",11]]})");
  EXPECT_EQ(db.query("SELECT o.id, c.name FROM o LEFT JOIN c ON o.cid = c.id"),
            R"({"columns":["o.id","c.name"],"rows":[[10,"ann"],[11,"bob"],[12,"ann"],[13,null],[14,null]]})");
}

TEST(SelectJoin, SameColumnOnBothSidesIsQualifiedTwice) {
  CDb db = shop();
  EXPECT_EQ(db.query("SELECT * FROM c a JOIN o b ON a.id = b.cid WHERE b.id = 11"),
            R"({"columns":["a.id","a.name","b.id","b.cid","b.total"],"rows":[[2,"bob",11,2,7]]})");
  EXPECT_EQ(db.query("SELECT id FROM c a JOIN o b ON a.id = b.cid"), "error: schema error: ambiguous column `id`");
  EXPECT_EQ(db.query("SELECT * FROM c a JOIN o b ON a.id = b.cid WHERE id = 1"),
            "error: schema error: ambiguous column `id`");
  EXPECT_EQ(db.query("SELECT name, total FROM c a JOIN o b ON a.id = b.cid WHERE total > 6"),
            R"({"columns":["name","total"],"rows":[["ann",9],["bob",7]]})");
}

TEST(SelectJoin, IntKeysMatchDecimalsButNeverText) {
  CDb db = CDb::memory();
  ASSERT_EQ(db.query("CREATE TABLE l (k, tag)"), kDone);
  ASSERT_EQ(db.query("CREATE TABLE r (k, what)"), kDone);
  ASSERT_EQ(db.query("INSERT INTO l VALUES (2, 'int'), (2.0, 'dec'), ('2', 'text'), (2.5, 'half'), ('', 'empty')"),
            R"({"mutated":5})");
  ASSERT_EQ(db.query("INSERT INTO r VALUES (2.000000, 'R-dec'), (2, 'R-int'), ('2', 'R-text'), (2.5, 'R-half')"),
            R"({"mutated":4})");
  const std::string expected =
      R"({"columns":["l.tag","r.what"],"rows":[["int","R-dec"],["int","R-int"],["dec","R-dec"],["dec","R-int"],)"
      R"(["text","R-text"],["half","R-half"],["empty",null]]})";
  const std::string sql = "SELECT l.tag, r.what FROM l LEFT JOIN r ON l.k = r.k";
  EXPECT_EQ(db.query(sql), expected);
  ASSERT_EQ(db.query("CREATE INDEX ON r (k)"), kDone);
  EXPECT_EQ(db.query(sql), expected);  // probed: 4 distinct keys * 4 > 4 versions, so built; same rows
}

// A right table large enough that a few left keys are probed through its index.
CDb probe_fixture() {
  CDb db = CDb::memory();
  EXPECT_EQ(db.query("CREATE TABLE l (k, tag)"), kDone);
  EXPECT_EQ(db.query("CREATE TABLE r (k, v)"), kDone);
  EXPECT_EQ(db.query("INSERT INTO l VALUES (3, 'a'), (NULL, 'b'), (3.0, 'c'), ('x', 'd'), (42, 'e')"),
            R"({"mutated":5})");
  std::string rows;
  for (int i = 0; i < 40; ++i) rows += (i ? ", (" : "(") + std::to_string(i % 8) + ", " + std::to_string(i) + ")";
  EXPECT_EQ(db.query("INSERT INTO r VALUES " + rows + ", ('x', 'ex'), (3.000000, 'dec3')"), R"({"mutated":42})");
  EXPECT_EQ(db.query("DELETE FROM r WHERE v = 11"), R"({"mutated":1})");
  return db;
}

TEST(SelectJoin, IndexProbeAndScanGiveTheSameRows) {
  const std::string sql = "SELECT l.tag, r.v FROM l LEFT JOIN r ON r.k = l.k ORDER BY l.tag";
  CDb scan = probe_fixture();
  CDb probe = probe_fixture();
  ASSERT_EQ(probe.query("CREATE INDEX ON r (k)"), kDone);
  const std::string scanned = scan.query(sql);
  EXPECT_EQ(scanned,
            R"({"columns":["l.tag","r.v"],"rows":[["a",3],["a",19],["a",27],["a",35],["a","dec3"],["b",null],)"
            R"(["c",3],["c",19],["c",27],["c",35],["c","dec3"],["d","ex"],["e",null]]})");
  EXPECT_EQ(probe.query(sql), scanned);
  // The plan names the probe as adaptive; the scan as a table scan of the right side.
  EXPECT_NE(probe.query("EXPLAIN " + sql).find("adaptive indexed left join"), std::string::npos);
  EXPECT_NE(scan.query("EXPLAIN " + sql).find("left equality join"), std::string::npos);
}

TEST(SelectJoin, EmptyRightTable) {
  CDb db = shop();
  ASSERT_EQ(db.query("CREATE TABLE e (cid)"), kDone);
  EXPECT_EQ(db.query("SELECT c.name FROM c JOIN e ON c.id = e.cid"), R"({"columns":["c.name"],"rows":[]})");
  EXPECT_EQ(db.query("SELECT c.name, e.cid FROM c LEFT JOIN e ON c.id = e.cid"),
            R"({"columns":["c.name","e.cid"],"rows":[["ann",null],["bob",null],["cy",null],["nobody",null]]})");
}

TEST(SelectJoin, BothInputsAreReadAtTheSnapshot) {
  CDb db = shop();
  const uint64_t before = db.clock();
  ASSERT_EQ(db.query("INSERT INTO o VALUES (15, 3, 4)"), R"({"mutated":1})");
  ASSERT_EQ(db.query("DELETE FROM o WHERE id = 10"), R"({"mutated":1})");
  ASSERT_EQ(db.query("INSERT INTO c VALUES (4, 'dee')"), R"({"mutated":1})");
  const std::string sql = "SELECT c.name, o.id FROM c JOIN o ON c.id = o.cid";
  EXPECT_EQ(db.query(sql + " BEFORE " + std::to_string(before)),
            R"({"columns":["c.name","o.id"],"rows":[["ann",10],["ann",12],["bob",11]]})");
  EXPECT_EQ(db.query(sql), R"({"columns":["c.name","o.id"],"rows":[["ann",12],["bob",11],["cy",15]]})");
  ASSERT_EQ(db.query("CREATE INDEX ON o (cid)"), kDone);
  EXPECT_EQ(db.query(sql + " BEFORE " + std::to_string(before)),
            R"({"columns":["c.name","o.id"],"rows":[["ann",10],["ann",12],["bob",11]]})");
}

TEST(SelectJoin, ChainOfJoinsResolvesAgainstEveryEarlierRelation) {
  CDb db = shop();
  ASSERT_EQ(db.query("CREATE TABLE item (oid, sku)"), kDone);
  ASSERT_EQ(db.query("INSERT INTO item VALUES (10, 'pen'), (12, 'ink'), (12, 'cap'), (11, 'pad')"),
            R"({"mutated":4})");
  EXPECT_EQ(db.query("SELECT c.name, i.sku FROM c JOIN o ON c.id = o.cid JOIN item i ON i.oid = o.id "
                     "WHERE c.name = 'ann'"),
            R"({"columns":["c.name","i.sku"],"rows":[["ann","pen"],["ann","ink"],["ann","cap"]]})");
  EXPECT_EQ(db.query("SELECT c.name, COUNT(i.sku) AS n FROM c LEFT JOIN o ON c.id = o.cid LEFT JOIN item i ON "
                     "i.oid = o.id GROUP BY c.name HAVING n < 3 ORDER BY n DESC"),
            R"({"columns":["c.name","n"],"rows":[["bob",1],["cy",0],["nobody",0]]})");
}

TEST(SelectJoin, WhereOverJoinedRowsDropsUnknown) {
  CDb db = shop();
  // A padded row's NULL makes the comparison unknown: dropped.
  EXPECT_EQ(db.query("SELECT c.name FROM c LEFT JOIN o ON c.id = o.cid WHERE o.total < 8"),
            R"({"columns":["c.name"],"rows":[["ann"],["bob"]]})");
  EXPECT_EQ(db.query("SELECT c.name FROM c LEFT JOIN o ON c.id = o.cid WHERE o.id IS NULL"),
            R"({"columns":["c.name"],"rows":[["cy"],["nobody"]]})");
  // A driving-relation condition pushed into an indexed read of the driving table.
  ASSERT_EQ(db.query("CREATE INDEX ON c (name)"), kDone);
  EXPECT_EQ(db.query("SELECT o.id FROM c LEFT JOIN o ON c.id = o.cid WHERE c.name = 'ann' OR c.name = 'cy'"),
            R"({"columns":["o.id"],"rows":[[10],[12],[null]]})");
}

TEST(SelectJoin, HavingAloneMakesTheJoinGroupedInsteadOfBeingIgnored) {
  CDb db = shop();
  EXPECT_EQ(db.query("SELECT c.name FROM c JOIN o ON c.id = o.cid HAVING c.name = 'ann'"),
            "error: schema error: column `c.name` must appear in GROUP BY or inside an aggregate");
  EXPECT_EQ(db.query("SELECT COUNT(*) AS n FROM c x JOIN o ON x.id = o.cid HAVING n > 5"),
            R"({"columns":["n"],"rows":[]})");
  EXPECT_EQ(db.query("SELECT COUNT(*) AS n FROM c x JOIN o ON x.id = o.cid HAVING n > 2"),
            R"({"columns":["n"],"rows":[[3]]})");
}

TEST(SelectJoin, SelfJoinThroughAliases) {
  CDb db = CDb::memory();
  ASSERT_EQ(db.query("CREATE TABLE e (id, boss, name)"), kDone);
  ASSERT_EQ(db.query("INSERT INTO e VALUES (1, NULL, 'ceo'), (2, 1, 'vp'), (3, 2, 'dev'), (4, 2, 'ops')"),
            R"({"mutated":4})");
  const std::string sql = "SELECT w.name, b.name FROM e w LEFT JOIN e b ON w.boss = b.id";
  const std::string expected =
      R"({"columns":["w.name","b.name"],"rows":[["ceo",null],["vp","ceo"],["dev","vp"],["ops","vp"]]})";
  EXPECT_EQ(db.query(sql), expected);
  ASSERT_EQ(db.query("CREATE INDEX ON e (id)"), kDone);
  EXPECT_EQ(db.query(sql), expected);
  EXPECT_EQ(db.query("SELECT name FROM e w JOIN e b ON w.boss = b.id"), "error: schema error: ambiguous column `name`");
  EXPECT_EQ(db.query("SELECT * FROM e JOIN e ON e.boss = e.id").rfind("error: query parse error: duplicate table "
                                                                      "qualifier `e`",
                                                                      0),
            0u);
}

TEST(SelectJoin, UnresolvableJoinsFailWithTheirTexts) {
  CDb db = shop();
  EXPECT_EQ(db.query("SELECT * FROM c JOIN nope ON c.id = nope.id"), "error: table not found: nope");
  EXPECT_EQ(db.query("SELECT * FROM nope n JOIN c ON c.id = n.id"), "error: table not found: nope");
  EXPECT_EQ(db.query("SELECT * FROM c JOIN o ON c.id = c.name"),
            "error: schema error: JOIN ON must compare one column from the joined relation with one earlier "
            "column; could not resolve `c.id = c.name`");
  EXPECT_EQ(db.query("SELECT * FROM c JOIN o ON c.id = o.cid JOIN o o2 ON id = o2.cid"),
            "error: schema error: ambiguous join column `id`");
  EXPECT_EQ(db.query("SELECT * FROM c JOIN o ON c.id = o.cid WHERE o.nosuch = 1"),
            "error: schema error: no column `o.nosuch`");
}

}  // namespace
