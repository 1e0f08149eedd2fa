// Writes through the C interface that a golden script cannot state compactly: the record
// size limit at its byte boundary, and the transaction call on a production image.
#include <gtest/gtest.h>

#include <string>

#include "support/c_api.h"
#include "support/temp_dir.h"

namespace {

using ProductionImageDir = qm::test::InTempDir;
using qm::test::CDb;

const std::string kDone = R"({"done":true})";

TEST(RecordSize, TheLimitHoldsAtItsBoundary) {
  CDb db = CDb::memory();
  // 26 bytes of envelope and count, then per 16-byte text 19 bytes: 26 + 19 * n, plus an Int.
  std::string cols = "c0";
  for (int i = 1; i < 213; ++i) cols += ", c" + std::to_string(i);
  EXPECT_EQ(db.query("CREATE TABLE big (" + cols + ")"), kDone);
  auto row_of = [](int texts, const std::string& tail) {
    std::string values;
    for (int i = 0; i < texts; ++i) values += "'0123456789abcdef', ";
    return "INSERT INTO big VALUES (" + values + tail + ")";
  };
  // 212 texts of 16 bytes: 26 + 212 * 19 = 4054; a last Int (9) makes 4063, a Decimal (17) 4071.
  EXPECT_EQ(db.query(row_of(212, "1")), R"({"mutated":1})");
  EXPECT_EQ(db.query(row_of(212, "1.5")), "error: schema error: record of 4071 bytes exceeds page capacity (4064)");
  // A 7-byte text (3 + 7) makes exactly 4064; 8 bytes is one over.
  EXPECT_EQ(db.query(row_of(212, "'abcdefg'")), R"({"mutated":1})");
  EXPECT_EQ(db.query(row_of(212, "'abcdefgh'")),
            "error: schema error: record of 4065 bytes exceeds page capacity (4064)");
  // A longer text goes to the blob store and costs 9 bytes.
  EXPECT_EQ(db.query(row_of(212, "'a text longer than sixteen bytes'")), R"({"mutated":1})");
  EXPECT_EQ(db.query("SELECT COUNT(*) FROM big"), R"({"columns":["count"],"rows":[[3]]})");
  EXPECT_EQ(db.query("SELECT c212 FROM big"),
            R"({"columns":["c212"],"rows":[[1],["abcdefg"],["a text longer than sixteen bytes"]]})");
}

TEST_F(ProductionImageDir, TheTransactionCallIsRefusedLikeBegin) {
  CDb source = CDb::memory();
  const std::string path = tmp.join("p.qmdb");
  qm::test::write_file(path, qm::test::export_image(source.get()).value());
  CDb db(qm_open_prod(path.c_str()));
  ASSERT_NE(db.get(), nullptr) << qm_last_error();
  EXPECT_EQ(qm_begin_transaction(db.get()), 0);
  EXPECT_EQ(qm::test::last_error(), "database is read-only (production mode); mutations are not permitted");
  EXPECT_FALSE(qm_in_transaction(db.get()));
}

}  // namespace
