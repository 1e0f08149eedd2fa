// Statement undo: what lets one statement outside a transaction on an unlogged workspace be
// undone whole after a refused write or a killed process. Such a statement overwrites pages
// of the chunk files in place and then replaces the manifest (temporary file and rename, no
// flush to stable storage); the manifest's rename is its commit point.
//
// Before the statement first overwrites a page that existed when it began, the page's old
// bytes are appended to `.qm_statement_undo`, whose header holds the page count and the
// digest of the manifest the statement started from. Pages appended past that count need no
// copy: the old manifest does not reach them.
//
// Invariants:
// - an entry is complete in the file before its page is overwritten, so a torn last entry
//   (or a torn header) belongs to a page that was never touched and is ignored;
// - the file is applied only while the workspace's manifest is still the one it names: a
//   different manifest means the statement (or a later one) was published and the file is
//   stale, and it is only removed. Every statement that writes a page advances the clock, so
//   a published statement always changes the manifest;
// - the file is read, applied and removed only under the workspace lock: at open, at a
//   transaction's begin and at the start of each statement outside a transaction, so no
//   stale file outlives the next locked step;
// - applying it writes the old pages, drops pages past the count, flushes the chunk files,
//   and only then removes the file (a failure keeps it for the next attempt).
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include "core/blake3.h"
#include "core/error.h"
#include "core/fs.h"
#include "storage/workspace_store.h"

namespace qm::db {

inline constexpr const char* kStatementUndoFile = ".qm_statement_undo";

// The page-write hook of one statement: saves the before-image of each page below the
// statement's starting page count the first time it is overwritten.
class StatementUndo final : public storage::PageJournal {
 public:
  // `manifest_digest`: the manifest the statement starts from (none: no manifest yet).
  StatementUndo(std::string workspace, uint64_t page_count, std::optional<Digest> manifest_digest)
      : workspace_(std::move(workspace)), page_count_(page_count), manifest_digest_(manifest_digest) {}

  Result<void> before_write(storage::DevStore& store, uint64_t page_id) override;

  // Whether any page was saved (and so the undo file exists).
  bool saved_any() const { return file_.is_open(); }
  // The statement was published: forget the saved pages and remove the file (a failure to
  // remove it leaves a stale file that the next locked step discards); later writes of the
  // same scope start from the published page count and manifest.
  void published(uint64_t page_count, std::optional<Digest> manifest_digest);

 private:
  std::string workspace_;
  uint64_t page_count_;
  std::optional<Digest> manifest_digest_;
  std::set<uint64_t> saved_;
  fs::File file_;
  uint64_t file_end_ = 0;
};

// Applies or discards an undo file left by a statement that did not finish (see the
// invariants above). Returns true when old pages were put back. Removes a leftover
// temporary manifest too. The caller holds the workspace lock.
Result<bool> recover_statement_undo(const std::string& workspace);

}  // namespace qm::db
