// The copy-tree transaction of a workspace: the transaction lock is held from begin to the
// end; begin makes a synced backup of the workspace files and publishes the recovery marker
// (copy_tree_files.h); commit flushes atomically and removes the marker, whose durable
// removal is the commit point; rollback puts the backup back and re-reads the workspace
// while the lock is still held, so no other handle slips in between. An interrupted one is
// undone by recover_workspace_transaction, at the next open or the next begin.
#include <string>
#include <utility>

#include "core/fs.h"
#include "db/atomicity/copy_tree_files.h"
#include "db/atomicity/transaction.h"

namespace qm::db {
namespace {

class CopyTree final : public Transaction {
 public:
  CopyTree(std::string dir, TransactionLock lock) : dir_(std::move(dir)), lock_(std::move(lock)) {}

  Result<void> commit(Database& db) override {
    TransactionHost::set_atomic_manifest(db, true);
    auto committed = commit_point(db);
    if (!committed && !finished_) TransactionHost::set_atomic_manifest(db, saved_atomic_manifest);
    return committed;
  }

  Result<void> rollback(Database& db) override {
    finished_ = true;
    auto result = restore(db);
    return workspace_rollback_outcome(db, std::move(result));
  }

 private:
  Result<void> commit_point(Database& db) {
    QM_TRY(db.flush());
    const std::string marker = fs::join(dir_, kTxMarker);
    QM_ASSIGN(auto st, fs::get().lstat(marker));
    if (!st) return fail(QmError::transaction("filesystem transaction recovery marker is missing"));
    QM_TRY(fs::get().unlink(marker));
    // The commit point: once the marker's removal is durable the new state stands.
    auto synced = sync_directory(dir_);
    finished_ = true;
    if (!synced) {
      lock_.release();  // the backup stays for the next open to judge
      return fail(QmError::outcome_unknown("transaction marker was removed, but syncing the commit point failed (" +
                                           synced.error().detail + ")"));
    }
    // A backup left behind is removed by the next open.
    (void)remove_tree(fs::join(dir_, kTxBackup));
    lock_.release();
    return {};
  }

  Result<void> restore(Database& db) {
    TransactionHost::drop_storage(db);
    QM_TRY(restore_workspace_transaction(dir_));
    QM_TRY(fs::mkdir_all(dir_));
    QM_TRY(recover_workspace_transaction(dir_));
    QM_TRY(TransactionHost::reload_workspace(db, dir_));
    db.set_autoflush(saved_autoflush);
    TransactionHost::set_atomic_manifest(db, saved_atomic_manifest);
    lock_.release();
    return {};
  }

  std::string dir_;
  TransactionLock lock_;
};

}  // namespace

Result<std::unique_ptr<Transaction>> begin_copy_tree(Database& db, const std::string& dir, TransactionLock lock) {
  QM_ASSIGN(auto marker, fs::get().lstat(fs::join(dir, kTxMarker)));
  const bool marker_existed = marker.has_value();
  // Once this handle has flushed the workspace, only the blobs written since can be unstable:
  // flushed here, every blob file is then linked into the backup without a flush of its own
  // (one per blob file would make a begin cost a journal commit per value).
  bool blobs_durable = false;
  if (TransactionHost::files_flushed(db)) {
    QM_TRY(db.store().cas.sync_data());
    blobs_durable = true;
  }
  auto prepared = prepare_workspace_transaction(dir, blobs_durable);
  if (!prepared) {
    if (!marker_existed) {
      auto cleaned = abort_workspace_transaction_preparation(dir);
      if (!cleaned)
        return fail(QmError::outcome_unknown("transaction preparation failed (" + prepared.error().message() +
                                             "); recovery-artifact cleanup also failed (" +
                                             cleaned.error().message() + ")"));
    }
    return fail(std::move(prepared).error());
  }
  return std::unique_ptr<Transaction>(std::make_unique<CopyTree>(dir, std::move(lock)));
}

}  // namespace qm::db
