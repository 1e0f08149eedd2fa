// Statistics of known databases, field by field.
#include "db/stats.h"

#include <gtest/gtest.h>

#include "db/database.h"
#include "support/db_test_util.h"
#include "support/temp_dir.h"
#include "db/write_path.h"
#include "db/ddl.h"
#include "support/database_test_access.h"

namespace qm::db {
namespace {

using test::row;

DatabaseStats stats_of(Database& db) { return must(inspect_stats(db)); }

TEST(Stats, NewMemoryDatabase) {
  Database db = Database::open_memory();
  EXPECT_EQ(stats_to_json(stats_of(db)),
            R"({"format_version":1,"current_transaction":0,"storage_mode":"memory","writable":true,"page_size":4096,)"
            R"("allocated_pages":0,"allocated_page_bytes":0,"orphaned_pages":0,)"
            R"("buffer_pool":{"capacity_pages":4096,"resident_pages":0},"cas":{"blobs":0,"stored_bytes":0},)"
            R"("tables":[],"retrieval_indexes":[]})");
}

TEST(Stats, OneRecordOfOneHundredBytesAndAnEmptyUniqueIndex) {
  Database db = Database::open_memory();
  ASSERT_TRUE(create_table(db, "empty", {"k"}, {"k"}, {}).has_value());
  ASSERT_TRUE(create_table(db, "t", {"a", "b", "c", "d"}, {}, {}).has_value());
  const std::string s16(16, 'x');
  // 26 + 3 x 19 + 17 = 100 bytes; the tail page exists only in the table's copy so far.
  ASSERT_TRUE(insert_validated_base(db, "t", row({Value::text(s16), Value::text(s16), Value::text(s16),
                                                 Value::decimal(1)}))
                  .has_value());
  EXPECT_EQ(stats_to_json(stats_of(db)),
            R"({"format_version":3,"current_transaction":1,"storage_mode":"memory","writable":true,"page_size":4096,)"
            R"("allocated_pages":1,"allocated_page_bytes":4096,"orphaned_pages":0,)"
            R"("buffer_pool":{"capacity_pages":4096,"resident_pages":0},"cas":{"blobs":0,"stored_bytes":0},"tables":[)"
            R"({"name":"empty","columns":["k"],"live_rows":0,"row_versions":0,"pages":0,"used_page_bytes":0,)"
            R"("free_page_bytes":0,"compression":{"codec":"row-slotted","compressed_pages":0,"saved_bytes":0},)"
            R"("indexes":[{"column":"k","entries":0,"distinct_keys":0,"encoded_bytes":4}]},)"
            R"({"name":"t","columns":["a","b","c","d"],"live_rows":1,"row_versions":1,"pages":1,"used_page_bytes":132,)"
            R"("free_page_bytes":3964,"compression":{"codec":"row-slotted","compressed_pages":0,"saved_bytes":0},)"
            R"("indexes":[]}],"retrieval_indexes":[]})");
}

TEST(Stats, RetiredVersionsCountAsVersionsNotLiveRowsAndDroppedPagesAreOrphans) {
  Database db = Database::open_memory();
  ASSERT_TRUE(create_table(db, "t", {"a"}, {}, {}).has_value());
  ASSERT_TRUE(create_table(db, "gone", {"a"}, {}, {}).has_value());
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(insert_validated_base(db, "t", row({Value::integer(i)})).has_value());
  ASSERT_TRUE(insert_validated_base(db, "gone", row({Value::integer(9)})).has_value());
  qm::db::DatabaseTestAccess::set_clock(db, db.clock() + 1);
  ASSERT_TRUE(db.catalog().tables().at("t").tail_page->patch_envelope_deleted(1, db.clock()).has_value());
  auto s = stats_of(db);
  EXPECT_EQ(s.tables[1].name, "t");
  EXPECT_EQ(s.tables[1].live_rows, 2u);
  EXPECT_EQ(s.tables[1].row_versions, 3u);
  EXPECT_EQ(s.orphaned_pages, 0u);
  ASSERT_TRUE(drop_table(db, "gone").has_value());
  EXPECT_EQ(stats_of(db).orphaned_pages, 1u);
}

TEST(Stats, WorkspaceAndProductionModesAndTheIndexVersionRule) {
  qm::test::TempDir tmp;
  Database ws = test::open_ok(tmp.join("ws"));
  ASSERT_TRUE(create_table(ws, "t", {"a"}, {}, {}).has_value());
  ASSERT_TRUE(insert_validated_base(ws, "t", row({Value::text(std::string(20, 'z'))})).has_value());
  auto s = stats_of(ws);
  EXPECT_EQ(s.storage_mode, "development");
  EXPECT_EQ(s.format_version, 1);
  EXPECT_EQ(s.cas.blobs, 1u);
  EXPECT_EQ(s.cas.stored_bytes, 20u);
  ASSERT_TRUE(create_index_bounded(ws, "t", "a", nullptr).has_value());
  EXPECT_EQ(stats_of(ws).format_version, 2);  // any secondary index counts here
  qm::test::write_file(tmp.join("x.qmdb"), must(ws.bake_to_bytes()));
  auto prod = must(Database::open_image(tmp.join("x.qmdb")));
  auto p = stats_of(prod);
  EXPECT_EQ(p.storage_mode, "production");
  EXPECT_FALSE(p.writable);
  EXPECT_EQ(p.tables[0].pages, 1u);
  EXPECT_EQ(p.tables[0].live_rows, 1u);
}

TEST(Stats, PageUsageOfRowPagesAndRefusals) {
  storage::RowPage empty(3);
  auto u = must(page_usage(empty.span()));
  EXPECT_EQ(u.used, 28u);
  EXPECT_EQ(u.free, 4068u);
  EXPECT_FALSE(u.next.has_value());
  std::vector<uint8_t> small(8);
  EXPECT_EQ(error_text(page_usage(small)), "buffer too small: needed 28 bytes, got 8");
  storage::Page bad{};
  bad[8] = 1;
  bad[9] = 5;  // 5 slots
  bad[11] = 20;  // free-space pointer 20, below the slot directory
  EXPECT_EQ(error_text(page_usage(bad)), "data corruption: row page header out of range: slot_count=5, free_space_ptr=20");
  bad[8] = 7;
  EXPECT_EQ(error_text(page_usage(bad)), "invalid page type discriminant: 0x07");
}

}  // namespace
}  // namespace qm::db
