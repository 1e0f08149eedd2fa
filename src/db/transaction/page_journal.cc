// The page-journal transaction of a commit-logged workspace. This build cannot run one: its
// begin does the shared workspace start (so a dead handle's transaction is still undone and
// the live state flushed) and then refuses, and a rollback that ever found one open reports
// its journal missing. The commit log's journal of first page writes plugs in here.
#include <string>
#include <utility>

#include "db/transaction/transaction.h"

namespace qm::db {
namespace {

class PageJournal final : public Transaction {
 public:
  Result<void> commit(Database& db) override {
    (void)db;
    return fail(QmError::transaction("commit-logged workspaces are not supported by this build"));
  }

  Result<void> rollback(Database& db) override {
    finished_ = true;
    TransactionHost::drop_storage(db);
    QmError missing = QmError::outcome_unknown("active page journal is missing");
    TransactionHost::set_write_failure(db, missing.message());
    return fail(std::move(missing));
  }
};

}  // namespace

Result<std::unique_ptr<Transaction>> begin_page_journal(Database& db, const std::string& dir, TransactionLock lock) {
  QM_TRY(begin_on_workspace(db, dir));
  lock.release();
  return fail(QmError::transaction("commit-logged workspaces are not supported by this build"));
}

}  // namespace qm::db
