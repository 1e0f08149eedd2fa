// Three-valued evaluation of a WHERE/CHECK/CASE predicate against one row. A comparison
// with a NULL operand is unknown; AND and OR follow Kleene logic and always evaluate both
// sides, so an unknown column on either side is reported whatever the other side says.
// The only failures are column-resolution errors, which depend on the column names alone
// (and a row narrower than its names, which only damaged storage yields), never on row
// data: so a predicate can be bound once to positions (`BoundPredicate`) and
// then tested on every row without resolution or allocation.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/value.h"
#include "sql/statement.h"

namespace qm::db {

enum class Truth : uint8_t { False = 0, True = 1, Unknown = 2 };

// Resolves the predicate's columns afresh and evaluates it on one row.
Result<Truth> check_result(const sql::Predicate& predicate, std::span<const std::string> names,
                           std::span<const Value> row);

// The first column reference (left to right through AND and OR) that does not resolve.
Result<void> check_predicate_columns(std::span<const std::string> names, const sql::Predicate& predicate);

// A predicate with its columns resolved to positions and its literals copied, for
// testing many rows of one shape. Binding never fails by itself: a resolution error is
// kept and returned by `eval` for every row, exactly as `check_result` would, so a row
// source over no rows reports nothing.
class BoundPredicate {
 public:
  static BoundPredicate bind(const sql::Predicate& predicate, std::span<const std::string> names);

  // The resolution error every evaluation reports, if any.
  const std::optional<QmError>& error() const { return error_; }

  Result<Truth> eval(std::span<const Value> row) const {
    if (error_) return fail(*error_);
    if (row.size() < width_) return fail(QmError::corruption("record field count does not match table columns"));
    return test(row);
  }
  // Preconditions: no binding error; the row is as wide as the names bound. Allocates
  // nothing.
  Truth test(std::span<const Value> row) const { return test_node(root_, row); }
  // Appends the positions of the columns a test reads (with repeats), so a reader can decode
  // only those before testing.
  void columns_read(std::vector<uint32_t>& out) const {
    for (const Node& n : nodes_)
      if (n.op != Op::And && n.op != Op::Or) out.push_back(n.pos);
  }

 private:
  enum class Op : uint8_t { Compare, In, Between, IsNull, And, Or };
  struct Node {
    Op op = Op::Compare;
    sql::CompareOp cmp = sql::CompareOp::Eq;
    bool negated = false;
    bool sorted = false;    // IN: members sorted for binary search (long lists)
    bool has_null = false;  // IN: a member is Null
    uint32_t pos = 0;    // column position (leaves)
    uint32_t a = 0;      // literal index / first list literal / left child
    uint32_t b = 0;      // second literal / list length / right child
  };

  uint32_t add(const sql::Predicate& p, std::span<const std::string> names);
  Truth test_node(uint32_t index, std::span<const Value> row) const;

  std::vector<Node> nodes_;
  std::vector<Value> literals_;
  uint32_t root_ = 0;
  size_t width_ = 0;
  std::optional<QmError> error_;
};

}  // namespace qm::db
