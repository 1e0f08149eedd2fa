// Database: one open database, owned by the C handle from open to close; the narrow face the
// exports use. Behind it, parts with one job each: the store (page cache over its backend,
// blob store; table/store.h), the catalog (tables and their indexes; table/catalog.h), the
// open transaction (one implementation per kind; db/atomicity/), the write path with its
// observers (db/write_path.h, table/write_observers.h) and the statement executor (query/,
// free functions over this interface). It also holds the database clock, the format version held
// since open, the workspace's file state and the flush flags.
//
// Invariants:
// - the storage mode follows from the backend: a workspace is "development" (with a
//   directory), memory is "memory" (no directory), an image is "production" (read-only, no
//   directory) and a streamed image "streamed";
// - `autoflush` is set only on a workspace with no transaction open; every low-level mutation
//   starts with begin_mutation() and ends with end_mutation(), which flushes when it is set,
//   so outside a transaction every finished mutation has reached the chunk files and the
//   manifest (nothing is flushed at close);
// - `atomic_manifest` selects the crash-safe manifest write (temporary file, flush, rename)
//   and makes the chunk files and blob files durable before the manifest names them;
// - `last_write_atomic` is true only while nothing has changed since an atomic manifest write;
// - outside a transaction, every statement and export on a workspace runs inside a
//   WorkspaceAccess: under the transaction lock (shared for reads), after a dead handle's
//   transaction was undone and after what another handle changed was read again; so the cache
//   never holds another handle's unfinished work and nothing stale is written back;
// - members are declared so that destruction drops the cache first and the transaction (with
//   its lock) last;
// - a reload (another handle committed) replaces the store, the catalog, the clock and the
//   format version together (`adopt`), never the object as a whole, so the observers, the
//   open transaction slot and the workspace identity survive it; a commit of another handle
//   that can be followed in place (db/catch_up.cc) leaves the handle as that reload would; a
//   rollback puts them back in place (db/atomicity/handle_undo.h), or reloads when that
//   cannot be trusted.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <map>
#include <optional>
#include <span>
#include <type_traits>
#include <string>
#include <utility>
#include <vector>

#include "core/blake3.h"
#include "core/error.h"
#include "core/fs.h"
#include "core/query_result.h"
#include "table/query_budget.h"
#include "sql/statement.h"
#include "table/catalog.h"
#include "table/limits.h"
#include "table/manifest.h"
#include "table/store.h"
#include "db/atomicity/statement_undo.h"
#include "db/stats.h"
#include "table/table.h"
#include "db/transaction_lock.h"
#include "table/write_observers.h"
#include "journal/feed.h"
#include "retrieval/definition.h"
#include "storage/cas_store.h"
#include "storage/page_cache.h"

namespace qm::retrieval {
struct ReadNeeds;
struct Selection;
}  // namespace qm::retrieval
namespace qm::db {

enum class StorageMode : uint8_t { Workspace, Memory, Image, StreamedImage };
// "development", "memory", "production", "streamed".
const char* storage_mode_name(StorageMode mode);

class FileCloser;
class Transaction;
class TransactionHost;
class StatementUndo;
class LiveRowCounts;
struct RetrievalPending;

class Database {
 public:
  // Opens or creates the workspace directory at `path`.
  static Result<Database> open_workspace(const std::string& path);
  // Opens a single-file image read-only (from a private copy of the file).
  static Result<Database> open_image(const std::string& path);
  // A new, empty memory database.
  static Database open_memory();
  // A new writable memory database from image bytes (copied).
  static Result<Database> import_bytes(std::span<const uint8_t> image);
  // The same over an image handed over whole: its blobs are lent from those bytes instead of
  // copied, so they must never change while the database (or a copy of it) lives; the
  // shared owner keeps them until the last one goes.
  static Result<Database> import_lent(std::shared_ptr<const fs::Mapping> image);

  Database(Database&&) noexcept;
  Database& operator=(Database&&) noexcept;
  ~Database();

  StorageMode storage_mode() const;
  bool read_only() const { return store_.cache.backend().read_only(); }
  bool logged() const { return commit_log_.has_value(); }
  bool in_transaction() const { return transaction_ != nullptr; }
  // Fails when the handle no longer holds its database (a failed write could not be undone,
  // or a rollback could not put the handle back): every call but close is refused then.
  Result<void> refuse_unreadable() const;
  // The database clock: the last transaction value taken.
  uint64_t clock() const { return clock_; }
  const std::optional<std::string>& directory() const { return directory_; }
  // The flush flags (see the invariants above); the transaction kinds save and restore them.
  bool autoflush() const { return autoflush_; }
  bool atomic_manifest() const { return atomic_manifest_; }
  bool last_write_atomic() const { return last_write_atomic_; }

  // The parts. Table rows and indexes change only through the write path below.
  const Catalog& catalog() const { return catalog_; }
  Catalog& catalog() { return catalog_; }
  const Store& store() const { return store_; }
  Store& store() { return store_; }

  // Whether each low-level mutation flushes at its end; the transaction kinds turn it off
  // for their duration and put it back when they end.
  void set_autoflush(bool on) { autoflush_ = on; }

  // ---- flush and manifest --------------------------------------------------------------
  // Writes tail pages and dirty pages to the backend and, on a workspace, the manifest (in
  // place, or atomically with the chunk and blob files made durable first when
  // `atomic_manifest` is set). Does nothing on a production image.
  Result<void> flush();

  // The end of a handle's life on a workspace: when the last manifest written carries no
  // index pairs (each statement's and each commit's does not), it is written once more with
  // them, so a workspace closed normally opens without rescanning its indexed tables.
  Result<void> close();

  // ---- single-file image ---------------------------------------------------------------
  // Lays out header, pages, blob pool, index region and manifest; a memory database is
  // flushed first, a workspace is read as the handle sees it and nothing is written into it.
  Result<std::string> bake_to_bytes();
  // The same image laid straight into the caller's buffer (no copy of the pages or blobs on
  // the way): `place` is called once, with the image's exact size, after the flush, the
  // index region and the manifest are done, and returns the span of that size to write into
  // (its error ends the bake).
  using ImagePlacer = std::function<Result<std::span<uint8_t>>(uint64_t size)>;
  Result<void> bake_into(const ImagePlacer& place);
  // A new, independent memory database equal to importing a bake of this one, built from the
  // parts in hand: the pages and blobs are copied once, the blobs keep the digests the store
  // already holds, and the manifest is checked as an import checks it without going through
  // its text. The tables and retrieval indexes are rebuilt from it as an import does.
  Result<Database> copy_to_memory();

  // ---- low-level mutations -------------------------------------------------------------
  // Held from the start of a low-level mutation to its end. Outside a transaction on a
  // workspace it holds the transaction lock, so no other handle commits in between, and its
  // creation checked that the workspace is still what this handle last read or wrote.
  class MutationScope {
   public:
    // `db` is set when this scope took the lock and must release it.
    explicit MutationScope(Database* db) : db_(db) {}
    MutationScope(MutationScope&& o) noexcept : db_(std::exchange(o.db_, nullptr)) {}
    MutationScope& operator=(MutationScope&& o) noexcept {
      if (this != &o) {
        if (db_) db_->finish_statement();
        db_ = std::exchange(o.db_, nullptr);
      }
      return *this;
    }
    ~MutationScope() {
      if (db_) db_->finish_statement();
    }

   private:
    Database* db_;
  };
  // Held while one statement or export works on a workspace outside a transaction: a read
  // holds the transaction lock shared, a write (or a read that found a dead transaction to
  // undo) exclusively. Its creation undid a dead handle's transaction (holding the lock
  // proves no live one is open) and, when another handle committed or rolled back since this
  // one last looked, dropped the cache, the open files and the catalog and read them again,
  // so nothing read under another handle's unfinished work is answered or written back.
  // Memory databases, images and open transactions need none: it holds nothing then.
  class WorkspaceAccess {
   public:
    WorkspaceAccess() : exclusive_(nullptr) {}
    WorkspaceAccess(WorkspaceAccess&& o) noexcept
        : shared_(std::exchange(o.shared_, nullptr)), exclusive_(std::move(o.exclusive_)) {}
    WorkspaceAccess& operator=(WorkspaceAccess&& o) noexcept {
      if (this != &o) {
        release_shared();
        shared_ = std::exchange(o.shared_, nullptr);
        exclusive_ = std::move(o.exclusive_);
      }
      return *this;
    }
    ~WorkspaceAccess() { release_shared(); }

   private:
    friend class Database;
    void release_shared() {
      if (shared_) (void)shared_->unlock();
      shared_ = nullptr;
    }
    const fs::File* shared_ = nullptr;  // the handle's lock file, locked shared
    MutationScope exclusive_;
  };
  Result<WorkspaceAccess> enter_workspace(bool write);

  // The guards every low-level mutation starts with: a logged workspace needs an explicit
  // transaction, a production image refuses, a handle whose earlier write failed refuses, the
  // workspace must not have been changed by another handle, and `last_write_atomic` is
  // cleared. Keep the scope until end_mutation() has run.
  Result<MutationScope> begin_mutation();
  // The ending of every successful low-level mutation: flush when `autoflush` is set. A
  // failed flush outside a transaction leaves the handle refusing every later write.
  Result<void> end_mutation();

  // ---- transactions (db/atomicity/) --------------------------------------------------
  // Memory: an undo log of what the transaction changes; workspace: the old bytes of each
  // page before its first overwrite (an undo file, or the page journal of a logged one),
  // under the transaction lock.
  Result<void> begin_transaction();
  Result<void> commit_transaction();
  // Always leaves no transaction open; the handle holds the database as at begin (a
  // workspace's files are put back first).
  Result<void> rollback_transaction();
  // The rollback of transaction() and atomic_mutation() after their work failed: running out
  // of memory in it is its error (the outcome is then unknown), not an exception.
  Result<void> rollback_after_failure();
  // Begin, run work(*this), commit; rolls back when the work or the commit fails.
  template <class F>
  auto transaction(F&& work) -> std::invoke_result_t<F, Database&>;
  // One statement's work made atomic: in its own transaction when none is open; inside an
  // open one, a failure rolls the whole transaction back.
  template <class F>
  auto atomic_mutation(F&& work) -> std::invoke_result_t<F, Database&>;
  // Whether a write of several versions of `table` can stay inside the running statement:
  // outside a transaction on an unlogged workspace, with the lock held and the statement's
  // undo hook installed, that undo already makes any number of page writes atomic; a failed
  // statement re-reads the workspace, retrieval indexes included.
  bool writes_within_statement(std::string_view table);
  // Runs `work` as part of the running statement with every flush of its mutations held
  // back, then flushes (publishes) once. A failure publishes nothing: the statement's end
  // undoes what was written.
  template <class F>
  auto within_statement(F&& work) -> std::invoke_result_t<F, Database&>;

  // ---- commit log (db/commit_log.h) --------------------------------------------------
  // The limits of a logged workspace (defaults when none are stored).
  CommitLogOptions commit_log_options() const { return commit_log_.value_or(CommitLogOptions{}); }

 private:
  friend class TransactionHost;
  // Tests reach the flags and parts below the face through this (tests/support).
  friend struct DatabaseTestAccess;
  // The operations over the database that reach below its face, each in its own file.
  friend Result<QueryResult> execute_statement(Database& db, sql::Statement statement, QueryBudget* budget);
  friend Result<void> create_table(Database& db, const std::string& name, const std::vector<std::string>& columns,
                                   const std::vector<std::string>& unique, const std::vector<std::string>& not_null,
                                   const std::map<std::string, Value>& defaults,
                                   const std::vector<sql::Predicate>& checks);
  friend Result<void> drop_table(Database& db, const std::string& name);
  friend Result<void> create_index_bounded(Database& db, const std::string& table, const std::string& column,
                                           QueryBudget* budget, bool make_unique);
  friend Result<DatabaseStats> inspect_stats(Database& db);
  friend Result<void> enable_commit_log(Database& db, const CommitLogOptions& limits);
  friend Result<journal::CommitLogStatus> commit_log_status(const Database& db);
  friend Result<std::string> changes_since_json(const Database& db, uint64_t after, uint64_t max);
  friend Result<void> prune_changes(Database& db, uint64_t through);
  friend Result<uint64_t> insert_validated_base(Database& db, std::string_view table, std::span<const Value> row);
  friend Result<uint64_t> advance_clock(Database& db);
  friend LiveRowCounts& live_row_counts(Database& db);
  friend Result<void> mark_deleted(Database& db, std::string_view table, uint64_t row_id, uint64_t deleted_tx);
  friend Result<void> statement_written(Database& db, std::string_view table);
  friend Result<void> create_retrieval_index(Database& db, const retrieval::RetrievalIndexDefinition& definition);
  friend Result<void> drop_retrieval_index(Database& db, const std::string& name);
  friend Result<bool> read_for_retrieval(Database& db, const sql::SelectSingleStmt& select,
                                         const retrieval::ReadNeeds& needs, QueryBudget& budget,
                                         retrieval::Selection& out);

  // One statement's row changes to `table`, applied to every index over it (under the open
  // transaction, which undoes them on rollback).
  Result<void> maintain_retrieval(std::string_view table, std::span<const Row> removed, std::span<const Row> added);

  // The format version held since open (raised by features this handle started to use).
  uint16_t format_version() const { return format_version_; }
  // Whether the fast manifest rewrite holds its file open.
  bool manifest_file_cached() const { return manifest_file_.has_value(); }
  // The open transaction, if any (its kind is its own business).
  Transaction* transaction_state() { return transaction_.get(); }
  // Registers an observer of every write (table/write_observers.h); it lives as long as the database.
  void add_write_observer(std::unique_ptr<WriteObserver> observer) { observers_.add(std::move(observer)); }
  void set_atomic_manifest(bool on) { atomic_manifest_ = on; }
  void set_clock(uint64_t value) { clock_ = value; }

  // The manifest of the live database. `cas_dir` is the packed pool directory of a bake.
  Result<Manifest> build_manifest(bool bake, const IndexPlan& plan,
                                  const std::vector<storage::CasExtent>* cas_dir = nullptr) const;
  // The format version a manifest of the live database is written with.
  uint16_t written_format_version(bool nonempty_index_region) const;
  // Every page as the handle sees it, stamped (the bake's page area).
  Result<std::vector<storage::Page>> live_pages();
  // The binary forms of every secondary index, tables in name order, columns in order.
  Result<IndexRegion> build_index_region() const;
  // What a bake of `page_count` pages writes besides them: the blob pool's length, the index
  // region and the manifest naming both (the bake and the copy to memory share it).
  struct BakePlan {
    uint64_t pool_length = 0;
    std::string index_bytes;
    Manifest manifest;
  };
  Result<BakePlan> plan_bake(uint64_t page_count) const;
  // The version the live catalog needs, from the held version (statistics).
  uint16_t effective_format_version(bool any_secondary_index) const;

  // What a load reads from a workspace or an image: the parts a reload or a rollback
  // replaces, and the identity of the manifest they came from.
  struct Parts {
    Store store;
    Catalog catalog;
    uint64_t clock = 0;
    uint16_t format_version = 1;
    std::optional<Digest> manifest_digest;  // none: no manifest file
    fs::Stat manifest_identity;
    bool logged = false;  // the workspace keeps a commit log
  };

  explicit Database(Parts parts);
  // Replaces the store, catalog, clock, format version and manifest identity with freshly
  // loaded ones; forgets cached files and the flags that described the old state, and tells
  // the observers.
  Result<void> adopt(Parts parts);

  // The workspace open after its repair: manifest, chunk store, blob store, tables. The
  // caller holds or has released the transaction lock.
  static Result<Parts> load_dev(const std::string& path);
  // The workspace's manifest text and the identity of the file it came from (empty when the
  // file was replaced while it was read, so the next comparison reads it again); none when
  // there is no manifest.
  struct ManifestFile {
    std::string text;
    fs::Stat identity;
  };
  static Result<std::optional<ManifestFile>> read_manifest_file(const std::string& path);
  // The parts of an image's pages and blobs, its tables rebuilt from the manifest: the
  // shared last step of import (writable) and of opening a production image (read-only).
  static Result<Parts> image_parts(storage::PageCache cache, storage::CasStore cas, const Manifest& manifest,
                                   bool writable, std::span<const uint8_t> index_region);
  // `lent`, when given, holds `image` and the blobs are lent from it.
  static Result<Parts> import_parts(std::span<const uint8_t> image, std::shared_ptr<const fs::Mapping> lent = nullptr);
  // The manifest's status, noting whether it is the file this handle last read or wrote; the
  // answer is decided already when the manifest is gone or this handle read none.
  struct ManifestLook {
    std::optional<bool> decided;  // whether the workspace changed, when the status is not needed
    fs::Stat st;
    bool same_status = false;  // same file, size and change time as last read or written
  };
  Result<ManifestLook> look_at_manifest() const;
  // Whether the workspace's manifest differs from the one this handle last read or wrote.
  Result<bool> workspace_changed() const;
  // Whether the workspace may hold other state than this handle's: the manifest's text, or
  // the manifest file itself (replaced, rewritten or restored from a backup, even with the
  // same bytes), differs from what this handle last read or wrote.
  Result<bool> workspace_stale() const;
  // Under the exclusive lock: undoes a transaction whose handle died (its recovery marker is
  // there, yet nobody holds the lock), as the next open would, so no write of this handle is
  // undone by a later recovery.
  Result<void> recover_dead_transaction();
  // Re-reads the workspace when it is stale; keeps a refusal after a failed write.
  Result<void> refresh_if_stale();
  // Brings the parts up to the workspace's manifest (another handle committed): followed in
  // place where every change is one this handle can follow (db/catch_up.cc), else reloaded
  // in full. Keeps a refusal after a failed write.
  Result<void> follow_or_reload();
  // The follow alone: false (or an error) when the full reload must decide; after an error
  // part-way the handle knows no manifest, so the next access reloads in full.
  Result<bool> catch_up();
  // The identity of the manifest file now (kind Other when there is none).
  void note_manifest_identity(const std::string& path);
  Result<void> refuse_after_write_failure() const;

  // Statements outside a transaction on an unlogged workspace (db/atomicity/statement_undo.h):
  // the undo hook is installed when the statement takes the lock; a statement that ends
  // without publishing what it changed is undone on disk and the workspace re-read, so reads
  // match the disk again (when that fails, reads are refused as well as writes). Releases the
  // lock.
  void finish_statement();
  Result<void> undo_statement();
  // Under the exclusive lock, at the start of a statement outside a transaction: installs
  // the undo hook of an unlogged workspace.
  Result<void> start_statement();
  PageUndoFile* statement_undo();
  // Marks that the running statement changed the in-memory state.
  // (A transaction's changes are its own to undo.)
  void note_change() {
    if (!transaction_) statement_changed_ = true;
  }
  // A statement that opens its own transaction: the transaction's own undo replaces the
  // statement's (whatever the statement wrote before is undone first).
  Result<void> hand_statement_to_transaction();
  bool has_secondary_index() const;

  // The manifest written to a temporary file, flushed with `durable` (what it names) as
  // one group, then renamed over the old one.
  Result<void> write_manifest_atomic(const std::string& dir, std::string_view bytes, fs::SyncGroup& durable);
  // Every manifest write: a temporary file renamed over the old one, flushed first with the
  // group when one is given.
  Result<void> replace_manifest(const std::string& dir, std::string_view bytes, fs::SyncGroup* durable);
  Result<void> write_manifest_fast(const std::string& dir, std::string_view bytes);

  // Adds to `group` every file and directory the manifest names or lives in (chunk files,
  // blob files, their directories, the workspace directory and its parent, and the
  // directories this handle's open created). Run by the first atomic flush after the
  // workspace was read.
  Result<void> add_workspace_files(fs::SyncGroup& group);
  // Forgets the cached manifest and chunk file handles when the manifest at the path is no
  // longer the file this handle last read or wrote: another handle's commit renamed a new one
  // over it, or its rollback put back copies of every file, and a write through the old
  // handles would reach files nobody reads any more. Run under the workspace lock.
  Result<void> forget_replaced_files();

  // The row changes of the running statement to tables with retrieval indexes, collected by
  // a write observer and applied at the statement's end.
  std::shared_ptr<RetrievalPending> retrieval_pending_;
  // Declared first, so destroyed last: the open transaction holds the workspace lock.
  std::unique_ptr<Transaction> transaction_;
  // The undo file of this handle's statements and transactions, kept open between them; it
  // outlives the store, whose page-write hook writes to it.
  UndoFileHandle undo_file_;
  TransactionLock mutation_lock_;  // held by a MutationScope outside transactions
  // The lock file, kept open: a WorkspaceAccess locks it shared, a statement exclusively.
  std::shared_ptr<fs::File> lock_file_;
  WriteObservers observers_;
  LiveRowCounts* live_row_counts_ = nullptr;  // the first of `observers_`
  std::optional<fs::File> manifest_file_;  // cached handle of the fast manifest rewrite
  std::optional<std::string> directory_;   // the workspace; absent for memory and images
  std::optional<CommitLogOptions> commit_log_;
  // What this handle knows of its commit log between transactions (journal/log_tally.h).
  journal::LogTally log_tally_;
  uint64_t clock_ = 0;
  uint16_t format_version_ = 1;
  bool autoflush_ = false;
  bool atomic_manifest_ = false;
  bool last_write_atomic_ = false;
  bool caller_holds_lock_ = false;  // a transaction begin flushes under its own lock
  bool manifest_held_ = false;  // an undo-file transaction is open: flushes write no manifest
  bool full_image_transactions_ = false;  // test reference: memory transactions bake an image
  // Set when the workspace was read from disk: files written by earlier handles or processes
  // (without a flush to stable storage) are not known to be durable, so the first atomic
  // flush makes all of them durable before its manifest names them.
  bool files_unsynced_ = false;
  // Digest of the manifest this handle last read or wrote (none: no manifest file).
  std::optional<Digest> manifest_digest_;
  // Identity of the manifest file this handle last read or wrote (the cached handle's file
  // while one is cached).
  fs::Stat manifest_identity_;
  // Set once the text was found unchanged while the file's change time lay well in the past:
  // any later write then moves the change time, so the identity alone tells a change.
  mutable bool identity_settled_ = false;
  // Set by the last change check when the manifest path still named the file of
  // `manifest_identity_`; the statement that starts next takes it instead of a second look.
  mutable bool same_manifest_file_ = false;
  // The manifest this handle wrote last, held open: while it is, no other file can be given
  // its identity numbers, and manifests are only ever replaced whole, so a path that still
  // names it holds what this handle wrote without reading it again.
  fs::File manifest_pin_;
  // Whether the pinned manifest carries the index pairs (a commit's, a close's, an export's).
  bool pin_holds_pairs_ = false;
  // The last manifest with index pairs after a statement replaced it with one without: held
  // open, so its blocks are freed by the next write with pairs (or the handle's end), work in
  // proportion to them anyway, and never by a one-row statement.
  fs::File retired_manifest_;
  // Closes the manifests this handle replaces, beside its statements (made at the first).
  std::unique_ptr<FileCloser> closer_;
  // Set when a write could not be completed outside a transaction (or a rollback could not
  // re-read the workspace): the in-memory state may differ from disk, so every later write
  // is refused until the database is reopened.
  std::optional<std::string> write_failure_;
  // How many times this handle followed another handle's commit in place (for tests).
  uint64_t commits_followed_ = 0;
  // Set when a failed statement could not be undone: reads are refused as well.
  bool reads_refused_ = false;
  // The running statement outside a transaction changed the in-memory state and has not yet
  // published it.
  bool statement_changed_ = false;
  // The flush running is a clean close's: the manifest carries the index pairs.
  bool close_flush_ = false;
  // A statement writing several versions: its mutations do not flush one by one.
  bool hold_flushes_ = false;
  // The manifest on disk was written by this handle without its index pairs.
  bool pairs_pending_ = false;
  // Directories created by this handle's open (outermost first); their entries become
  // durable with the first atomic flush.
  std::vector<std::string> created_dirs_;
  Catalog catalog_;
  // Declared last, so destroyed first: no page is written back after the catalog is gone.
  Store store_;
};

// Runs work, an allocation failure inside it becoming a ResourceLimit error, so that the
// caller rolls back what the work did instead of leaving it half done; the memory the
// failed step held has been released by the time the error is returned.
template <class F>
auto run_out_of_memory_as_error(F&& work, Database& db) -> std::invoke_result_t<F, Database&> {
  try {
    return std::forward<F>(work)(db);
  } catch (const std::bad_alloc&) {
    return fail(QmError::resource_limit("out of memory"));
  }
}

inline Result<void> Database::rollback_after_failure() {
  try {
    return rollback_transaction();
  } catch (const std::bad_alloc&) {
    return fail(QmError::resource_limit("out of memory"));
  }
}

template <class F>
auto Database::transaction(F&& work) -> std::invoke_result_t<F, Database&> {
  QM_TRY(begin_transaction());
  auto result = run_out_of_memory_as_error(std::forward<F>(work), *this);
  if (!result) {
    if (!in_transaction()) return result;
    auto rolled = rollback_after_failure();
    if (!rolled)
      return fail(QmError::outcome_unknown("operation failed (" + result.error().message() +
                                           "); rollback also failed (" + rolled.error().message() + ")"));
    return result;
  }
  if (!in_transaction())
    return fail(QmError::transaction("transaction callback changed the transaction state"));
  auto committed = commit_transaction();
  if (committed) return result;
  if (!in_transaction()) return fail(std::move(committed).error());
  auto rolled = rollback_after_failure();
  if (!rolled)
    return fail(QmError::outcome_unknown("commit failed (" + committed.error().message() +
                                         "); rollback also failed (" + rolled.error().message() + ")"));
  return fail(std::move(committed).error());
}

template <class F>
auto Database::atomic_mutation(F&& work) -> std::invoke_result_t<F, Database&> {
  if (!in_transaction()) return transaction(std::forward<F>(work));
  auto result = run_out_of_memory_as_error(std::forward<F>(work), *this);
  if (result || !in_transaction()) return result;
  auto rolled = rollback_after_failure();
  if (!rolled)
    return fail(QmError::outcome_unknown("statement failed (" + result.error().message() +
                                         "); transaction rollback also failed (" + rolled.error().message() + ")"));
  return result;
}

template <class F>
auto Database::within_statement(F&& work) -> std::invoke_result_t<F, Database&> {
  struct Hold {
    bool& held;
    ~Hold() { held = false; }
  };
  auto result = [&] {
    hold_flushes_ = true;
    Hold hold{hold_flushes_};
    return std::forward<F>(work)(*this);
  }();
  if (!result) return result;
  QM_TRY(end_mutation());
  return result;
}

}  // namespace qm::db
