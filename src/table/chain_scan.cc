// The table chain walk shared by `scan` and `scan_envelopes`: one loop over the chain with
// its limits and end checks, parameterised by how a page's records are read.
#include "table/chain_scan.h"

#include <optional>
#include <utility>
#include <vector>

#include "core/bytes.h"
#include "core/saturating.h"
#include "core/record_envelope.h"
#include "table/query_budget.h"
#include "table/text.h"
#include "storage/cold_page.h"
#include "storage/record.h"
#include "storage/row_page.h"

namespace qm::db {
namespace {

using storage::ConstPageSpan;

struct WalkCounts {
  uint64_t versions = 0;
  uint64_t cold_pages = 0;

  void add_version() { versions = saturating_inc(versions); }
};

QmError field_count_mismatch() { return QmError::corruption("record field count does not match table columns"); }

// Counts a columnar page against the declaration before it is read.
Result<void> admit_cold_page(const Table& table, WalkCounts& counts) {
  if (table.cold_pages == 0) return fail(QmError::corruption("table contains an undeclared cold page"));
  ++counts.cold_pages;
  if (counts.cold_pages > table.cold_pages)
    return fail(QmError::corruption("page chain contains more cold pages than the manifest declares"));
  return {};
}

// Reads a record's envelope words; a record shorter than its envelope is BufferTooSmall.
Result<void> check_envelope(std::span<const uint8_t> record) {
  if (record.size() < kEnvelopeSize) return fail(QmError::buffer_too_small(kEnvelopeSize, record.size()));
  return {};
}

// Every row of a columnar page, decoded whole, to `each` until `stopped` is set.
template <class Each>
Result<void> for_each_cold_row(const Table& table, uint64_t page_id, ConstPageSpan bytes, WalkCounts& counts,
                               const bool& stopped, Each each) {
  QM_ASSIGN(auto page, storage::ColdPage::decode(bytes));
  if (page.header.rows > 0 && page.header.arity != table.columns.size()) return fail(field_count_mismatch());
  for (size_t i = 0; i < page.header.rows && !stopped; ++i) {
    if (i > 0xFFFF) return fail(QmError::corruption("cold-page slot overflow"));
    counts.add_version();
    const RecordEnvelope& env = page.envelopes[i];
    QM_TRY(each(RecordVersion{storage::row_id(page_id, static_cast<uint16_t>(i)), env.created_tx, env.deleted_tx,
                              page.row(i)}));
  }
  return {};
}

// The per-page readers of a full scan: decode each record into `row` and visit it. `Visit`
// returns whether the walk goes on.
template <class Visit>
class RowReader {
 public:
  RowReader(const Table& table, const storage::CasStore& cas, Visit visit)
      : table_(table), cas_(cas), visit_(std::move(visit)) {}

  bool stopped() const { return stopped_; }

  Result<void> record(uint64_t page_id, uint16_t slot, std::span<const uint8_t> bytes, WalkCounts& counts) {
    QM_TRY(check_envelope(bytes));
    QM_TRY(storage::record::decode_row_into(bytes.subspan(kEnvelopeSize), cas_, row_));
    if (row_.size() != table_.columns.size()) return fail(field_count_mismatch());
    counts.add_version();
    RecordVersion version{storage::row_id(page_id, slot), load_u64(bytes.data()), load_u64(bytes.data() + 8), row_};
    QM_ASSIGN(bool more, visit_(version));
    stopped_ = !more;
    return {};
  }

  Result<void> cold_page(uint64_t page_id, ConstPageSpan bytes, WalkCounts& counts) {
    return for_each_cold_row(table_, page_id, bytes, counts, stopped_,
                             [&](const RecordVersion& version) -> Result<void> {
                               QM_ASSIGN(bool more, visit_(version));
                               stopped_ = !more;
                               return {};
                             });
  }

 private:
  const Table& table_;
  const storage::CasStore& cas_;
  Visit visit_;
  Row row_;  // reused for every record of the walk
  bool stopped_ = false;
};

// The budget charge of a whole row (24, plus 32 per value and the bytes of each text or
// blob) from its stored fields, as row_charge would count the decoded values.
uint64_t fields_charge(std::span<const storage::record::Field> fields) {
  uint64_t total = 24;
  for (const auto& f : fields) {
    const bool bytes = storage::record::is_bytes_field(f.tag);
    total = saturating_add(total, bytes ? saturating_add(uint64_t{32}, f.payload.size()) : uint64_t{32});
  }
  return total;
}

// The per-page readers of a probed scan: each record is split (checked whole), its probe
// columns become values, and only a kept version gets the rest (or, narrowed, the wanted
// columns alone) before it goes to the visitor with its whole row's charge.
class ProbedReader {
 public:
  ProbedReader(const Table& table, const storage::CasStore& cas, std::span<const uint32_t> probe_columns,
               const std::span<const uint32_t>* wanted, ScanProbe probe, ScanChargedVisitor visit)
      : table_(table), cas_(cas), probe_(probe), visit_(visit), narrow_(wanted != nullptr), row_(table.columns.size()) {
    std::vector<bool> probed(row_.size(), false);
    for (uint32_t c : probe_columns)
      if (c < probed.size() && !probed[c]) {
        probed[c] = true;
        probe_columns_.push_back(c);
      }
    if (wanted) {
      for (uint32_t c : *wanted)
        if (c < probed.size() && !probed[c]) {
          probed[c] = true;
          rest_columns_.push_back(c);
        }
    } else {
      for (uint32_t c = 0; c < probed.size(); ++c)
        if (!probed[c]) rest_columns_.push_back(c);
    }
  }

  bool stopped() const { return stopped_; }

  Result<void> record(uint64_t page_id, uint16_t slot, std::span<const uint8_t> bytes, WalkCounts& counts) {
    QM_TRY(check_envelope(bytes));
    const auto row_bytes = bytes.subspan(kEnvelopeSize);
    if (narrow_) {
      // Only the texts it reads are checked as UTF-8; a bad one is named by the full check.
      QM_TRY(storage::record::split_row_unchecked_text(row_bytes, cas_, fields_));
      bool ok = true;
      for (uint32_t c : probe_columns_) ok = ok && (c >= fields_.size() || storage::record::text_field_ok(fields_[c]));
      for (uint32_t c : rest_columns_) ok = ok && (c >= fields_.size() || storage::record::text_field_ok(fields_[c]));
      if (!ok) QM_TRY(storage::record::split_row(row_bytes, cas_, fields_));
    } else {
      QM_TRY(storage::record::split_row(row_bytes, cas_, fields_));
    }
    if (fields_.size() != row_.size()) return fail(field_count_mismatch());
    counts.add_version();
    for (uint32_t c : probe_columns_) storage::record::load_field(fields_[c], row_[c]);
    RecordVersion version{storage::row_id(page_id, slot), load_u64(bytes.data()), load_u64(bytes.data() + 8), row_};
    QM_ASSIGN(bool keep, probe_(version));
    if (!keep) return {};
    for (uint32_t c : rest_columns_) storage::record::load_field(fields_[c], row_[c]);
    QM_ASSIGN(bool more, visit_(version, fields_charge(fields_)));
    stopped_ = !more;
    return {};
  }

  // A columnar page is decoded whole, so its rows reach the probe complete.
  Result<void> cold_page(uint64_t page_id, ConstPageSpan bytes, WalkCounts& counts) {
    return for_each_cold_row(table_, page_id, bytes, counts, stopped_,
                             [&](const RecordVersion& version) -> Result<void> {
                               QM_ASSIGN(bool keep, probe_(version));
                               if (!keep) return {};
                               QM_ASSIGN(bool more, visit_(version, row_charge(version.values)));
                               stopped_ = !more;
                               return {};
                             });
  }

 private:
  const Table& table_;
  const storage::CasStore& cas_;
  ScanProbe probe_;
  ScanChargedVisitor visit_;
  bool narrow_;  // only the probe and wanted columns are read
  std::vector<uint32_t> probe_columns_;
  std::vector<uint32_t> rest_columns_;
  std::vector<storage::record::Field> fields_;  // reused for every record of the walk
  Row row_;
  bool stopped_ = false;
};

class EnvelopeReader {
 public:
  explicit EnvelopeReader(ScanEnvelopeVisitor visit) : visit_(visit) {}
  bool stopped() const { return false; }

  Result<void> record(uint64_t, uint16_t, std::span<const uint8_t> bytes, WalkCounts& counts) {
    counts.add_version();
    QM_TRY(check_envelope(bytes));
    return visit_(load_u64(bytes.data()), load_u64(bytes.data() + 8));
  }

  Result<void> cold_page(uint64_t, ConstPageSpan bytes, WalkCounts& counts) {
    QM_ASSIGN(auto envelopes, storage::ColdPage::envelopes(bytes));
    for (const RecordEnvelope& env : envelopes) {
      counts.add_version();
      QM_TRY(visit_(env.created_tx, env.deleted_tx));
    }
    return {};
  }

 private:
  ScanEnvelopeVisitor visit_;
};

// A page read from `first_slot` on must still hold the records read before from it.
Result<void> check_known_slots(uint64_t page_id, uint16_t slots, uint16_t first_slot) {
  if (slots < first_slot)
    return fail(QmError::corruption(str("table page ", page_id, " holds ", slots, " record(s), ", first_slot,
                                        " were read from it before")));
  return {};
}

// The records of the table's in-memory tail page from `first_slot` on; its link must be none.
template <class Reader>
Result<void> read_tail_copy(const storage::RowPage& page, uint64_t page_id, Reader& reader, WalkCounts& counts,
                            uint16_t first_slot) {
  const uint16_t slots = page.slot_count();
  QM_TRY(check_known_slots(page_id, slots, first_slot));
  for (uint16_t s = first_slot; s < slots && !reader.stopped(); ++s) {
    QM_ASSIGN(auto bytes, page.record(s));
    QM_TRY(reader.record(page_id, s, bytes, counts));
  }
  if (reader.stopped()) return {};
  if (page.next_page()) return fail(QmError::corruption("table tail page links to another page"));
  return {};
}

// One cached page: its records from `first_slot` on, then its next link.
template <class Reader>
Result<std::optional<uint64_t>> read_cached(ConstPageSpan bytes, uint64_t page_id, Reader& reader, const Table& table,
                                            WalkCounts& counts, uint16_t first_slot) {
  const uint8_t kind = storage::page_type(bytes);
  if (kind == storage::kRowPageType) {
    QM_ASSIGN(auto page, storage::RowPageRef::over(bytes));
    const uint16_t slots = page.slot_count();
    const uint16_t in_view = page.slots_in_view();
    QM_TRY(check_known_slots(page_id, slots, first_slot));
    for (uint16_t s = first_slot; s < slots && !reader.stopped(); ++s) {
      auto record = s < in_view ? page.record_in_view(s) : std::nullopt;
      if (!record) {
        QM_ASSIGN(record, page.record(s));  // the slot's fault
      }
      QM_TRY(reader.record(page_id, s, *record, counts));
    }
    return page.next_page();
  }
  if (kind == storage::kColumnarPageType) {
    QM_TRY(admit_cold_page(table, counts));
    QM_TRY(reader.cold_page(page_id, bytes, counts));
    return storage::ColdPage::next_page(bytes);
  }
  return fail(QmError::invalid_page_type(kind));
}

// Where a walk begins: at the chain's first page with nothing counted, or part-way along it
// (at a page whose first records, and every page and version before it, were read before).
struct WalkStart {
  std::optional<uint64_t> page;
  uint16_t known_slots = 0;      // records of the first page read before
  WalkCounts known;              // versions and columnar pages before the first unread record
  std::vector<uint64_t>* pages_met = nullptr;  // receives each page the walk reads, in order
};

WalkStart whole_chain(const Table& table) { return WalkStart{table.first_page, 0, WalkCounts{}, nullptr}; }

template <class Reader>
Result<void> walk_chain(storage::PageCache& cache, const Table& table, Reader& reader, const WalkStart& start) {
  // Bounded by the pages the backend really holds, never by a count the manifest claims.
  const uint64_t page_count = cache.backend().held_page_count();
  const uint64_t limit = saturating_inc(page_count);
  WalkCounts counts = start.known;
  bool tail_reached = !table.tail_id.has_value();
  uint64_t visited = 0;
  std::optional<uint64_t> next = start.page;
  uint16_t first_slot = start.known_slots;
  while (next) {
    const uint64_t page_id = *next;
    if (++visited > limit) return fail(QmError::corruption("page chain longer than total page count (cycle?)"));
    if (start.pages_met) start.pages_met->push_back(page_id);
    const bool is_tail = table.tail_id && *table.tail_id == page_id;
    const uint16_t from = std::exchange(first_slot, uint16_t{0});
    if (is_tail) {
      tail_reached = true;
      if (table.tail_page) {
        QM_TRY(read_tail_copy(*table.tail_page, page_id, reader, counts, from));
        if (reader.stopped()) return {};
        break;
      }
    }
    auto read = [&](ConstPageSpan bytes) { return read_cached(bytes, page_id, reader, table, counts, from); };
    // The first pages of a chain longer than the cache enter it and stay there, since the
    // walk never comes back to evict them; the rest pass through without evicting them, so
    // the next walk finds that head resident instead of a cache the tail has flushed.
    if (visited > cache.capacity()) {
      QM_ASSIGN(next, cache.with_page_passing(page_id, read));
    } else {
      QM_ASSIGN(next, cache.with_page(page_id, read));
    }
    if (reader.stopped()) return {};
    if (is_tail && next) return fail(QmError::corruption("table tail page links to another page"));
  }
  if (counts.cold_pages != table.cold_pages)
    return fail(QmError::corruption(
        str("manifest declares ", table.cold_pages, " cold page(s), page chain contains ", counts.cold_pages)));
  if (!tail_reached) return fail(QmError::corruption("table page chain does not reach its declared tail"));
  if (counts.versions != table.row_versions)
    return fail(QmError::corruption(
        str("manifest declares ", table.row_versions, " record version(s), page chain contains ", counts.versions)));
  return {};
}

}  // namespace

Result<void> scan(storage::PageCache& cache, const Table& table, const storage::CasStore& cas, ScanVisitor visit) {
  auto all = [visit](const RecordVersion& version) -> Result<bool> {
    QM_TRY(visit(version));
    return true;
  };
  RowReader<decltype(all)> reader(table, cas, all);
  return walk_chain(cache, table, reader, whole_chain(table));
}

Result<void> scan_until(storage::PageCache& cache, const Table& table, const storage::CasStore& cas,
                        ScanUntilVisitor visit) {
  RowReader<ScanUntilVisitor> reader(table, cas, visit);
  return walk_chain(cache, table, reader, whole_chain(table));
}

Result<void> scan_probed(storage::PageCache& cache, const Table& table, const storage::CasStore& cas,
                         std::span<const uint32_t> probe_columns, ScanProbe probe, ScanUntilVisitor visit) {
  auto uncharged = [visit](const RecordVersion& version, uint64_t) { return visit(version); };
  ProbedReader reader(table, cas, probe_columns, nullptr, probe, uncharged);
  return walk_chain(cache, table, reader, whole_chain(table));
}

Result<void> scan_narrow(storage::PageCache& cache, const Table& table, const storage::CasStore& cas,
                         std::span<const uint32_t> probe_columns, std::span<const uint32_t> wanted_columns,
                         ScanProbe probe, ScanChargedVisitor visit) {
  ProbedReader reader(table, cas, probe_columns, &wanted_columns, probe, visit);
  return walk_chain(cache, table, reader, whole_chain(table));
}

Result<void> scan_appended(storage::PageCache& cache, const Table& table, const storage::CasStore& cas,
                           const AppendedFrom& from, ScanVisitor visit, std::vector<uint64_t>& pages_met) {
  auto all = [visit](const RecordVersion& version) -> Result<bool> {
    QM_TRY(visit(version));
    return true;
  };
  RowReader<decltype(all)> reader(table, cas, all);
  WalkStart start{from.page, from.known_slots, WalkCounts{from.known_versions, table.cold_pages}, &pages_met};
  return walk_chain(cache, table, reader, start);
}

Result<void> scan_envelopes(storage::PageCache& cache, const Table& table, ScanEnvelopeVisitor visit) {
  EnvelopeReader reader(visit);
  return walk_chain(cache, table, reader, whole_chain(table));
}

}  // namespace qm::db
