#include "db/select/join_rows.h"

#include "db/exec/columns.h"
#include "db/exec/value_compare.h"

namespace qm::db::join {
namespace {

// Null, the numbers (Int and Decimal together), Text, Blob.
int key_rank(const Value& v) {
  if (v.is_null()) return 0;
  if (v.is_int() || v.is_decimal()) return 1;
  return v.is_text() ? 2 : 3;
}

i128 millionths(const Value& v) { return v.is_int() ? static_cast<i128>(v.as_int()) * kMillion : v.as_decimal(); }

}  // namespace

std::strong_ordering compare_keys(const Value& a, const Value& b) {
  const int ra = key_rank(a), rb = key_rank(b);
  if (ra != rb) return ra <=> rb;
  if (ra == 1) return millionths(a) <=> millionths(b);
  return compare(a, b);
}

Value normalize_key(const Value& v) { return v.is_int() ? Value::decimal(millionths(v)) : v; }

bool prefer_probe(uint64_t distinct_keys, uint64_t right_row_versions, bool budgeted) {
  if (budgeted) return true;
  const uint64_t probes = distinct_keys > UINT64_MAX / 4 ? UINT64_MAX : distinct_keys * 4;
  return probes <= (right_row_versions == 0 ? 1 : right_row_versions);
}

Result<KeySet> distinct_left_keys(std::span<const Row> left, size_t pos, QueryBudget* budget, bool collect) {
  KeySet keys;
  for (const Row& row : left) {
    if (row.size() <= pos) return fail(short_row());
    const Value& key = row[pos];
    if (key.is_null()) continue;
    if (budget) QM_TRY(budget->materialize_value("join probe keys", key));
    if (collect && !keys.contains(key)) keys.insert(normalize_key(key));
  }
  return keys;
}

void add_right_rows(RightMap& map, std::vector<Row> rows, size_t pos) {
  for (Row& row : rows) {
    if (row.size() <= pos || row[pos].is_null()) continue;
    auto it = map.find(row[pos]);
    if (it == map.end()) it = map.emplace(normalize_key(row[pos]), std::vector<Row>{}).first;
    it->second.push_back(std::move(row));
  }
}

Result<std::vector<Row>> join_rows(std::vector<Row> left, size_t left_pos, const RightMap& right,
                                   size_t right_width, query::JoinKind kind, QueryBudget* budget) {
  std::vector<Row> out;
  out.reserve(left.size());
  for (Row& row : left) {
    if (row.size() <= left_pos) return fail(short_row());
    const std::vector<Row>* matches = nullptr;
    if (!row[left_pos].is_null()) {
      auto it = right.find(row[left_pos]);
      if (it != right.end()) matches = &it->second;
    }
    if (!matches || matches->empty()) {
      if (kind == query::JoinKind::Inner) continue;
      row.resize(row.size() + right_width);  // Value() is NULL
      if (budget) QM_TRY(budget->materialize(row));
      out.push_back(std::move(row));
      continue;
    }
    for (size_t i = 0; i < matches->size(); ++i) {
      const Row& r = (*matches)[i];
      Row joined;
      if (i + 1 == matches->size()) {
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
