// RetrievalRequest: the in-memory form of a retrieval request, read from JSON in either of
// its two forms: an object whose "kind" tags the variant (the key may stand anywhere), or an
// array holding the tag and then every field in declaration order. Reading is strict and its
// messages are shaped like the JSON library's; value bounds (limits, weights) are checked by
// the caller after reading. The text is parsed with a depth limit.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/error.h"
#include "core/json_reader.h"
#include "core/value.h"
#include "retrieval/definition.h"
#include "retrieval/json_fields.h"

namespace qm::retrieval {

struct FullTextRequest {
  std::string sql;
  std::vector<JsonNode> params;
  std::string id_column;
  std::vector<std::string> text_columns;
  std::string query;
  uint64_t limit = 0;
  std::optional<std::string> index;
};

struct VectorRequest {
  std::string sql;
  std::vector<JsonNode> params;
  std::string id_column;
  std::string vector_column;
  std::vector<float> query;
  RetrievalMetric metric = RetrievalMetric::Cosine;
  uint64_t limit = 0;
  std::optional<std::string> index;
};

struct HybridRequest {
  std::string sql;
  std::vector<JsonNode> params;
  std::string id_column;
  std::vector<std::string> text_columns;
  std::string vector_column;
  std::string query;
  std::vector<float> vector_query;
  RetrievalMetric metric = RetrievalMetric::Cosine;
  double text_weight = 0;
  uint64_t candidate_limit = 0;
  uint64_t limit = 0;
  std::optional<std::string> text_index;
  std::optional<std::string> vector_index;
};

using RetrievalRequest = std::variant<HybridRequest, FullTextRequest, VectorRequest>;

JsonResult<RetrievalRequest> read_request(std::string_view text);

// The request's params as SQL values: null, booleans (1, 0), signed 64-bit integers and
// strings; anything else is refused (Query).
inline constexpr size_t kMaxRetrievalParams = 256;
Result<std::vector<Value>> parameters(std::span<const JsonNode> params);

}  // namespace qm::retrieval
