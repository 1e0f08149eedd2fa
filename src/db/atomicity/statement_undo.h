// The undo file: how a workspace without a commit log keeps a page's old bytes before its
// first overwrite in one scope, either one statement outside a transaction or one whole
// transaction. Both scopes overwrite pages of the chunk files in place and then replace the
// manifest; the manifest's rename is the scope's commit point.
//
// Before the scope first overwrites a page that existed when it began, the page's old bytes
// are appended to `.qm_statement_undo`, whose header holds the page count and the digest of
// the manifest the scope started from. Pages appended past that count need no copy: the old
// manifest does not reach them. A statement's copies only have to outlive a killed process;
// a transaction's are forced to stable storage before the pages they protect are written, so
// they outlive a power loss too (the scope's pages are written at its flush, or one at a time
// when the cache evicts one, and a flush forces all its copies with one flush of the file).
//
// A blob file the scope creates is named in the same file before it is created (in an entry
// whose page id is kBlobEntry, which holds blob digests in place of a page), so undoing
// the scope removes it again: blob files are content-addressed, and one the scope did not
// create (an equal value stored before, a leftover) is never named there. Readers that know
// only page entries skip it, as they skip any id past the page count.
//
// The file is kept open by its database handle and emptied, not removed, when a scope
// publishes: an empty file means nothing to undo.
//
// Invariants:
// - an entry is complete in the file before its page is overwritten, so a torn last entry
//   (or a torn header) belongs to a page that was never touched and is ignored;
// - the file is applied only while the workspace's manifest is still the one it names: a
//   different manifest means the scope (or a later one) was published and the file is
//   stale, and it is only emptied. Every scope that writes a page advances the clock, so a
//   published scope always changes the manifest;
// - the file is read, applied and emptied only under the workspace lock: at open, at a
//   transaction's begin and at the start of each statement outside a transaction, so no
//   stale file outlives the next locked step;
// - applying it writes the old pages, drops pages past the count, flushes the chunk files,
//   and only then empties the file (a failure keeps it for the next attempt);
// - the blob files named are removed after the pages are back, only those the manifest the
//   scope started from does not name (along with fan-out directories left empty). Removing is
//   cleanup: a failure leaves the file holding just the entries of the blobs not removed,
//   which the next locked step removes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "core/blake3.h"
#include "core/error.h"
#include "core/fs.h"
#include "storage/cas_store.h"
#include "storage/workspace_store.h"

namespace qm::db {

inline constexpr const char* kStatementUndoFile = ".qm_statement_undo";
// The page id of an entry that names a blob file its scope created.
inline constexpr uint64_t kBlobEntry = UINT64_MAX;

// The undo file of one handle: opened on first need, kept open and emptied between scopes.
struct UndoFileHandle {
  fs::File file;
  // The file's directory entry is on stable storage (a forced scope needs it to be).
  bool entry_durable = false;
};

// The page-write hook of one scope: saves the before-image of each page below the scope's
// starting page count the first time it is overwritten, into the undo file `file` (owned by
// the handle, opened on first need, kept open between scopes). It also names each blob file
// the scope creates, through the watcher it lends the blob store (blob_watcher).
class PageUndoFile final : public storage::PageWriteHook {
 public:
  // `manifest_digest`: the manifest the scope starts from (none: no manifest yet). `forced`:
  // each copy reaches stable storage before its page is written (a transaction's scope).
  PageUndoFile(std::string workspace, uint64_t page_count, std::optional<Digest> manifest_digest, UndoFileHandle& file,
                bool forced = false)
      : workspace_(std::move(workspace)),
        page_count_(page_count),
        manifest_digest_(manifest_digest),
        file_(file),
        forced_(forced),
        blobs_(std::make_shared<BlobRecorder>(*this)) {}
  PageUndoFile(const PageUndoFile&) = delete;
  PageUndoFile& operator=(const PageUndoFile&) = delete;

  Result<void> before_write(storage::WorkspaceStore& store, uint64_t page_id) override;
  Result<void> before_writes(storage::WorkspaceStore& store, std::span<const uint64_t> page_ids) override;
  // For the blob store of the scope's database: it expires with this scope.
  std::weak_ptr<storage::NewBlobFileWatcher> blob_watcher() const { return blobs_; }

  bool forced() const { return forced_; }
  // Whether any page was saved or blob file named (and so the undo file holds entries).
  bool saved_any() const { return file_end_ != 0; }
  // The scope was published: forget the saved pages and empty the file (a failure to empty
  // it leaves a stale file that the next locked step discards); later writes of the same
  // scope start from the published page count and manifest.
  void published(uint64_t page_count, std::optional<Digest> manifest_digest);

 private:
  class BlobRecorder final : public storage::NewBlobFileWatcher {
   public:
    explicit BlobRecorder(PageUndoFile& owner) : owner_(owner) {}
    Result<void> before_create(const Digest& digest) override { return owner_.name_new_blob(digest); }

   private:
    PageUndoFile& owner_;
  };

  // Appends the copies of the pages not saved yet; forces them when the scope is forced.
  Result<void> save(storage::WorkspaceStore& store, std::span<const uint64_t> page_ids);
  // Appends the entry naming a blob file about to be created. Not forced, even in a forced
  // scope: the entry is in the file before the blob file exists, which a killed process
  // cannot undo; a power loss can at worst keep a blob file that no entry and no manifest
  // names (space, never data).
  Result<void> name_new_blob(const Digest& digest);
  // Writes `entries` (the header first, when the file is empty) at the end of the file.
  Result<void> append(std::string_view entries);

  std::string workspace_;
  uint64_t page_count_;
  std::optional<Digest> manifest_digest_;
  std::set<uint64_t> saved_;
  UndoFileHandle& file_;
  uint64_t file_end_ = 0;
  // The entry naming blobs that was appended last: where, its bytes and how many it names.
  uint64_t blob_entry_at_ = 0;
  std::string blob_entry_;
  size_t blob_count_ = 0;
  bool forced_;
  std::shared_ptr<BlobRecorder> blobs_;
};

// Applies or discards an undo file left by a scope that did not finish (see the invariants
// above), removes the blob files it names, and empties it. Returns true when chunk files were
// changed (old pages put back, or pages past the scope's start cut off). Removes a leftover
// temporary manifest too. The caller holds the workspace lock.
Result<bool> recover_statement_undo(const std::string& workspace);
// The workspace's manifest text; none when it has no manifest.
Result<std::optional<std::string>> read_workspace_manifest(const std::string& workspace);
// Removes the blob files of `created` (files an undone scope created) that `manifest` (the
// workspace's manifest text, none when it has none) does not name, then the fan-out
// directories and `blobs` that this leaves empty (a directory only once it lists nothing).
// Returns the digests whose file or directory is still there; all of them when the manifest
// cannot be read, since then no file is known to be unnamed.
std::vector<Digest> remove_created_blobs(const std::string& workspace, std::span<const Digest> created,
                                         const std::optional<std::string>& manifest);
// The same with `named` telling which of them a manifest names.
std::vector<Digest> remove_unnamed_blobs(const std::string& workspace, std::span<const Digest> created,
                                         const std::function<bool(const Digest&)>& named);
// The undo of the caller's own transaction, under the lock it held since begin: as
// recover_statement_undo, but the manifest is not read. The caller knows the manifest the
// transaction started from (its own flush wrote it and nothing replaced it since), which the
// undo file must name (else Corruption, and nothing is changed), and which blob files it
// names (`named`); only cleanup (removing blob files) may fail without failing the undo.
Result<void> undo_own_transaction(const std::string& workspace, const std::optional<Digest>& started_from,
                                  const std::function<bool(const Digest&)>& named);
// Whether the undo file holds anything to apply or discard (it exists and is not empty).
Result<bool> statement_undo_left(const std::string& workspace);

}  // namespace qm::db
