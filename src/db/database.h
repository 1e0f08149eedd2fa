// Database: one open database, owned by the C handle from open to close; the narrow face the
// exports use. Behind it, parts with one job each: the store (page cache over its backend,
// blob store; db/store.h), the catalog (tables and their indexes; db/catalog.h), the open
// transaction (one implementation per kind; db/transaction/), the write path with its
// observers (db/write_path.h) and the statement executor (db/query/, db/select/, free
// functions over this interface). It also holds the database clock, the format version held
// since open, the workspace's file state and the flush flags.
//
// Invariants:
// - the storage mode follows from the backend: Dev = "development" (with a directory),
//   Mem = "memory" (no directory), Monolith = "production" (read-only, no directory);
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
// - a reload (another handle committed) or a rollback replaces the store, the catalog, the
//   clock and the format version together (`adopt`), never the object as a whole, so the
//   observers, the open transaction slot and the workspace identity survive it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
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
#include "db/exec/query_budget.h"
#include "db/catalog.h"
#include "db/limits.h"
#include "db/manifest.h"
#include "db/query/exec_types.h"
#include "db/store.h"
#include "db/stats.h"
#include "db/table.h"
#include "db/transaction_lock.h"
#include "db/write_path.h"
#include "journal/feed.h"
#include "retrieval/definition.h"
#include "migrate/import_report.h"
#include "storage/cas_store.h"
#include "storage/page_cache.h"

namespace qm::db {

enum class StorageMode : uint8_t { Development, Memory, Production, Streamed };
// "development", "memory", "production", "streamed".
const char* storage_mode_name(StorageMode mode);

}  // namespace qm::db
namespace qm::retrieval {
struct ReadNeeds;
struct Selection;
}  // namespace qm::retrieval
namespace qm::db {

class Transaction;
class TransactionHost;
class StatementUndo;
class LiveRowCounts;
struct RetrievalPending;

class Database {
 public:
  // Opens or creates the workspace directory at `path`.
  static Result<Database> open_dev(const std::string& path);
  // Opens a single-file image read-only (from a private copy of the file).
  static Result<Database> open_prod(const std::string& path);
  // A new, empty memory database.
  static Database open_memory();
  // A new writable memory database from image bytes (copied).
  static Result<Database> import_bytes(std::span<const uint8_t> image);

  Database(Database&&) noexcept;
  Database& operator=(Database&&) noexcept;
  ~Database();

  StorageMode storage_mode() const;
  bool read_only() const { return store_.cache.backend().read_only(); }
  bool logged() const { return commit_log_.has_value(); }
  bool in_transaction() const { return transaction_ != nullptr; }
  // The database clock: the last transaction value taken.
  uint64_t clock() const { return clock_; }
  // Takes the next clock value (a statement's deletion mark).
  uint64_t advance_clock() { return ++clock_; }
  uint16_t format_version() const { return format_version_; }
  const std::optional<std::string>& directory() const { return directory_; }
  bool autoflush() const { return autoflush_; }
  bool atomic_manifest() const { return atomic_manifest_; }
  bool last_write_atomic() const { return last_write_atomic_; }
  // Whether the fast manifest rewrite holds its file open.
  bool manifest_file_cached() const { return manifest_file_.has_value(); }

  // The parts. Table rows and indexes change only through the write path below.
  const Catalog& catalog() const { return catalog_; }
  Catalog& catalog() { return catalog_; }
  const Store& store() const { return store_; }
  Store& store() { return store_; }
  // The open transaction, if any (its kind is its own business).
  Transaction* transaction_state() { return transaction_.get(); }

  // The live row count of each table, kept by a write observer (db/live_row_counts.h).
  LiveRowCounts& live_row_counts() { return *live_row_counts_; }

  // Registers an observer of every write (db/write_path.h); it lives as long as the database.
  void add_write_observer(std::unique_ptr<WriteObserver> observer) { observers_.add(std::move(observer)); }

  // Test and tool hooks: flush flags and the clock of a database assembled by hand.
  void set_autoflush(bool on) { autoflush_ = on; }
  void set_atomic_manifest(bool on) { atomic_manifest_ = on; }
  void set_clock(uint64_t value) { clock_ = value; }

  // ---- flush and manifest --------------------------------------------------------------
  // Writes tail pages and dirty pages to the backend and, on a workspace, the manifest (in
  // place, or atomically with the chunk and blob files made durable first when
  // `atomic_manifest` is set). Does nothing on a production image.
  Result<void> flush();

  // The end of a handle's life on a workspace: when the last manifest written carries no
  // index pairs (each statement's does not), it is written once more with them, so a
  // workspace closed normally opens without rescanning its indexed tables.
  Result<void> close();

  // ---- single-file image ---------------------------------------------------------------
  // Lays out header, pages, blob pool, index region and manifest; a memory database is
  // flushed first, a workspace is read as the handle sees it and nothing is written into it.
  Result<std::string> bake_to_bytes();

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

  // ---- the write path (db/write_path.h) ------------------------------------------------
  // Stores one row version (already validated by the caller) at the tail of the table: the
  // clock advances and becomes its created_tx, long values go to the blob store, a full tail
  // page is linked to a new one and written to the cache, indexed columns get the row id,
  // observers hear of it. Returns the row id. TableNotFound for an unknown table.
  Result<uint64_t> insert_validated_base(std::string_view table, std::span<const Value> row);
  // Retires the version at `row_id` with `deleted_tx` (Corruption when the row id's page is
  // not in the table's chain; nothing is written then); observers hear of it.
  Result<void> mark_deleted(std::string_view table, uint64_t row_id, uint64_t deleted_tx);
  // A statement has written all its rows of `table`: the observers' per-statement step.
  Result<void> statement_written(std::string_view table);

  // ---- statement execution (db/query/dispatch.cc) --------------------------------------
  // Runs one parsed statement (atomic by itself outside a transaction, joining an explicit
  // one); `budget` bounds its work when given.
  Result<QueryResult> execute_statement(query::Statement statement, QueryBudget* budget);
  // Binds the values into the text as literals, parses and runs it without a budget.
  Result<QueryResult> query_with(std::string_view sql, std::span<const Value> params);
  Result<QueryResult> query_with_limits_cancellable(std::string_view sql, std::span<const Value> params,
                                                    const QueryLimits& limits,
                                                    std::shared_ptr<std::atomic<bool>> cancel);
  // Counts the placeholders and proves the text parses; keeps the text, not the tree.
  Result<PreparedStatement> prepare(std::string_view sql);
  // One INSERT, UPDATE or DELETE run once per parameter set, all in one transaction.
  Result<uint64_t> execute_many(std::string_view sql, std::span<const std::vector<Value>> sets);
  // Splits a foreign SQL dump, then rewrites, skips or runs each statement as the host would send it.
  migrate::ImportReport import_sql(std::string_view dump);

  // ---- transactions (db/transaction/) --------------------------------------------------
  // Memory: a snapshot image; workspace: a copy-tree backup under the transaction lock.
  Result<void> begin_transaction();
  Result<void> commit_transaction();
  // Always leaves no transaction open; a workspace is restored and re-read from disk.
  Result<void> rollback_transaction();
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

  // ---- table and index DDL -------------------------------------------------------------
  // Each runs the mutation guards first and flushes at the end when `autoflush` is set.
  // A new table: Schema "table `{}` already exists", or the schema faults of
  // validate_schema_metadata; every UNIQUE column gets an empty index.
  Result<void> create_table_internal(const std::string& name, const std::vector<std::string>& columns,
                                     const std::vector<std::string>& unique,
                                     const std::vector<std::string>& not_null,
                                     const std::map<std::string, Value>& defaults,
                                     const std::vector<query::Predicate>& checks);
  Result<void> create_table_with_constraints(const std::string& name, const std::vector<std::string>& columns,
                                             const std::vector<std::string>& unique,
                                             const std::vector<std::string>& not_null);
  // Removes the table from the catalog (its pages simply stop being referenced).
  Result<void> drop_table(const std::string& name);
  // Builds (or rebuilds) the index of one column from every stored version, under an
  // optional budget; on failure the table keeps its former indexes. With `make_unique` the
  // column also joins the table's UNIQUE set before the one flush, so the stored catalog
  // never holds the index without the constraint (CREATE UNIQUE INDEX).
  Result<void> create_index_bounded(const std::string& table, const std::string& column, QueryBudget* budget,
                                    bool make_unique = false);
  // True when the table exists and has a secondary index on the column.
  bool has_index(std::string_view table, std::string_view column) const;

  // ---- statistics ----------------------------------------------------------------------
  Result<DatabaseStats> inspect_stats();

  // ---- commit log (db/commit_log.cc) ---------------------------------------------------
  // The limits of a logged workspace (defaults when none are stored).
  CommitLogOptions commit_log_options() const { return commit_log_.value_or(CommitLogOptions{}); }
  // Turns the log on for the next transactions; writes nothing by itself.
  Result<void> enable_commit_log(const CommitLogOptions& limits);
  Result<journal::CommitLogStatus> commit_log_status() const;
  // Up to `max` committed records after the sequence `after`, as a JSON array.
  Result<std::string> changes_since_json(uint64_t after, uint64_t max) const;
  // Drops the retained commits through `through` (the replica has them).
  Result<void> prune_changes(uint64_t through);

  // ---- persisted retrieval indexes (db/retrieval_ddl.cc, db/retrieve.cc) ---------------
  // A new index built from its table's visible rows, as one atomic mutation.
  Result<void> create_retrieval_index(const retrieval::RetrievalIndexDefinition& definition);
  Result<void> drop_retrieval_index(const std::string& name);
  // One statement's row changes to `table`, applied to every index over it (under the open
  // transaction, which undoes them on rollback).
  Result<void> maintain_retrieval(std::string_view table, std::span<const Row> removed, std::span<const Row> added);
  // A retrieval request's SELECT read for what the request needs of its rows alone, into
  // `out` (whose table and current_rows are set); false when its shape needs the general
  // query path (db/retrieve.cc).
  Result<bool> read_for_retrieval(const query::SelectSingleStmt& select, const retrieval::ReadNeeds& needs,
                                  QueryBudget& budget, retrieval::Selection& out);
  // One retrieval request (JSON) under the caller's limits, lowered to the retrieval caps.
  Result<std::string> retrieve_json_controlled(std::string_view request, const QueryLimits& limits,
                                               std::shared_ptr<std::atomic<bool>> cancel,
                                               std::optional<uint64_t> pinned_reader);

 private:
  friend class TransactionHost;

  // The manifest of the live database. `cas_dir` is the packed pool directory of a bake.
  Result<Manifest> build_manifest(bool bake, const IndexPlan& plan,
                                  const std::vector<storage::CasExtent>* cas_dir = nullptr) const;
  // The format version a manifest of the live database is written with.
  uint16_t written_format_version(bool nonempty_index_region) const;
  // Every page as the handle sees it, stamped (the bake's page area).
  Result<std::vector<storage::Page>> live_pages();
  // The binary forms of every secondary index, tables in name order, columns in order.
  Result<IndexRegion> build_index_region() const;
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
  // The parts of an image's pages and blobs, its tables rebuilt from the manifest: the
  // shared last step of import (writable) and of opening a production image (read-only).
  static Result<Parts> image_parts(storage::PageCache cache, storage::CasStore cas, const Manifest& manifest,
                                   bool writable, std::span<const uint8_t> index_region);
  static Result<Parts> import_parts(std::span<const uint8_t> image);
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
  // The identity of the manifest file now (kind Other when there is none).
  void note_manifest_identity(const std::string& path);
  Result<void> refuse_after_write_failure() const;

  // Statements outside a transaction on an unlogged workspace (db/statement_undo.h): the
  // undo hook is installed when the statement takes the lock; a statement that ends without
  // publishing what it changed is undone on disk and the workspace re-read, so reads match
  // the disk again (when that fails, reads are refused as well as writes). Releases the lock.
  void finish_statement();
  Result<void> undo_statement();
  // Under the exclusive lock, at the start of a statement outside a transaction: installs
  // the undo hook of an unlogged workspace.
  Result<void> start_statement();
  StatementUndo* statement_undo();
  // Marks that the running statement changed the in-memory state.
  // (A transaction's changes are its own to undo.)
  void note_change() {
    if (!transaction_) statement_changed_ = true;
  }
  // A statement that opens its own transaction: the transaction's own undo replaces the
  // statement's (whatever the statement wrote before is undone first).
  Result<void> hand_statement_to_transaction();
  Result<void> refuse_unreadable() const;
  bool has_secondary_index() const;

  Result<void> write_manifest_atomic(const std::string& dir, std::string_view bytes);
  // Both manifest writes: a temporary file renamed over the old one, flushed first or not.
  Result<void> replace_manifest(const std::string& dir, std::string_view bytes, bool sync_file);
  Result<void> write_manifest_fast(const std::string& dir, std::string_view bytes);

  // Makes durable every file and directory the manifest names or lives in (chunk files, blob
  // files, their directories, the workspace directory and its parent, and the directories
  // this handle's open created). Run by the first atomic flush after the workspace was read.
  Result<void> sync_workspace_files();
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
  TransactionLock mutation_lock_;  // held by a MutationScope outside transactions
  fs::File read_lock_file_;        // the lock file a WorkspaceAccess locks shared, kept open
  WriteObservers observers_;
  LiveRowCounts* live_row_counts_ = nullptr;  // the first of `observers_`
  std::optional<fs::File> manifest_file_;  // cached handle of the fast manifest rewrite
  std::optional<std::string> directory_;   // the workspace; absent for memory and images
  std::optional<CommitLogOptions> commit_log_;
  uint64_t clock_ = 0;
  uint16_t format_version_ = 1;
  bool autoflush_ = false;
  bool atomic_manifest_ = false;
  bool last_write_atomic_ = false;
  bool caller_holds_lock_ = false;  // a transaction begin flushes under its own lock
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
  // Set when a write could not be completed outside a transaction (or a rollback could not
  // re-read the workspace): the in-memory state may differ from disk, so every later write
  // is refused until the database is reopened.
  std::optional<std::string> write_failure_;
  // Set when a failed statement could not be undone: reads are refused as well.
  bool reads_refused_ = false;
  // The running statement outside a transaction changed the in-memory state and has not yet
  // published it.
  bool statement_changed_ = false;
  // The flush running is the end of one statement outside a transaction.
  bool statement_flush_ = false;
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

template <class F>
auto Database::transaction(F&& work) -> std::invoke_result_t<F, Database&> {
  QM_TRY(begin_transaction());
  auto result = std::forward<F>(work)(*this);
  if (!result) {
    if (!in_transaction()) return result;
    auto rolled = rollback_transaction();
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
  auto rolled = rollback_transaction();
  if (!rolled)
    return fail(QmError::outcome_unknown("commit failed (" + committed.error().message() +
                                         "); rollback also failed (" + rolled.error().message() + ")"));
  return fail(std::move(committed).error());
}

template <class F>
auto Database::atomic_mutation(F&& work) -> std::invoke_result_t<F, Database&> {
  if (!in_transaction()) return transaction(std::forward<F>(work));
  auto result = std::forward<F>(work)(*this);
  if (result || !in_transaction()) return result;
  auto rolled = rollback_transaction();
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
