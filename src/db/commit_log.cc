// The commit log as the database offers it: turning it on, its status, the change feed and
// pruning. Turning it on writes nothing: the next transaction's page journal creates the log.
// Status and feed take no lock (the log re-reads a view that changed under it); pruning runs
// under the workspace transaction lock, so it never races a commit of another handle.
#include <algorithm>
#include <string>

#include "db/commit_log.h"

#include "db/database.h"
#include "db/transaction_lock.h"
#include "journal/feed.h"

namespace qm::db {

Result<void> enable_commit_log(Database& db, const CommitLogOptions& limits) {
  if (db.in_transaction()) return fail(QmError::transaction("cannot configure log during a transaction"));
  if (!db.directory_) return fail(QmError::transaction("commit log requires a filesystem workspace"));
  if (!journal::valid_limits(limits)) return fail(QmError::resource_limit("invalid commit-log limits"));
  db.commit_log_ = limits;
  // The next begin must write the manifest atomically, now anchored to the log.
  db.last_write_atomic_ = false;
  db.format_version_ = std::max(db.format_version_, kLoggedFormatVersion);
  return {};
}

Result<journal::CommitLogStatus> commit_log_status(const Database& db) {
  if (!db.commit_log_) return fail(QmError::transaction("commit log is not enabled; call enable_commit_log first"));
  if (!db.directory_) return fail(QmError::transaction("commit log requires a filesystem workspace"));
  return journal::status(*db.directory_, *db.commit_log_);
}

Result<std::string> changes_since_json(const Database& db, uint64_t after, uint64_t max) {
  if (!db.directory_) return fail(QmError::transaction("change stream requires a filesystem workspace"));
  QM_ASSIGN(auto batch, journal::changes(*db.directory_, after, max));
  return journal::changes_json(batch);
}

Result<void> prune_changes(Database& db, uint64_t through) {
  if (db.in_transaction()) return fail(QmError::transaction("cannot prune during a transaction"));
  if (!db.directory_) return fail(QmError::transaction("change stream requires a filesystem workspace"));
  QM_ASSIGN(TransactionLock lock, acquire_transaction_lock(*db.directory_));
  auto pruned = journal::prune(*db.directory_, through, &db.log_tally_);
  lock.release();
  return pruned;
}

}  // namespace qm::db
