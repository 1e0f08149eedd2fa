#include "query/eval/predicate.h"

#include <algorithm>
#include <type_traits>

#include "query/eval/columns.h"
#include "query/eval/value_compare.h"

namespace qm::db {
namespace {

using sql::Predicate;

inline Truth from_bool(bool b) { return b ? Truth::True : Truth::False; }

inline Truth kleene_and(Truth l, Truth r) {
  if (l == Truth::False || r == Truth::False) return Truth::False;
  if (l == Truth::Unknown || r == Truth::Unknown) return Truth::Unknown;
  return Truth::True;
}

inline Truth kleene_or(Truth l, Truth r) {
  if (l == Truth::True || r == Truth::True) return Truth::True;
  if (l == Truth::Unknown || r == Truth::Unknown) return Truth::Unknown;
  return Truth::False;
}

inline Truth compare_leaf(const Value& v, sql::CompareOp op, const Value& literal) {
  // Two integers, the common filter, compare as plain numbers (the same outcome as below).
  if (v.is_int() && literal.is_int()) {
    const int64_t a = v.as_int(), b = literal.as_int();
    switch (op) {
      case sql::CompareOp::Eq: return from_bool(a == b);
      case sql::CompareOp::Ne: return from_bool(a != b);
      case sql::CompareOp::Lt: return from_bool(a < b);
      case sql::CompareOp::Le: return from_bool(a <= b);
      case sql::CompareOp::Gt: return from_bool(a > b);
      case sql::CompareOp::Ge: return from_bool(a >= b);
      default: break;
    }
  }
  if (v.is_null() || literal.is_null()) return Truth::Unknown;
  return from_bool(eval_compare(v, op, literal));
}

inline Truth in_leaf(const Value& v, std::span<const Value> list, bool negated) {
  if (v.is_null()) return Truth::Unknown;
  bool saw_null = false;
  for (const Value& m : list) {
    if (m.is_null()) {
      saw_null = true;
    } else if (values_equal(v, m)) {
      return from_bool(!negated);
    }
  }
  return saw_null ? Truth::Unknown : from_bool(negated);
}

inline Truth between_leaf(const Value& v, const Value& low, const Value& high, bool negated) {
  if (low.is_null() || v.is_null() || high.is_null()) return Truth::Unknown;
  bool inside = numeric_cmp(v, low) >= 0 && numeric_cmp(v, high) <= 0;
  return from_bool(inside != negated);
}

// SQL equality as an order: Int and Decimal are one numeric class compared in
// millionths, every other kind compares as in the total order. in_order(a, b) == 0
// exactly when values_equal(a, b) for non-Null values, so a sorted member list can be
// searched instead of scanned; the answer of IN does not depend on member order.
inline std::strong_ordering in_order(const Value& a, const Value& b) {
  bool an = a.is_int() || a.is_decimal(), bn = b.is_int() || b.is_decimal();
  if (an && bn) {
    i128 x = a.is_int() ? static_cast<i128>(a.as_int()) * kDecimalScale : a.as_decimal();
    i128 y = b.is_int() ? static_cast<i128>(b.as_int()) * kDecimalScale : b.as_decimal();
    return x <=> y;
  }
  return compare(a, b);
}

// Lists longer than this are sorted once at binding.
constexpr size_t kSortedInThreshold = 8;

}  // namespace

Result<Truth> check_result(const Predicate& predicate, std::span<const std::string> names,
                           std::span<const Value> row) {
  return std::visit(
      [&](const auto& n) -> Result<Truth> {
        using T = std::decay_t<decltype(n)>;
        if constexpr (std::is_same_v<T, sql::AndPred> || std::is_same_v<T, sql::OrPred>) {
          QM_ASSIGN(Truth l, check_result(*n.left, names, row));
          QM_ASSIGN(Truth r, check_result(*n.right, names, row));
          return std::is_same_v<T, sql::AndPred> ? kleene_and(l, r) : kleene_or(l, r);
        } else {
          QM_ASSIGN(size_t pos, projection_col_pos(names, n.column));
          if (pos >= row.size()) return fail(short_row());
          const Value& v = row[pos];
          if constexpr (std::is_same_v<T, sql::ComparePred>) {
            return compare_leaf(v, n.op, n.value);
          } else if constexpr (std::is_same_v<T, sql::InPred>) {
            return in_leaf(v, n.values, n.negated);
          } else if constexpr (std::is_same_v<T, sql::BetweenPred>) {
            return between_leaf(v, n.low, n.high, n.negated);
          } else {
            return from_bool(v.is_null() != n.negated);
          }
        }
      },
      predicate.node);
}

Result<void> check_predicate_columns(std::span<const std::string> names, const Predicate& predicate) {
  return std::visit(
      [&](const auto& n) -> Result<void> {
        using T = std::decay_t<decltype(n)>;
        if constexpr (std::is_same_v<T, sql::AndPred> || std::is_same_v<T, sql::OrPred>) {
          QM_TRY(check_predicate_columns(names, *n.left));
          return check_predicate_columns(names, *n.right);
        } else {
          QM_TRY(projection_col_pos(names, n.column));
          return {};
        }
      },
      predicate.node);
}

BoundPredicate BoundPredicate::bind(const Predicate& predicate, std::span<const std::string> names) {
  BoundPredicate out;
  out.width_ = names.size();
  out.root_ = out.add(predicate, names);
  if (out.error_) {
    out.nodes_.clear();
    out.literals_.clear();
  }
  return out;
}

uint32_t BoundPredicate::add(const Predicate& p, std::span<const std::string> names) {
  Node node;
  std::visit(
      [&](const auto& n) {
        using T = std::decay_t<decltype(n)>;
        if constexpr (std::is_same_v<T, sql::AndPred> || std::is_same_v<T, sql::OrPred>) {
          node.op = std::is_same_v<T, sql::AndPred> ? Op::And : Op::Or;
          node.a = add(*n.left, names);
          node.b = add(*n.right, names);
        } else {
          if (!error_) {
            auto pos = projection_col_pos(names, n.column);
            if (pos) {
              node.pos = static_cast<uint32_t>(*pos);
            } else {
              error_ = std::move(pos).error();
            }
          }
          node.a = static_cast<uint32_t>(literals_.size());
          if constexpr (std::is_same_v<T, sql::ComparePred>) {
            node.op = Op::Compare;
            node.cmp = n.op;
            literals_.push_back(n.value);
          } else if constexpr (std::is_same_v<T, sql::InPred>) {
            node.op = Op::In;
            node.negated = n.negated;
            node.b = static_cast<uint32_t>(n.values.size());
            literals_.insert(literals_.end(), n.values.begin(), n.values.end());
            if (n.values.size() > kSortedInThreshold) {
              auto first = literals_.begin() + node.a;
              auto last = std::remove_if(first, literals_.end(), [](const Value& v) { return v.is_null(); });
              node.has_null = last != literals_.end();
              literals_.erase(last, literals_.end());
              std::sort(first, literals_.end(), [](const Value& x, const Value& y) { return in_order(x, y) < 0; });
              node.b = static_cast<uint32_t>(literals_.end() - first);
              node.sorted = true;
            }
          } else if constexpr (std::is_same_v<T, sql::BetweenPred>) {
            node.op = Op::Between;
            node.negated = n.negated;
            literals_.push_back(n.low);
            literals_.push_back(n.high);
          } else {
            node.op = Op::IsNull;
            node.negated = n.negated;
          }
        }
      },
      p.node);
  nodes_.push_back(node);
  return static_cast<uint32_t>(nodes_.size() - 1);
}

Truth BoundPredicate::test_node(uint32_t index, std::span<const Value> row) const {
  const Node& n = nodes_[index];
  switch (n.op) {
    case Op::Compare: return compare_leaf(row[n.pos], n.cmp, literals_[n.a]);
    case Op::In: {
      std::span<const Value> members = std::span<const Value>(literals_).subspan(n.a, n.b);
      if (!n.sorted) return in_leaf(row[n.pos], members, n.negated);
      const Value& v = row[n.pos];
      if (v.is_null()) return Truth::Unknown;
      auto it = std::lower_bound(members.begin(), members.end(), v,
                                 [](const Value& m, const Value& x) { return in_order(m, x) < 0; });
      if (it != members.end() && in_order(*it, v) == 0) return from_bool(!n.negated);
      return n.has_null ? Truth::Unknown : from_bool(n.negated);
    }
    case Op::Between: return between_leaf(row[n.pos], literals_[n.a], literals_[n.a + 1], n.negated);
    case Op::IsNull: return from_bool(row[n.pos].is_null() != n.negated);
    // Bound leaves cannot fail, so skipping the right side changes nothing but the cost.
    case Op::And: {
      Truth l = test_node(n.a, row);
      return l == Truth::False ? l : kleene_and(l, test_node(n.b, row));
    }
    case Op::Or: {
      Truth l = test_node(n.a, row);
      return l == Truth::True ? l : kleene_or(l, test_node(n.b, row));
    }
  }
  return Truth::Unknown;
}

}  // namespace qm::db
