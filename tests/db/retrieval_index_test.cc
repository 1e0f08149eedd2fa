// Named retrieval indexes through the C interface: their answers against ad-hoc search of the
// same rows, maintenance by every kind of write and its undo, the stored form surviving
// reopen, export and import, refusal of tampered stores, and the request and DDL error texts.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/json_reader.h"
#include "core/result_json.h"
#include "db/database.h"
#include "support/database_test_access.h"
#include "support/c_api.h"
#include "support/temp_dir.h"
#include "support/result_text.h"
#include "query/statements/statements.h"

namespace {

using RetrievalIndexDir = qm::test::InTempDir;
using namespace qm::test;

const char* kSchema[] = {
    "CREATE TABLE docs (id, title, body, emb, note)",
    "INSERT INTO docs VALUES (1, 'red apple', 'a crisp red apple from the orchard', '[1,0,0]', 'x')",
    "INSERT INTO docs VALUES (2, 'green pear', 'a ripe green pear', '[0,1,0]', 'x')",
    "INSERT INTO docs VALUES (3, 'apple pie', 'bake the apple pie with red apple', '[0.9,0.1,0]', 'x')",
    "INSERT INTO docs VALUES (4, 'plum', 'dark plum jam', '[0,0,1]', 'x')",
    "CREATE INDEX docs_fts ON docs USING FULLTEXT (title, body) WITH (id_column = 'id')",
    "CREATE INDEX docs_vec ON docs USING VECTOR (emb) WITH (id_column = 'id', metric = 'cosine', dimensions = 3)",
};

void setup(const CDb& db) {
  for (const char* sql : kSchema) ASSERT_EQ(db.query(sql).rfind("error", 0), std::string::npos) << sql;
}

std::string retrieve(const CDb& db, const std::string& request) { return take_json(qm_retrieve(db.get(), request.c_str())); }

std::string index_field(const char* key, bool named, const char* name) {
  return std::string(",\"") + key + "\":" + (named ? std::string("\"") + name + "\"" : "null");
}

// The full-text, vector and hybrid answers over the rows of `where`, named or ad hoc.
std::vector<std::string> answers(const CDb& db, bool named, const std::string& where = "") {
  const std::string sql = "\"sql\":\"SELECT * FROM docs" + where + "\",\"id_column\":\"id\"";
  return {
      retrieve(db, "{\"kind\":\"full_text\"," + sql + ",\"text_columns\":[\"title\",\"body\"],\"query\":\"red apple\","
                   "\"limit\":10" + index_field("index", named, "docs_fts") + "}"),
      retrieve(db, "{\"kind\":\"vector\"," + sql + ",\"vector_column\":\"emb\",\"query\":[1,0.5,0],\"metric\":\"cosine\","
                   "\"limit\":10" + index_field("index", named, "docs_vec") + "}"),
      retrieve(db, "{\"kind\":\"hybrid\"," + sql + ",\"text_columns\":[\"title\",\"body\"],\"vector_column\":\"emb\","
                   "\"query\":\"apple\",\"vector_query\":[0,1,0],\"metric\":\"cosine\",\"text_weight\":0.5,"
                   "\"candidate_limit\":10,\"limit\":5" + index_field("text_index", named, "docs_fts") +
                   index_field("vector_index", named, "docs_vec") + "}"),
  };
}

void expect_named_equals_adhoc(const CDb& db, const std::string& context) {
  for (const std::string where : {"", " WHERE id > 1"}) {
    auto named = answers(db, true, where), adhoc = answers(db, false, where);
    for (size_t i = 0; i < named.size(); ++i) {
      EXPECT_EQ(named[i].rfind("[", 0), 0u) << context << where << ": " << named[i];
      EXPECT_EQ(named[i], adhoc[i]) << context << where;
    }
  }
}

TEST(RetrievalIndex, NamedAnswersEqualAdHocOnes) {
  CDb db = CDb::memory();
  setup(db);
  expect_named_equals_adhoc(db, "fresh");
  EXPECT_EQ(answers(db, true)[0].substr(0, 14), R"([{"id":"1","sc)");
}

// Every write kind, committed or rolled back; a workspace reopen then proves the stored
// envelopes agree with the table, and the answers survive it.
TEST_F(RetrievalIndexDir, MaintenanceFollowsEveryWriteAndRollback) {
  CDb db = CDb::workspace(ws);
  setup(db);
  const std::vector<std::vector<std::string>> steps = {
      {"INSERT INTO docs VALUES (5, 'red fox', 'quick red fox', '[1,1,0]', 'x')"},
      {"INSERT INTO docs VALUES (6, 'apple', 'apple', '[0,1,1]', 'x'), (7, 'pear', 'pear', '[1,0,1]', 'x')"},
      {"UPDATE docs SET body = 'no fruit here' WHERE id = 1"},
      {"UPDATE docs SET note = 'y' WHERE id > 2"},
      {"UPDATE docs SET emb = '[0,0,2]' WHERE id = 2"},
      {"DELETE FROM docs WHERE id = 3"},
      {"DELETE FROM docs WHERE id > 5"},
      {"BEGIN", "INSERT INTO docs VALUES (8, 'red', 'red', '[1,0,0]', 'x')", "DELETE FROM docs WHERE id = 2",
       "ROLLBACK"},
      {"BEGIN", "DELETE FROM docs WHERE id = 4", "UPDATE docs SET title = 'apple' WHERE id = 2", "COMMIT"},
  };
  for (const auto& step : steps) {
    for (const auto& sql : step) ASSERT_EQ(db.query(sql).rfind("error", 0), std::string::npos) << sql;
    expect_named_equals_adhoc(db, step.front());
    const auto before = answers(db, true);
    db = CDb::workspace(ws);
    EXPECT_EQ(answers(db, true), before) << "after reopen: " << step.front();
  }
  // A write the index cannot take (a vector of the wrong length) is refused whole.
  const std::string count = db.query("SELECT COUNT(*) FROM docs");
  EXPECT_EQ(db.query("INSERT INTO docs VALUES (9, 'a', 'b', '[1,2]', 'x')"),
            "error: schema error: vector dimensions differ from the index declaration");
  EXPECT_EQ(db.query("INSERT INTO docs VALUES (9, 'a', 'b', '[1,2,3]', 'x'), (10, 'a', 'b', NULL, 'x')"),
            "error: schema error: vectors must be JSON arrays in TEXT");
  EXPECT_EQ(db.query("SELECT COUNT(*) FROM docs"), count);
  expect_named_equals_adhoc(db, "after refused writes");
  // DROP TABLE takes its indexes along, durably.
  EXPECT_EQ(db.query("DROP TABLE docs"), R"({"done":true})");
  db = CDb::workspace(ws);
  EXPECT_EQ(db.query("CREATE TABLE docs (id, title)"), R"({"done":true})");
  EXPECT_EQ(retrieve(db, R"({"kind":"full_text","sql":"SELECT * FROM docs","id_column":"id","text_columns":["title"],)"
                         R"("query":"a","limit":1,"index":"docs_fts"})"),
            "error: query parse error: retrieval index `docs_fts` does not exist");
}

TEST_F(RetrievalIndexDir, ExportImportAndImageKeepIndexesAndAnswers) {
  CDb db = CDb::memory();
  setup(db);
  const auto expected = answers(db, true);
  const std::string path = tmp.join("db.qmdb");
  CDb imported{nullptr};
  {
    const std::string image = qm::test::export_image(db.get()).value();
    imported = CDb(qm_import(reinterpret_cast<const uint8_t*>(image.data()), image.size()));
    qm::test::write_file(path, image);
  }  // the import holds a copy of the bytes
  ASSERT_NE(imported.get(), nullptr) << qm::test::last_error();
  EXPECT_EQ(answers(imported, true), expected);
  CDb production(qm_open_prod(path.c_str()));
  ASSERT_NE(production.get(), nullptr) << qm::test::last_error();
  EXPECT_EQ(answers(production, true), expected);
  // The imported copy stays writable and maintained.
  ASSERT_EQ(imported.query("DELETE FROM docs WHERE id = 1"), R"({"mutated":1})");
  expect_named_equals_adhoc(imported, "imported");
}

// Each statement republishes the index; its superseded envelope must not stay behind, or a
// memory database and every image of it would grow by a whole index per write.
TEST(RetrievalIndex, RepublishingKeepsOneBlobPerIndex) {
  qm::db::Database db = qm::db::Database::open_memory();
  for (const char* sql : kSchema) ASSERT_TRUE(query_with(db, sql, {}).has_value()) << sql;
  const uint64_t blobs = db.store().cas.count();  // long values and the two envelopes
  for (int i = 10; i < 15; ++i)
    ASSERT_TRUE(query_with(db, "INSERT INTO docs VALUES (" + std::to_string(i) + ", 'a', 'b', '[1,1,1]', 'x')", {}));
  ASSERT_TRUE(db.bake_to_bytes().has_value());
  EXPECT_EQ(db.store().cas.count(), blobs);
}

// The row-version limit of an indexed table stops a long INSERT at the version that crosses
// it, rather than after every row of the statement is stored and copied for the indexes.
TEST(RetrievalIndex, VersionLimitStopsALongInsertWhereItIsCrossed) {
  struct StoredRows final : qm::db::WriteObserver {
    size_t* count;
    explicit StoredRows(size_t* n) : count(n) {}
    qm::Result<void> row_stored(std::string_view, uint64_t, std::span<const qm::Value>) override {
      ++*count;
      return {};
    }
  };
  qm::db::Database db = qm::db::Database::open_memory();
  ASSERT_TRUE(query_with(db, "CREATE TABLE docs (id, body)", {}));
  ASSERT_TRUE(query_with(db, "CREATE INDEX docs_fts ON docs USING FULLTEXT (body) WITH (id_column = 'id')", {}));
  size_t stored = 0;
  qm::db::DatabaseTestAccess::add_write_observer(db, std::make_unique<StoredRows>(&stored));
  std::string sql = "INSERT INTO docs VALUES (0, 'a')";
  for (int i = 1; i < 120000; ++i) sql += ",(" + std::to_string(i) + ",'a')";
  auto result = query_with(db, sql, {});
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().message(),
            "query resource limit exceeded: indexed tables are limited to 100,000 retained row versions");
  EXPECT_EQ(stored, 100000u);
  auto count = qm::test::must(query_with(db, "SELECT COUNT(*) FROM docs", {}));
  EXPECT_EQ(qm::json::result_to_string(count), R"J({"columns":["count"],"rows":[[0]]})J");
}

// A workspace whose stored index was tampered with does not open, and says why.
TEST_F(RetrievalIndexDir, TamperedStoreFailsTheOpen) {
  const std::string manifest_path = ws + "/qm_manifest.json";
  std::string old_manifest;
  {
    CDb db = CDb::workspace(ws);
    ASSERT_EQ(db.query("CREATE TABLE docs (id, body)"), R"({"done":true})");
    ASSERT_EQ(db.query("INSERT INTO docs VALUES (1, 'one')"), R"({"mutated":1})");
    ASSERT_EQ(db.query("CREATE INDEX f ON docs USING FULLTEXT (body) WITH (id_column = 'id')"), R"({"done":true})");
    old_manifest = qm::test::read_file(manifest_path);
    ASSERT_EQ(db.query("INSERT INTO docs VALUES (2, 'two')"), R"({"mutated":1})");
  }
  const std::string manifest = qm::test::read_file(manifest_path);
  auto parsed = must(qm::parse_json(manifest));
  const auto& descriptor = parsed.find("retrieval_indexes")->items.at(0);
  const std::string hex = parsed.find("cas_hashes")->items.at(descriptor.find("cas_id")->uint_value).text;
  const std::string blob_path = ws + "/blobs/" + hex.substr(0, 2) + "/" + hex;
  const std::string blob = qm::test::read_file(blob_path);
  // The blob list and descriptor from before the last INSERT (the older envelope stays on disk).
  const auto key = "\"cas_hashes\"";
  const auto generation = "\"generation\":" + std::to_string(descriptor.find("generation")->uint_value);
  std::string future = manifest;
  future.replace(future.find(generation), generation.size(), "\"generation\":999");
  std::string flipped = blob;
  flipped[40] ^= 1;

  struct Case {
    const char* what;
    std::string manifest;
    std::optional<std::string> blob;  // none: the blob file is gone
    std::string error;
  };
  const std::vector<Case> cases = {
      {"old descriptor and envelope", manifest.substr(0, manifest.find(key)) + old_manifest.substr(old_manifest.find(key)),
       blob, "data corruption: persistent retrieval: f is stale or disagrees with its authoritative table"},
      {"generation beyond the clock", future, blob, "data corruption: persistent retrieval: invalid descriptor for f"},
      {"short blob", manifest, blob.substr(1), "data corruption: persistent retrieval: f blob/descriptor size mismatch"},
      {"flipped blob byte", manifest, flipped, "failed integrity check"},
      {"missing blob", manifest, std::nullopt, "data corruption: persistent retrieval: f blob is missing"},
  };
  for (const auto& c : cases) {
    qm::test::write_file(manifest_path, c.manifest);
    std::filesystem::permissions(blob_path, std::filesystem::perms::owner_all, std::filesystem::perm_options::add);
    if (c.blob)
      qm::test::write_file(blob_path, *c.blob);
    else
      std::filesystem::remove(blob_path);
    QmDb* db = qm_open_dev(ws.c_str());
    EXPECT_EQ(db, nullptr) << c.what;
    qm_close(db);
    EXPECT_NE(qm::test::last_error().find(c.error), std::string::npos) << c.what << ": " << qm::test::last_error();
  }
  qm::test::write_file(manifest_path, manifest);
  qm::test::write_file(blob_path, blob);
  CDb db = CDb::workspace(ws);
  EXPECT_EQ(db.query("SELECT COUNT(*) FROM docs"), R"J({"columns":["count"],"rows":[[2]]})J");
}

TEST(RetrievalIndex, RequestErrorsAndAnOversizedDefinition) {
  CDb db = CDb::memory();
  setup(db);
  ASSERT_EQ(db.query("CREATE TABLE other (id, title, body)"), R"({"done":true})");
  const std::string q = "error: query parse error: ";
  auto text_request = [](const std::string& sql, const std::string& columns, const std::string& index) {
    return "{\"kind\":\"full_text\",\"sql\":\"" + sql + "\",\"id_column\":\"id\",\"text_columns\":" + columns +
           ",\"query\":\"apple\",\"limit\":3,\"index\":" + index + "}";
  };
  const std::string cols = R"(["title","body"])";
  // Named indexes that do not fit the request are the request tests' own cases.
  const std::pair<std::string, std::string> cases[] = {
      {text_request("SELECT * FROM docs JOIN other ON docs.id = other.id", cols, "null"),
       q + "Retrieval requires a single SELECT statement"},
      {text_request("SELECT * FROM docs AS d", cols, "null"), q + "Retrieval requires a single SELECT statement"},
      {text_request("DELETE FROM docs WHERE id = 1", cols, "null"), q + "Retrieval requires a single SELECT statement"},
      {text_request("SELECT id, body FROM docs", cols, R"("docs_fts")"), q + "Missing retrieval column `title`"},
      {text_request("SELECT * FROM nosuch", cols, "null"), "error: table not found: nosuch"},
  };
  for (const auto& [request, expected] : cases) EXPECT_EQ(retrieve(db, request), expected) << request;
  EXPECT_EQ(db.query("SELECT COUNT(*) FROM docs"), R"J({"columns":["count"],"rows":[[4]]})J");
  // A grouped SELECT still checks the named index but is searched ad hoc.
  EXPECT_EQ(retrieve(db, text_request("SELECT id, title, body FROM docs GROUP BY id, title, body", cols,
                                      R"("docs_fts")")),
            retrieve(db, text_request("SELECT * FROM docs", cols, R"("docs_fts")")));

  EXPECT_EQ(take_json(qm_retrieve(nullptr, "{}")), "error: qm_retrieve: invalid handle or request");
  EXPECT_EQ(take_json(qm_retrieve(db.get(), nullptr)), "error: qm_retrieve: invalid handle or request");
  EXPECT_EQ(take_json(qm_retrieve(db.get(), "\xff")), "error: qm_retrieve: invalid handle or request");

  // The DDL's texts are stated by the golden retrieval_ddl script; this one needs a long name.
  // Valid names whose escaped JSON would not fit the stored definition's 8 KiB.
  std::string wide = "CREATE INDEX wide ON docs USING FULLTEXT (";
  for (char c = 'a'; c < 'a' + 16; ++c) wide += std::string(c == 'a' ? "[" : ", [") + std::string(255, '\\') + c + "]";
  wide += ") WITH (id_column = 'id')";
  EXPECT_EQ(db.query(wide), "error: schema error: retrieval index definition exceeds 8 KiB");
}

}  // namespace
