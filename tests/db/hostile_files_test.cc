// Workspace files edited by hand or by an attacker: a clock that cannot advance, a page
// count far beyond the chunk files, a manifest written as an array or replaced by a
// directory. Each is refused with its own text, or read as written; no row is ever lost.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "table/manifest.h"
#include "support/c_api.h"
#include "support/result_text.h"
#include "support/temp_dir.h"

namespace qm::test {
namespace {

using HostileFilesDir = InTempDir;

constexpr const char* kRows = R"({"columns":["id","body"],"rows":[[1,"a"],[2,"b"]]})";

// A workspace at `path` holding docs(id, body) with two rows, with a full-text index when asked.
void two_rows(const std::string& path, bool retrieval) {
  CDb db = CDb::workspace(path);
  EXPECT_EQ(db.query("CREATE TABLE docs (id INT, body TEXT)"), R"({"done":true})");
  EXPECT_EQ(db.query("INSERT INTO docs VALUES (1, 'a'), (2, 'b')"), R"({"mutated":2})");
  if (retrieval) {
    EXPECT_EQ(db.query("CREATE INDEX f ON docs USING FULLTEXT (body) WITH (id_column = 'id')"), R"({"done":true})");
  }
}

template <class Edit>
void edit_manifest(const std::string& path, Edit edit) {
  auto m = must(db::read_manifest_json(read_file(path + "/qm_manifest.json")));
  edit(m);
  write_file(path + "/qm_manifest.json", db::write_manifest_json(m));
}

TEST_F(HostileFilesDir, AClockThatCannotAdvanceRefusesEveryWriteAndKeepsEveryRow) {
  const char* writes[] = {"INSERT INTO docs VALUES (3, 'c')", "UPDATE docs SET body = 'x' WHERE id = 1",
                          "DELETE FROM docs WHERE id = 1"};
  int n = 0;
  for (bool retrieval : {false, true}) {
    for (const char* sql : writes) {
      SCOPED_TRACE(std::string(sql) + (retrieval ? " with a retrieval index" : ""));
      const std::string path = tmp.join("ws" + std::to_string(n++));
      two_rows(path, retrieval);
      edit_manifest(path, [](db::Manifest& m) { m.clock = UINT64_MAX; });
      {
        CDb db = CDb::workspace(path);
        EXPECT_EQ(db.query(sql), "error: data corruption: database clock is at its largest value and cannot advance");
        EXPECT_EQ(db.query("SELECT * FROM docs ORDER BY id"), kRows);
      }
      CDb reopened = CDb::workspace(path);
      EXPECT_EQ(reopened.query("SELECT * FROM docs ORDER BY id"), kRows);
    }
  }
}

TEST_F(HostileFilesDir, ExportSizesItsImageByThePagesTheChunkFilesHold) {
  two_rows(ws, false);
  edit_manifest(ws, [](db::Manifest& m) { m.page_count = uint64_t{1} << 30; });
  CDb db = CDb::workspace(ws);
  EXPECT_FALSE(export_image(db.get()));
  EXPECT_EQ(last_error(), "data corruption: manifest page_count 1073741824 exceeds the 1 pages the chunk files hold");
}

TEST_F(HostileFilesDir, AManifestIsReadAsAnArrayOfItsFieldsButNotAsADirectory) {
  two_rows(ws, false);
  // The same manifest with every structure written as the array of its field values.
  const std::string array =
      R"([1,3,null,null,1,[["docs",["id","body"],[],[],{},[],0,0,2,0,null,[],[],[]]],[],[],null,[]])";
  write_file(ws + "/qm_manifest.json", array);
  {
    CDb db = CDb::workspace(ws);
    EXPECT_EQ(db.query("SELECT * FROM docs ORDER BY id"), kRows);
  }
  std::filesystem::remove(ws + "/qm_manifest.json");
  std::filesystem::create_directory(ws + "/qm_manifest.json");
  EXPECT_EQ(outcome(qm_open_dev(ws.c_str())).rfind("error: i/o error: read ", 0), 0u) << last_error();
}

}  // namespace
}  // namespace qm::test
