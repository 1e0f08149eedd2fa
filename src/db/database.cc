// Database: construction from loaded parts, the replacement of parts at reload and
// rollback, the storage mode, and the guards that open and close every low-level mutation.
#include "db/database.h"

#include "core/fs.h"
#include "db/statement_undo.h"
#include "db/transaction/transaction.h"

namespace qm::db {

const char* storage_mode_name(StorageMode mode) {
  switch (mode) {
    case StorageMode::Development: return "development";
    case StorageMode::Memory: return "memory";
    case StorageMode::Production: return "production";
    case StorageMode::Streamed: return "streamed";
  }
  return "memory";
}

Database::Database(Parts parts)
    : clock_(parts.clock),
      format_version_(parts.format_version),
      manifest_digest_(std::move(parts.manifest_digest)),
      manifest_identity_(parts.manifest_identity),
      catalog_(std::move(parts.catalog)),
      store_(std::move(parts.store)) {}

Database::Database(Database&&) noexcept = default;
Database& Database::operator=(Database&&) noexcept = default;
Database::~Database() = default;

Result<void> Database::adopt(Parts parts) {
  store_ = std::move(parts.store);
  catalog_ = std::move(parts.catalog);
  clock_ = parts.clock;
  format_version_ = parts.format_version;
  manifest_digest_ = std::move(parts.manifest_digest);
  manifest_identity_ = parts.manifest_identity;
  manifest_file_.reset();
  last_write_atomic_ = false;
  write_failure_.reset();
  reads_refused_ = false;
  pairs_pending_ = false;
  files_unsynced_ = directory_.has_value();
  return observers_.catalog_replaced(catalog_);
}

Database Database::open_memory() {
  return Database(Parts{Store(storage::PageCache(storage::Backend(storage::MemStore()), kPageCacheCapacity),
                              storage::CasStore::new_memory()),
                        Catalog(), 0, 1, std::nullopt, fs::Stat{}});
}

StorageMode Database::storage_mode() const {
  switch (store_.cache.backend().kind()) {
    case storage::Backend::Kind::Dev: return StorageMode::Development;
    case storage::Backend::Kind::Mem: return StorageMode::Memory;
    case storage::Backend::Kind::Monolith: return StorageMode::Production;
    case storage::Backend::Kind::Remote: return StorageMode::Streamed;
  }
  return StorageMode::Memory;
}

Result<Database::MutationScope> Database::begin_mutation() {
  if (commit_log_ && !transaction_)
    return fail(QmError::transaction(
        "low-level mutations on a logged workspace require an explicit transaction; SQL queries are atomic "
        "automatically"));
  if (read_only()) return fail(QmError::read_only());
  QM_TRY(refuse_after_write_failure());
  MutationScope scope(nullptr);
  if (directory_ && !transaction_ && !mutation_lock_.held()) {
    // Hold the workspace lock until the mutation is flushed, so no other handle commits in
    // between; and never write over what another handle committed since we last looked.
    QM_ASSIGN(mutation_lock_, acquire_transaction_lock(*directory_));
    scope = MutationScope(this);
    // A statement of a handle that died is undone before anything is compared or written.
    auto* dev = store_.cache.backend().dev();
    QM_ASSIGN(bool restored, recover_statement_undo(*directory_));
    if (restored && dev) dev->close_files();
    QM_ASSIGN(bool changed, workspace_changed());
    if (changed)
      return fail(QmError::transaction(
          "the workspace was changed by another handle or process; reopen the database to see its changes"));
    QM_TRY(forget_replaced_files());
    statement_changed_ = false;
    if (dev && !commit_log_ && autoflush_)
      dev->install_journal(std::make_unique<StatementUndo>(*directory_, dev->page_count(), manifest_digest_));
  }
  last_write_atomic_ = false;
  return scope;
}

Result<void> Database::end_mutation() {
  if (!autoflush_) return {};
  statement_flush_ = !transaction_;
  auto flushed = flush();
  statement_flush_ = false;
  if (transaction_) return flushed;
  if (!flushed) {
    // The statement is undone whole: its saved pages go back and the workspace is re-read,
    // so this handle shows what the disk holds.
    auto undone = undo_statement();
    if (!undone) {
      write_failure_ = flushed.error().message();
      reads_refused_ = true;
    }
    return flushed;
  }
  statement_changed_ = false;
  if (auto* undo = statement_undo()) undo->published(store_.cache.backend().page_count(), manifest_digest_);
  return flushed;
}

StatementUndo* Database::statement_undo() {
  auto* dev = store_.cache.backend().dev();
  return dev ? dynamic_cast<StatementUndo*>(dev->journal()) : nullptr;
}

Result<void> Database::undo_statement() {
  if (auto* dev = store_.cache.backend().dev(); dev && statement_undo()) (void)dev->take_journal();
  statement_changed_ = false;
  QM_TRY(recover_statement_undo(*directory_));
  QM_ASSIGN(Parts parts, load_dev(*directory_));
  return adopt(std::move(parts));
}

void Database::finish_statement() {
  StatementUndo* undo = statement_undo();
  if (autoflush_ && (statement_changed_ || (undo && undo->saved_any()))) {
    auto undone = undo_statement();
    if (!undone) {
      write_failure_ = undone.error().message();
      reads_refused_ = true;
    }
  }
  if (auto* dev = store_.cache.backend().dev(); dev && statement_undo()) (void)dev->take_journal();
  mutation_lock_.release();
}

Result<void> Database::refuse_unreadable() const {
  if (reads_refused_)
    return fail(QmError::transaction("a failed write of this handle could not be undone (" +
                                     write_failure_.value_or("") + "); reopen the database"));
  return {};
}

Result<void> Database::refuse_after_write_failure() const {
  if (write_failure_)
    return fail(QmError::transaction("an earlier write of this handle could not be completed (" + *write_failure_ +
                                     "); reopen the database"));
  return {};
}

Result<bool> Database::workspace_changed() const {
  const std::string path = fs::join(*directory_, kManifestFile);
  QM_ASSIGN(auto st, fs::get().stat(path));
  if (!st) return manifest_digest_.has_value();
  if (!manifest_digest_) return true;
  // Manifests are replaced by rename, never rewritten in place: the same file, size and
  // status-change time is the manifest last read or written, without reading it again
  // (which would cost time in proportion to its index entries on every statement).
  const fs::Stat& seen = manifest_identity_;
  if (st->ctime_ns != 0 && st->device == seen.device && st->inode == seen.inode && st->size == seen.size &&
      st->ctime_ns == seen.ctime_ns)
    return false;
  QM_ASSIGN(std::string text, fs::read_file(path));
  return blake3(text) != *manifest_digest_;
}

}  // namespace qm::db
