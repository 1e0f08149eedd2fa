// Transaction: the open explicit transaction of a database, one implementation per kind,
// chosen once at begin by `begin_transaction_of_kind`. Every kind keeps a page's old bytes
// before its first overwrite in the transaction, with the durability its database needs:
// - memory undo (memory databases): in memory, with the index entries and table shells
//   rollback needs (memory_undo.cc);
// - memory snapshot (memory databases, a test reference): an image of the whole database
//   taken at begin, imported back at rollback (memory_snapshot.cc);
// - undo file (workspaces without a commit log): in the handle's undo file, forced to stable
//   storage before the page is written (undo_file_transaction.cc, statement_undo.h, the same
//   file a statement outside a transaction uses without forcing it), which also names the
//   blob files the transaction creates so its undo removes them;
// - page journal (commit-logged workspaces): in the commit log's page journal, which commit
//   turns into the next commit record (logged_transaction.cc, journal/page_journal.h).
// A workspace left by an earlier version in the middle of a copy-tree transaction (a backup
// of the whole workspace with a recovery marker) is recovered at open (copy_tree_files.h).
// A new kind is a new file here; nothing outside this folder asks which kind is open.
//
// Database::begin/commit/rollback_transaction (transaction.cc) hold what every kind shares:
// the entry checks, the flush flags saved at begin, set for the commit and restored in one
// place when the transaction ends (commit or rollback), and the rule that after rollback no
// transaction is open whatever failed.
//
// Invariants: `commit` either succeeds (the kind has released everything it held), fails
// with the transaction still open (`finished()` false), or fails after it ended itself
// (`finished()` true; e.g. an unknown outcome at the commit point). `rollback` always ends
// the transaction; on failure the handle may hold state that is not the workspace's, and it
// refuses every call but close (Database::rollback_transaction).
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "core/error.h"
#include "db/atomicity/handle_undo.h"
#include "db/database.h"
#include "db/transaction_lock.h"

namespace qm::db {

class Transaction {
 public:
  virtual ~Transaction() = default;
  // Makes the transaction's writes the database's committed state.
  virtual Result<void> commit(Database& db) = 0;
  // Puts the database back as it was at begin.
  virtual Result<void> rollback(Database& db) = 0;

  // Write-path notes for kinds that undo changes themselves (the others keep nothing):
  // `index_entry_added` after a new version reached one of the table's indexes under `key`,
  // `table_changing` before DDL replaces an existing table's indexes or (with `dropping`)
  // removes the table, which the kind may then take over.
  virtual void index_entry_added(std::string_view table, const std::string& column, uint64_t row_id,
                                 const Value& key) {
    (void)table, (void)column, (void)row_id, (void)key;
  }
  virtual void table_changing(std::string_view table, Table& t, bool dropping) { (void)table, (void)t, (void)dropping; }
  // Before DDL adds retrieval indexes to the catalog or removes some from it.
  virtual void retrieval_catalog_changing(const persistent::Catalog& catalog) { (void)catalog; }

  bool finished() const { return finished_; }
  bool saved_autoflush = false;
  bool saved_atomic_manifest = false;

 protected:
  bool finished_ = false;
};

// Begins the transaction of the kind the database needs (undo log for memory, undo file for
// a workspace, page journal for a logged workspace). The caller checked that none is open.
Result<std::unique_ptr<Transaction>> begin_transaction_of_kind(Database& db);

// The kinds' beginnings; a workspace kind gets the transaction lock already taken and the
// shared workspace start (begin_on_workspace) already done.
Result<std::unique_ptr<Transaction>> begin_memory_snapshot(Database& db);
Result<std::unique_ptr<Transaction>> begin_memory_undo(Database& db);
Result<std::unique_ptr<Transaction>> begin_undo_file(Database& db, const std::string& dir, TransactionLock lock);
Result<std::unique_ptr<Transaction>> begin_page_journal(Database& db, const std::string& dir, TransactionLock lock);
// The image a memory-snapshot transaction will import at rollback (none for other kinds).
std::string* memory_snapshot_image(Transaction* tx);

// The kinds' access to the database internals they restore or flush; nothing else uses it.
class TransactionHost {
 public:
  static void set_atomic_manifest(Database& db, bool on) { db.atomic_manifest_ = on; }
  static void set_caller_holds_lock(Database& db, bool on) { db.caller_holds_lock_ = on; }
  static void set_clock_and_version(Database& db, uint64_t clock, uint16_t version) {
    db.clock_ = clock;
    db.format_version_ = version;
  }
  static WriteObservers& observers(Database& db) { return db.observers_; }
  static journal::LogTally& log_tally(Database& db) { return db.log_tally_; }
  // While held, a flush writes pages but not the manifest (an undo-file transaction's
  // manifest changes only at its commit).
  static void hold_manifest(Database& db, bool on) { db.manifest_held_ = on; }
  static std::optional<Digest> manifest_digest(const Database& db) { return db.manifest_digest_; }
  static UndoFileHandle& undo_file(Database& db) { return db.undo_file_; }
  // The version an image baked now would be written with (an index region exists as soon as
  // one table has an index), which a database imported from it holds.
  static uint16_t baked_format_version(const Database& db) {
    bool any_index = false;
    for (const auto& [name, t] : db.catalog_.tables()) any_index = any_index || !t.indexes.empty();
    return db.written_format_version(any_index);
  }
  // Test hook: memory transactions bake a full image at begin instead of keeping an undo log.
  static void use_full_image_transactions(Database& db, bool on) { db.full_image_transactions_ = on; }
  static bool full_image_transactions(const Database& db) { return db.full_image_transactions_; }
  static void set_write_failure(Database& db, std::string text) { db.write_failure_ = std::move(text); }
  // Every file the workspace names was flushed to stable storage by this handle since it last
  // read the workspace, but for the blobs its blob store wrote since (which it can flush).
  static bool files_flushed(const Database& db) { return !db.files_unsynced_; }
  static Result<bool> workspace_changed(const Database& db) { return db.workspace_changed(); }
  static Result<bool> workspace_stale(const Database& db) { return db.workspace_stale(); }
  static Result<void> recover_dead_transaction(Database& db) { return db.recover_dead_transaction(); }
  static TransactionLock take_mutation_lock(Database& db) { return std::move(db.mutation_lock_); }
  static Result<void> hand_statement_to_transaction(Database& db) { return db.hand_statement_to_transaction(); }
  static Result<void> forget_replaced_files(Database& db) { return db.forget_replaced_files(); }
  // Re-reads the workspace into the database's parts (another handle committed, or a
  // rollback put the backup back).
  static Result<void> reload_workspace(Database& db, const std::string& dir);
  // The same after another handle's commit: followed from what this handle holds where it can.
  static Result<void> follow_workspace(Database& db) { return db.follow_or_reload(); }
  // Rebuilds the parts from an image taken at begin.
  static Result<void> restore_image(Database& db, std::string_view image);
  // Forgets the open transaction without ending it, as a handle that died would: its lock
  // is released, its undo file (or journal) stays. For crash tests.
  static void abandon(Database& db) {
    db.store_.cache.record_before_images(nullptr);  // the record goes with the transaction
    db.transaction_.reset();
  }
  // Drops the live storage: no dirty page may be written back and no file stays open.
  static void drop_storage(Database& db);
  // The version a rollback of a workspace transaction hands back: the one the manifest this
  // handle writes now carries, as re-reading it would hold.
  static uint16_t manifest_format_version(const Database& db);
  // After a rollback put the workspace back as at begin: the manifest is the one this handle
  // started from (`digest`; when `rewritten`, the undo wrote its bytes again as a new file,
  // whose identity is taken), and `last_write_atomic` is as it was at begin. False when an
  // unrewritten manifest is not the one the handle started from.
  static bool manifest_restored(Database& db, const std::optional<Digest>& digest, bool rewritten,
                                bool last_write_atomic);
};

// The shared start of every workspace kind: under the lock already taken, an interrupted
// transaction of a dead handle is undone (holding the lock proves its handle is gone, and an
// acknowledged commit must never be undone by a later recovery), the workspace re-read when
// another handle committed or rolled back, and the live state flushed atomically so the
// transaction starts from disk. Stale recovery files without a marker are left to the
// preparation, which removes them or reports why it could not.
Result<void> begin_on_workspace(Database& db, const std::string& dir);

// The kinds that record the handle's state as the transaction writes (handle_undo.h): the
// write path's notes go to the record, which a rollback restores the handle from.
class RecordingTransaction : public Transaction {
 public:
  RecordingTransaction(Database& db, uint16_t format_version, bool page_ids_only)
      : undo_(db, format_version, page_ids_only) {}

  void index_entry_added(std::string_view table, const std::string& column, uint64_t row_id,
                         const Value& key) final {
    undo_.index_entry_added(table, column, row_id, key);
  }
  void table_changing(std::string_view table, Table& t, bool dropping) final {
    undo_.table_changing(table, t, dropping);
  }
  void retrieval_catalog_changing(const persistent::Catalog& catalog) final {
    undo_.retrieval_catalog_changing(catalog);
  }

 protected:
  HandleUndo undo_;
};

// What the workspace kinds share: the directory, the transaction lock held from begin to the
// end, the record of the handle's state (handle_undo.h), and a rollback that ends the
// transaction, puts the workspace's files back (the kind's undo), restores the handle from
// the record and releases the lock whatever happened. Nothing is reopened or rescanned.
// When the record does not match the handle, the live storage is dropped and the workspace
// (its files back) read again. When the files could not be put back, or that read fails,
// the handle holds something other than the workspace: its storage is dropped, it refuses
// every call but close, and the failure is reported as an unknown outcome; the kind's undo
// stays on disk for the next open.
class WorkspaceTransaction : public RecordingTransaction {
 public:
  // Starts recording the handle's state (after the shared workspace start).
  WorkspaceTransaction(Database& db, std::string dir, TransactionLock lock);
  Result<void> rollback(Database& db) final;


 protected:
  // The transaction ended with its changes kept: recording stops.
  void kept(Database& db) { undo_.keep(db); }
  // With nothing of the live storage written any more (its page-write hook is gone): puts
  // the workspace's files back as they stood at begin, from the kind's own undo, trusting
  // what this handle knows of begin (the manifest it started from, the blobs it named)
  // instead of reading the manifest.
  virtual Result<void> put_back_files(Database& db) = 0;
  // Whether the handle's blob store named `digest` at begin (its file must stay).
  bool named_at_begin(const Database& db, const Digest& digest) const;
  // The manifest this handle started from.
  const std::optional<Digest>& manifest_at_begin() const { return manifest_at_begin_; }

  std::string dir_;
  TransactionLock lock_;
  // Set by a put_back_files that wrote the manifest's bytes again (as a new file).
  bool manifest_rewritten_ = false;

 private:
  // Restores the handle's state from the record once the files are back.
  Result<void> restore_handle(Database& db);

  std::optional<Digest> manifest_at_begin_;
  uint64_t held_at_begin_ = 0;
  bool last_write_atomic_at_begin_ = false;
};

// Whether a dead transaction left files to undo in the workspace (the copy-tree marker of an
// earlier version, or the active page journal of a logged workspace), or a statement or a
// transaction without a commit log left its undo file (`.qm_statement_undo`) not empty.
Result<bool> dead_transaction_left(const std::string& dir);
// The same without the statement undo file: only a whole transaction's files.
Result<bool> dead_transaction_marker_left(const std::string& dir);
// Undoes them: the copy-tree backup first, then the undo file's saved pages, then the page
// journal. Run under the exclusive lock only, which proves their handle is gone. True when
// the workspace's files may now differ from what any handle read (a transaction's files were
// there, or a statement's pages were put back).
Result<bool> recover_dead_transactions(const std::string& dir);

}  // namespace qm::db
