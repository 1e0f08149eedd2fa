// The JSON forms of a retrieval index definition. Writing is compact with a fixed key order
// (name, table, id_column, index; inside index: kind first), which makes the text canonical:
// a stored definition must read back to the same bytes. Reading is strict: every key
// required, unknown and repeated keys refused, names held to the identifier rule, the column
// list bounded.
#pragma once

#include <string>
#include <string_view>

#include "core/json_reader.h"
#include "core/json_writer.h"
#include "retrieval/definition.h"
#include "retrieval/json_fields.h"

namespace qm::retrieval {

// Depth limit of every retrieval JSON text: the records are at most a few levels deep.
inline constexpr size_t kRetrievalJsonDepth = 64;

const char* metric_name(RetrievalMetric m);
// Reads "cosine" / "squared_euclidean"; anything else is the unknown-variant message.
JsonResult<RetrievalMetric> read_metric(const JsonNode& node);

void write_definition(JsonWriter& w, const RetrievalIndexDefinition& d);
std::string definition_json(const RetrievalIndexDefinition& d);

JsonResult<RetrievalIndexDefinition> read_definition(const JsonNode& node);
// A whole text (only white space around the value); depth-limited.
JsonResult<RetrievalIndexDefinition> read_definition_text(std::string_view text);

}  // namespace qm::retrieval

namespace qm::retrieval {

inline constexpr size_t kMaxDefinitionJsonBytes = 8192;

// What CREATE checks: `validate`, and that the canonical text fits an envelope (8 KiB), so
// an index that could never be published is refused up front as a Schema error.
Result<void> validate_for_create(const RetrievalIndexDefinition& d);

}  // namespace qm::retrieval
