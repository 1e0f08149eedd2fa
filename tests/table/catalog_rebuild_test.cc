// The catalog rebuild at open on hand-edited manifests and damaged pages: every refusal is
// caught before anything is opened, and stored indexes spare the page walk.
#include "table/catalog_rebuild.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "core/bytes.h"
#include "db/database.h"
#include "support/db_test_util.h"
#include "storage/page.h"
#include "support/temp_dir.h"
#include "db/write_path.h"
#include "db/ddl.h"

namespace qm::db {
namespace {

using namespace test;

// A workspace with table "a" (200 rows: id UNIQUE, pad) spanning pages 0, 2 and 3, and a dropped table
// whose single page 1 is orphaned.
class RebuildTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ws_ = tmp_.join("ws");
    Database db = test::open_ok(ws_);
    db.set_autoflush(false);
    ASSERT_TRUE(create_table(db, "a", {"id", "pad"}, {"id"}, {}).has_value());
    ASSERT_TRUE(create_table(db, "b", {"x"}, {}, {}).has_value());
    const std::string pad(16, 'p');
    for (int i = 0; i < 200; ++i) {
      ASSERT_TRUE(insert_validated_base(db, "a", row({Value::integer(i), Value::text(pad)})).has_value());
      if (i == 0) {
        ASSERT_TRUE(insert_validated_base(db, "b", row({Value::integer(0)})).has_value());
      }
    }
    // Rows of 24 + 2 + 9 + 19 = 54 bytes and a 4-byte slot: 70 per page, so pages 0, 2 and 3.
    rows_ = 200;
    ASSERT_TRUE(db.flush().has_value());  // b's page reaches the chunk file before the drop
    ASSERT_TRUE(drop_table(db, "b").has_value());
    db.set_autoflush(true);
    ASSERT_TRUE(db.flush().has_value());
    ASSERT_TRUE(db.close().has_value());  // the manifest with the stored index pairs
    ASSERT_EQ(*db.catalog().tables().at("a").first_page, 0u);
    tail_ = *db.catalog().tables().at("a").tail_id;
    ASSERT_GE(tail_, 2u);
    manifest_ = qm::test::read_file(path("qm_manifest.json"));
  }

  std::string path(const std::string& name) const { return ws_ + "/" + name; }
  void write_manifest(const std::string& text) { qm::test::write_file(path("qm_manifest.json"), text); }
  std::string open_error() { return error_text(Database::open_workspace(ws_)); }
  // The manifest with table a's stored index removed, so the open must rescan its pages.
  std::string without_stored_index() const {
    auto start = manifest_.find(R"(,"indexes":[)");
    auto end = manifest_.find(R"(}],"cas_hashes")", start);
    std::string m = manifest_;
    m.erase(start, end - start);
    return m;
  }

  qm::test::TempDir tmp_;
  std::string ws_;
  std::string manifest_;
  uint64_t tail_ = 0;
  int rows_ = 0;
};

TEST_F(RebuildTest, ManifestsThatBreakTheCatalogInvariantsAreRefused) {
  const std::string tail = R"("tail_id":)" + std::to_string(tail_);
  const std::string no_chain = replace_once(manifest_, R"("first_page":0,)", R"("first_page":null,)");
  // A second table claiming a's tail page would append into and overwrite a's rows.
  const std::string twin = R"({"name":"twin","columns":["x","y"],"first_page":)" + std::to_string(tail_) + "," + tail +
                           R"(,"row_versions":1,"indexed_columns":[]},)";
  const std::string zed = R"({"name":"zed","columns":["x"],"first_page":0,"tail_id":1,"row_versions":1,"indexed_columns":[]})";
  const std::string page_count = manifest_.substr(manifest_.find(R"("page_count":)"));
  const std::pair<std::string, std::string> cases[] = {
      {replace_once(manifest_, R"("tables":[)", R"("tables":[{"name":"","columns":["x"],"row_versions":0},)"),
       "manifest contains a table with an empty name"},
      {replace_once(manifest_, R"("tables":[)", R"("tables":[{"name":"a","columns":["x"],"row_versions":0},)"),
       "manifest contains duplicate table `a`"},
      {replace_once(manifest_, R"("columns":["id","pad"])", R"("columns":["id","id"])"),
       "invalid schema for table `a`: duplicate column `id`"},
      {replace_once(manifest_, R"("unique_columns":["id"])", R"("unique_columns":["nope"])"),
       "invalid schema for table `a`: UNIQUE/PRIMARY KEY references unknown column `nope`"},
      {replace_once(manifest_, R"("columns":["id","pad"])", R"("columns":[])"),
       "invalid schema for table `a`: at least one column is required"},
      {no_chain, "table `a` must define both first_page and tail_id, or neither"},
      {replace_once(manifest_, R"("row_versions":200)", R"("row_versions":0)"),
       "table `a` has a page chain but no row versions"},
      {replace_once(no_chain, tail, R"("tail_id":null)"), "table `a` has row versions but no page chain"},
      {replace_once(replace_once(manifest_, R"("first_page":0,)", R"("first_page":5,)"), tail, R"("tail_id":3)"),
       "table `a` has invalid head/tail page ids (5, 3) for 4 pages"},
      {replace_once(manifest_, tail, R"("tail_id":9)"), "table `a` has invalid head/tail page ids (0, 9) for 4 pages"},
      {replace_once(manifest_, tail, R"("tail_id":0)"), "table `a` tail page 0 links to another page"},
      {replace_once(manifest_, page_count.substr(0, page_count.find(',')), R"("page_count":281474976710657)"),
       "manifest page_count 281474976710657 exceeds the addressable page range"},
      {replace_once(manifest_, R"("tables":[{"name":"a")", R"("tables":[)" + twin + R"({"name":"a")"),
       "tables `twin` and `a` share page " + std::to_string(tail_) + " of their page chains"},
      {replace_once(manifest_, R"(],"cas_hashes")", "," + zed + R"(],"cas_hashes")"),
       "tables `a` and `zed` share page 0 of their page chains"},
  };
  for (const auto& [manifest, error] : cases) {
    write_manifest(manifest);
    EXPECT_EQ(open_error(), "data corruption: " + error);
  }
}

TEST_F(RebuildTest, StoredIndexesSpareTheWalkWhileARescanChecksTheCounts) {
  // One version too many declared: unnoticed while every index is stored...
  write_manifest(replace_once(manifest_, R"("row_versions":200)", R"("row_versions":201)"));
  test::open_ok(ws_);
  // ...but a rescan finds it.
  write_manifest(replace_once(without_stored_index(), R"("row_versions":200)", R"("row_versions":201)"));
  EXPECT_EQ(open_error(), "data corruption: manifest declares 201 record version(s), page chain contains 200");
  // The rescan rebuilds the same index that was stored.
  write_manifest(without_stored_index());
  Database rebuilt = test::open_ok(ws_);
  EXPECT_EQ(rebuilt.catalog().tables().at("a").indexes.at("id").count(), 200u);
  EXPECT_EQ(rebuilt.catalog().tables().at("a").indexes.at("id").key_count(), 200u);
}

TEST_F(RebuildTest, RescanRefusesChainsThatMissTheTailOrHoldUnknownColumns) {
  // The orphaned page 1 of the dropped table is a valid row page with no next link.
  write_manifest(replace_once(without_stored_index(), R"("tail_id":)" + std::to_string(tail_), R"("tail_id":1)"));
  EXPECT_EQ(open_error(), "data corruption: table page chain does not reach its declared tail");
  write_manifest(replace_once(manifest_, R"("indexed_columns":["id"])", R"("indexed_columns":["id","zz"])"));
  EXPECT_EQ(open_error(), "schema error: no column `zz`");
  write_manifest(replace_once(without_stored_index(), R"("columns":["id","pad"])", R"("columns":["id","pad","more"])"));
  EXPECT_EQ(open_error(), "data corruption: record field count does not match table columns");
  // A declared cold page is a version-5 feature; declare it properly and the walk disagrees.
  write_manifest(replace_once(replace_once(without_stored_index(), R"("row_versions":200)",
                                           R"("row_versions":200,"cold_pages":1)"),
                              R"("format_version":3)", R"("format_version":5)"));
  EXPECT_EQ(open_error(), "data corruption: manifest declares 1 cold page(s), page chain contains 0");
}

TEST_F(RebuildTest, DamagedPageBytesFailTheirChecksumAtTheFirstRead) {
  const std::string chunk = path("chunks/chunk_00000.qmd");
  std::string bytes = qm::test::read_file(chunk);
  ASSERT_EQ(bytes.size(), 4 * storage::kPageSize);
  const auto checksum_text = [&](uint64_t page) {
    storage::Page p;
    std::memcpy(p.data(), bytes.data() + page * storage::kPageSize, storage::kPageSize);
    char buf[128];
    std::snprintf(buf, sizeof buf, "data corruption: page %llu checksum mismatch (stored 0x%08x, computed 0x%08x)",
                  static_cast<unsigned long long>(page), load_u32(p.data() + storage::kChecksumOffset),
                  storage::page_checksum(p));
    return std::string(buf);
  };
  // Page 0 is inside the chain: the open does not read it, the first read does.
  bytes[100] ^= 0x01;
  qm::test::write_file(chunk, bytes);
  {
    Database db = test::open_ok(ws_);
    EXPECT_EQ(error_text(create_index_bounded(db, "a", "pad", nullptr)), checksum_text(0));
    EXPECT_FALSE(db.catalog().tables().at("a").indexes.contains("pad"));
    EXPECT_EQ(error_text(ensure_table_page_ids(db.store().cache, db.catalog().tables().at("a"))), checksum_text(0));
  }
  // The tail page is read and checked at open.
  bytes[100] ^= 0x01;
  bytes[tail_ * storage::kPageSize + 4000] ^= 0x40;
  qm::test::write_file(chunk, bytes);
  EXPECT_EQ(open_error(), checksum_text(tail_));
}

TEST_F(RebuildTest, PageIdWalkCollectsTheChainOnce) {
  Database db = test::open_ok(ws_);
  const Table& a = db.catalog().tables().at("a");
  ASSERT_TRUE(ensure_table_page_ids(db.store().cache, a).has_value());
  ASSERT_TRUE(a.page_ids.has_value());
  std::set<uint64_t> expected{0};
  for (uint64_t p = 2; p <= tail_; ++p) expected.insert(p);
  EXPECT_EQ(a.page_ids->size(), expected.size());
  for (uint64_t p : expected) EXPECT_TRUE(a.page_ids->contains(p));
  EXPECT_FALSE(a.page_ids->contains(1));
  // New pages join the set as they are added.
  for (int i = 0; i < 80; ++i)
    ASSERT_TRUE(insert_validated_base(db, "a", row({Value::integer(100 + i), Value::text("x")})).has_value());
  EXPECT_TRUE(a.page_ids->contains(*a.tail_id));
  EXPECT_EQ(stored_rows(db, "a").size(), 280u);
}

TEST(ImageBounds, PoolEndAndIndexRegionMustLieBetweenPagesAndManifest) {
  Manifest m;
  EXPECT_EQ(*cas_pool_end(m, 24, 100), 100u);
  m.index_region = Extent{90, 10};
  EXPECT_EQ(*cas_pool_end(m, 24, 100), 90u);
  m.index_region = Extent{20, 10};
  EXPECT_EQ(error_text(cas_pool_end(m, 24, 100)), "data corruption: CAS pool / index region bounds are inconsistent");
  std::vector<uint8_t> image(120);
  EXPECT_EQ(error_text(slice_index_region(image, m, 24, 100)), "data corruption: index region overlaps the CAS pool");
  m.index_region = Extent{95, 10};
  EXPECT_EQ(error_text(slice_index_region(image, m, 24, 100)), "data corruption: index region out of bounds");
  m.index_region = Extent{95, UINT64_MAX};
  EXPECT_EQ(error_text(slice_index_region(image, m, 24, 100)), "data corruption: index region out of bounds");
  m.index_region = Extent{90, 10};
  EXPECT_EQ(slice_index_region(image, m, 24, 100)->size(), 10u);
}

}  // namespace
}  // namespace qm::db
