// The transaction entry points every kind shares: the checks at begin, the choice of kind,
// the flush flags saved at begin and restored when the transaction ends, and the rollback
// rule (no transaction is open afterwards, whatever failed). The kind decides the rest.
#include "db/atomicity/transaction.h"

#include <algorithm>
#include <utility>

#include "core/bytes.h"
#include "db/atomicity/statement_undo.h"
#include "db/atomicity/copy_tree_files.h"
#include "journal/inventory.h"
#include "table/limits.h"

namespace qm::db {

Result<void> Database::begin_transaction() {
  if (read_only()) return fail(QmError::read_only());
  if (transaction_) return fail(QmError::transaction("a transaction is already active"));
  QM_TRY(refuse_after_write_failure());
  const bool saved_autoflush = autoflush_;
  const bool saved_atomic = atomic_manifest_;
  QM_ASSIGN(std::unique_ptr<Transaction> tx, begin_transaction_of_kind(*this));
  tx->saved_autoflush = saved_autoflush;
  tx->saved_atomic_manifest = saved_atomic;
  autoflush_ = false;
  transaction_ = std::move(tx);
  return {};
}

Result<void> Database::commit_transaction() {
  if (!transaction_) return fail(QmError::transaction("no transaction is active"));
  // The commit's flush makes everything durable before the manifest names it (a memory
  // database has no manifest, so the flag changes nothing there).
  atomic_manifest_ = true;
  auto committed = transaction_->commit(*this);
  if (!committed && !transaction_->finished()) {
    atomic_manifest_ = transaction_->saved_atomic_manifest;
    return committed;
  }
  autoflush_ = transaction_->saved_autoflush;
  atomic_manifest_ = transaction_->saved_atomic_manifest;
  transaction_.reset();
  return committed;
}

Result<void> Database::rollback_transaction() {
  if (!transaction_) return fail(QmError::transaction("no transaction is active"));
  std::unique_ptr<Transaction> tx = std::move(transaction_);
  auto rolled = tx->rollback(*this);
  // A handle whose rollback failed holds something other than its database: every later
  // call but close is refused.
  if (!rolled) {
    if (!write_failure_) write_failure_ = rolled.error().message();
    reads_refused_ = true;
  }
  // Restored whatever the kind's rollback met: a handle whose rollback failed refuses
  // writes by itself (its write failure), whatever the flags say.
  autoflush_ = tx->saved_autoflush;
  atomic_manifest_ = tx->saved_atomic_manifest;
  return rolled;
}

Result<std::unique_ptr<Transaction>> begin_transaction_of_kind(Database& db) {
  if (!db.directory()) return TransactionHost::full_image_transactions(db) ? begin_memory_snapshot(db) : begin_memory_undo(db);
  const std::string dir = *db.directory();
  // A statement that opens its own transaction already holds the lock: the transaction
  // takes it over and releases it when it ends.
  TransactionLock lock = TransactionHost::take_mutation_lock(db);
  if (lock.held()) {
    QM_TRY(TransactionHost::hand_statement_to_transaction(db));
  } else {
    QM_ASSIGN(lock, acquire_transaction_lock(dir));
  }
  QM_TRY(begin_on_workspace(db, dir));
  // Chosen after the workspace was re-read: another handle may have turned the log on, and
  // a change made without a journal would be missing from the feed.
  if (db.logged()) return begin_page_journal(db, dir, std::move(lock));
  return begin_undo_file(db, dir, std::move(lock));
}

Result<void> begin_on_workspace(Database& db, const std::string& dir) {
  // A transaction of another handle that died is undone first, as the next open would;
  // then, if another handle committed since this one last read the workspace, start from
  // what is on disk, never from a stale copy that the flush below would write over it.
  QM_TRY(TransactionHost::recover_dead_transaction(db));
  QM_ASSIGN(bool changed, TransactionHost::workspace_stale(db));
  if (changed) {
    QM_TRY(TransactionHost::follow_workspace(db));
  } else {
    QM_TRY(TransactionHost::forget_replaced_files(db));
  }
  const bool saved_atomic = db.atomic_manifest();
  TransactionHost::set_atomic_manifest(db, true);
  TransactionHost::set_caller_holds_lock(db, true);
  // Nothing changed since the last atomic manifest write: the state is durable already.
  const bool flush = !db.last_write_atomic();
  auto flushed = flush ? db.flush() : Result<void>();
  TransactionHost::set_caller_holds_lock(db, false);
  TransactionHost::set_atomic_manifest(db, saved_atomic);
  QM_TRY(std::move(flushed));
  // The undo file names the manifest just written: its rename must be durable before any
  // page the transaction writes can be (a logged workspace's journal flushes the directory
  // at its own begin).
  if (flush && !db.logged()) QM_TRY(sync_directory(dir));
  return {};
}

WorkspaceTransaction::WorkspaceTransaction(Database& db, std::string dir, TransactionLock lock)
    : RecordingTransaction(db, TransactionHost::manifest_format_version(db), /*page_ids_only=*/true),
      dir_(std::move(dir)),
      lock_(std::move(lock)),
      manifest_at_begin_(TransactionHost::manifest_digest(db)),
      last_write_atomic_at_begin_(db.last_write_atomic()) {
  if (const auto* dev = db.store().cache.backend().workspace()) held_at_begin_ = dev->held_page_count();
}

bool WorkspaceTransaction::named_at_begin(const Database& db, const Digest& digest) const {
  const auto index = db.store().cas.find(digest);
  return index && *index < undo_.blob_count() && !db.store().cas.replaced_since_undo_began(*index);
}

Result<void> WorkspaceTransaction::rollback(Database& db) {
  finished_ = true;
  undo_.stop(db);
  TransactionHost::hold_manifest(db, false);
  storage::WorkspaceStore* dev = db.store().cache.backend().workspace();
  // From here nothing the transaction changed reaches a file: its page-write hook goes, and
  // no flush runs before the handle is restored.
  if (dev) (void)dev->take_journal();
  Result<void> files_back = dev ? put_back_files(db) : fail(QmError::corruption("rollback: no workspace store"));
  Result<void> restored = files_back ? restore_handle(db) : Result<void>(fail(files_back.error()));
  if (!restored) {
    TransactionHost::drop_storage(db);
    // The files are back but the record does not match the handle: the handle reads them
    // again. Files not known to be back are left to the recovery of the next open (or of the
    // next handle's locked step), which finds the kind's undo still there.
    if (files_back) restored = TransactionHost::reload_workspace(db, dir_);
  }
  lock_.release();
  if (restored) return {};
  TransactionHost::set_write_failure(db, restored.error().message());
  if (restored.error().is(ErrorKind::TransactionOutcomeUnknown)) return restored;
  return fail(QmError::outcome_unknown("transaction rollback failed after consuming its recovery state (" +
                                       restored.error().message() + ")"));
}

Result<void> WorkspaceTransaction::restore_handle(Database& db) {
  storage::PageCache& cache = db.store().cache;
  storage::WorkspaceStore* dev = cache.backend().workspace();
  // The pages changed or appended since begin leave the cache unwritten; the files hold their
  // old bytes again, and the pages appended are gone from them.
  if (!cache.forget_changes(undo_.pages(), dev->page_count()))
    return fail(QmError::corruption("rollback: the cache held a change the undo record does not know"));
  dev->rolled_back(undo_.page_limit(), held_at_begin_);
  QM_TRY(undo_.restore(db));
  db.store().cas.forget_pending_sync();
  if (!TransactionHost::manifest_restored(db, manifest_at_begin_, manifest_rewritten_, last_write_atomic_at_begin_))
    return fail(QmError::corruption("rollback: the manifest is not the one the transaction began from"));
  return TransactionHost::observers(db).rolled_back(db.catalog());
}

Result<bool> dead_transaction_marker_left(const std::string& dir) {
  QM_ASSIGN(auto marker, fs::get().lstat(fs::join(dir, kTxMarker)));
  if (marker) return true;
  QM_ASSIGN(auto journal, fs::get().lstat(fs::join(fs::join(dir, kCommitLogDir), "active")));
  return journal.has_value();
}

Result<bool> dead_transaction_left(const std::string& dir) {
  QM_ASSIGN(bool whole, dead_transaction_marker_left(dir));
  if (whole) return true;
  return statement_undo_left(dir);
}

Result<bool> recover_dead_transactions(const std::string& dir) {
  QM_ASSIGN(bool whole, dead_transaction_marker_left(dir));
  QM_TRY(recover_workspace_transaction(dir));
  // Then a statement or a transaction without a commit log that a dead process left half
  // written.
  QM_ASSIGN(bool restored, recover_statement_undo(dir));
  // A page journal left by a dead handle: under the lock nobody owns it, and until it is
  // undone its half-written pages would be read and every begin refused.
  QM_TRY(journal::recover(dir));
  return whole || restored;
}

Result<void> TransactionHost::reload_workspace(Database& db, const std::string& dir) {
  QM_ASSIGN(Database::Parts parts, Database::load_dev(dir));
  return db.adopt(std::move(parts));
}

Result<void> TransactionHost::restore_image(Database& db, std::string_view image) {
  QM_ASSIGN(Database::Parts parts, Database::import_parts(as_bytes(image)));
  return db.adopt(std::move(parts));
}

uint16_t TransactionHost::manifest_format_version(const Database& db) {
  uint16_t version = db.written_format_version(false);
  if (!db.catalog_.retrieval().empty()) version = std::max<uint16_t>(version, 8);
  if (db.logged()) version = std::max(version, kLoggedFormatVersion);
  return version;
}

bool TransactionHost::manifest_restored(Database& db, const std::optional<Digest>& digest, bool rewritten,
                                        bool last_write_atomic) {
  if (rewritten) {
    db.manifest_digest_ = digest;
    db.manifest_file_.reset();
    db.pin_holds_pairs_ = false;
    if (digest) db.note_manifest_identity(fs::join(*db.directory_, kManifestFile));
  } else if (db.manifest_digest_ != digest) {
    return false;
  }
  db.last_write_atomic_ = last_write_atomic;
  return true;
}

void TransactionHost::drop_storage(Database& db) {
  db.store_ = Store(storage::PageCache(storage::Backend(storage::MemoryStore()), kPageCacheCapacity),
                    storage::CasStore::new_memory());
  db.catalog_ = Catalog();
  db.manifest_file_.reset();
  db.manifest_pin_ = fs::File();
  db.retired_manifest_ = fs::File();
}

}  // namespace qm::db
