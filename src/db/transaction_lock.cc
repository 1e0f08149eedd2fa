#include "db/transaction_lock.h"

#include <cerrno>
#include <cstring>

namespace qm::db {
namespace {

QmError busy(const std::string& os_text) {
  return QmError::transaction("workspace transaction is active in another handle or process: " + os_text);
}

Result<fs::File> open_lock_file(const std::string& workspace) {
  return fs::get().open(fs::join(workspace, kTransactionLockFile), fs::kRead | fs::kWrite | fs::kCreate, 0666);
}

Result<void> take(const fs::File& file, bool shared) {
  auto locked = shared ? file.try_lock_shared() : file.try_lock_exclusive();
  if (!locked) return fail(busy(locked.error().detail));
  if (!*locked) return fail(busy(std::string(std::strerror(EWOULDBLOCK)) + " (os error " + std::to_string(EWOULDBLOCK) + ")"));
  return {};
}

Result<TransactionLock> acquire(const std::string& workspace, bool shared) {
  QM_ASSIGN(fs::File file, open_lock_file(workspace));
  QM_TRY(take(file, shared));
  return TransactionLock(std::move(file));
}

}  // namespace

void TransactionLock::release() {
  if (kept_) {
    (void)kept_->unlock();
    kept_.reset();
  }
  if (!file_.is_open()) return;
  (void)file_.unlock();
  file_.close();
}

Result<TransactionLock> acquire_kept_transaction_lock(std::shared_ptr<fs::File>& kept, const std::string& workspace) {
  if (!kept || !kept->is_open()) {
    QM_ASSIGN(fs::File file, open_lock_file(workspace));
    kept = std::make_shared<fs::File>(std::move(file));
  }
  QM_TRY(take(*kept, false));
  return TransactionLock(std::shared_ptr<const fs::File>(kept));
}

Result<TransactionLock> acquire_transaction_lock(const std::string& workspace) { return acquire(workspace, false); }

Result<TransactionLock> acquire_shared_transaction_lock(const std::string& workspace) {
  return acquire(workspace, true);
}

Result<void> lock_shared(fs::File& kept, const std::string& workspace) {
  if (!kept.is_open()) {
    QM_ASSIGN(kept, open_lock_file(workspace));
  }
  return take(kept, true);
}

}  // namespace qm::db
