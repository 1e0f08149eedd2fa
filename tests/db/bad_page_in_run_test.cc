// A page that fails its checksum must never reach a result, also when the walk that meets it
// loads it in a read-ahead run (consecutive pages read in one call and checksummed together)
// rather than alone: each read on a fresh handle walks the table's chain from its first page,
// so the damaged page arrives inside a run, not at its start.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "ffi/db_handle.h"
#include "storage/page.h"
#include "storage/workspace_store.h"
#include "support/c_api.h"
#include "support/temp_dir.h"

namespace qm::test {
namespace {

using BadPageInReadRun = InTempDir;

// The full scan, an index range read over the damaged page's rows and the export (which
// stamps every page it writes anew, so an unverified page would leave it looking sound).
TEST_F(BadPageInReadRun, ScanRangeReadAndExportEachRefuseIt) {
  uint64_t bad = 0;
  int64_t lo = INT64_MAX, hi = INT64_MIN;  // the ids of the rows on the damaged page
  {
    CDb db = CDb::workspace(ws);
    ASSERT_EQ(db.query("CREATE TABLE t (id INT, body TEXT)"), R"({"done":true})");
    ASSERT_EQ(db.query("CREATE INDEX ON t (id)"), R"({"done":true})");
    std::string sets = "[";
    for (int i = 0; i < 2000; ++i)
      sets += (i ? ",[" : "[") + std::to_string(i) + ",\"" + std::string(300, static_cast<char>('a' + i % 26)) + "\"]";
    ASSERT_EQ(db.execute_many("INSERT INTO t VALUES (?, ?)", sets + "]"), R"({"mutated":2000})");
    const db::Table& t = db.get()->db.catalog().tables().at("t");
    ASSERT_TRUE(t.first_page && t.tail_id);
    // A walk reads the first page alone, then runs of 2, 4, 8, ... pages: first + 5 is the
    // third page of the run first + 3 .. first + 6. That holds when the chain is the pages
    // first .. tail in order, which rows appended in id order show: each id's page is its
    // predecessor's or the next one.
    bad = *t.first_page + 5;
    ASSERT_GT(*t.tail_id, bad + 8);
    uint64_t page = *t.first_page;
    for (const auto& [key, ids] : t.indexes.at("id").map()) {
      ASSERT_EQ(ids.size(), 1u);
      const uint64_t at = storage::row_page(ids[0]);
      ASSERT_TRUE(at == page || at == page + 1) << "row " << key.as_int() << " on page " << at;
      page = at;
      if (at == bad) {
        lo = std::min(lo, key.as_int());
        hi = std::max(hi, key.as_int());
      }
    }
    ASSERT_EQ(page, *t.tail_id);
  }
  const std::string chunk = storage::WorkspaceStore::chunk_path(ws, storage::WorkspaceStore::chunk_of(bad));
  std::string bytes = read_file(chunk);
  bytes[storage::WorkspaceStore::offset_in_chunk(bad) + storage::kPageSize / 2] ^= 0x01;
  write_file(chunk, bytes);

  // Opening reads only the tail page; nothing of the chain is resident on a fresh handle.
  const std::string refused = "error: data corruption: page " + std::to_string(bad) + " checksum mismatch";
  const std::string scan = CDb::workspace(ws).query("SELECT * FROM t");
  EXPECT_EQ(scan.substr(0, refused.size()), refused) << scan.substr(0, 200);
  const std::string range = CDb::workspace(ws).query("SELECT * FROM t WHERE id BETWEEN " + std::to_string(lo) +
                                                     " AND " + std::to_string(hi));
  EXPECT_EQ(range.substr(0, refused.size()), refused) << range.substr(0, 200);
  CDb db = CDb::workspace(ws);
  const bool exported = export_image(db.get()).has_value();
  const std::string exporting = exported ? "(exported)" : "error: " + last_error();
  EXPECT_EQ(exporting.substr(0, refused.size()), refused) << exporting;
}

}  // namespace
}  // namespace qm::test
