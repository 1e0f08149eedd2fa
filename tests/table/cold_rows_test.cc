// Rows held in a read-only columnar page at the head of a table's chain, through every row
// path of a statement: scan, envelope count, snapshots, index build and lookup, and the
// deletion mark that DELETE and UPDATE write into the page's envelope array, the only
// change a columnar page may ever get.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "core/bytes.h"
#include "db/database.h"
#include "support/db_test_util.h"
#include "storage/column_codec.h"
#include "storage/columnar_fixture.h"
#include "support/database_test_access.h"

namespace {

using qm::db::test::run;

using qm::db::Database;
namespace fx = qm::storage::fixture;

std::array<uint8_t, 4096> page_bytes(Database& db, uint64_t id) {
  std::array<uint8_t, 4096> out{};
  auto read = db.store().cache.with_page(id, [&](qm::storage::ConstPageSpan bytes) -> qm::Result<void> {
    std::copy(bytes.begin(), bytes.end(), out.begin());
    return {};
  });
  EXPECT_TRUE(read);
  return out;
}

// Table t (a, b): a columnar page of three versions (a = 1, 2, 3; the third retired at 2)
// linked to the row page of two stored rows (a = 10, 11).
uint64_t table_with_a_cold_head(Database& db) {
  EXPECT_EQ(run(db, "CREATE TABLE t (a, b)"), R"({"done":true})");
  EXPECT_EQ(run(db, "INSERT INTO t VALUES (10, 'r1'), (11, 'r2')"), R"({"mutated":2})");
  qm::db::Table& t = db.catalog().tables().find("t")->second;
  const uint64_t id = *db.store().cache.alloc_page();
  fx::ColdPageShape shape;
  shape.page_id = id;
  shape.next = *t.first_page;
  shape.envelopes = {{1, 0, 0}, {2, 0, 0}, {1, 2, 0}};
  shape.arity = 2;
  shape.columns = {{qm::storage::compress::kEncodingDeltaInt, fx::delta_z({1, 2, 3})},
                   {qm::storage::compress::kEncodingRaw,
                    fx::raw({qm::Value::text("c1"), qm::Value::text("c2"), qm::Value::text("c3")})}};
  const fx::Bytes bytes = fx::cold_page(shape);
  EXPECT_TRUE(db.store().cache.write(id, qm::storage::ConstPageSpan(bytes.data(), qm::storage::kPageSize)));
  t.first_page = id;
  t.cold_pages = 1;
  t.row_versions += 3;
  t.page_ids.reset();
  qm::db::DatabaseTestAccess::set_clock(db, 5);
  return id;
}

TEST(ColdRows, AreScannedCountedAndSeenAtTheirSnapshots) {
  Database db = Database::open_memory();
  table_with_a_cold_head(db);
  EXPECT_EQ(run(db, "SELECT * FROM t"), R"({"columns":["a","b"],"rows":[[1,"c1"],[2,"c2"],[10,"r1"],[11,"r2"]]})");
  EXPECT_EQ(run(db, "SELECT COUNT(*) FROM t"), R"({"columns":["count"],"rows":[[4]]})");
  EXPECT_EQ(run(db, "SELECT a FROM t BEFORE 1"), R"({"columns":["a"],"rows":[[1],[3],[10]]})");
  EXPECT_EQ(run(db, "SELECT COUNT(*) FROM t BEFORE 1"), R"({"columns":["count"],"rows":[[3]]})");
  EXPECT_EQ(run(db, "CREATE INDEX ON t (a)"), R"({"done":true})");
  EXPECT_EQ(run(db, "SELECT b FROM t WHERE a = 2"), R"({"columns":["b"],"rows":[["c2"]]})");
  EXPECT_EQ(run(db, "SELECT b FROM t WHERE a = 3"), R"({"columns":["b"],"rows":[]})");
  EXPECT_EQ(run(db, "SELECT b FROM t WHERE a = 3 BEFORE 1"), R"({"columns":["b"],"rows":[["c3"]]})");
  EXPECT_EQ(run(db, "SELECT a FROM t ORDER BY a DESC LIMIT 3"), R"({"columns":["a"],"rows":[[11],[10],[2]]})");
}

TEST(ColdRows, RetiringOneChangesExactlyItsDeletedWord) {
  Database db = Database::open_memory();
  const uint64_t id = table_with_a_cold_head(db);
  const auto before = page_bytes(db, id);
  EXPECT_EQ(run(db, "DELETE FROM t WHERE a = 2"), R"({"mutated":1})");
  const auto after = page_bytes(db, id);
  // Row 1's envelope starts at 30 + 24; its deleted word is the 8 bytes after the created one.
  for (size_t i = 0; i < before.size(); ++i) {
    if (i >= 62 && i < 70) continue;
    ASSERT_EQ(before[i], after[i]) << "byte " << i;
  }
  EXPECT_EQ(qm::load_u64(after.data() + 62), 6u);
  EXPECT_EQ(run(db, "UPDATE t SET b = 'new' WHERE a = 1"), R"({"mutated":1})");
  EXPECT_EQ(run(db, "SELECT * FROM t"), R"({"columns":["a","b"],"rows":[[10,"r1"],[11,"r2"],[1,"new"]]})");
  EXPECT_EQ(run(db, "SELECT * FROM t BEFORE 5"),
            R"({"columns":["a","b"],"rows":[[1,"c1"],[2,"c2"],[10,"r1"],[11,"r2"]]})");
}

}  // namespace
