// The undo-log transaction of a memory database: it keeps what rollback needs as the
// transaction goes (handle_undo.h), so begin, each write and commit cost what they change,
// not the size of the database.
//
// Rollback leaves the database as importing an image baked at begin would: the index entries
// are taken back newest first, the pages put back and the newer ones dropped, the blobs past
// the old count forgotten, every table rebuilt from its shell, and the cache flushed so every
// page is stamped as an import would find it.
#include <memory>
#include <utility>

#include "db/atomicity/handle_undo.h"
#include "db/atomicity/transaction.h"

namespace qm::db {
namespace {

class MemoryUndo final : public RecordingTransaction {
 public:
  // A rollback hands back what importing an image baked now would hold.
  explicit MemoryUndo(Database& db)
      : RecordingTransaction(db, TransactionHost::baked_format_version(db), /*page_ids_only=*/false) {}

  Result<void> commit(Database& db) override {
    QM_TRY(db.flush());
    undo_.keep(db);
    finished_ = true;
    return {};
  }

  Result<void> rollback(Database& db) override {
    finished_ = true;
    undo_.stop(db);
    auto restored = restore(db);
    if (!restored)
      return fail(QmError::outcome_unknown("transaction rollback failed after consuming its recovery state (" +
                                           restored.error().message() + ")"));
    return {};
  }

 private:
  Result<void> restore(Database& db) {
    // The pages first, the ones allocated since begin dropped before anything else: that
    // gives back most of what a statement that ran out of memory held, so the rest of the
    // rollback finds memory to work with. The cache only forgets those pages (it reads none).
    storage::PageCache& cache = db.store().cache;
    const uint64_t limit = undo_.page_limit();
    const uint64_t pages_now = cache.backend().page_count();
    if (auto* mem = cache.backend().memory()) mem->truncate(limit);
    cache.forget_pages(limit, pages_now);
    for (auto& [id, bytes] : undo_.pages().pages) QM_TRY(cache.write(id, *bytes));
    QM_TRY(undo_.restore(db));
    QM_TRY(cache.flush());
    return TransactionHost::observers(db).rolled_back(db.catalog());
  }
};

}  // namespace

Result<std::unique_ptr<Transaction>> begin_memory_undo(Database& db) {
  // Every page starts clean and stamped, so the bytes kept before a first change are the
  // bytes an image baked now would hold.
  QM_TRY(db.flush());
  return std::unique_ptr<Transaction>(std::make_unique<MemoryUndo>(db));
}

}  // namespace qm::db
