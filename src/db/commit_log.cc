// The commit log as the database offers it: turning it on, its status, the change feed and
// pruning. Turning it on writes nothing: the next transaction's page journal creates the log.
// Status and feed take no lock (the log re-reads a view that changed under it); pruning runs
// under the workspace transaction lock, so it never races a commit of another handle.
#include <algorithm>
#include <string>

#include "db/database.h"
#include "db/transaction_lock.h"
#include "journal/feed.h"

namespace qm::db {

Result<void> Database::enable_commit_log(const CommitLogOptions& limits) {
  if (in_transaction()) return fail(QmError::transaction("cannot configure log during a transaction"));
  if (!directory_) return fail(QmError::transaction("commit log requires a filesystem workspace"));
  if (!journal::valid_limits(limits)) return fail(QmError::resource_limit("invalid commit-log limits"));
  commit_log_ = limits;
  // The next begin must write the manifest atomically, now anchored to the log.
  last_write_atomic_ = false;
  format_version_ = std::max(format_version_, kLoggedFormatVersion);
  return {};
}

Result<journal::CommitLogStatus> Database::commit_log_status() const {
  if (!commit_log_) return fail(QmError::transaction("commit log is not enabled; call enable_commit_log first"));
  if (!directory_) return fail(QmError::transaction("commit log requires a filesystem workspace"));
  return journal::status(*directory_, *commit_log_);
}

Result<std::string> Database::changes_since_json(uint64_t after, uint64_t max) const {
  if (!directory_) return fail(QmError::transaction("change stream requires a filesystem workspace"));
  QM_ASSIGN(auto batch, journal::changes(*directory_, after, max));
  return journal::changes_json(batch);
}

Result<void> Database::prune_changes(uint64_t through) {
  if (in_transaction()) return fail(QmError::transaction("cannot prune during a transaction"));
  if (!directory_) return fail(QmError::transaction("change stream requires a filesystem workspace"));
  QM_ASSIGN(TransactionLock lock, acquire_transaction_lock(*directory_));
  auto pruned = journal::prune(*directory_, through, &log_tally_);
  lock.release();
  return pruned;
}

}  // namespace qm::db
