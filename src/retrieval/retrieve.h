// The road of one retrieval request, everything but running SQL: control check, size limit,
// reading, the bounds of the request kind, the snapshot's own checks and parameter
// conversion, the candidate lists, fusion, the closing control check and the response text.
// The database supplies the one SELECT through RetrievalSource; nothing here writes.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "core/error.h"
#include "core/value.h"
#include "retrieval/catalog_entry.h"
#include "retrieval/control.h"
#include "retrieval/sources.h"

namespace qm::retrieval {

inline constexpr size_t kMaxRequestBytes = 131072;
inline constexpr size_t kMaxRetrievalSqlBytes = 65536;

class RetrievalSource {
 public:
  virtual ~RetrievalSource() = default;
  // Binds the values into the SQL, parses it, requires a single-table SELECT without alias
  // or join ("Retrieval requires a single SELECT statement"), checks BEFORE against the
  // pinned reader, runs the unbound text with the values once under the control's limits
  // and cancel flag, and reports whether the rows are current rows.
  virtual Result<Selection> select(std::string_view sql, std::span<const Value> params, const RetrievalControl& control) = 0;
  // The same, told what the request reads of the rows, so that it may read no more.
  virtual Result<Selection> select_for(std::string_view sql, std::span<const Value> params,
                                       const RetrievalControl& control, const ReadNeeds& needs) {
    (void)needs;
    return select(sql, params, control);
  }
  virtual const persistent::Catalog& catalog() const = 0;
};

// The snapshot phase up to the database's part: control, SQL size, parameter count and
// conversion, then source.select.
Result<Selection> snapshot(RetrievalSource& source, std::string_view sql, std::span<const JsonNode> params,
                           const RetrievalControl& control, const ReadNeeds& needs = {});

// A whole request: the response JSON or the first error.
Result<std::string> retrieve_json(std::string_view request, const RetrievalControl& control, RetrievalSource& source);

}  // namespace qm::retrieval
