// Index candidate planning and the join planning helpers.
#include "query/plan/index_plan.h"


#include "core/int128.h"
#include "core/saturating.h"
#include "table/limits.h"

namespace qm::db {
namespace {

using sql::CompareOp;
using storage::Bound;
using storage::KeyRange;

constexpr i128 kI64Min = INT64_MIN;
constexpr i128 kI64Max = INT64_MAX;

bool is_bounded(const Bound& b) { return b.kind != Bound::Kind::Unbounded; }

// The tighter of two lower (or upper) bounds; at equal values Excluded wins.
Bound tighter(const Bound& a, const Bound& b, bool lower) {
  if (!is_bounded(a)) return b;
  if (!is_bounded(b)) return a;
  auto c = compare(a.value, b.value);
  if (c == 0) return a.kind == Bound::Kind::Excluded ? a : b;
  const bool a_tighter = lower ? c > 0 : c < 0;
  return a_tighter ? a : b;
}

// Floor division by 1,000,000 and whether a fraction remains.
std::pair<i128, bool> split_millionths(i128 m) {
  i128 q = m / kDecimalScale;
  i128 r = m % kDecimalScale;
  if (r < 0) --q;
  return {q, r != 0};
}

// [lo, hi] over Int keys, computed in 128 bits and clamped to i64 last; none when empty.
std::optional<KeyRange> int_range(i128 lo, i128 hi) {
  if (lo > hi || lo > kI64Max || hi < kI64Min) return std::nullopt;
  lo = lo < kI64Min ? kI64Min : lo;
  hi = hi > kI64Max ? kI64Max : hi;
  return KeyRange{Bound::included(Value::integer(static_cast<int64_t>(lo))),
                  Bound::included(Value::integer(static_cast<int64_t>(hi)))};
}

KeyRange base_range(CompareOp op, const Value& v) {
  switch (op) {
    case CompareOp::Eq: return {Bound::included(v), Bound::included(v)};
    case CompareOp::Lt: return {Bound::unbounded(), Bound::excluded(v)};
    case CompareOp::Le: return {Bound::unbounded(), Bound::included(v)};
    case CompareOp::Gt: return {Bound::excluded(v), Bound::unbounded()};
    default: return {Bound::included(v), Bound::unbounded()};  // Ge
  }
}

RangeList numeric_ranges(CompareOp op, const Value& literal) {
  const i128 m = literal.is_int() ? static_cast<i128>(literal.as_int()) * kDecimalScale : literal.as_decimal();
  auto [q, fraction] = split_millionths(m);
  RangeList out;
  std::optional<KeyRange> ints;
  switch (op) {
    case CompareOp::Eq:
      if (!fraction) ints = int_range(q, q);
      break;
    case CompareOp::Lt: ints = int_range(kI64Min, fraction ? q : q - 1); break;
    case CompareOp::Le: ints = int_range(kI64Min, q); break;
    case CompareOp::Gt: ints = int_range(q + 1, kI64Max); break;
    default: ints = int_range(fraction ? q + 1 : q, kI64Max); break;  // Ge
  }
  if (ints) out.push_back(std::move(*ints));
  const KeyRange decimals{Bound::included(Value::decimal(kI128Min)), Bound::included(Value::decimal(kI128Max))};
  if (auto r = intersect_range(base_range(op, Value::decimal(m)), decimals)) out.push_back(std::move(*r));
  if (op == CompareOp::Gt || op == CompareOp::Ge)
    out.push_back(KeyRange{Bound::excluded(Value::decimal(kI128Max)), Bound::unbounded()});
  return out;
}


// Row ids inside the ranges, counted without copying.
uint64_t count_in(const storage::SecondaryIndex& index, const RangeList& ranges) {
  uint64_t n = 0;
  for (const KeyRange& r : ranges)
    index.for_each_in_range(r, [&](const Value&, std::span<const uint64_t> ids) { n = saturating_add(n, ids.size()); });
  return n;
}

}  // namespace

std::optional<KeyRange> intersect_range(const KeyRange& a, const KeyRange& b) {
  KeyRange out{tighter(a.lower, b.lower, true), tighter(a.upper, b.upper, false)};
  if (is_bounded(out.lower) && is_bounded(out.upper)) {
    auto c = compare(out.lower.value, out.upper.value);
    if (c > 0) return std::nullopt;
    if (c == 0 && (out.lower.kind == Bound::Kind::Excluded || out.upper.kind == Bound::Kind::Excluded))
      return std::nullopt;
  }
  return out;
}

std::optional<RangeList> comparison_ranges(CompareOp op, const Value& literal) {
  if (op == CompareOp::Ne || op == CompareOp::Like || op == CompareOp::NotLike) return std::nullopt;
  if (literal.is_null()) return RangeList{};
  if (literal.is_int() || literal.is_decimal()) return numeric_ranges(op, literal);
  RangeList out;
  const KeyRange non_null{Bound::excluded(Value::null()), Bound::unbounded()};
  if (auto r = intersect_range(base_range(op, literal), non_null)) out.push_back(std::move(*r));
  return out;
}

void collect_ranges(const sql::Predicate& predicate, std::vector<ColumnRanges>& out) {
  if (auto* a = std::get_if<sql::AndPred>(&predicate.node)) {
    collect_ranges(*a->left, out);
    collect_ranges(*a->right, out);
  } else if (auto* c = std::get_if<sql::ComparePred>(&predicate.node)) {
    if (auto ranges = comparison_ranges(c->op, c->value)) out.push_back({c->column, std::move(*ranges)});
  } else if (auto* b = std::get_if<sql::BetweenPred>(&predicate.node)) {
    if (b->negated) return;
    auto lower = comparison_ranges(CompareOp::Ge, b->low);
    auto upper = comparison_ranges(CompareOp::Le, b->high);
    if (!lower || !upper) return;
    RangeList both;
    for (const KeyRange& l : *lower)
      for (const KeyRange& u : *upper)
        if (auto r = intersect_range(l, u)) both.push_back(std::move(*r));
    out.push_back({b->column, std::move(both)});
  }
}

Result<std::vector<uint64_t>> index_equality_candidates(const storage::SecondaryIndex& index, const Value& key,
                                                        QueryBudget* budget) {
  auto first = index.lookup(key);
  std::span<const uint64_t> second;
  if (key.is_int()) {
    second = index.lookup(Value::decimal(static_cast<i128>(key.as_int()) * kDecimalScale));
  } else if (key.is_decimal()) {
    const i128 m = key.as_decimal();
    if (m % kDecimalScale == 0 && m / kDecimalScale >= kI64Min && m / kDecimalScale <= kI64Max)
      second = index.lookup(Value::integer(static_cast<int64_t>(m / kDecimalScale)));
  }
  const uint64_t total = static_cast<uint64_t>(first.size()) + second.size();
  if (total < first.size()) return fail(QmError::resource_limit("index candidate count overflowed"));
  if (budget) QM_TRY(budget->reserve_index_candidates(total));
  std::vector<uint64_t> out;
  out.reserve(total);
  out.insert(out.end(), first.begin(), first.end());
  out.insert(out.end(), second.begin(), second.end());
  return out;
}

Result<std::optional<std::vector<uint64_t>>> index_candidates(const IndexMap& indexes,
                                                              const sql::Predicate& predicate,
                                                              QueryBudget* budget) {
  if (auto* c = std::get_if<sql::ComparePred>(&predicate.node); c && c->op == CompareOp::Eq) {
    if (auto it = indexes.find(c->column); it != indexes.end()) {
      QM_ASSIGN(auto ids, index_equality_candidates(it->second, c->value, budget));
      return std::optional<std::vector<uint64_t>>(std::move(ids));
    }
  }
  std::vector<ColumnRanges> entries;
  collect_ranges(predicate, entries);
  std::map<std::string, RangeList> plan;
  for (ColumnRanges& entry : entries) {
    if (!indexes.contains(entry.column)) continue;
    auto [it, inserted] = plan.try_emplace(entry.column, RangeList{});
    if (inserted) {
      it->second = std::move(entry.ranges);
      continue;
    }
    RangeList narrowed;
    for (const KeyRange& stored : it->second)
      for (const KeyRange& added : entry.ranges)
        if (auto r = intersect_range(stored, added)) narrowed.push_back(std::move(*r));
    it->second = std::move(narrowed);
  }
  const storage::SecondaryIndex* chosen = nullptr;
  const RangeList* chosen_ranges = nullptr;
  uint64_t chosen_count = 0;
  for (const auto& [column, ranges] : plan) {
    if (budget) QM_TRY(budget->checkpoint());
    const storage::SecondaryIndex& index = indexes.find(column)->second;
    const uint64_t count = count_in(index, ranges);
    if (!chosen || count < chosen_count) {
      chosen = &index;
      chosen_ranges = &ranges;
      chosen_count = count;
    }
  }
  if (!chosen) return std::optional<std::vector<uint64_t>>();
  if (budget) QM_TRY(budget->reserve_index_candidates(chosen_count));
  std::vector<uint64_t> ids;
  ids.reserve(chosen_count);
  for (const KeyRange& r : *chosen_ranges) chosen->append_range(r, ids);
  return std::optional<std::vector<uint64_t>>(std::move(ids));
}

}  // namespace qm::db
