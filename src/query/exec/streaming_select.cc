// The streaming single-table SELECT: no grouping, ORDER BY or DISTINCT, and a select list of
// `*` or column names. Rows flow from the row source (chain walk or index candidates)
// through the WHERE straight into result rows, one copy per returned row and none for the
// rows around the OFFSET..OFFSET+LIMIT window. Without a budget the read stops once the
// window is full; under a budget it goes on to the end, charging every version and kept row
// as the full read does, so a budget error is the one the statement always had.
//
// The select list is resolved before the first row; a list that does not resolve, or that
// holds expressions (whose per-row errors the full path reports after the read), takes the
// general path, so its errors come in the order they always did.
#include <optional>
#include <string>
#include <vector>

#include "query/eval/columns.h"
#include "query/exec/executor.h"
#include "query/exec/filtered_read.h"

namespace qm::db {
namespace {

// Source positions of the select list and its column names; none when the list is not
// plain columns or a name does not resolve.
struct PlainList {
  std::vector<std::string> names;
  std::vector<size_t> positions;  // empty for `*`
  bool all = false;
};

std::optional<PlainList> plain_list(const sql::Projection& projection, const std::vector<std::string>& columns) {
  PlainList out;
  if (std::holds_alternative<sql::ProjectAll>(projection)) {
    out.names = columns;
    out.all = true;
    return out;
  }
  auto add = [&](const std::string& column, const std::optional<std::string>& alias) {
    auto pos = projection_col_pos(columns, column);
    if (!pos) return false;
    out.positions.push_back(*pos);
    out.names.push_back(alias.value_or(column));
    return true;
  };
  if (const auto* cols = std::get_if<sql::ProjectColumns>(&projection)) {
    for (const std::string& c : cols->columns)
      if (!add(c, std::nullopt)) return std::nullopt;
    return out;
  }
  for (const sql::SelectItem& item : std::get<sql::ProjectItems>(projection).items) {
    const auto* col = std::get_if<sql::SelectColumn>(&item.expr);
    if (!col || !add(col->column, item.alias)) return std::nullopt;
  }
  return out;
}

}  // namespace

Result<std::optional<RowsResult>> select_streamed(Database& db, const sql::SelectSingleStmt& stmt,
                                                  QueryBudget* budget) {
  const sql::SelectBody& body = stmt.body;
  const Table* table = db.catalog().find(stmt.table);
  if (!table) return std::optional<RowsResult>();
  std::optional<PlainList> list = plain_list(body.projection, table->columns);
  if (!list) return std::optional<RowsResult>();

  const uint64_t first = body.offset;
  const uint64_t end = body.limit ? saturating_add(first, *body.limit) : UINT64_MAX;
  RowsResult out;
  out.columns = std::move(list->names);
  uint64_t seen = 0;
  QM_TRY(read_filtered(db, *table, body.where ? &*body.where : nullptr, body.before.value_or(db.clock()), budget,
                       [&](const RecordVersion& v) -> Result<bool> {
                         if (seen >= first && seen < end) {
                           if (list->all) {
                             out.rows.emplace_back(v.values.begin(), v.values.end());
                           } else {
                             Row& row = out.rows.emplace_back();
                             row.reserve(list->positions.size());
                             for (size_t p : list->positions) row.push_back(v.values[p]);
                           }
                         }
                         ++seen;
                         return budget != nullptr || seen < end;
                       }));
  return std::optional<RowsResult>(std::move(out));
}

}  // namespace qm::db
