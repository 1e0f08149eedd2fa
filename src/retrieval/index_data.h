// IndexData: the live index of one persisted retrieval index: a full-text index for a
// full-text definition, a vector index for a vector definition, never both. Its body is the
// byte form an envelope carries; equal contents give equal bytes, which is how a stored index
// is compared with one rebuilt from its table.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "core/error.h"
#include "retrieval/definition.h"
#include "search/search_index.h"
#include "vector/vector_index.h"

namespace qm::persistent {

class Encoder;

using retrieval::RetrievalIndexDefinition;

vector::Metric vector_metric(retrieval::RetrievalMetric m);

struct IndexData {
  std::optional<search::SearchIndex> text;
  std::optional<vector::VectorIndex> vector;

  // The empty index of a definition (validated first). A full-text index that is published
  // again after every change (a workspace's) keeps each document's encoding, so that
  // publishing is one copy per document; one encoded only on demand does not pay for that.
  static Result<IndexData> create(const RetrievalIndexDefinition& definition, bool keep_encoded);
  Result<std::string> body() const;
  // The body appended to an envelope being written, with its exact length known up front.
  Result<void> body_into(Encoder& e) const;
  uint64_t body_size() const;
  // Whether `bytes` is exactly the body, compared without writing it where the index keeps
  // its documents encoded; its errors are body()'s.
  Result<bool> body_equals(std::span<const uint8_t> bytes) const;
  static Result<IndexData> decode(const RetrievalIndexDefinition& definition, std::span<const uint8_t> body);
};

}  // namespace qm::persistent
