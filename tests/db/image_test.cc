// Baking an image, importing it, opening it read-only, and every refusal of a hostile image.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/blake3.h"
#include "core/bytes.h"
#include "core/json_reader.h"
#include "db/database.h"
#include "support/database_test_access.h"
#include "table/manifest.h"
#include "support/db_test_util.h"
#include "storage/page.h"
#include "support/temp_dir.h"
#include "db/write_path.h"
#include "db/ddl.h"

namespace qm::db {
namespace {

using ProductionImageDir = qm::test::InTempDir;
using namespace test;

std::vector<Row> sample_rows(int n) {
  std::vector<Row> rows;
  for (int i = 0; i < n; ++i)
    rows.push_back(row({Value::integer(i), Value::text(i % 3 == 0 ? std::string(30, 'a' + i % 26) : "s" + std::to_string(i)),
                        Value::decimal(i * 1500000)}));
  return rows;
}

// A memory database with two indexed tables, a UNIQUE column, long values and 3 pages.
Database sample_database() {
  Database db = Database::open_memory();
  EXPECT_TRUE(create_table(db, "items", {"id", "label", "price"}, {"id"}, {}).has_value());
  EXPECT_TRUE(create_table(db, "notes", {"body"}, {}, {}).has_value());
  for (const auto& r : sample_rows(150)) EXPECT_TRUE(insert_validated_base(db, "items", r).has_value());
  EXPECT_TRUE(insert_validated_base(db, "notes", row({Value::text(std::string(100, 'n'))})).has_value());
  EXPECT_TRUE(create_index_bounded(db, "items", "label", nullptr).has_value());
  EXPECT_TRUE(create_index_bounded(db, "notes", "body", nullptr).has_value());
  return db;
}

std::string bake(Database& db) { return must(db.bake_to_bytes()); }

uint64_t manifest_offset_of(const std::string& image) {
  return load_u64(reinterpret_cast<const uint8_t*>(image.data()) + 8);
}

// The image with the stored index of the UNIQUE column "id" removed from its manifest.
std::string without_id_index(const std::string& image) {
  const uint64_t at = manifest_offset_of(image);
  std::string json = image.substr(at);
  auto start = json.find(R"({"column":"id",)");
  json.erase(start, json.find("},", start) + 2 - start);
  return image.substr(0, at) + json;
}

TEST(ImageBake, HeaderAndRegionOffsetsDescribeTheLayoutExactly) {
  Database db = sample_database();
  const std::string image = bake(db);
  const auto* p = reinterpret_cast<const uint8_t*>(image.data());
  ASSERT_GE(image.size(), 24u);
  EXPECT_EQ(image.substr(0, 4), "QMDB");
  const uint64_t pages = db.store().cache.backend().page_count();
  const uint64_t manifest_offset = load_u64(p + 8);
  const uint64_t pages_end = load_u64(p + 16);
  EXPECT_EQ(load_u16(p + 6), 0);
  EXPECT_EQ(pages_end, 24 + 4096 * pages);
  auto manifest = must(read_manifest_json(image.substr(manifest_offset)));
  EXPECT_EQ(load_u16(p + 4), manifest.format_version);
  EXPECT_EQ(manifest.format_version, 3);  // UNIQUE column; the region needs only 2
  uint64_t pool = 0;
  ASSERT_GE(manifest.cas_dir.size(), 2u);
  for (const auto& [offset, len] : manifest.cas_dir) {
    EXPECT_EQ(offset, pool);
    pool += len;
  }
  ASSERT_TRUE(manifest.index_region.has_value());
  EXPECT_EQ(manifest.index_region->first, pages_end + pool);
  EXPECT_EQ(manifest.index_region->first + manifest.index_region->second, manifest_offset);
  // Blobs sit in the pool under their digests.
  for (size_t i = 0; i < manifest.cas_dir.size(); ++i) {
    const auto [offset, len] = manifest.cas_dir[i];
    EXPECT_EQ(to_hex(blake3(std::string_view(image).substr(pages_end + offset, len))), manifest.cas_hashes[i]);
  }
  // Binary descriptors instead of inline pairs; tables in name order, columns in order.
  const std::string json = image.substr(manifest_offset);
  EXPECT_EQ(json.find(R"("indexes")"), std::string::npos);
  uint64_t region_pos = 0;
  for (const auto& t : manifest.tables) {
    for (const auto& d : t.binary_indexes) {
      EXPECT_EQ(d.offset, region_pos);
      region_pos += d.len;
    }
  }
  EXPECT_EQ(region_pos, manifest.index_region->second);
  EXPECT_EQ(manifest.tables[0].indexed_columns, (std::vector<std::string>{"id", "label"}));
  // Pages are stored as held, checksums stamped.
  for (uint64_t i = 0; i < pages; ++i) {
    storage::Page page;
    std::memcpy(page.data(), p + 24 + 4096 * i, 4096);
    EXPECT_NE(load_u32(page.data() + 24), 0u);
    EXPECT_TRUE(storage::verify_page_checksum(i, page).has_value());
  }
}

TEST(ImageBake, EmptyDatabaseIsAHeaderFollowedByTheManifest) {
  Database db = Database::open_memory();
  const std::string image = bake(db);
  const auto* p = reinterpret_cast<const uint8_t*>(image.data());
  EXPECT_EQ(load_u64(p + 8), 24u);
  EXPECT_EQ(load_u64(p + 16), 24u);
  EXPECT_EQ(image.substr(24), R"({"format_version":1,"clock":0,"page_count":0,"tables":[],"cas_hashes":[],"cas_dir":[]})");
}

TEST(ImageImport, ImportGivesTheSameRowsAndReexportGivesIdenticalBytes) {
  Database db = sample_database();
  const std::string image = bake(db);
  auto imported = must(Database::import_bytes(as_bytes(image)));
  EXPECT_EQ(imported.storage_mode(), StorageMode::Memory);
  EXPECT_FALSE(imported.autoflush());
  EXPECT_EQ(imported.clock(), db.clock());
  EXPECT_EQ(stored_rows(imported, "items"), sample_rows(150));
  EXPECT_EQ(imported.catalog().tables().at("items").indexes.at("label"), db.catalog().tables().at("items").indexes.at("label"));
  EXPECT_EQ(imported.catalog().tables().at("items").indexes.at("id"), db.catalog().tables().at("items").indexes.at("id"));
  EXPECT_EQ(bake(imported), image);
  // The imported database is writable and independent of the bytes.
  ASSERT_TRUE(insert_validated_base(imported, "items", row({Value::integer(999), Value::text("new"), Value::null()}))
                  .has_value());
  EXPECT_EQ(stored_rows(imported, "items").size(), 151u);
  EXPECT_EQ(stored_rows(db, "items").size(), 150u);
}

TEST(ImageImport, ACopyToMemoryIsTheImportOfABakeAndIndependentOfItsSource) {
  Database db = sample_database();
  ASSERT_TRUE(query_with(db, "CREATE TABLE checked (k, v DEFAULT 'd', CHECK (k > 0))", {}).has_value());
  ASSERT_TRUE(query_with(db, "INSERT INTO checked (k) VALUES (1), (2)", {}).has_value());
  ASSERT_TRUE(query_with(db, "UPDATE items SET label = 'changed' WHERE id < 5", {}).has_value());
  const std::string image = bake(db);
  auto copy = must(db.copy_to_memory());
  auto imported = must(Database::import_bytes(as_bytes(image)));
  EXPECT_EQ(copy.storage_mode(), StorageMode::Memory);
  EXPECT_EQ(copy.clock(), imported.clock());
  EXPECT_EQ(DatabaseTestAccess::format_version(copy), DatabaseTestAccess::format_version(imported));
  EXPECT_EQ(bake(copy), image);
  EXPECT_EQ(stored_rows(copy, "items"), stored_rows(imported, "items"));
  for (const char* column : {"id", "label"})
    EXPECT_EQ(copy.catalog().tables().at("items").indexes.at(column),
              imported.catalog().tables().at("items").indexes.at(column));
  // Writes to the copy follow the same rules and leave the source alone.
  EXPECT_EQ(error_text(query_with(copy, "INSERT INTO checked (k) VALUES (0)", {})),
            error_text(query_with(imported, "INSERT INTO checked (k) VALUES (0)", {})));
  ASSERT_TRUE(insert_validated_base(copy, "items", row({Value::integer(999), Value::text(std::string(40, 'z')),
                                                       Value::null()})).has_value());
  EXPECT_EQ(stored_rows(db, "items").size(), stored_rows(imported, "items").size());
  EXPECT_EQ(bake(db), image);
}

TEST(ImageImport, UniqueColumnsWithoutAStoredIndexAreRescanned) {
  Database db = sample_database();
  auto imported = must(Database::import_bytes(as_bytes(without_id_index(bake(db)))));
  EXPECT_EQ(imported.catalog().tables().at("items").indexes.at("id"), db.catalog().tables().at("items").indexes.at("id"));
}

class ImportRefusal : public ::testing::Test {
 protected:
  void SetUp() override {
    Database db = sample_database();
    image_ = bake(db);
    const auto* p = reinterpret_cast<const uint8_t*>(image_.data());
    manifest_offset_ = load_u64(p + 8);
    pages_end_ = load_u64(p + 16);
    json_ = image_.substr(manifest_offset_);
  }
  std::string import_error(const std::string& bytes) { return error_text(Database::import_bytes(as_bytes(bytes))); }
  std::string with_u64(uint64_t at, uint64_t v) {
    std::string out = image_;
    store_u64(reinterpret_cast<uint8_t*>(out.data()) + at, v);
    return out;
  }
  std::string with_manifest(const std::string& json) { return image_.substr(0, manifest_offset_) + json; }

  std::string image_;
  std::string json_;
  uint64_t manifest_offset_ = 0;
  uint64_t pages_end_ = 0;
};

TEST_F(ImportRefusal, HeaderFaults) {
  EXPECT_EQ(import_error(image_.substr(0, 23)), "buffer too small: needed 24 bytes, got 23");
  EXPECT_EQ(import_error(""), "buffer too small: needed 24 bytes, got 0");
  EXPECT_EQ(import_error("QMDX" + image_.substr(4)),
            "invalid signature: expected magic [51, 4D, 44, 42], found [51, 4D, 44, 58]");
  std::string v9 = image_;
  v9[4] = 9;
  EXPECT_EQ(import_error(v9), "data corruption: unsupported .qmdb format version 9; this build reads up to 8");
  EXPECT_EQ(import_error(with_u64(16, pages_end_ + 1)), "data corruption: import: inconsistent offsets");
  EXPECT_EQ(import_error(with_u64(16, 23)), "data corruption: import: inconsistent offsets");
  EXPECT_EQ(import_error(with_u64(16, manifest_offset_ + 4096)), "data corruption: import: inconsistent offsets");
  EXPECT_EQ(import_error(with_u64(8, image_.size() + 1)), "data corruption: import: inconsistent offsets");
  std::string v2 = image_;
  v2[4] = 4;
  EXPECT_EQ(import_error(v2), "data corruption: file header format version 4 does not match manifest version 3");
}

TEST_F(ImportRefusal, ManifestAndBlobFaults) {
  EXPECT_EQ(import_error(with_manifest("{")).rfind("manifest error: ", 0), 0u);
  const Manifest m = must(read_manifest_json(json_));
  auto edited = [&](auto&& edit) {
    Manifest copy = m;
    edit(copy);
    return import_error(with_manifest(write_manifest_json(copy)));
  };
  EXPECT_EQ(import_error(with_manifest(write_manifest_json(m))), "(ok)");
  EXPECT_EQ(edited([](Manifest& x) { x.cas_dir.pop_back(); }), "data corruption: import: CAS dir/hash length mismatch");
  EXPECT_EQ(edited([](Manifest& x) { x.cas_dir.back().first += 1; }), "data corruption: import: CAS blob out of bounds");
  EXPECT_EQ(edited([](Manifest& x) { x.cas_dir.back().second = UINT64_MAX; }),
            "data corruption: import: CAS blob out of bounds");
  std::string altered = image_;
  altered[pages_end_ + m.cas_dir.back().first] ^= 1;
  EXPECT_EQ(import_error(altered), "data corruption: CAS blob " + m.cas_hashes.back() + " failed integrity check");
  // Blobs are judged in list order whatever is hashed ahead: the first fault found is reported.
  std::string first_altered = image_;
  first_altered[pages_end_ + m.cas_dir.front().first] ^= 1;
  EXPECT_EQ(import_error(first_altered), "data corruption: CAS blob " + m.cas_hashes.front() + " failed integrity check");
  Manifest last_outside = m;
  last_outside.cas_dir.back().first += 1;
  const std::string both = first_altered.substr(0, manifest_offset_) + write_manifest_json(last_outside);
  EXPECT_EQ(import_error(both), "data corruption: CAS blob " + m.cas_hashes.front() + " failed integrity check");
  Manifest first_outside = m;
  first_outside.cas_dir.front().first = pages_end_ + manifest_offset_;
  std::string last_altered = image_;
  last_altered[pages_end_ + m.cas_dir.back().first] ^= 1;
  EXPECT_EQ(import_error(last_altered.substr(0, manifest_offset_) + write_manifest_json(first_outside)),
            "data corruption: import: CAS blob out of bounds");
  // The index region must stay between the pool and the manifest.
  EXPECT_EQ(edited([&](Manifest& x) { x.index_region->first = pages_end_ - 1; }),
            "data corruption: CAS pool / index region bounds are inconsistent");
  EXPECT_EQ(edited([](Manifest& x) { x.index_region->second += 1; }), "data corruption: index region out of bounds");
  EXPECT_EQ(edited([](Manifest& x) { x.tables.back().binary_indexes.back().len += 1; }),
            "data corruption: index region descriptor out of bounds");
  EXPECT_EQ(edited([](Manifest& x) { x.tables.back().binary_indexes.back().offset = UINT64_MAX; }),
            "data corruption: index region descriptor out of bounds");
  EXPECT_EQ(edited([](Manifest& x) { x.tables[0].first_page = 2; x.tables[0].tail_id = 1; }),
            "data corruption: table `items` has invalid head/tail page ids (2, 1) for 4 pages");
}

TEST_F(ImportRefusal, ARepeatedBlobDigestIsRefusedRatherThanShiftingBlobIndexes) {
  auto m = must(read_manifest_json(json_));
  m.cas_hashes[1] = m.cas_hashes[0];
  m.cas_dir[1] = m.cas_dir[0];
  EXPECT_EQ(import_error(with_manifest(write_manifest_json(m))),
            "data corruption: CAS digest " + m.cas_hashes[0] + " is listed twice");
}

TEST_F(ProductionImageDir, RefusesEveryMutationAndKeepsAnsweringAfterItsFileIsTruncated) {
  Database source = sample_database();
  const std::string path = tmp.join("db.qmdb");
  qm::test::write_file(path, bake(source));
  Database db = must(Database::open_image(path));
  EXPECT_EQ(db.storage_mode(), StorageMode::Image);
  EXPECT_TRUE(db.read_only());
  EXPECT_FALSE(db.autoflush());
  EXPECT_FALSE(db.catalog().tables().at("items").tail_page.has_value());
  // Its refusal of every write is stated by the golden image script.
  EXPECT_TRUE(db.flush().has_value());  // nothing to do
  std::filesystem::resize_file(path, 10);
  EXPECT_EQ(stored_rows(db, "items"), sample_rows(150));
  EXPECT_EQ(db.catalog().tables().at("items").indexes.at("label"), source.catalog().tables().at("items").indexes.at("label"));
  // The image exports back to the same bytes.
  EXPECT_EQ(bake(db), bake(source));
}

TEST_F(ProductionImageDir, ReadOnlyModeIndexesOnlyTheListedColumnsAndChecksTheHeaderVersion) {
  Database source = sample_database();
  std::string image = bake(source);
  // Remove the UNIQUE column's stored index and its listing: a production image does not rescan.
  const std::string path = tmp.join("db.qmdb");
  qm::test::write_file(path, replace_once(without_id_index(image), R"("indexed_columns":["id","label"])",
                                          R"("indexed_columns":["label"])"));
  auto db = must(Database::open_image(path));
  EXPECT_FALSE(db.catalog().tables().at("items").indexes.contains("id"));
  EXPECT_TRUE(db.catalog().tables().at("items").indexes.contains("label"));
  image[4] = 4;
  qm::test::write_file(path, image);
  EXPECT_EQ(error_text(Database::open_image(path)),
            "data corruption: file header format version 4 does not match manifest version 3");
  qm::test::write_file(path, image.substr(0, 20));
  EXPECT_EQ(error_text(Database::open_image(path)), "data corruption: monolith smaller than file header");
}

TEST(ImageBake, WorkspaceBakeTakesPendingPagesAndWritesNothingIntoTheWorkspace) {
  qm::test::TempDir tmp;
  Database ws = test::open_ok(tmp.join("ws"));
  ws.set_autoflush(false);  // the tail page and the catalog exist only in the handle
  ASSERT_TRUE(create_table(ws, "t", {"a"}, {}, {}).has_value());
  ASSERT_TRUE(insert_validated_base(ws, "t", row({Value::integer(7)})).has_value());
  const std::string image = bake(ws);
  auto imported = must(Database::import_bytes(as_bytes(image)));
  EXPECT_EQ(stored_rows(imported, "t"), std::vector<Row>{row({Value::integer(7)})});
  EXPECT_FALSE(std::filesystem::exists(tmp.join("ws/qm_manifest.json")));
}

}  // namespace
}  // namespace qm::db
