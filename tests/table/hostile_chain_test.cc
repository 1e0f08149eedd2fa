// A manifest that claims far more pages than the chunk files hold, over a page chain whose
// first page links to itself: every walk (scan, delete, index build, rescan at open) stops
// after the pages really held, with the cycle text, in well under a second.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "table/manifest.h"
#include "support/c_api.h"
#include "support/temp_dir.h"
#include "support/result_text.h"

namespace qm::test {
namespace {

using HostileManifestDir = qm::test::InTempDir;

constexpr const char* kCycle = "error: data corruption: page chain longer than total page count (cycle?)";

// Rewrites the manifest through `edit` and links page 0 to itself (checksum cleared: unstamped).
template <class Edit>
void tamper(const std::string& ws, Edit edit) {
  auto m = must(db::read_manifest_json(read_file(ws + "/qm_manifest.json")));
  edit(m);
  write_file(ws + "/qm_manifest.json", db::write_manifest_json(m));
  std::string chunk = read_file(ws + "/chunks/chunk_00000.qmd");
  ASSERT_GE(chunk.size(), 4096u * 3);
  for (int i = 0; i < 8; ++i) chunk[13 + i] = 0;
  for (int i = 0; i < 4; ++i) chunk[24 + i] = 0;
  write_file(ws + "/chunks/chunk_00000.qmd", chunk);
}

// A workspace at `ws` holding 400 rows, then tampered through `edit`.
template <class Edit>
std::string hostile(const std::string& ws, Edit edit) {
  {
    CDb db = CDb::workspace(ws);
    EXPECT_EQ(db.query("CREATE TABLE t (id INT UNIQUE, s INT)"), R"({"done":true})");
    std::string values;
    for (int i = 0; i < 400; ++i) values += (i ? ",(" : "(") + std::to_string(i) + ",7)";
    EXPECT_EQ(db.query("INSERT INTO t VALUES " + values), R"({"mutated":400})");
  }
  tamper(ws, edit);
  return ws;
}

TEST_F(HostileManifestDir, ClaimedPageCountBoundsNoWalkBeginOrRescan) {
  {
    CDb db = CDb::workspace(hostile(tmp.join("walks"), [](db::Manifest& m) { m.page_count = uint64_t{1} << 32; }));
    EXPECT_EQ(db.query("SELECT COUNT(*) FROM t"), kCycle);
    EXPECT_EQ(db.query("SELECT * FROM t WHERE s = 8"), kCycle);
    EXPECT_EQ(db.query("DELETE FROM t WHERE id < 3"), "error: data corruption: cyclic table page chain");
    EXPECT_EQ(db.query("CREATE INDEX ON t (s)"), kCycle);
  }
  {
    // Making the files durable at begin visits the chunk files there are, not every number
    // a claimed count allows.
    CDb db = CDb::workspace(hostile(tmp.join("begin"), [](db::Manifest& m) { m.page_count = uint64_t{1} << 46; }));
    EXPECT_EQ(db.query("BEGIN"), R"({"done":true})");
    EXPECT_EQ(db.query("COMMIT"), R"({"done":true})");
  }
  const std::string rescanned = hostile(tmp.join("rescan"), [](db::Manifest& m) {
    m.page_count = uint64_t{1} << 32;
    m.tables.at(0).indexes.clear();  // the UNIQUE column's index must be rebuilt by a walk
  });
  EXPECT_EQ(outcome(qm_open_dev(rescanned.c_str())), kCycle);
}

}  // namespace
}  // namespace qm::test
