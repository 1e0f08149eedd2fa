// Weighted reciprocal-rank fusion of a hybrid request: the text hit at position p adds
// w / (p + 60) to its id's score, the vector hit at position p adds (1 - w) / (p + 60); a side
// whose weight is 0 adds no ids. Entries are ranked by score under the IEEE total order, ties
// by ascending id; ranks are the positions in the candidate lists, never renumbered.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "search/search_index.h"
#include "vector/vector_index.h"

namespace qm::retrieval {

inline constexpr double kFusionConstant = 60.0;

struct FusedHit {
  int64_t id;
  double score;
  std::optional<uint64_t> text_rank;
  std::optional<uint64_t> vector_rank;
  friend bool operator==(const FusedHit&, const FusedHit&) = default;
};

std::vector<FusedHit> fuse(std::span<const search::SearchHit> text, std::span<const vector::VectorHit> vector,
                           double text_weight, size_t limit);

}  // namespace qm::retrieval
