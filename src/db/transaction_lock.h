// The workspace transaction lock: an exclusive, non-blocking advisory lock (flock) on
// `.qm_transaction.lock` in the workspace directory. It serialises the repair at open and
// every workspace transaction across handles and processes; two handles of one process
// exclude each other too, since each opens the file itself. The lock is never waited for.
// The file is never deleted and its content never read or written. Readers outside a
// transaction hold it shared, so a writer never changes files under a read and a reader never
// sees another handle's unfinished work.
#pragma once

#include <memory>
#include <string>

#include "core/error.h"
#include "core/fs.h"
#include "table/limits.h"

namespace qm::db {


class TransactionLock {
 public:
  TransactionLock() = default;
  explicit TransactionLock(fs::File file) : file_(std::move(file)) {}
  // A lock taken on a lock file its handle keeps open: release unlocks it and leaves it open.
  explicit TransactionLock(std::shared_ptr<const fs::File> kept) : kept_(std::move(kept)) {}
  ~TransactionLock() { release(); }
  TransactionLock(TransactionLock&&) noexcept = default;
  TransactionLock& operator=(TransactionLock&& o) noexcept {
    if (this != &o) {
      release();
      file_ = std::move(o.file_);
      kept_ = std::move(o.kept_);
    }
    return *this;
  }

  bool held() const { return file_.is_open() || kept_ != nullptr; }
  // Unlocks (errors ignored) and closes the file unless its handle keeps it; never fails.
  void release();

 private:
  fs::File file_;
  std::shared_ptr<const fs::File> kept_;
};

// Opens (creating, mode 0666) and locks the workspace's lock file. An open failure is Io; a
// lock held elsewhere (or any locking failure) is Transaction
// "workspace transaction is active in another handle or process: {os text}".
Result<TransactionLock> acquire_transaction_lock(const std::string& workspace);
// The same file locked shared: held by a handle while it reads the workspace outside a
// transaction, so no writer (which takes it exclusively) changes the files under the read,
// while other readers go on. Busy (the same Transaction text) while a writer holds it.
Result<TransactionLock> acquire_shared_transaction_lock(const std::string& workspace);
// The same shared lock through a handle's own lock file, opened on first use and kept open
// (a read takes no open and close of its own); released by unlocking it.
Result<void> lock_shared(fs::File& kept, const std::string& workspace);
// The exclusive lock on the lock file the handle keeps open in `kept` (opened on first need),
// so a statement costs no open and close of it. Another handle's lock still excludes it: each
// handle has its own open file.
Result<TransactionLock> acquire_kept_transaction_lock(std::shared_ptr<fs::File>& kept, const std::string& workspace);

}  // namespace qm::db
