// HandleUndo: what a transaction records as it writes so that its rollback can put the
// handle's in-memory state back as it was at begin, at the cost of what the transaction
// changed rather than the size of the database. Every transaction kind that undoes its own
// changes shares it: the memory database's undo log, and the workspace kinds, which first
// put the disk back (undo file, page journal) and then restore the handle from here instead
// of re-reading the workspace.
//
// Recorded at begin: the page count (pages at or above it did not exist), the blob count,
// the clock and the format version a rollback hands back, each table without its indexes
// and page set (its shell, tail page copy included), and the live row counts (through the
// observers). As the transaction goes: the bytes of every page before its first change, or
// only its id for a workspace (kept by the page cache), every index entry a new row version added, the indexes of a table DDL
// replaces or drops (handed over whole), the retrieval catalog before the first retrieval DDL,
// and each retrieval index's document changes (its own undo log), the blob slots overwritten.
//
// Invariants: recording starts in the constructor and stops at keep() (commit) or at the
// rollback; restore() runs at most once, after the caller dealt with the pages (memory: put
// back in place; workspace: dropped from the cache once the disk holds the old bytes). A
// restore that meets a log that does not match the handle (an entry missing from its index,
// a table missing) fails, and the caller falls back to rebuilding the handle some other way.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/value.h"
#include "db/database.h"
#include "storage/page_cache.h"

namespace qm::db {

class IndexEntryLog;

class HandleUndo {
 public:
  // Starts recording; `format_version` is the version the handle holds after a rollback.
  // With `page_ids_only` the pages' old bytes are not kept, only which pages changed (a
  // workspace's undo puts the bytes back on disk).
  HandleUndo(Database& db, uint16_t format_version, bool page_ids_only = false);
  ~HandleUndo();
  HandleUndo(const HandleUndo&) = delete;
  HandleUndo& operator=(const HandleUndo&) = delete;

  // The write path's notes (see Transaction).
  void index_entry_added(std::string_view table, const std::string& column, uint64_t row_id, const Value& key);
  void table_changing(std::string_view table, Table& t, bool dropping);
  void retrieval_catalog_changing(const persistent::Catalog& catalog);

  // Commit: the changes stay; recording stops.
  void keep(Database& db);
  // Rollback: recording stops (before anything is put back).
  void stop(Database& db);
  // Puts back the index entries, blob names, retrieval indexes, tables, clock and format
  // version. The pages are the caller's (see the invariants), and so is telling the
  // observers (`rolled_back`, which puts the live row counts back) once all is in place.
  Result<void> restore(Database& db);

  const storage::PageBeforeImages& pages() const { return pages_; }
  uint64_t page_limit() const { return pages_.limit; }
  uint64_t blob_count() const { return blob_count_; }

 private:
  struct TableUndo {
    Table shell;                          // the table at begin, without indexes or page set
    std::optional<IndexMap> handed_over;  // its indexes, once DDL replaced or dropped them
    size_t handed_over_at = 0;            // the log length when they were handed over
  };
  struct IndexTarget {
    std::string table;
    std::string column;
  };
  uint32_t target_of(std::string_view table, const std::string& column);
  Result<void> take_back_entries(TableMap& live);

  storage::PageBeforeImages pages_;
  std::optional<persistent::Catalog> retrieval_;  // the catalog before the first retrieval DDL
  uint64_t blob_count_ = 0;
  uint64_t clock_ = 0;
  uint16_t format_version_ = 1;
  std::map<std::string, TableUndo, std::less<>> tables_;
  std::vector<IndexTarget> targets_;
  uint32_t last_target_ = 0;
  std::unique_ptr<IndexEntryLog> log_;
};

}  // namespace qm::db
