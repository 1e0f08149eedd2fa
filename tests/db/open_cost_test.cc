// Opening a workspace costs the same whatever its tables hold: the manifest and each table's
// tail page are read, never the rest of a chain whose indexes are all stored.
#include <gtest/gtest.h>

#include <string>

#include "db/database.h"
#include "support/db_test_util.h"
#include "support/faulty_fs.h"
#include "db/write_path.h"
#include "db/ddl.h"

namespace qm::db {
namespace {

using test::row;

// Reads made by opening a workspace whose one table holds `rows` rows (id UNIQUE, stored).
uint64_t reads_at_open(int rows) {
  qm::test::FaultyFs faulty;
  fs::ScopedFileSystem scoped(faulty);
  {
    Database db = test::open_ok("/ws");
    db.set_autoflush(false);
    EXPECT_TRUE(create_table(db, "t", {"id", "pad"}, {"id"}, {}).has_value());
    for (int i = 0; i < rows; ++i)
      EXPECT_TRUE(insert_validated_base(db, "t", row({Value::integer(i), Value::text("0123456789abcdef")})).has_value());
    EXPECT_TRUE(db.flush().has_value());
    EXPECT_TRUE(db.close().has_value());  // a clean close stores the index pairs
  }
  const uint64_t before = faulty.calls(qm::test::FaultyFs::Op::Read);
  Database db = test::open_ok("/ws");
  EXPECT_EQ(db.catalog().tables().at("t").row_versions, static_cast<uint64_t>(rows));
  EXPECT_EQ(db.store().cache.resident(), 0u);  // nothing went through the cache
  return faulty.calls(qm::test::FaultyFs::Op::Read) - before;
}

TEST(OpenCost, OpenReadsDoNotGrowWithTheTable) {
  const uint64_t small = reads_at_open(10);                // one page
  const uint64_t large = reads_at_open(70 * 300);          // 300 pages
  EXPECT_EQ(small, large);
  EXPECT_LE(large, 6u);
}

}  // namespace
}  // namespace qm::db
