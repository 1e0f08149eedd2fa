// The undo-file transaction of a workspace without a commit log: it costs what it changes.
// Begin (under the workspace lock, from a state already on stable storage with a durable
// manifest) installs the page-write hook that keeps, in the handle's undo file, the old bytes
// of each page before its first overwrite; the copies are forced to stable storage before
// the pages they protect are written (statement_undo.h), and each blob file it creates is
// named there before it is created. While the transaction is open a flush writes pages but
// never the manifest, which stays the one the undo file names. Commit
// flushes with an atomic manifest (chunk and blob files made durable, the manifest written to
// a temporary file, flushed and renamed) and flushes the directory: the durable rename is the
// commit point, after which the undo file is stale and is emptied. Rollback puts the saved
// pages back (pages appended since are cut off) and removes the blob files the transaction
// created, then restores the handle from what the transaction recorded (transaction.h); a
// process that dies leaves the undo file for the next locked step to apply.
//
// Invariants: the lock is held from begin to the end; a commit that passed its commit point
// ends the transaction even when the directory flush then fails (TransactionOutcomeUnknown).
#include <string>
#include <utility>

#include "core/fs.h"
#include "db/atomicity/statement_undo.h"
#include "db/atomicity/copy_tree_files.h"
#include "db/atomicity/transaction.h"
#include "storage/workspace_store.h"

namespace qm::db {
namespace {

class UndoFileTransaction final : public WorkspaceTransaction {
 public:
  using WorkspaceTransaction::WorkspaceTransaction;

  Result<void> commit(Database& db) override {
    TransactionHost::hold_manifest(db, false);
    auto flushed = db.flush();
    if (!flushed) {
      TransactionHost::hold_manifest(db, true);
      return flushed;
    }
    // The commit point: once the manifest's rename is durable the new state stands.
    auto synced = sync_directory(dir_);
    finished_ = true;
    kept(db);
    if (auto* dev = db.store().cache.backend().workspace()) {
      if (auto* undo = dynamic_cast<PageUndoFile*>(dev->journal()); undo && synced)
        undo->published(dev->page_count(), std::nullopt);
      (void)dev->take_journal();
    }
    lock_.release();
    if (!synced)
      return fail(QmError::outcome_unknown("the manifest was replaced, but syncing the commit point failed (" +
                                           synced.error().detail + ")"));
    return {};
  }

 private:
  Result<void> put_back_files(Database& db) override {
    return undo_own_transaction(dir_, manifest_at_begin(),
                                [&](const Digest& digest) { return named_at_begin(db, digest); });
  }
};

}  // namespace

Result<std::unique_ptr<Transaction>> begin_undo_file(Database& db, const std::string& dir, TransactionLock lock) {
  storage::WorkspaceStore* dev = db.store().cache.backend().workspace();
  if (dev == nullptr) return fail(QmError::transaction("a workspace transaction requires a filesystem workspace"));
  auto undo = std::make_unique<PageUndoFile>(dir, dev->page_count(), TransactionHost::manifest_digest(db),
                                             TransactionHost::undo_file(db), /*forced=*/true);
  db.store().cas.watch_new_files(undo->blob_watcher());
  dev->install_journal(std::move(undo));
  TransactionHost::hold_manifest(db, true);
  return std::unique_ptr<Transaction>(std::make_unique<UndoFileTransaction>(db, dir, std::move(lock)));
}

}  // namespace qm::db
