// The response of a retrieval request: one compact JSON array of hit objects in rank order,
// keys in ascending byte order, ids as decimal strings (a JSON number could not hold every
// i64 exactly in every reader), scores and distances in shortest round-trip form, a missing
// rank as null.
#pragma once

#include <span>
#include <string>

#include "retrieval/fusion.h"

namespace qm::retrieval {

std::string text_hits_json(std::span<const search::SearchHit> hits);
std::string vector_hits_json(std::span<const vector::VectorHit> hits);
std::string fused_hits_json(std::span<const FusedHit> hits);

}  // namespace qm::retrieval
