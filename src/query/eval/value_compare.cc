#include "query/eval/value_compare.h"

#include "query/eval/like.h"

namespace qm::db {

bool values_equal(const Value& a, const Value& b) {
  if (a.kind() != b.kind()) {
    if (a.is_int() && b.is_decimal()) return static_cast<i128>(a.as_int()) * kDecimalScale == b.as_decimal();
    if (a.is_decimal() && b.is_int()) return a.as_decimal() == static_cast<i128>(b.as_int()) * kDecimalScale;
    return false;
  }
  return a == b;
}

bool eval_compare(const Value& left, sql::CompareOp op, const Value& right) {
  using sql::CompareOp;
  if (left.is_null() || right.is_null()) return false;
  switch (op) {
    case CompareOp::Eq: return values_equal(left, right);
    case CompareOp::Ne: return !values_equal(left, right);
    case CompareOp::Lt: return numeric_cmp(left, right) < 0;
    case CompareOp::Le: return numeric_cmp(left, right) <= 0;
    case CompareOp::Gt: return numeric_cmp(left, right) > 0;
    case CompareOp::Ge: return numeric_cmp(left, right) >= 0;
    case CompareOp::Like: return left.is_text() && right.is_text() && like_match(left.bytes(), right.bytes());
    case CompareOp::NotLike: return left.is_text() && right.is_text() && !like_match(left.bytes(), right.bytes());
  }
  return false;
}

}  // namespace qm::db
