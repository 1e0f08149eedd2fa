// Database: one open database, owned by the C handle from open to close. It holds the page
// cache over its backend (workspace chunk files, memory pages or a mapped production image),
// the blob store, the tables by name, the database clock, the format version held since open,
// the open transaction and the flush flags.
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
// - members are declared so that destruction drops the cache first and the transaction (with
//   its lock) last.
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
#include "core/query_result.h"
#include "core/fs.h"
#include "core/query_result.h"
#include "db/exec/query_budget.h"
#include "db/manifest.h"
#include "db/query/exec_types.h"
#include "db/stats.h"
#include "db/table.h"
#include "db/transaction_lock.h"
#include "migrate/import_report.h"
#include "storage/cas_store.h"
#include "storage/page_cache.h"

namespace qm::db {

inline constexpr size_t kPageCacheCapacity = 4096;

// The commit-log limits of a logged workspace.
struct CommitLogOptions {
  uint64_t max_transaction_bytes = 67108864;
  uint64_t max_retained_bytes = 268435456;
  uint64_t max_retained_commits = 4096;
};

enum class StorageMode : uint8_t { Development, Memory, Production, Streamed };
// "development", "memory", "production", "streamed".
const char* storage_mode_name(StorageMode mode);

enum class TransactionKind : uint8_t { Snapshot, CopyTree, PageJournal };

struct ActiveTransaction {
  TransactionKind kind = TransactionKind::Snapshot;
  std::string snapshot;   // Snapshot: the image of the whole memory database at begin
  std::string directory;  // CopyTree and PageJournal: the workspace
  TransactionLock lock;   // held for CopyTree and PageJournal
  bool saved_autoflush = false;
  bool saved_atomic_manifest = false;
};

// What build_manifest writes for the secondary indexes.
struct IndexPlan {
  enum class Kind : uint8_t { NoContents, Pairs, Binary };
  Kind kind = Kind::Pairs;
  // Binary: per table name, its descriptors; and the region's absolute offset and length.
  std::vector<std::pair<std::string, std::vector<BinIndexDesc>>> binary;
  uint64_t region_offset = 0;
  uint64_t region_length = 0;

  static IndexPlan no_contents() { return {Kind::NoContents, {}, 0, 0}; }
  static IndexPlan pairs() { return {Kind::Pairs, {}, 0, 0}; }
};

// The secondary-index region of an image and, per table with indexes, its descriptors.
struct IndexRegion {
  std::string bytes;
  std::vector<std::pair<std::string, std::vector<BinIndexDesc>>> tables;
};

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
  // A database over an image's pages and blobs, its tables rebuilt from the manifest: the
  // shared last step of import (writable) and of opening a production image (read-only).
  static Result<Database> from_image_catalog(storage::PageCache cache, storage::CasStore cas, const Manifest& manifest,
                                             bool writable, std::span<const uint8_t> index_region);

  Database(Database&&) noexcept = default;
  Database& operator=(Database&&) noexcept = default;
  ~Database() = default;

  StorageMode storage_mode() const;
  bool read_only() const { return cache.backend().read_only(); }
  bool logged() const { return commit_log.has_value(); }
  bool in_transaction() const { return active_transaction.has_value(); }

  // ---- flush and manifest --------------------------------------------------------------
  // Writes tail pages and dirty pages to the backend and, on a workspace, the manifest (in
  // place, or atomically with the chunk and blob files made durable first when
  // `atomic_manifest` is set). Does nothing on a production image.
  Result<void> flush();
  // The manifest of the live database. `cas_dir` is the packed pool directory of a bake.
  Result<Manifest> build_manifest(bool bake, const IndexPlan& plan,
                                  const std::vector<storage::CasExtent>* cas_dir = nullptr) const;
  // The format version a manifest of the live database is written with.
  uint16_t written_format_version(bool nonempty_index_region) const;

  // ---- single-file image ---------------------------------------------------------------
  // Flushes, then lays out header, pages, blob pool, index region and manifest.
  Result<std::string> bake_to_bytes();
  // The binary forms of every secondary index, tables in name order, columns in order.
  Result<IndexRegion> build_index_region() const;

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
        if (db_) db_->mutation_lock_.release();
        db_ = std::exchange(o.db_, nullptr);
      }
      return *this;
    }
    ~MutationScope() {
      if (db_) db_->mutation_lock_.release();
    }

   private:
    Database* db_;
  };
  // The guards every low-level mutation starts with: a logged workspace needs an explicit
  // transaction, a production image refuses, a handle whose earlier write failed refuses, the
  // workspace must not have been changed by another handle, and `last_write_atomic` is
  // cleared. Keep the scope until end_mutation() has run.
  Result<MutationScope> begin_mutation();
  // The ending of every successful low-level mutation: flush when `autoflush` is set. A
  // failed flush outside a transaction leaves the handle refusing every later write.
  Result<void> end_mutation();
  // Stores one row version (already validated by the caller) at the tail of the table: the
  // clock advances and becomes its created_tx, long values go to the blob store, a full tail
  // page is linked to a new one and written to the cache, indexed columns get the row id.
  // Returns the row id. TableNotFound for an unknown table.
  Result<uint64_t> insert_validated_base(std::string_view table, std::span<const Value> row);

  // ---- statement execution, defined in src/db/query/ -----------------------------------
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
  // Row sources: a snapshot of none reads at the current clock.
  Result<uint64_t> count_visible(std::string_view table, std::optional<uint64_t> snapshot, QueryBudget* budget);
  Result<RowsResult> select_filtered_bounded(std::string_view table, const query::Predicate* where,
                                             std::optional<uint64_t> snapshot, QueryBudget* budget);
  // The first k rows (k >= 1) of select_filtered_bounded's rows stably sorted by `order_by`,
  // in that order, keeping only k rows while reading; without a budget. When an ORDER BY
  // column is unknown it returns every row unsorted, as select_filtered_bounded does, so the
  // caller's sort reports the error after the read, as it would have.
  Result<RowsResult> select_filtered_top_n(std::string_view table, const query::Predicate* where,
                                           std::optional<uint64_t> snapshot, std::span<const query::OrderBy> order_by,
                                           uint64_t k);
  Result<RowsResult> select_ordered_by_index(std::string_view table, std::string_view column, bool descending,
                                             std::optional<uint64_t> snapshot, std::optional<uint64_t> stop,
                                             QueryBudget* budget);
  Result<std::vector<MatchedRow>> collect_matching(std::string_view table, const query::Predicate& where,
                                                   std::optional<uint64_t> snapshot, QueryBudget* budget);
  // Write paths.
  Result<void> validate_row_constraints(std::string_view table, std::span<const Value> row);
  Result<void> validate_insert_values(std::string_view table, std::span<const Value> row, PendingUnique* pending,
                                      QueryBudget* budget);
  Result<void> insert_validated(std::string_view table, std::span<const Value> row);
  Result<uint64_t> update_where_bounded(std::string_view table, std::string_view column, const Value& value,
                                        const query::Predicate& where, QueryBudget* budget);
  Result<uint64_t> delete_where_bounded(std::string_view table, const query::Predicate& where, QueryBudget* budget);
  Result<uint64_t> apply_deletes(std::string_view table, std::span<const MatchedRow> matches);
  Result<uint64_t> apply_deletes_base(std::string_view table, std::span<const MatchedRow> matches);
  // Splits a foreign SQL dump, then rewrites, skips or runs each statement as the host would send it.
  migrate::ImportReport import_sql(std::string_view dump);
  // ---- end of statement execution -------------------------------------------------------

  // Builds a database around its page cache and blob store; the open functions fill the rest.
  Database(storage::PageCache page_cache, storage::CasStore blobs)
      : cas(std::move(blobs)), cache(std::move(page_cache)) {}

  // ---- transactions --------------------------------------------------------------------
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

  // ---- joins, EXPLAIN and streaming aggregation, defined in src/db/select/ --------------
  // The plan of a SELECT as rows ("step", "operation", "detail"); reads no table row.
  Result<QueryResult> explain_statement(const query::Statement& inner);
  // A SELECT with an aliased FROM table or joins: the joined rows (columns named
  // "{qualifier}.{column}"), the full WHERE, then the projection, grouping and tail.
  Result<RowsResult> select_join(const query::SelectStmt& stmt, QueryBudget* budget);
  // A grouped single-table SELECT without WHERE or HAVING, folded in one pass over the
  // table; memory grows with the groups, not the rows.
  Result<RowsResult> select_streaming_aggregate(std::string_view table, std::optional<uint64_t> snapshot,
                                                std::vector<query::SelectItem> items,
                                                std::span<const std::string> group_by,
                                                std::span<const query::OrderBy> order_by, bool distinct,
                                                std::optional<uint64_t> limit, uint64_t offset,
                                                QueryBudget* budget);
  // ---- end of src/db/select/ -------------------------------------------------------------

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
  Result<void> drop_table_base(const std::string& name);
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
  // The version the live catalog needs, from the held version (statistics).
  uint16_t effective_format_version(bool any_secondary_index) const;

  // ---- fields --------------------------------------------------------------------------
  std::optional<ActiveTransaction> active_transaction;
  std::optional<fs::File> manifest_file;  // cached handle of the fast manifest rewrite
  std::optional<std::string> directory;   // the workspace; absent for memory and images
  TableMap tables;
  storage::CasStore cas;
  storage::PageCache cache;
  std::optional<CommitLogOptions> commit_log;
  uint64_t clock = 0;
  uint16_t format_version = 1;
  bool autoflush = false;
  bool atomic_manifest = false;
  bool last_write_atomic = false;
  // Digest of the manifest this handle last read or wrote (none: no manifest file).
  std::optional<Digest> manifest_digest;
  // Set when a write could not be completed outside a transaction (or a rollback could not
  // re-read the workspace): the in-memory state may differ from disk, so every later write
  // is refused until the database is reopened.
  std::optional<std::string> write_failure;

 private:
  // The workspace open after its repair: manifest, chunk store, blob store, tables. The
  // caller holds or has released the transaction lock.
  static Result<Database> load_dev(const std::string& path);
  // Whether the workspace's manifest differs from the one this handle last read or wrote.
  Result<bool> workspace_changed() const;
  Result<void> refuse_after_write_failure() const;
  // Ends the open transaction: flags restored, backup removed (copy tree), lock released.
  void end_transaction();
  Result<void> rollback_workspace(ActiveTransaction tx);

  Result<void> write_manifest_atomic(const std::string& dir, std::string_view bytes);
  Result<void> write_manifest_fast(const std::string& dir, std::string_view bytes);

  // Makes durable every file and directory the manifest names or lives in (chunk files, blob
  // files, their directories, the workspace directory and its parent, and the directories
  // this handle's open created). Run by the first atomic flush after the workspace was read.
  Result<void> sync_workspace_files();

  TransactionLock mutation_lock_;  // held by a MutationScope outside transactions
  bool caller_holds_lock_ = false;  // a transaction begin flushes under its own lock
  // Forgets the cached manifest and chunk file handles when the manifest at the path is no
  // longer the file this handle last read or wrote: another handle's commit renamed a new one
  // over it, or its rollback put back copies of every file, and a write through the old
  // handles would reach files nobody reads any more. Run under the workspace lock.
  Result<void> forget_replaced_files();
  // Identity of the manifest file this handle last read or wrote (the cached handle's file
  // while one is cached).
  fs::Stat manifest_identity_;
  // Set when the workspace was read from disk: files written by earlier handles or processes
  // (without a flush to stable storage) are not known to be durable, so the first atomic
  // flush makes all of them durable before its manifest names them.
  bool files_unsynced_ = false;
  // Directories created by this handle's open (outermost first); their entries become
  // durable with the first atomic flush.
  std::vector<std::string> created_dirs_;
};

template <class F>
auto Database::transaction(F&& work) -> std::invoke_result_t<F, Database&> {
  QM_TRY(begin_transaction());
  auto result = std::forward<F>(work)(*this);
  if (!result) {
    if (!active_transaction) return result;
    auto rolled = rollback_transaction();
    if (!rolled)
      return fail(QmError::outcome_unknown("operation failed (" + result.error().message() +
                                           "); rollback also failed (" + rolled.error().message() + ")"));
    return result;
  }
  if (!active_transaction)
    return fail(QmError::transaction("transaction callback changed the transaction state"));
  auto committed = commit_transaction();
  if (committed) return result;
  if (!active_transaction) return fail(std::move(committed).error());
  auto rolled = rollback_transaction();
  if (!rolled)
    return fail(QmError::outcome_unknown("commit failed (" + committed.error().message() +
                                         "); rollback also failed (" + rolled.error().message() + ")"));
  return fail(std::move(committed).error());
}

template <class F>
auto Database::atomic_mutation(F&& work) -> std::invoke_result_t<F, Database&> {
  if (!active_transaction) return transaction(std::forward<F>(work));
  auto result = std::forward<F>(work)(*this);
  if (result || !active_transaction) return result;
  auto rolled = rollback_transaction();
  if (!rolled)
    return fail(QmError::outcome_unknown("statement failed (" + result.error().message() +
                                         "); transaction rollback also failed (" + rolled.error().message() + ")"));
  return result;
}

// The manifest-writing helpers, exposed for the flush paths and their tests.
inline constexpr const char* kManifestTmpFile = "qm_manifest.json.tmp";

}  // namespace qm::db
