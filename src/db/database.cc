// Database: construction from loaded parts, the replacement of parts at reload and
// rollback, the storage mode, and the guards that open and close every low-level mutation.
#include "db/database.h"

#include <ctime>

#include "core/fs.h"
#include "db/live_row_counts.h"
#include "db/transaction/copy_tree_files.h"
#include "db/retrieval_maintenance.h"
#include "db/transaction/transaction.h"

namespace qm::db {
namespace {

// Far longer than the tick of a file system's change-time clock (one timer tick at most), and
// short enough that reads soon after a write of a large catalog stop re-reading its text.
constexpr uint64_t kSettledAfterNs = 100'000'000;

}  // namespace

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
      store_(std::move(parts.store)) {
  auto counts = std::make_unique<LiveRowCounts>();
  live_row_counts_ = counts.get();
  observers_.add(std::move(counts));
  retrieval_pending_ = std::make_shared<RetrievalPending>();
  retrieval_pending_->refresh(catalog_);
  observers_.add(make_retrieval_collector(retrieval_pending_));
}

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
  identity_settled_ = false;
  // Another handle may have turned the log on: its anchor must never be written away.
  if (parts.logged && !commit_log_) commit_log_ = CommitLogOptions{};
  manifest_file_.reset();
  last_write_atomic_ = false;
  write_failure_.reset();
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
    QM_TRY(recover_dead_transaction());
    QM_ASSIGN(bool changed, workspace_changed());
    if (changed)
      return fail(QmError::transaction(
          "the workspace was changed by another handle or process; reopen the database to see its changes"));
    QM_TRY(forget_replaced_files());
  }
  last_write_atomic_ = false;
  return scope;
}

Result<void> Database::end_mutation() {
  if (!autoflush_) return {};
  auto flushed = flush();
  if (!flushed && !transaction_) write_failure_ = flushed.error().message();
  return flushed;
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
  QM_ASSIGN(std::string text, fs::read_file(path));
  return blake3(text) != *manifest_digest_;
}

Result<bool> Database::workspace_stale() const {
  const std::string path = fs::join(*directory_, kManifestFile);
  QM_ASSIGN(auto st, fs::get().stat(path));
  if (!st) return manifest_digest_.has_value();
  if (!manifest_digest_) return true;
  const fs::Stat& seen = manifest_identity_;
  if (st->device != seen.device || st->inode != seen.inode || st->ctime_ns != seen.ctime_ns ||
      st->size != seen.size)
    return true;
  if (identity_settled_) return false;
  // Two writes within one tick of the file clock leave the change time alone: the text decides
  // until the change time lies far enough back that no write can share its tick any more.
  QM_ASSIGN(bool changed, workspace_changed());
  if (!changed && st->ctime_ns != 0) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const uint64_t now_ns = uint64_t(now.tv_sec) * 1000000000u + uint64_t(now.tv_nsec);
    if (now_ns > st->ctime_ns && now_ns - st->ctime_ns > kSettledAfterNs) identity_settled_ = true;
  }
  return changed;
}

Result<void> Database::recover_dead_transaction() {
  QM_ASSIGN(bool leftover, dead_transaction_left(*directory_));
  if (!leftover) return {};
  // Whatever this handle holds may have been read from the dead transaction's files.
  manifest_digest_.reset();
  return recover_dead_transactions(*directory_);
}

Result<void> Database::refresh_if_stale() {
  QM_ASSIGN(bool stale, workspace_stale());
  if (!stale) return {};
  std::optional<std::string> failure = write_failure_;
  QM_ASSIGN(Parts parts, load_dev(*directory_));
  QM_TRY(adopt(std::move(parts)));
  write_failure_ = std::move(failure);
  return {};
}

void Database::note_manifest_identity(const std::string& path) {
  auto st = fs::get().stat(path);
  manifest_identity_ = st && *st ? **st : fs::Stat{};
  identity_settled_ = false;
}

Result<Database::WorkspaceAccess> Database::enter_workspace(bool write) {
  WorkspaceAccess access;
  if (!directory_ || transaction_ || mutation_lock_.held()) return access;
  if (!write) {
    QM_TRY(lock_shared(read_lock_file_, *directory_));
    access.shared_ = &read_lock_file_;
    QM_ASSIGN(bool leftover, dead_transaction_left(*directory_));
    if (!leftover) {
      QM_TRY(refresh_if_stale());
      return access;
    }
    // Files of a transaction nobody's exclusive lock covers: a dead one, undone below.
    access.release_shared();
  }
  QM_ASSIGN(mutation_lock_, acquire_transaction_lock(*directory_));
  access.exclusive_ = MutationScope(this);
  QM_TRY(recover_dead_transaction());
  QM_TRY(refresh_if_stale());
  return access;
}

}  // namespace qm::db
