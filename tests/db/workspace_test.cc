// Opening, writing and reopening a development workspace through the internal API.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "db/database.h"
#include "db/format_version.h"
#include "table/manifest.h"
#include "support/db_test_util.h"
#include "storage/page.h"
#include "support/temp_dir.h"
#include "db/write_path.h"
#include "db/ddl.h"
#include "support/database_test_access.h"

namespace qm::db {
namespace {

using WorkspaceManifestDir = qm::test::InTempDir;
using WorkspaceOpenDir = qm::test::InTempDir;
using namespace test;
namespace stdfs = std::filesystem;

std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : stdfs::directory_iterator(dir)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

TEST(WorkspaceOpen, NewWorkspaceHasLockAndChunksButNoManifestUntilTheFirstFlush) {
  qm::test::TempDir tmp;
  const std::string ws = tmp.join("a/b/ws");  // missing parents are created
  {
    Database db = open_ok(ws);
    EXPECT_EQ(db.storage_mode(), StorageMode::Workspace);
    EXPECT_EQ(qm::db::DatabaseTestAccess::format_version(db), 1);
    EXPECT_TRUE(db.autoflush());
    EXPECT_FALSE(qm::db::DatabaseTestAccess::atomic_manifest(db));
    EXPECT_EQ(db.clock(), 0u);
    EXPECT_TRUE(db.catalog().tables().empty());
    EXPECT_EQ(entries(ws), (std::vector<std::string>{".qm_transaction.lock", "chunks"}));
    EXPECT_TRUE(entries(ws + "/chunks").empty());
    EXPECT_EQ(stdfs::file_size(ws + "/.qm_transaction.lock"), 0u);
  }
  // Reopening without a mutation gives an empty workspace again.
  {
    Database db = open_ok(ws);
    EXPECT_TRUE(db.catalog().tables().empty());
    EXPECT_FALSE(stdfs::exists(ws + "/qm_manifest.json"));
    ASSERT_TRUE(create_table(db, "t", {"a"}, {}, {}).has_value());
  }
  EXPECT_EQ(entries(ws), (std::vector<std::string>{".qm_transaction.lock", "chunks", "qm_manifest.json"}));
}

TEST_F(WorkspaceOpenDir, RowsWrittenThroughTheInternalApiReadBackAfterReopen) {
  const std::string long_text(40, 'L');  // goes to the blob store
  std::vector<Row> expected;
  {
    Database db = open_ok(ws);
    ASSERT_TRUE(create_table(db, "people", {"id", "name"}, {"id"}, {"id"}).has_value());
    for (int i = 0; i < 300; ++i) {
      Row r = row({Value::integer(i), Value::text(i == 7 ? long_text : "p" + std::to_string(i))});
      ASSERT_TRUE(insert_validated_base(db, "people", r).has_value());
      expected.push_back(r);
    }
    EXPECT_EQ(db.clock(), 300u);
  }
  Database db = open_ok(ws);
  EXPECT_EQ(db.clock(), 300u);
  EXPECT_EQ(qm::db::DatabaseTestAccess::format_version(db), 3);  // the UNIQUE column raised the written version
  EXPECT_EQ(stored_rows(db, "people"), expected);
  const Table& t = db.catalog().tables().at("people");
  EXPECT_EQ(t.row_versions, 300u);
  EXPECT_GT(*t.tail_id, *t.first_page);  // several pages
  ASSERT_TRUE(t.indexes.contains("id"));
  EXPECT_EQ(t.indexes.at("id").count(), 300u);
  EXPECT_EQ(db.store().cas.count(), 1u);
  // Appends continue on the held tail page after the reopen.
  ASSERT_TRUE(insert_validated_base(db, "people", row({Value::integer(300), Value::text("late")})).has_value());
  expected.push_back(row({Value::integer(300), Value::text("late")}));
  Database again = open_ok(ws);
  EXPECT_EQ(stored_rows(again, "people"), expected);
}

TEST_F(WorkspaceManifestDir, SmallDatabasesWriteExactlyTheseBytes) {
  Database db = open_ok(ws);
  ASSERT_TRUE(create_table(db, "t", {"id", "name"}, {"id"}, {}).has_value());
  // A statement's manifest names the indexed columns without their pairs; closing adds them.
  EXPECT_EQ(qm::test::read_file(ws + "/qm_manifest.json"),
            R"({"format_version":3,"clock":0,"page_count":0,"tables":[{"name":"t","columns":["id","name"],)"
            R"("unique_columns":["id"],"first_page":null,"tail_id":null,"row_versions":0,"indexed_columns":["id"]}],)"
            R"("cas_hashes":[],"cas_dir":[]})");
  ASSERT_TRUE(insert_validated_base(db, "t", row({Value::integer(1), Value::text("ann")})).has_value());
  ASSERT_TRUE(create_table(db, "u", {"x"}, {}, {}, {}, {sql::Predicate::eq("x", Value::integer(2))}).has_value());
  const std::string with_pairs =
      R"({"format_version":4,"clock":1,"page_count":1,"tables":[{"name":"t","columns":["id","name"],)"
      R"("unique_columns":["id"],"first_page":0,"tail_id":0,"row_versions":1,"indexed_columns":["id"],)"
      R"("indexes":[{"column":"id","pairs":[[{"Int":1},[0]]]}]},{"name":"u","columns":["x"],)"
      R"("checks":[{"Compare":{"column":"x","op":"Eq","value":{"Int":2}}}],"first_page":null,"tail_id":null,)"
      R"("row_versions":0,"indexed_columns":[]}],"cas_hashes":[],"cas_dir":[]})";
  EXPECT_EQ(qm::test::read_file(ws + "/qm_manifest.json"),
            test::replace_once(with_pairs, R"(,"indexes":[{"column":"id","pairs":[[{"Int":1},[0]]]}])", ""));
  ASSERT_TRUE(db.close().has_value());
  EXPECT_EQ(qm::test::read_file(ws + "/qm_manifest.json"), with_pairs);
  // Dropping the constrained table lowers the written version back to what is held.
  ASSERT_TRUE(drop_table(db, "u").has_value());
  auto m = must(read_manifest_json(qm::test::read_file(ws + "/qm_manifest.json")));
  EXPECT_EQ(m.format_version, 3);
}

TEST_F(WorkspaceManifestDir, ShorterRewriteLeavesNoTrailingBytes) {
  Database db = open_ok(ws);
  ASSERT_TRUE(create_table(db, "a_table_with_a_long_name", {"x"}, {}, {}).has_value());
  ASSERT_TRUE(drop_table(db, "a_table_with_a_long_name").has_value());
  EXPECT_EQ(qm::test::read_file(ws + "/qm_manifest.json"),
            R"({"format_version":1,"clock":0,"page_count":0,"tables":[],"cas_hashes":[],"cas_dir":[]})");
}

TEST_F(WorkspaceManifestDir, EveryWriteReplacesTheFileWholeAndLeavesNoTemporaryFile) {
  Database db = open_ok(ws);
  ASSERT_TRUE(create_table(db, "t", {"x"}, {}, {}).has_value());
  const auto inode = [&] {
    struct stat st{};
    return ::stat((ws + "/qm_manifest.json").c_str(), &st) == 0 ? st.st_ino : 0;
  };
  const auto first = inode();
  qm::db::DatabaseTestAccess::set_atomic_manifest(db, true);
  ASSERT_TRUE(db.flush().has_value());
  EXPECT_TRUE(qm::db::DatabaseTestAccess::last_write_atomic(db));
  const auto second = inode();
  EXPECT_NE(first, second);
  EXPECT_FALSE(stdfs::exists(ws + "/qm_manifest.json.tmp"));
  qm::db::DatabaseTestAccess::set_atomic_manifest(db, false);
  ASSERT_TRUE(insert_validated_base(db, "t", row({Value::integer(5)})).has_value());
  EXPECT_FALSE(qm::db::DatabaseTestAccess::last_write_atomic(db));
  EXPECT_NE(inode(), second);  // outside a transaction too: never rewritten in place
  EXPECT_FALSE(stdfs::exists(ws + "/qm_manifest.json.tmp"));
  Database again = open_ok(ws);
  EXPECT_EQ(stored_rows(again, "t"), std::vector<Row>{row({Value::integer(5)})});
}

// Replaced manifests are closed beside the statements; none may stay open past the handle.
TEST_F(WorkspaceManifestDir, NoReplacedManifestStaysOpenOnceTheHandleIsGone) {
  std::string canonical;
  const auto held = [&] {
    int n = 0;
    for (const auto& e : stdfs::directory_iterator("/proc/self/fd")) {
      std::error_code ec;
      const std::string target = stdfs::read_symlink(e.path(), ec).string();
      if (!ec && target.starts_with(canonical) && target.ends_with(" (deleted)")) ++n;
    }
    return n;
  };
  {
    Database db = open_ok(ws);
    canonical = stdfs::canonical(ws).string() + "/";
    ASSERT_TRUE(create_table(db, "t", {"x"}, {}, {}).has_value());
    for (int i = 0; i < 50; ++i)
      ASSERT_TRUE(insert_validated_base(db, "t", row({Value::integer(i)})).has_value());
  }
  EXPECT_EQ(held(), 0);
  Database again = open_ok(ws);
  EXPECT_EQ(stored_rows(again, "t").size(), 50u);
}

// A child forked after the handle's helper started may go on with the handle and drop it: it
// never waits for the parent's helper, which does not exist in the child.
TEST_F(WorkspaceManifestDir, AForkedChildCanWriteThroughAndDropAnInheritedHandle) {
  auto db = std::make_unique<Database>(open_ok(ws));
  ASSERT_TRUE(create_table(*db, "t", {"x"}, {}, {}).has_value());
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(insert_validated_base(*db, "t", row({Value::integer(i)})).has_value());
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    alarm(30);  // a wait for the parent's helper would never end
    const bool ok = insert_validated_base(*db, "t", row({Value::integer(9)})).has_value();
    db.reset();
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  db.reset();
  Database again = open_ok(ws);
  EXPECT_EQ(stored_rows(again, "t").size(), 4u);
}

TEST_F(WorkspaceOpenDir, ManifestThatCannotBeExaminedIsAnErrorNotANewWorkspace) {
  {
    Database db = open_ok(ws);
    ASSERT_TRUE(create_table(db, "t", {"x"}, {}, {}).has_value());
    ASSERT_TRUE(insert_validated_base(db, "t", row({Value::integer(1)})).has_value());
  }
  const std::string chunk = ws + "/chunks/chunk_00000.qmd";
  const std::string before = qm::test::read_file(chunk);
  const std::string manifest = qm::test::read_file(ws + "/qm_manifest.json");
  // A link that points at itself cannot be examined (ELOOP); it is not "absent".
  stdfs::remove(ws + "/qm_manifest.json");
  stdfs::create_symlink("qm_manifest.json", ws + "/qm_manifest.json");
  EXPECT_EQ(Database::open_workspace(ws).error().kind, ErrorKind::Io);
  EXPECT_EQ(qm::test::read_file(chunk), before);
  stdfs::remove(ws + "/qm_manifest.json");
  qm::test::write_file(ws + "/qm_manifest.json", manifest);
  Database again = open_ok(ws);
  EXPECT_EQ(stored_rows(again, "t"), std::vector<Row>{row({Value::integer(1)})});
}

TEST_F(WorkspaceOpenDir, UnreadableOrUnsupportedManifestsFailWithTheirTexts) {
  open_ok(ws);
  const std::pair<const char*, const char*> cases[] = {
      {"{not json", "manifest error: "},
      {R"({"format_version":9,"logged_workspace":false,"clock":0,"page_count":0,"tables":[],"cas_hashes":[]})",
       "data corruption: unsupported workspace format version 9 (maximum 8)"},
      {R"({"format_version":8,"logged_workspace":false,"clock":0,"page_count":0,"tables":[],)"
       R"("cas_hashes":[],"retrieval_indexes":[{"definition":{}}]})",
       "manifest error: missing field `cas_id`"},
  };
  for (const auto& [manifest, error] : cases) {
    qm::test::write_file(ws + "/qm_manifest.json", manifest);
    const std::string got = error_text(Database::open_workspace(ws));
    EXPECT_EQ(got.rfind(error, 0), 0u) << got;
  }
  // The lock was released on the failure paths: a handle can take it now.
  EXPECT_TRUE(acquire_transaction_lock(ws));
}

TEST_F(WorkspaceOpenDir, HeldFormatVersionIsKeptAndWrittenBack) {
  { open_ok(ws); }
  qm::test::write_file(ws + "/qm_manifest.json",
                       R"({"format_version":6,"clock":4,"page_count":0,"tables":[],"cas_hashes":[]})");
  Database db = open_ok(ws);
  EXPECT_EQ(qm::db::DatabaseTestAccess::format_version(db), 6);
  EXPECT_EQ(db.clock(), 4u);
  ASSERT_TRUE(create_table(db, "t", {"x"}, {}, {}).has_value());
  auto m = must(read_manifest_json(qm::test::read_file(ws + "/qm_manifest.json")));
  EXPECT_EQ(m.format_version, 6);
  EXPECT_FALSE(m.logged_workspace.has_value());  // written only at 8 and above
}

TEST(WorkspaceDdl, TableAndIndexOperationsKeepTheCatalogConsistent) {
  qm::test::TempDir tmp;
  Database db = open_ok(tmp.join("ws"));
  ASSERT_TRUE(create_table(db, "t", {"a", "b"}, {"a"}, {}).has_value());
  EXPECT_TRUE(db.catalog().has_index("t", "a"));  // UNIQUE columns are indexed from creation
  EXPECT_FALSE(db.catalog().has_index("t", "b"));
  EXPECT_FALSE(db.catalog().has_index("nope", "a"));
  EXPECT_EQ(error_text(create_table(db, "d", {"x"}, {}, {}, {{"y", Value::integer(1)}}, {})),
            "schema error: invalid schema for table `d`: DEFAULT references unknown column `y`");
  EXPECT_EQ(error_text(create_table(db, "c", {"x"}, {}, {}, {}, {sql::Predicate::eq("y", Value::null())})),
            "schema error: invalid schema for table `c`: CHECK references unknown column `y`");
  for (int i = 0; i < 5; ++i)
    ASSERT_TRUE(insert_validated_base(db, "t", row({Value::integer(i), Value::integer(i % 2)})).has_value());
  ASSERT_TRUE(create_index_bounded(db, "t", "b", nullptr).has_value());
  EXPECT_EQ(db.catalog().tables().at("t").indexes.at("b").count(), 5u);
  EXPECT_EQ(error_text(create_index_bounded(db, "t", "zz", nullptr)), "schema error: no column `zz`");
  EXPECT_EQ(error_text(create_index_bounded(db, "zz", "b", nullptr)), "table not found: zz");
  QueryBudget none(QueryLimits{0, 1000, 1000, std::nullopt});
  EXPECT_EQ(error_text(create_index_bounded(db, "t", "a", &none)),
            "query resource limit exceeded: scanned more than 0 rows");
  EXPECT_EQ(db.catalog().tables().at("t").indexes.at("a").count(), 5u);  // the former index is kept
  ASSERT_TRUE(create_index_bounded(db, "t", "b", nullptr, /*make_unique=*/true).has_value());
  EXPECT_TRUE(db.catalog().tables().at("t").unique.contains("b"));
  auto stored = must(read_manifest_json(qm::test::read_file(tmp.join("ws/qm_manifest.json"))));
  EXPECT_EQ(stored.tables[0].unique_columns, (std::vector<std::string>{"a", "b"}));
  ASSERT_TRUE(drop_table(db, "t").has_value());
  EXPECT_TRUE(db.catalog().tables().empty());
}

}  // namespace
}  // namespace qm::db
