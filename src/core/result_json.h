// Renders a QueryResult as the compact JSON the host receives:
// {"columns":[..],"rows":[[..],..]}, {"mutated":N} or {"done":true}. Decimal cells are
// strings holding their display text; blobs are arrays of byte values.
#pragma once

#include <string>

#include "core/query_result.h"

namespace qm::json {

// Appends one cell of a row result.
void append_cell(std::string& out, const Value& v);
void append_result(std::string& out, const QueryResult& result);
std::string result_to_string(const QueryResult& result);

}  // namespace qm::json
