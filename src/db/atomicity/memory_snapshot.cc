// The memory-snapshot transaction of a memory database: at begin the whole database is
// baked into one image held in memory; commit keeps the live state (nothing to publish);
// rollback rebuilds the parts from the image. No file and no lock is involved.
#include <string>
#include <utility>

#include "db/atomicity/transaction.h"

namespace qm::db {
namespace {

class MemorySnapshot final : public Transaction {
 public:
  explicit MemorySnapshot(std::string image) : image_(std::move(image)) {}

  Result<void> commit(Database& db) override {
    QM_TRY(db.flush());
    finished_ = true;
    return {};
  }

  Result<void> rollback(Database& db) override {
    finished_ = true;
    auto restored = TransactionHost::restore_image(db, image_);
    if (!restored)
      return fail(QmError::outcome_unknown("transaction rollback failed after consuming its recovery state (" +
                                           restored.error().message() + ")"));
    return {};
  }

  std::string image_;
};

}  // namespace

Result<std::unique_ptr<Transaction>> begin_memory_snapshot(Database& db) {
  QM_ASSIGN(std::string image, db.bake_to_bytes());
  return std::unique_ptr<Transaction>(std::make_unique<MemorySnapshot>(std::move(image)));
}

std::string* memory_snapshot_image(Transaction* tx) {
  auto* snapshot = dynamic_cast<MemorySnapshot*>(tx);
  return snapshot ? &snapshot->image_ : nullptr;
}

}  // namespace qm::db
