#include "db/exec/ordering.h"

#include <algorithm>
#include <functional>
#include <numeric>
#include <unordered_set>

#include "db/exec/columns.h"

namespace qm::db {
namespace {

// Moves rows into the order given by `order` (positions into `rows`).
void permute(std::vector<Row>& rows, std::span<const size_t> order) {
  std::vector<Row> out;
  out.reserve(order.size());
  for (size_t i : order) out.push_back(std::move(rows[i]));
  rows = std::move(out);
}

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

}  // namespace

Result<std::vector<OrderKey>> order_keys(std::span<const std::string> names, std::span<const query::OrderBy> order_by) {
  std::vector<OrderKey> keys;
  keys.reserve(order_by.size());
  for (const query::OrderBy& o : order_by) {
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
  std::vector<size_t> order(rows.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t x, size_t y) { return compare_by_keys(rows[x], rows[y], keys) < 0; });
  permute(rows, order);
}

Result<void> sort_rows(std::vector<Row>& rows, std::span<const std::string> names,
                       std::span<const query::OrderBy> order_by) {
  if (order_by.empty()) return {};
  QM_ASSIGN(auto keys, order_keys(names, order_by));
  sort_rows_by_keys(rows, keys);
  return {};
}

Result<void> take_top_n(std::vector<Row>& rows, std::span<const std::string> names,
                        std::span<const query::OrderBy> order_by, uint64_t k) {
  if (k >= rows.size()) return sort_rows(rows, names, order_by);
  QM_ASSIGN(auto keys, order_keys(names, order_by));
  std::vector<size_t> order(rows.size());
  std::iota(order.begin(), order.end(), size_t{0});
  // A strict total order (position breaks ties), so the selected k are exactly the first
  // k of the stable sort.
  auto less = [&](size_t x, size_t y) {
    auto c = compare_by_keys(rows[x], rows[y], keys);
    return c != 0 ? c < 0 : x < y;
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
