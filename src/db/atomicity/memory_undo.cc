// The undo-log transaction of a memory database: it keeps what rollback needs as the
// transaction goes, so begin, each write and commit cost what they change, not the size of
// the database. Kept: the page count, the blob count, the clock and format version, each
// table's metadata without its indexes (its shell), the bytes of every page before its first
// change (recorded by the page cache), and every index entry a new row version added. A
// table whose indexes DDL replaces or which is dropped hands its indexes over whole.
//
// Rollback leaves the database as importing an image baked at begin would: the index entries
// are taken back newest first, the pages put back and the newer ones dropped, the blobs past
// the old count forgotten, every table rebuilt from its shell, and the cache flushed so every
// page is stamped as an import would find it.
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "db/atomicity/transaction.h"

namespace qm::db {
namespace {

struct TableUndo {
  Table shell;                          // the table at begin, without indexes or page set
  std::optional<IndexMap> handed_over;  // its indexes, once DDL replaced or dropped them
  size_t handed_over_at = 0;            // the log length when they were handed over
};

// One index entry a new row version added: the index by its place in the target list, so a
// bulk load logs no names.
struct IndexEntry {
  uint32_t target;
  uint64_t row_id;
  Value key;
};

// The entries in the order they were added, encoded compactly in fixed-size blocks: a batch
// logs an entry per indexed row, so the log is most of what a transaction allocates and frees,
// and a bulk load appends without moving what is logged. An entry is its target, its key (an
// Int inline, any other key by its place in a list of its own) and the step from the previous
// entry's row id, as variable-length numbers: about six bytes for a row of a bulk load. A
// rollback reads them back newest first, one block at a time, so it needs little memory of
// its own even after a statement that ran out of it.
class EntryLog {
 public:
  void push_back(IndexEntry e) {
    if (blocks_.empty() || blocks_.back().bytes.size() + kMaxEntryBytes > kBlockBytes) {
      blocks_.push_back(Block{{}, last_row_id_, size_});
      // A transaction of a few rows keeps its first block small; a large one takes blocks whole.
      if (blocks_.size() > 1) blocks_.back().bytes.reserve(kBlockBytes);
    }
    std::string& out = blocks_.back().bytes;
    put(out, e.target);
    if (e.key.is_int()) {
      put(out, 0);
      put(out, zigzag(e.key.as_int()));
    } else {
      put(out, others_.size() + 1);
      others_.push_back(std::move(e.key));
    }
    put(out, zigzag(static_cast<int64_t>(e.row_id - last_row_id_)));
    last_row_id_ = e.row_id;
    ++size_;
  }
  size_t size() const { return size_; }

  // Calls visit(n, entry) for every entry, newest first (n counts from 0 for the oldest);
  // stops at the first error.
  template <class F>
  Result<void> newest_first(F&& visit) const {
    std::vector<IndexEntry> block_entries;
    for (size_t b = blocks_.size(); b-- > 0;) {
      const Block& block = blocks_[b];
      block_entries.clear();
      uint64_t row_id = block.base_row_id;
      size_t at = 0;
      while (at < block.bytes.size()) {
        IndexEntry e;
        e.target = static_cast<uint32_t>(get(block.bytes, at));
        const uint64_t other = get(block.bytes, at);
        e.key = other == 0 ? Value::integer(unzigzag(get(block.bytes, at))) : others_[other - 1];
        row_id += static_cast<uint64_t>(unzigzag(get(block.bytes, at)));
        e.row_id = row_id;
        block_entries.push_back(std::move(e));
      }
      for (size_t k = block_entries.size(); k-- > 0;) QM_TRY(visit(block.first + k, block_entries[k]));
    }
    return {};
  }

 private:
  struct Block {
    std::string bytes;
    uint64_t base_row_id;  // the row id before the block's first entry
    size_t first;          // the number of the block's first entry
  };
  static constexpr size_t kBlockBytes = 16 * 1024;
  static constexpr size_t kMaxEntryBytes = 4 * 10;  // four numbers of at most 10 bytes

  static uint64_t zigzag(int64_t v) { return (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63); }
  static int64_t unzigzag(uint64_t v) { return static_cast<int64_t>(v >> 1) ^ -static_cast<int64_t>(v & 1); }
  static void put(std::string& out, uint64_t v) {
    while (v >= 0x80) {
      out.push_back(static_cast<char>((v & 0x7F) | 0x80));
      v >>= 7;
    }
    out.push_back(static_cast<char>(v));
  }
  static uint64_t get(const std::string& in, size_t& at) {
    uint64_t v = 0;
    for (unsigned shift = 0;; shift += 7) {
      const auto b = static_cast<unsigned char>(in[at++]);
      v |= static_cast<uint64_t>(b & 0x7F) << shift;
      if (b < 0x80) return v;
    }
  }

  std::vector<Block> blocks_;
  std::vector<Value> others_;
  uint64_t last_row_id_ = 0;
  size_t size_ = 0;
};

struct IndexTarget {
  std::string table;
  std::string column;
};

class MemoryUndo final : public Transaction {
 public:
  explicit MemoryUndo(Database& db) {
    storage::PageCache& cache = db.store().cache;
    pages_.limit = cache.backend().page_count();
    blob_count_ = db.store().cas.count();
    clock_ = db.clock();
    // A rollback hands back what importing an image baked now would hold.
    format_version_ = TransactionHost::baked_format_version(db);
    for (auto& [name, table] : db.catalog().tables()) {
      // Copy everything but the indexes and the page set, which the log restores.
      IndexMap indexes = std::move(table.indexes);
      auto page_ids = std::move(table.page_ids);
      table.indexes.clear();
      table.page_ids.reset();
      TableUndo undo{table, std::nullopt, 0};
      table.indexes = std::move(indexes);
      table.page_ids = std::move(page_ids);
      tables_.emplace(name, std::move(undo));
    }
    cache.record_before_images(&pages_);
    db.store().cas.begin_undo();
    // Each retrieval index logs the documents the transaction changes; DDL that adds or
    // removes an index copies the catalog first (retrieval_catalog_changing).
    for (auto& [name, entry] : db.catalog().retrieval()) entry.begin_undo();
  }

  void index_entry_added(std::string_view table, const std::string& column, uint64_t row_id,
                         const Value& key) override {
    log_.push_back(IndexEntry{target_of(table, column), row_id, key});
  }

  void table_changing(std::string_view table, Table& t, bool dropping) override {
    auto it = tables_.find(table);
    if (it == tables_.end() || it->second.handed_over) return;  // created in this transaction
    if (dropping) it->second.handed_over = std::move(t.indexes);
    else it->second.handed_over = t.indexes;
    it->second.handed_over_at = log_.size();
  }

  void retrieval_catalog_changing(const persistent::Catalog& catalog) override {
    if (!retrieval_) retrieval_ = catalog;
  }

  Result<void> commit(Database& db) override {
    QM_TRY(db.flush());
    for (auto& [name, entry] : db.catalog().retrieval()) entry.end_undo();
    db.store().cache.record_before_images(nullptr);
    db.store().cas.end_undo();
    finished_ = true;
    return {};
  }

  Result<void> rollback(Database& db) override {
    finished_ = true;
    storage::PageCache& cache = db.store().cache;
    cache.record_before_images(nullptr);
    auto restored = restore(db);
    if (!restored)
      return fail(QmError::outcome_unknown("transaction rollback failed after consuming its recovery state (" +
                                           restored.error().message() + ")"));
    return {};
  }

 private:
  uint32_t target_of(std::string_view table, const std::string& column) {
    if (last_target_ < targets_.size() && targets_[last_target_].table == table &&
        targets_[last_target_].column == column)
      return last_target_;
    for (last_target_ = 0; last_target_ < targets_.size(); ++last_target_)
      if (targets_[last_target_].table == table && targets_[last_target_].column == column) return last_target_;
    targets_.push_back(IndexTarget{std::string(table), column});
    return last_target_;
  }

  Result<void> restore(Database& db) {
    TableMap& live = db.catalog().tables();
    // The pages first, the ones allocated since begin dropped before anything else: that
    // gives back most of what a statement that ran out of memory held, so the rest of the
    // rollback finds memory to work with. The cache only forgets those pages (it reads none).
    storage::PageCache& cache = db.store().cache;
    const uint64_t pages_now = cache.backend().page_count();
    if (auto* mem = cache.backend().memory()) mem->truncate(pages_.limit);
    cache.forget_pages(pages_.limit, pages_now);
    for (auto& [id, bytes] : pages_.pages) QM_TRY(cache.write(id, *bytes));
    QM_TRY(log_.newest_first([&](size_t n, const IndexEntry& e) -> Result<void> {
      const IndexTarget& target = targets_[e.target];
      auto undo = tables_.find(target.table);
      if (undo == tables_.end()) return {};  // the table did not exist at begin
      IndexMap* indexes = nullptr;
      if (undo->second.handed_over) {
        if (n >= undo->second.handed_over_at) return {};  // written to indexes that go anyway
        indexes = &*undo->second.handed_over;
      } else {
        auto t = live.find(target.table);
        if (t == live.end()) return fail(QmError::corruption("rollback: a table of the undo log is missing"));
        indexes = &t->second.indexes;
      }
      auto index = indexes->find(target.column);
      if (index == indexes->end() || !index->second.remove_last(e.key, e.row_id))
        return fail(QmError::corruption("rollback: an index entry of the undo log is missing"));
      return {};
    }));

    db.store().cas.undo_replaced();
    db.store().cas.truncate(blob_count_);
    // The indexes as they were at begin: those created since (logging nothing) go, the
    // others undo their logged documents.
    persistent::Catalog& retrieval = db.catalog().retrieval();
    if (retrieval_) retrieval = std::move(*retrieval_);
    std::erase_if(retrieval, [](const auto& e) { return !e.second.undo_active(); });
    for (auto& [name, entry] : retrieval) entry.undo();

    TableMap tables;
    for (auto& [name, undo] : tables_) {
      Table t = std::move(undo.shell);
      if (undo.handed_over) {
        t.indexes = std::move(*undo.handed_over);
      } else if (auto it = live.find(name); it != live.end()) {
        t.indexes = std::move(it->second.indexes);
        // The chain's pages at begin are its pages now less those allocated since.
        if (auto& ids = it->second.page_ids) {
          ids->erase_from(pages_.limit);
          t.page_ids = std::move(ids);
        }
      }
      tables.emplace(name, std::move(t));
    }
    live = std::move(tables);
    TransactionHost::set_clock_and_version(db, clock_, format_version_);
    QM_TRY(cache.flush());
    return TransactionHost::observers(db).rolled_back(db.catalog());
  }

  storage::PageBeforeImages pages_;
  std::optional<persistent::Catalog> retrieval_;  // the catalog before the first retrieval DDL
  uint64_t blob_count_ = 0;
  uint64_t clock_ = 0;
  uint16_t format_version_ = 1;
  std::map<std::string, TableUndo, std::less<>> tables_;
  std::vector<IndexTarget> targets_;
  uint32_t last_target_ = 0;
  EntryLog log_;
};

}  // namespace

Result<std::unique_ptr<Transaction>> begin_memory_undo(Database& db) {
  // Every page starts clean and stamped, so the bytes kept before a first change are the
  // bytes an image baked now would hold.
  QM_TRY(db.flush());
  auto tx = std::make_unique<MemoryUndo>(db);
  TransactionHost::observers(db).transaction_began();
  return std::unique_ptr<Transaction>(std::move(tx));
}

}  // namespace qm::db
