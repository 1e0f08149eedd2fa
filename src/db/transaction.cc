// Explicit transactions. A memory database keeps an image of itself taken at begin and
// rebuilds from it at rollback. A workspace holds the transaction lock from begin to the end,
// keeps a copy-tree backup with its recovery marker, flushes atomically at commit (the
// marker's durable removal is the commit point) and, at rollback, puts the backup back and
// re-reads the workspace while it still holds the lock. A production image has none.
//
// Invariants: after rollback no transaction is open, whatever failed; a handle never writes
// state it did not read from the workspace it is about to change (begin reloads under the
// lock when another handle committed meanwhile; a failed rollback leaves the handle refusing
// every write).
#include <string>
#include <utility>

#include "core/bytes.h"
#include "core/fs.h"
#include "db/copy_tree.h"
#include "db/database.h"

namespace qm::db {

Result<void> Database::begin_transaction() {
  if (read_only()) return fail(QmError::read_only());
  if (active_transaction) return fail(QmError::transaction("a transaction is already active"));
  QM_TRY(refuse_after_write_failure());
  ActiveTransaction tx;
  tx.saved_autoflush = autoflush;
  tx.saved_atomic_manifest = atomic_manifest;
  if (directory) {
    const std::string dir = *directory;
    QM_ASSIGN(tx.lock, acquire_transaction_lock(dir));
    tx.kind = logged() ? TransactionKind::PageJournal : TransactionKind::CopyTree;
    tx.directory = dir;
    // A transaction of another handle that died is undone first, as the next open would;
    // then, if another handle committed since this one last read the workspace, start from
    // what is on disk, never from a stale copy that the flush below would write over it.
    QM_TRY(recover_workspace_transaction(dir));
    QM_ASSIGN(bool changed, workspace_changed());
    if (changed) {
      QM_ASSIGN(Database fresh, load_dev(dir));
      fresh.commit_log = commit_log;
      fresh.created_dirs_ = std::move(created_dirs_);
      *this = std::move(fresh);
    } else {
      QM_TRY(forget_replaced_files());
    }
    atomic_manifest = true;
    caller_holds_lock_ = true;
    auto flushed = (logged() && last_write_atomic) ? Result<void>() : flush();
    caller_holds_lock_ = false;
    atomic_manifest = tx.saved_atomic_manifest;
    if (!flushed) return fail(std::move(flushed).error());
    if (tx.kind == TransactionKind::CopyTree) {
      QM_ASSIGN(auto marker, fs::get().lstat(fs::join(dir, kTxMarker)));
      const bool marker_existed = marker.has_value();
      auto prepared = prepare_workspace_transaction(dir);
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
    } else {
      return fail(QmError::transaction("commit-logged workspaces are not supported by this build"));
    }
  } else {
    tx.kind = TransactionKind::Snapshot;
    QM_ASSIGN(tx.snapshot, bake_to_bytes());
  }
  autoflush = false;
  active_transaction = std::move(tx);
  return {};
}

void Database::end_transaction() {
  ActiveTransaction tx = std::move(*active_transaction);
  active_transaction.reset();
  autoflush = tx.saved_autoflush;
  atomic_manifest = tx.saved_atomic_manifest;
  if (tx.kind == TransactionKind::CopyTree) {
    // A backup left behind is removed by the next open.
    (void)remove_tree(fs::join(tx.directory, kTxBackup));
  }
  tx.lock.release();
}

Result<void> Database::commit_transaction() {
  if (!active_transaction) return fail(QmError::transaction("no transaction is active"));
  const TransactionKind kind = active_transaction->kind;
  const bool saved_atomic = active_transaction->saved_atomic_manifest;
  if (kind != TransactionKind::Snapshot) atomic_manifest = true;
  auto flushed = flush();
  if (!flushed) {
    atomic_manifest = saved_atomic;
    return fail(std::move(flushed).error());
  }
  if (kind == TransactionKind::CopyTree) {
    const std::string dir = active_transaction->directory;
    const std::string marker = fs::join(dir, kTxMarker);
    QM_ASSIGN(auto st, fs::get().lstat(marker));
    if (!st) {
      atomic_manifest = saved_atomic;
      return fail(QmError::transaction("filesystem transaction recovery marker is missing"));
    }
    auto removed = fs::get().unlink(marker);
    if (!removed) {
      atomic_manifest = saved_atomic;
      return fail(std::move(removed).error());
    }
    // The commit point: once the marker's removal is durable the new state stands.
    auto synced = sync_directory(dir);
    if (!synced) {
      ActiveTransaction tx = std::move(*active_transaction);
      active_transaction.reset();
      autoflush = tx.saved_autoflush;
      atomic_manifest = tx.saved_atomic_manifest;
      tx.lock.release();  // the backup stays for the next open to judge
      return fail(QmError::outcome_unknown("transaction marker was removed, but syncing the commit point failed (" +
                                           synced.error().detail + ")"));
    }
  }
  end_transaction();
  return {};
}

Result<void> Database::rollback_transaction() {
  if (!active_transaction) return fail(QmError::transaction("no transaction is active"));
  ActiveTransaction tx = std::move(*active_transaction);
  active_transaction.reset();
  if (tx.kind == TransactionKind::Snapshot) {
    auto imported = import_bytes(as_bytes(tx.snapshot));
    if (!imported)
      return fail(QmError::outcome_unknown("transaction rollback failed after consuming its recovery state (" +
                                           imported.error().message() + ")"));
    Database restored = std::move(*imported);
    restored.autoflush = tx.saved_autoflush;
    restored.atomic_manifest = tx.saved_atomic_manifest;
    *this = std::move(restored);
    return {};
  }
  auto result = rollback_workspace(std::move(tx));
  if (!result) {
    // What the handle holds now is not the workspace: refuse to write it anywhere.
    write_failure = result.error().message();
    if (result.error().is(ErrorKind::TransactionOutcomeUnknown)) return result;
    return fail(QmError::outcome_unknown("transaction rollback failed after consuming its recovery state (" +
                                         result.error().message() + ")"));
  }
  return {};
}

Result<void> Database::rollback_workspace(ActiveTransaction tx) {
  const std::string dir = tx.directory;
  // Drop the live storage first: no dirty page may be written back and no file stays open.
  cache = storage::PageCache(storage::Backend(storage::MemStore()), kPageCacheCapacity);
  cas = storage::CasStore::new_memory();
  tables.clear();
  manifest_file.reset();
  if (tx.kind == TransactionKind::PageJournal)
    return fail(QmError::outcome_unknown("active page journal is missing"));
  // Repair and re-read while the lock is still held, so no other handle slips in between.
  QM_TRY(restore_workspace_transaction(dir));
  QM_TRY(fs::mkdir_all(dir));
  QM_TRY(recover_workspace_transaction(dir));
  QM_ASSIGN(Database reopened, load_dev(dir));
  reopened.commit_log = commit_log;
  reopened.autoflush = tx.saved_autoflush;
  reopened.atomic_manifest = tx.saved_atomic_manifest;
  reopened.last_write_atomic = false;
  *this = std::move(reopened);
  tx.lock.release();
  return {};
}

}  // namespace qm::db
