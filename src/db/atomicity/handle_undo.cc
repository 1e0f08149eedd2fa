// The undo record shared by the transaction kinds that restore the handle themselves: the
// compact log of index entries added, and the restore of tables, blob names, retrieval indexes,
// clock and format version (handle_undo.h).
#include "db/atomicity/handle_undo.h"

#include <utility>

#include "db/atomicity/transaction.h"

namespace qm::db {

// One index entry a new row version added: the index by its place in the target list, so a
// bulk load logs no names.
struct LoggedIndexEntry {
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
class IndexEntryLog {
 public:
  void push_back(LoggedIndexEntry e) {
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
    std::vector<LoggedIndexEntry> block_entries;
    for (size_t b = blocks_.size(); b-- > 0;) {
      const Block& block = blocks_[b];
      block_entries.clear();
      uint64_t row_id = block.base_row_id;
      size_t at = 0;
      while (at < block.bytes.size()) {
        LoggedIndexEntry e;
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


HandleUndo::HandleUndo(Database& db, uint16_t format_version, bool page_ids_only)
    : log_(std::make_unique<IndexEntryLog>()) {
  storage::PageCache& cache = db.store().cache;
  pages_.limit = cache.backend().page_count();
  pages_.ids_only = page_ids_only;
  blob_count_ = db.store().cas.count();
  clock_ = db.clock();
  format_version_ = format_version;
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
  TransactionHost::observers(db).transaction_began();
}

HandleUndo::~HandleUndo() = default;

void HandleUndo::index_entry_added(std::string_view table, const std::string& column, uint64_t row_id,
                                   const Value& key) {
  log_->push_back(LoggedIndexEntry{target_of(table, column), row_id, key});
}

void HandleUndo::table_changing(std::string_view table, Table& t, bool dropping) {
  auto it = tables_.find(table);
  if (it == tables_.end() || it->second.handed_over) return;  // created in this transaction
  if (dropping) it->second.handed_over = std::move(t.indexes);
  else it->second.handed_over = t.indexes;
  it->second.handed_over_at = log_->size();
}

void HandleUndo::retrieval_catalog_changing(const persistent::Catalog& catalog) {
  if (!retrieval_) retrieval_ = catalog;
}

void HandleUndo::keep(Database& db) {
  for (auto& [name, entry] : db.catalog().retrieval()) entry.end_undo();
  db.store().cache.record_before_images(nullptr);
  db.store().cas.end_undo();
}

void HandleUndo::stop(Database& db) { db.store().cache.record_before_images(nullptr); }

uint32_t HandleUndo::target_of(std::string_view table, const std::string& column) {
  if (last_target_ < targets_.size() && targets_[last_target_].table == table &&
      targets_[last_target_].column == column)
    return last_target_;
  for (last_target_ = 0; last_target_ < targets_.size(); ++last_target_)
    if (targets_[last_target_].table == table && targets_[last_target_].column == column) return last_target_;
  targets_.push_back(IndexTarget{std::string(table), column});
  return last_target_;
}

Result<void> HandleUndo::take_back_entries(TableMap& live) {
  return log_->newest_first([&](size_t n, const LoggedIndexEntry& e) -> Result<void> {
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
  });
}

Result<void> HandleUndo::restore(Database& db) {
  TableMap& live = db.catalog().tables();
  QM_TRY(take_back_entries(live));

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
  return {};
}

}  // namespace qm::db
