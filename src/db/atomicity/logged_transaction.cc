// The transaction of a commit-logged workspace. Begin (under the workspace lock,
// after the live state was flushed with an atomic manifest) starts the chunk store's page
// journal: from then on the store saves the before-image of every committed page it is about
// to overwrite. Commit flushes with an atomic manifest anchored to the journal's sequence,
// then turns the journal into the next commit of the log. Rollback lets the log undo the
// journal (which writes the manifest of begin again), removes the blob files the transaction
// created, and restores the handle from what the transaction recorded (transaction.h). The journal's files name no
// blob file, so a transaction whose process died leaves its new blob files unnamed.
//
// Invariants: the lock is held from begin to the end; a commit that passed the log's commit
// point ends the transaction even when it then fails (TransactionOutcomeUnknown); no flush
// is added beyond the log's own: the final flush leaves the chunk files and the manifest to
// the journal's commit, which flushes them with its record.
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/fs.h"
#include "db/atomicity/statement_undo.h"
#include "db/atomicity/transaction.h"
#include "journal/inventory.h"
#include "journal/page_journal.h"
#include "storage/workspace_store.h"

namespace qm::db {
namespace {

Result<storage::WorkspaceStore*> dev_store(Database& db) {
  storage::WorkspaceStore* dev = db.store().cache.backend().workspace();
  if (dev == nullptr) return fail(QmError::transaction("commit log requires a filesystem workspace"));
  return dev;
}

// The blob files the transaction's puts created, in memory: the rollback's to remove.
class CreatedBlobs final : public storage::NewBlobFileWatcher {
 public:
  Result<void> before_create(const Digest& digest) override {
    digests.push_back(digest);
    return {};
  }
  std::vector<Digest> digests;
};

class LoggedTransaction final : public WorkspaceTransaction {
 public:
  using WorkspaceTransaction::WorkspaceTransaction;

  // From now on the database's blob store tells this transaction of each file it creates.
  void watch_blobs(Database& db) { db.store().cas.watch_new_files(created_); }

  Result<void> commit(Database& db) override {
    QM_TRY(db.flush());
    QM_ASSIGN(storage::WorkspaceStore * dev, dev_store(db));
    auto committed = journal::commit_journal(*dev, &TransactionHost::log_tally(db));
    if (!committed) {
      if (committed.error().is(ErrorKind::TransactionOutcomeUnknown)) {
        finished_ = true;
        kept(db);
        lock_.release();
      }
      return committed;
    }
    finished_ = true;
    kept(db);
    lock_.release();
    return {};
  }

 private:
  Result<void> undo_journal() {
    const std::string header = fs::join(fs::join(fs::join(dir_, kCommitLogDir), "active"), "header");
    QM_ASSIGN(auto st, fs::get().lstat(header));
    if (!st || st->kind != fs::EntryKind::Regular)
      return fail(QmError::outcome_unknown("active page journal is missing"));
    return journal::recover(dir_);
  }

  Result<void> put_back_files(Database& db) override {
    QM_TRY(undo_journal());
    // The log wrote the manifest of begin again, as a new file.
    manifest_rewritten_ = true;
    // Cleanup once the state is back: a failure leaves files that no manifest names.
    (void)remove_unnamed_blobs(dir_, created_->digests, [&](const Digest& d) { return named_at_begin(db, d); });
    return {};
  }

  std::shared_ptr<CreatedBlobs> created_ = std::make_shared<CreatedBlobs>();
};

}  // namespace

Result<std::unique_ptr<Transaction>> begin_page_journal(Database& db, const std::string& dir, TransactionLock lock) {
  QM_ASSIGN(storage::WorkspaceStore * dev, dev_store(db));
  QM_TRY(journal::begin_journal(*dev, db.commit_log_options(), &TransactionHost::log_tally(db)));
  auto tx = std::make_unique<LoggedTransaction>(db, dir, std::move(lock));
  tx->watch_blobs(db);
  return std::unique_ptr<Transaction>(std::move(tx));
}

}  // namespace qm::db
