// The syntax tree of one SQL statement. Plain owned values, no source positions. The
// variant the parser picks is part of the contract with execution: look-alike statements
// produce different variants (CreateTable vs CreateTableWithConstraints, InsertRow vs
// InsertRows vs InsertWithTargets, SelectSingle vs Select) and are executed differently.
// A column reference is one string: a bare name or "qualifier.column" as written.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "core/box.h"
#include "core/value.h"
#include "sql/packed_rows.h"
#include "retrieval/definition.h"

namespace qm::sql {

enum class CompareOp : uint8_t { Eq, Ne, Lt, Le, Gt, Ge, Like, NotLike };

struct Predicate;

struct ComparePred {
  std::string column;
  CompareOp op = CompareOp::Eq;
  Value value;
  friend bool operator==(const ComparePred&, const ComparePred&) = default;
};
struct InPred {
  std::string column;
  std::vector<Value> values;  // never empty
  bool negated = false;
  friend bool operator==(const InPred&, const InPred&) = default;
};
struct BetweenPred {
  std::string column;
  Value low;
  Value high;
  bool negated = false;
  friend bool operator==(const BetweenPred&, const BetweenPred&) = default;
};
struct IsNullPred {
  std::string column;
  bool negated = false;
  friend bool operator==(const IsNullPred&, const IsNullPred&) = default;
};
struct AndPred {
  Box<Predicate> left;
  Box<Predicate> right;
  friend bool operator==(const AndPred&, const AndPred&) = default;
};
struct OrPred {
  Box<Predicate> left;
  Box<Predicate> right;
  friend bool operator==(const OrPred&, const OrPred&) = default;
};

// WHERE, CHECK, CASE conditions. No NOT node: negation lives in the flags and NotLike.
struct Predicate {
  std::variant<ComparePred, InPred, BetweenPred, IsNullPred, AndPred, OrPred> node;

  static Predicate eq(std::string column, Value value) {
    return Predicate{ComparePred{std::move(column), CompareOp::Eq, std::move(value)}};
  }
  friend bool operator==(const Predicate&, const Predicate&) = default;
};

enum class AggregateFunction : uint8_t { Count, Sum, Min, Max, Avg };
// "count", "sum", "min", "max", "avg".
const char* label_word(AggregateFunction f);
// "count" for COUNT(*), else "{word}({column})".
std::string agg_label(AggregateFunction f, const std::optional<std::string>& column);

enum class ScalarFunction : uint8_t { Lower, Upper, Trim, Length, Abs, Coalesce, Nullif };
// "LOWER", "UPPER", ...
const char* sql_name(ScalarFunction f);

struct ScalarExpr;
struct ScalarColumn {
  std::string column;
  friend bool operator==(const ScalarColumn&, const ScalarColumn&) = default;
};
struct ScalarLiteral {
  Value value;
  friend bool operator==(const ScalarLiteral&, const ScalarLiteral&) = default;
};
struct ScalarCall {
  ScalarFunction function = ScalarFunction::Lower;
  std::vector<ScalarExpr> args;
  friend bool operator==(const ScalarCall&, const ScalarCall&);
};
struct CaseBranch;
struct ScalarCase {
  std::vector<CaseBranch> branches;  // never empty
  std::optional<Box<ScalarExpr>> else_result;
  friend bool operator==(const ScalarCase&, const ScalarCase&);
};
struct ScalarExpr {
  std::variant<ScalarColumn, ScalarLiteral, ScalarCall, ScalarCase> node;
  friend bool operator==(const ScalarExpr&, const ScalarExpr&) = default;
};
struct CaseBranch {
  Predicate condition;
  ScalarExpr result;
  friend bool operator==(const CaseBranch&, const CaseBranch&) = default;
};
inline bool operator==(const ScalarCall& a, const ScalarCall& b) {
  return a.function == b.function && a.args == b.args;
}
inline bool operator==(const ScalarCase& a, const ScalarCase& b) {
  return a.branches == b.branches && a.else_result == b.else_result;
}

struct SelectColumn {
  std::string column;
  friend bool operator==(const SelectColumn&, const SelectColumn&) = default;
};
struct SelectAggregate {
  AggregateFunction function = AggregateFunction::Count;
  std::optional<std::string> column;  // absent only for COUNT(*)
  friend bool operator==(const SelectAggregate&, const SelectAggregate&) = default;
};
struct SelectScalar {
  ScalarExpr expr;  // literals, functions and CASE; a bare column is SelectColumn
  friend bool operator==(const SelectScalar&, const SelectScalar&) = default;
};
using SelectExpr = std::variant<SelectColumn, SelectAggregate, SelectScalar>;

struct SelectItem {
  SelectExpr expr;
  std::optional<std::string> alias;
  friend bool operator==(const SelectItem&, const SelectItem&) = default;
};

struct ProjectAll {
  friend bool operator==(const ProjectAll&, const ProjectAll&) = default;
};
struct ProjectColumns {
  std::vector<std::string> columns;
  friend bool operator==(const ProjectColumns&, const ProjectColumns&) = default;
};
struct ProjectItems {
  std::vector<SelectItem> items;
  friend bool operator==(const ProjectItems&, const ProjectItems&) = default;
};
using Projection = std::variant<ProjectAll, ProjectColumns, ProjectItems>;

struct HavingAggregate {
  AggregateFunction function = AggregateFunction::Count;
  std::optional<std::string> column;
  friend bool operator==(const HavingAggregate&, const HavingAggregate&) = default;
};
struct HavingColumn {
  std::string column;
  friend bool operator==(const HavingColumn&, const HavingColumn&) = default;
};
using HavingTerm = std::variant<HavingAggregate, HavingColumn>;

struct HavingPred;
struct HavingCompare {
  HavingTerm term;
  CompareOp op = CompareOp::Eq;  // never Like or NotLike
  Value value;
  friend bool operator==(const HavingCompare&, const HavingCompare&) = default;
};
struct HavingAnd {
  Box<HavingPred> left;
  Box<HavingPred> right;
  friend bool operator==(const HavingAnd&, const HavingAnd&) = default;
};
struct HavingOr {
  Box<HavingPred> left;
  Box<HavingPred> right;
  friend bool operator==(const HavingOr&, const HavingOr&) = default;
};
struct HavingPred {
  std::variant<HavingCompare, HavingAnd, HavingOr> node;
  friend bool operator==(const HavingPred&, const HavingPred&) = default;
};

struct OrderBy {
  std::string column;
  bool descending = false;
  friend bool operator==(const OrderBy&, const OrderBy&) = default;
};

struct TableRef {
  std::string name;
  std::optional<std::string> alias;
  const std::string& qualifier() const { return alias ? *alias : name; }
  friend bool operator==(const TableRef&, const TableRef&) = default;
};

enum class JoinKind : uint8_t { Inner, Left };
struct JoinClause {
  JoinKind kind = JoinKind::Inner;
  std::string table;
  std::optional<std::string> alias;
  std::string left_column;   // the ON equality's references, in written order
  std::string right_column;
  const std::string& qualifier() const { return alias ? *alias : table; }
  friend bool operator==(const JoinClause&, const JoinClause&) = default;
};

// The part common to both SELECT forms.
struct SelectBody {
  bool distinct = false;
  Projection projection = ProjectAll{};
  std::optional<Predicate> where;
  std::vector<std::string> group_by;
  std::optional<HavingPred> having;
  std::optional<uint64_t> before;
  std::vector<OrderBy> order_by;
  std::optional<uint64_t> limit;
  uint64_t offset = 0;
  friend bool operator==(const SelectBody&, const SelectBody&) = default;
};

struct InsertDefault {
  friend bool operator==(const InsertDefault&, const InsertDefault&) = default;
};
using InsertValue = std::variant<Value, InsertDefault>;

struct ColumnDefinition {
  std::string name;
  std::optional<Value> default_value;
  bool unique = false;
  bool not_null = false;
  friend bool operator==(const ColumnDefinition&, const ColumnDefinition&) = default;
};

struct Statement;

struct ExplainStmt {
  Box<Statement> statement;  // always a SELECT form
  friend bool operator==(const ExplainStmt&, const ExplainStmt&) = default;
};
struct BeginStmt {
  friend bool operator==(const BeginStmt&, const BeginStmt&) = default;
};
struct CommitStmt {
  friend bool operator==(const CommitStmt&, const CommitStmt&) = default;
};
struct RollbackStmt {
  friend bool operator==(const RollbackStmt&, const RollbackStmt&) = default;
};
// CREATE TABLE with bare column names only (the constraint lists are always empty).
struct CreateTableStmt {
  std::string table;
  std::vector<std::string> columns;
  std::vector<std::string> unique_columns;
  std::vector<std::string> not_null_columns;
  friend bool operator==(const CreateTableStmt&, const CreateTableStmt&) = default;
};
struct CreateTableIfNotExistsStmt {
  std::string table;
  std::vector<std::string> columns;
  std::vector<std::string> unique_columns;
  std::vector<std::string> not_null_columns;
  friend bool operator==(const CreateTableIfNotExistsStmt&, const CreateTableIfNotExistsStmt&) = default;
};
struct CreateTableWithConstraintsStmt {
  std::string table;
  std::vector<ColumnDefinition> columns;
  std::vector<Predicate> checks;
  bool if_not_exists = false;
  friend bool operator==(const CreateTableWithConstraintsStmt&, const CreateTableWithConstraintsStmt&) = default;
};
struct InsertRowStmt {
  std::string table;
  std::vector<Value> row;
  friend bool operator==(const InsertRowStmt&, const InsertRowStmt&) = default;
};
struct InsertRowsStmt {
  std::string table;
  PackedRows rows;
  friend bool operator==(const InsertRowsStmt&, const InsertRowsStmt&) = default;
};
struct InsertWithTargetsStmt {
  std::string table;
  std::optional<std::vector<std::string>> columns;
  std::vector<std::vector<InsertValue>> rows;
  friend bool operator==(const InsertWithTargetsStmt&, const InsertWithTargetsStmt&) = default;
};
struct CreateRetrievalIndexStmt {
  retrieval::RetrievalIndexDefinition definition;
  bool if_not_exists = false;
  friend bool operator==(const CreateRetrievalIndexStmt&, const CreateRetrievalIndexStmt&) = default;
};
struct DropRetrievalIndexStmt {
  std::string name;
  bool if_exists = false;
  friend bool operator==(const DropRetrievalIndexStmt&, const DropRetrievalIndexStmt&) = default;
};
struct CreateIndexStmt {
  std::string table;
  std::string column;
  bool unique = false;
  friend bool operator==(const CreateIndexStmt&, const CreateIndexStmt&) = default;
};
// SELECT over one table without alias or join.
struct SelectSingleStmt {
  std::string table;
  SelectBody body;
  friend bool operator==(const SelectSingleStmt&, const SelectSingleStmt&) = default;
};
struct SelectStmt {
  TableRef from;
  std::vector<JoinClause> joins;
  SelectBody body;
  friend bool operator==(const SelectStmt&, const SelectStmt&) = default;
};
struct UpdateSetStmt {
  std::string table;
  std::string column;
  Value value;
  Predicate predicate;
  friend bool operator==(const UpdateSetStmt&, const UpdateSetStmt&) = default;
};
struct UpdateSetDefaultStmt {
  std::string table;
  std::string column;
  Predicate predicate;
  friend bool operator==(const UpdateSetDefaultStmt&, const UpdateSetDefaultStmt&) = default;
};
struct DeleteStmt {
  std::string table;
  Predicate predicate;
  friend bool operator==(const DeleteStmt&, const DeleteStmt&) = default;
};
struct DropTableStmt {
  std::string name;
  friend bool operator==(const DropTableStmt&, const DropTableStmt&) = default;
};
struct DropTableIfExistsStmt {
  std::string name;
  friend bool operator==(const DropTableIfExistsStmt&, const DropTableIfExistsStmt&) = default;
};

// The twenty statement forms, in declaration order.
struct Statement {
  std::variant<ExplainStmt, BeginStmt, CommitStmt, RollbackStmt, CreateTableStmt, CreateTableIfNotExistsStmt,
               CreateTableWithConstraintsStmt, InsertRowStmt, InsertRowsStmt, InsertWithTargetsStmt,
               CreateRetrievalIndexStmt, DropRetrievalIndexStmt, CreateIndexStmt, SelectSingleStmt, SelectStmt,
               UpdateSetStmt, UpdateSetDefaultStmt, DeleteStmt, DropTableStmt, DropTableIfExistsStmt>
      node;
  friend bool operator==(const Statement&, const Statement&) = default;
};

}  // namespace qm::sql
