#include "query/eval/join_rows.h"

#include <algorithm>
#include <string_view>

#include "query/eval/columns.h"
#include "query/eval/value_compare.h"

namespace qm::db::join {
namespace {

// Null, the numbers (Int and Decimal together), Text, Blob.
int key_rank(const Value& v) {
  if (v.is_null()) return 0;
  if (v.is_int() || v.is_decimal()) return 1;
  return v.is_text() ? 2 : 3;
}

i128 millionths(const Value& v) { return v.is_int() ? static_cast<i128>(v.as_int()) * kDecimalScale : v.as_decimal(); }

}  // namespace

std::strong_ordering compare_keys(const Value& a, const Value& b) {
  const int ra = key_rank(a), rb = key_rank(b);
  if (ra != rb) return ra <=> rb;
  if (ra == 1) return millionths(a) <=> millionths(b);
  return compare(a, b);
}

Value normalize_key(const Value& v) { return v.is_int() ? Value::decimal(millionths(v)) : v; }

size_t JoinKeyHash::operator()(const Value& v) const {
  auto mix = [](uint64_t x) {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
  };
  switch (key_rank(v)) {
    case 0: return 0;
    case 1: {
      const u128 m = static_cast<u128>(millionths(v));
      return mix(static_cast<uint64_t>(m) ^ mix(static_cast<uint64_t>(m >> 64)));
    }
    default: return mix(std::hash<std::string_view>{}(v.bytes()) + static_cast<uint64_t>(key_rank(v)));
  }
}

std::vector<Value> sorted_keys(const KeySet& keys) {
  std::vector<Value> out(keys.begin(), keys.end());
  std::sort(out.begin(), out.end(), JoinKeyLess{});
  return out;
}

void RightMap::reserve(size_t rows) {
  rows_.reserve(rows);
  next_.reserve(rows);
  size_t want = 16;
  while (want / 2 < rows) want *= 2;
  if (want > slots_.size()) grow(want);
}

size_t RightMap::find_slot(const Value& key, uint64_t hash) const {
  const size_t mask = slots_.size() - 1;
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.head == npos) return i;
    if (slot.hash == hash && compare_keys(rows_[slot.head][pos_], key) == 0) return i;
  }
}

void RightMap::grow(size_t capacity) {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(capacity, Slot{});
  const size_t mask = slots_.size() - 1;
  for (const Slot& slot : old) {
    if (slot.head == npos) continue;
    size_t i = slot.hash & mask;
    while (slots_[i].head != npos) i = (i + 1) & mask;
    slots_[i] = slot;
  }
}

void RightMap::add(Row row) {
  if (row.size() <= pos_ || row[pos_].is_null()) return;
  if ((keys_ + 1) * 2 > slots_.size()) grow(slots_.empty() ? 16 : slots_.size() * 2);
  const uint64_t hash = JoinKeyHash{}(row[pos_]);
  Slot& slot = slots_[find_slot(row[pos_], hash)];
  const size_t index = rows_.size();
  rows_.push_back(std::move(row));
  next_.push_back(npos);
  if (slot.head == npos) {
    slot = Slot{hash, index, index};
    ++keys_;
  } else {
    next_[slot.tail] = index;
    slot.tail = index;
  }
}

size_t RightMap::first(const Value& key) const {
  if (slots_.empty() || key.is_null()) return npos;
  return slots_[find_slot(key, JoinKeyHash{}(key))].head;
}

void RightMap::prefetch(const Value& key, int stage) const {
  if (slots_.empty() || key.is_null()) return;
  const Slot& slot = slots_[JoinKeyHash{}(key) & (slots_.size() - 1)];
  if (stage == 0) {
    __builtin_prefetch(&slot);
  } else if (slot.head != npos) {
    if (stage == 1) __builtin_prefetch(&rows_[slot.head]);
    else __builtin_prefetch(rows_[slot.head].data());
  }
}

bool prefer_probe(uint64_t distinct_keys, uint64_t right_row_versions, bool budgeted) {
  if (budgeted) return true;
  const uint64_t probes = distinct_keys > UINT64_MAX / 4 ? UINT64_MAX : distinct_keys * 4;
  return probes <= (right_row_versions == 0 ? 1 : right_row_versions);
}

Result<KeySet> distinct_left_keys(std::span<const Row> left, size_t pos, QueryBudget* budget, size_t limit) {
  KeySet keys;
  for (const Row& row : left) {
    if (row.size() <= pos) return fail(short_row());
    const Value& key = row[pos];
    if (key.is_null()) continue;
    if (budget) QM_TRY(budget->materialize_value("join probe keys", key));
    if (keys.size() < limit && !keys.contains(key)) keys.insert(normalize_key(key));
  }
  return keys;
}

void add_right_rows(RightMap& map, std::vector<Row> rows) {
  map.reserve(map.size() + rows.size());
  for (Row& row : rows) map.add(std::move(row));
}

Result<std::vector<Row>> join_rows(std::vector<Row> left, size_t left_pos, const RightMap& right,
                                   size_t right_width, sql::JoinKind kind, QueryBudget* budget) {
  std::vector<Row> out;
  out.reserve(left.size());
  // The lookups are scattered over a map larger than the caches: each key's slot, row
  // entry and row are fetched ahead, a few keys before the lookup needs them.
  constexpr size_t kAhead = 4;
  auto fetch_ahead = [&](size_t at, int stage) {
    if (at < left.size() && left[at].size() > left_pos) right.prefetch(left[at][left_pos], stage);
  };
  for (size_t i = 0; i < left.size(); ++i) {
    fetch_ahead(i + 3 * kAhead, 0);
    fetch_ahead(i + 2 * kAhead, 1);
    fetch_ahead(i + kAhead, 2);
    Row& row = left[i];
    if (row.size() <= left_pos) return fail(short_row());
    size_t match = RightMap::npos;
    if (!row[left_pos].is_null()) match = right.first(row[left_pos]);
    if (match == RightMap::npos) {
      if (kind == sql::JoinKind::Inner) continue;
      row.resize(row.size() + right_width);  // Value() is NULL
      if (budget) QM_TRY(budget->materialize(row));
      out.push_back(std::move(row));
      continue;
    }
    for (; match != RightMap::npos; match = right.next(match)) {
      const Row& r = right.row(match);
      Row joined;
      if (right.next(match) == RightMap::npos) {
        joined = std::move(row);
        joined.reserve(joined.size() + r.size());
      } else {
        joined.reserve(row.size() + r.size());
        joined.insert(joined.end(), row.begin(), row.end());
      }
      joined.insert(joined.end(), r.begin(), r.end());
      if (budget) QM_TRY(budget->materialize(joined));
      out.push_back(std::move(joined));
    }
  }
  return out;
}

}  // namespace qm::db::join
