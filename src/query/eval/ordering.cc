#include "query/eval/ordering.h"

#include <algorithm>
#include <functional>
#include <numeric>
#include <unordered_set>

#include "query/eval/columns.h"

namespace qm::db {
namespace {

uint64_t mix(uint64_t h, uint64_t v) {
  h ^= v + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2);
  return h;
}

// A hash consistent with the kind-first equality of rows.
struct RowHash {
  const std::vector<Row>* rows;
  size_t operator()(size_t i) const {
    uint64_t h = (*rows)[i].size();
    for (const Value& v : (*rows)[i]) {
      h = mix(h, static_cast<uint64_t>(v.kind()));
      if (v.is_int() || v.is_decimal()) {
        auto u = static_cast<u128>(v.as_decimal());
        h = mix(mix(h, static_cast<uint64_t>(u)), static_cast<uint64_t>(u >> 64));
      } else if (v.is_text() || v.is_blob()) {
        h = mix(h, std::hash<std::string_view>{}(v.bytes()));
      }
    }
    return static_cast<size_t>(h);
  }
};

struct RowEq {
  const std::vector<Row>* rows;
  bool operator()(size_t a, size_t b) const { return (*rows)[a] == (*rows)[b]; }
};

// One row's place in a sort: its position and its first key value in a compact form
// (a number's 128 bits, or the first 8 bytes of a text or blob, big-endian), so most
// comparisons touch only this entry and never the row. Ties on the compact form (equal
// prefixes, or equal first keys) fall back to the full values.
struct SortEntry {
  int64_t high = 0;     // number: high 64 bits; text/blob: byte length
  uint64_t low = 0;     // number: low 64 bits; text/blob: byte prefix
  const Value* value = nullptr;
  uint32_t kind = 0;
  uint32_t index = 0;
};

class SortKeys {
 public:
  SortKeys(const std::vector<Row>& rows, std::span<const OrderKey> keys) : rows_(rows), keys_(keys) {}

  SortEntry entry(size_t i) const {
    SortEntry e;
    const Value& v = rows_[i][keys_[0].pos];
    e.value = &v;
    e.kind = static_cast<uint32_t>(v.kind());
    e.index = static_cast<uint32_t>(i);
    if (v.is_int() || v.is_decimal()) {
      i128 n = v.as_decimal();
      e.high = static_cast<int64_t>(n >> 64);
      e.low = static_cast<uint64_t>(n);
    } else if (v.is_text() || v.is_blob()) {
      std::string_view b = v.bytes();
      e.high = static_cast<int64_t>(b.size());
      for (size_t k = 0; k < 8; ++k) e.low = e.low << 8 | (k < b.size() ? static_cast<unsigned char>(b[k]) : 0u);
    }
    return e;
  }

  std::weak_ordering compare(const SortEntry& a, const SortEntry& b) const {
    std::weak_ordering c = first(a, b);
    if (c != 0) return keys_[0].descending ? 0 <=> c : c;
    const Row& x = rows_[a.index];
    const Row& y = rows_[b.index];
    for (size_t j = 1; j < keys_.size(); ++j) {
      auto d = qm::compare(x[keys_[j].pos], y[keys_[j].pos]);
      if (d != 0) return keys_[j].descending ? 0 <=> d : d;
    }
    return std::weak_ordering::equivalent;
  }

 private:
  static std::weak_ordering first(const SortEntry& a, const SortEntry& b) {
    if (a.kind != b.kind) return a.kind <=> b.kind;
    if (a.value->is_text() || a.value->is_blob()) {
      if (a.low != b.low) return a.low <=> b.low;
      // Equal prefixes: when both values fit in the prefix, the shorter one is first.
      if (a.high <= 8 && b.high <= 8) return a.high <=> b.high;
      return qm::compare(*a.value, *b.value);
    }
    if (a.high != b.high) return a.high <=> b.high;
    return a.low <=> b.low;
  }

  const std::vector<Row>& rows_;
  std::span<const OrderKey> keys_;
};

void permute(std::vector<Row>& rows, std::span<const SortEntry> order) {
  std::vector<Row> out;
  out.reserve(order.size());
  for (const SortEntry& e : order) out.push_back(std::move(rows[e.index]));
  rows = std::move(out);
}

std::vector<SortEntry> entries(const SortKeys& sk, size_t n) {
  std::vector<SortEntry> out(n);
  for (size_t i = 0; i < n; ++i) out[i] = sk.entry(i);
  return out;
}

}  // namespace

Result<std::vector<OrderKey>> order_keys(std::span<const std::string> names, std::span<const sql::OrderBy> order_by) {
  std::vector<OrderKey> keys;
  keys.reserve(order_by.size());
  for (const sql::OrderBy& o : order_by) {
    QM_ASSIGN(size_t pos, projection_col_pos(names, o.column));
    keys.push_back({pos, o.descending});
  }
  return keys;
}

std::weak_ordering compare_by_keys(std::span<const Value> a, std::span<const Value> b, std::span<const OrderKey> keys) {
  for (const OrderKey& k : keys) {
    auto c = compare(a[k.pos], b[k.pos]);
    if (c != 0) return k.descending ? 0 <=> c : c;
  }
  return std::weak_ordering::equivalent;
}

void sort_rows_by_keys(std::vector<Row>& rows, std::span<const OrderKey> keys) {
  if (keys.empty() || rows.size() < 2) return;
  SortKeys sk(rows, keys);
  auto order = entries(sk, rows.size());
  std::stable_sort(order.begin(), order.end(),
                   [&](const SortEntry& x, const SortEntry& y) { return sk.compare(x, y) < 0; });
  permute(rows, order);
}

Result<void> sort_rows(std::vector<Row>& rows, std::span<const std::string> names,
                       std::span<const sql::OrderBy> order_by) {
  if (order_by.empty()) return {};
  QM_ASSIGN(auto keys, order_keys(names, order_by));
  sort_rows_by_keys(rows, keys);
  return {};
}

Result<void> take_top_n(std::vector<Row>& rows, std::span<const std::string> names,
                        std::span<const sql::OrderBy> order_by, uint64_t k) {
  if (k >= rows.size()) return sort_rows(rows, names, order_by);
  QM_ASSIGN(auto keys, order_keys(names, order_by));
  SortKeys sk(rows, keys);
  auto order = entries(sk, rows.size());
  // A strict total order (position breaks ties), so the selected k are exactly the first
  // k of the stable sort.
  auto less = [&](const SortEntry& x, const SortEntry& y) {
    auto c = sk.compare(x, y);
    return c != 0 ? c < 0 : x.index < y.index;
  };
  auto kth = order.begin() + static_cast<ptrdiff_t>(k);
  std::nth_element(order.begin(), kth, order.end(), less);
  order.resize(static_cast<size_t>(k));
  std::sort(order.begin(), order.end(), less);
  permute(rows, order);
  return {};
}

void dedup_rows(std::vector<Row>& rows) {
  if (rows.size() < 2) return;
  std::unordered_set<size_t, RowHash, RowEq> seen(rows.size(), RowHash{&rows}, RowEq{&rows});
  std::vector<bool> keep(rows.size());
  for (size_t i = 0; i < rows.size(); ++i) keep[i] = seen.insert(i).second;
  size_t out = 0;
  for (size_t i = 0; i < rows.size(); ++i) {
    if (!keep[i]) continue;
    if (out != i) rows[out] = std::move(rows[i]);
    ++out;
  }
  rows.resize(out);
}

void apply_offset_limit(std::vector<Row>& rows, std::optional<uint64_t> limit, uint64_t offset) {
  if (offset > 0) {
    if (offset >= rows.size()) {
      rows.clear();
    } else {
      rows.erase(rows.begin(), rows.begin() + static_cast<ptrdiff_t>(offset));
    }
  }
  if (limit && *limit < rows.size()) rows.resize(static_cast<size_t>(*limit));
}

}  // namespace qm::db
