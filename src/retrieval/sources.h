// The candidate lists of a retrieval request: full-text and vector hits over the rows of
// the request's one SELECT (the Selection), answered from a named persisted index restricted
// to the selected ids when the rows are current table rows, or from an index built ad hoc
// from those rows. Either way the ranking uses the statistics of the selected rows.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/query_result.h"
#include "retrieval/catalog_entry.h"
#include "retrieval/definition.h"
#include "search/search_index.h"
#include "vector/vector_index.h"

namespace qm::retrieval {

// What a request reads of its SELECT's rows, so that the source need read no more: the id
// column first, then the text and vector columns; `ids_only` when every candidate list names
// an index, which over current rows needs only the rows' ids.
struct ReadNeeds {
  std::vector<std::string> columns;
  bool ids_only = false;
};

struct Selection {
  std::string table;   // the SELECT's FROM table
  // Always a row result. A source told the request's needs may keep only the needed columns
  // (each the select list's first column of that name; names the list lacks stay absent).
  QueryResult result;
  // One row per visible current row version: no BEFORE, DISTINCT, GROUP BY or HAVING, and a
  // select list of a star or plain column names.
  bool current_rows = false;
  // The id column alone, in row order, when the source read nothing else of the rows
  // (`result` then names the columns and holds no rows): the ids before the first cell that
  // is not an integer, that cell's row (SIZE_MAX when none), and the number of rows.
  struct IdColumn {
    std::vector<int64_t> ints;
    size_t first_non_int = SIZE_MAX;
    size_t rows = 0;
  };
  std::optional<IdColumn> ids;
};

// The catalog entry a request names, or nullptr when it names none.
Result<const persistent::CatalogEntry*> named_entry(const persistent::Catalog& catalog, const std::optional<std::string>& name,
                                                    std::string_view table, std::string_view id_column);
// The selected row ids (ascending, unique), each a document of the entry.
Result<std::vector<int64_t>> selected_ids(const Selection& selection, const persistent::CatalogEntry& entry,
                                          std::span<const std::string> columns);

Result<std::vector<search::SearchHit>> text_hits(const persistent::Catalog& catalog, const Selection& selection,
                                                 std::string_view id_column, std::span<const std::string> text_columns,
                                                 std::string_view query, size_t limit, const std::optional<std::string>& index);

Result<std::vector<vector::VectorHit>> vector_hits(const persistent::Catalog& catalog, const Selection& selection,
                                                   std::string_view id_column, std::string_view vector_column,
                                                   std::span<const float> query, RetrievalMetric metric, size_t limit,
                                                   const std::optional<std::string>& index);

// An ad-hoc vector index over the selected rows (vector texts are JSON arrays).
Result<vector::VectorIndex> vector_index(const Selection& selection, std::string_view id_column, std::string_view vector_column,
                                         std::span<const float> query, RetrievalMetric metric);

}  // namespace qm::retrieval
