// Database: construction from loaded parts, the replacement of parts at reload and
// rollback, the storage mode, and the guards that open and close every low-level mutation.
#include "db/database.h"

#include <ctime>

#include "core/fs.h"
#include "db/atomicity/statement_undo.h"
#include "db/file_closer.h"
#include "table/live_row_counts.h"
#include "db/atomicity/copy_tree_files.h"
#include "db/retrieval_maintenance.h"
#include "db/atomicity/transaction.h"

namespace qm::db {
namespace {

// Far longer than the tick of a file system's change-time clock (one timer tick at most), and
// short enough that reads soon after a write of a large catalog stop re-reading its text.
constexpr uint64_t kSettledAfterNs = 100'000'000;

}  // namespace

const char* storage_mode_name(StorageMode mode) {
  switch (mode) {
    case StorageMode::Workspace: return "development";
    case StorageMode::Memory: return "memory";
    case StorageMode::Image: return "production";
    case StorageMode::StreamedImage: return "streamed";
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
  manifest_pin_ = fs::File();
  retired_manifest_ = fs::File();
  last_write_atomic_ = false;
  write_failure_.reset();
  reads_refused_ = false;
  pairs_pending_ = false;
  same_manifest_file_ = false;
  files_unsynced_ = directory_.has_value();
  return observers_.catalog_replaced(catalog_);
}

Database Database::open_memory() {
  return Database(Parts{Store(storage::PageCache(storage::Backend(storage::MemoryStore()), kPageCacheCapacity),
                              storage::CasStore::new_memory()),
                        Catalog(), 0, 1, std::nullopt, fs::Stat{}});
}

StorageMode Database::storage_mode() const {
  switch (store_.cache.backend().kind()) {
    case storage::Backend::Kind::Workspace: return StorageMode::Workspace;
    case storage::Backend::Kind::Memory: return StorageMode::Memory;
    case storage::Backend::Kind::Image: return StorageMode::Image;
    case storage::Backend::Kind::StreamedImage: return StorageMode::StreamedImage;
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
    QM_ASSIGN(mutation_lock_, acquire_kept_transaction_lock(lock_file_, *directory_));
    scope = MutationScope(this);
    QM_TRY(recover_dead_transaction());
    QM_ASSIGN(bool changed, workspace_changed());
    if (changed)
      return fail(QmError::transaction(
          "the workspace was changed by another handle or process; reopen the database to see its changes"));
    QM_TRY(start_statement());
  }
  last_write_atomic_ = false;
  return scope;
}

Result<void> Database::start_statement() {
  // The check just made under this lock already proved the manifest is the file this handle
  // last read or wrote: its cached files are still the workspace's.
  if (!std::exchange(same_manifest_file_, false)) QM_TRY(forget_replaced_files());
  statement_changed_ = false;
  // Outside a transaction on an unlogged workspace, the old bytes of each page the statement
  // overwrites are saved first, so a refused write or a killed process can be undone.
  auto* dev = store_.cache.backend().workspace();
  if (dev && !commit_log_ && autoflush_) {
    auto undo = std::make_unique<PageUndoFile>(*directory_, dev->page_count(), manifest_digest_, undo_file_);
    store_.cas.watch_new_files(undo->blob_watcher());
    dev->install_journal(std::move(undo));
  }
  return {};
}

Result<void> Database::end_mutation() {
  if (!autoflush_ || hold_flushes_) return {};
  auto flushed = flush();
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

bool Database::writes_within_statement(std::string_view table) {
  (void)table;  // a table's retrieval indexes follow within the statement too: a failed one re-reads them
  return directory_ && !transaction_ && !commit_log_ && autoflush_ && mutation_lock_.held() && statement_undo();
}

PageUndoFile* Database::statement_undo() {
  auto* dev = store_.cache.backend().workspace();
  auto* undo = dev ? dynamic_cast<PageUndoFile*>(dev->journal()) : nullptr;
  return undo && !undo->forced() ? undo : nullptr;  // a transaction's is its own
}

Result<void> Database::undo_statement() {
  if (auto* dev = store_.cache.backend().workspace(); dev && statement_undo()) (void)dev->take_journal();
  statement_changed_ = false;
  QM_TRY(recover_statement_undo(*directory_));
  QM_ASSIGN(Parts parts, load_dev(*directory_));
  return adopt(std::move(parts));
}

Result<void> Database::hand_statement_to_transaction() {
  PageUndoFile* undo = statement_undo();
  if (statement_changed_ || (undo && undo->saved_any())) QM_TRY(undo_statement());
  if (auto* dev = store_.cache.backend().workspace(); dev && statement_undo()) (void)dev->take_journal();
  statement_changed_ = false;
  return {};
}

void Database::finish_statement() {
  PageUndoFile* undo = statement_undo();
  if (autoflush_ && (statement_changed_ || (undo && undo->saved_any()))) {
    auto undone = undo_statement();
    if (!undone) {
      write_failure_ = undone.error().message();
      reads_refused_ = true;
    }
  }
  if (auto* dev = store_.cache.backend().workspace(); dev && statement_undo()) (void)dev->take_journal();
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

Result<Database::ManifestLook> Database::look_at_manifest() const {
  same_manifest_file_ = false;
  QM_ASSIGN(auto st, fs::get().stat(fs::join(*directory_, kManifestFile)));
  if (!st) return ManifestLook{manifest_digest_.has_value(), {}, false};
  same_manifest_file_ = st->device == manifest_identity_.device && st->inode == manifest_identity_.inode;
  if (!manifest_digest_) return ManifestLook{true, {}, false};
  const fs::Stat& seen = manifest_identity_;
  const bool same_status = st->device == seen.device && st->inode == seen.inode && st->size == seen.size &&
                           st->ctime_ns == seen.ctime_ns;
  return ManifestLook{std::nullopt, *st, same_status};
}

Result<bool> Database::workspace_changed() const {
  QM_ASSIGN(ManifestLook look, look_at_manifest());
  if (look.decided) return *look.decided;
  // Manifests are replaced by rename, never rewritten in place: the same file, size and
  // status-change time is the manifest last read or written, without reading it again
  // (which would cost time in proportion to its index entries on every statement), while
  // this handle holds that file open (no other file can take its numbers), or once that
  // change time lies far enough back that no later write can share its tick.
  if (look.same_status && (manifest_pin_.is_open() || (identity_settled_ && look.st.ctime_ns != 0))) return false;
  QM_ASSIGN(std::string text, fs::read_file(fs::join(*directory_, kManifestFile)));
  return blake3(text) != *manifest_digest_;
}

Result<bool> Database::workspace_stale() const {
  QM_ASSIGN(ManifestLook look, look_at_manifest());
  if (look.decided) return *look.decided;
  if (!look.same_status) return true;
  const fs::Stat& st = look.st;
  if (identity_settled_ || manifest_pin_.is_open()) return false;
  // Two writes within one tick of the file clock leave the change time alone: the text decides
  // until the change time lies far enough back that no write can share its tick any more.
  QM_ASSIGN(bool changed, workspace_changed());
  if (!changed && st.ctime_ns != 0) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const uint64_t now_ns = uint64_t(now.tv_sec) * 1000000000u + uint64_t(now.tv_nsec);
    if (now_ns > st.ctime_ns && now_ns - st.ctime_ns > kSettledAfterNs) identity_settled_ = true;
  }
  return changed;
}

Result<void> Database::recover_dead_transaction() {
  QM_ASSIGN(bool leftover, dead_transaction_left(*directory_));
  if (!leftover) return {};
  // Whatever this handle holds may have been read from the dead transaction's files. A
  // statement's undo file alone (possibly this handle's own, left by a failed removal) only
  // matters when it puts pages back.
  QM_ASSIGN(bool whole, dead_transaction_marker_left(*directory_));
  if (whole) manifest_digest_.reset();
  manifest_pin_ = fs::File();
  QM_ASSIGN(bool restored, recover_dead_transactions(*directory_));
  if (restored) {
    manifest_digest_.reset();
    // Pages were put back under file handles this store may hold open.
    if (auto* dev = store_.cache.backend().workspace()) dev->close_files();
  }
  return {};
}

Result<void> Database::refresh_if_stale() {
  QM_ASSIGN(bool stale, workspace_stale());
  if (!stale) return {};
  return follow_or_reload();
}

void Database::note_manifest_identity(const std::string& path) {
  identity_settled_ = false;
  manifest_pin_ = fs::File();
  // Under the lock nobody else replaces it in between: the file opened is the one written.
  if (auto file = fs::get().open(path, fs::kRead)) {
    if (auto st = file->stat()) {
      manifest_identity_ = *st;
      manifest_pin_ = std::move(*file);
      return;
    }
  }
  auto st = fs::get().stat(path);
  manifest_identity_ = st && *st ? **st : fs::Stat{};
}

Result<Database::WorkspaceAccess> Database::enter_workspace(bool write) {
  WorkspaceAccess access;
  if (!directory_ || transaction_ || mutation_lock_.held()) return access;
  if (!write) {
    if (!lock_file_) lock_file_ = std::make_shared<fs::File>();
    QM_TRY(lock_shared(*lock_file_, *directory_));
    access.shared_ = lock_file_.get();
    QM_ASSIGN(bool leftover, dead_transaction_left(*directory_));
    if (!leftover) {
      QM_TRY(refresh_if_stale());
      return access;
    }
    // Files of a transaction nobody's exclusive lock covers: a dead one, undone below.
    access.release_shared();
  }
  QM_ASSIGN(mutation_lock_, acquire_kept_transaction_lock(lock_file_, *directory_));
  access.exclusive_ = MutationScope(this);
  QM_TRY(recover_dead_transaction());
  QM_TRY(refresh_if_stale());
  if (write) QM_TRY(start_statement());
  return access;
}

}  // namespace qm::db
