// VectorIndex: fixed-length f32 vectors keyed by i64 ids, searched by an exact scan under
// cosine distance (clamped to [0, 2]) or squared Euclidean distance.
//
// Every element is widened to f64 before any arithmetic and every sum adds its terms one by
// one in element order, so distances are reproducible bit for bit. Vectors live in slots (a
// removed slot is refilled by the last one), stored in blocks of kLanes slots interleaved by
// element, so one pass over a block keeps kLanes independent sums going with packed
// arithmetic while each slot still sums in its own element order; unused lanes of the last
// block are zero. `ids_` maps ids to slots in ascending order for encoding. Scan order does
// not matter for the result: hits are totally ordered by (distance under the IEEE total
// order, id).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <vector>

#include "core/expected.h"

namespace qm::vector {

inline constexpr size_t kMaxVectors = 10000;
inline constexpr size_t kMaxElements = 4194304;
inline constexpr size_t kMaxLimit = 100;
inline constexpr size_t kMaxAllowedIds = 10000;
inline constexpr size_t kMaxDimensions = 4096;

enum class Metric : uint8_t { Cosine, SquaredEuclidean };
const char* metric_name(Metric m);  // "cosine" / "squared_euclidean"

enum class VectorError : uint8_t { Budget, Invalid };
const char* to_string(VectorError e);

template <class T>
using VectorResult = std::expected<T, VectorError>;

struct VectorHit {
  int64_t id;
  double distance;
  friend bool operator==(const VectorHit&, const VectorHit&) = default;
};

class VectorIndex {
 public:
  VectorIndex(size_t dimensions, Metric metric) : dimensions_(dimensions), metric_(metric) {}

  // Stores a copy under the id, replacing any previous vector; on failure nothing changes.
  VectorResult<void> upsert(int64_t id, std::span<const float> vector);
  bool remove(int64_t id);
  // Nearest first; with a filter (ascending, unique ids) only its ids are measured.
  VectorResult<std::vector<VectorHit>> search_matching(std::span<const float> query, size_t limit,
                                                       const std::vector<int64_t>* filter) const;
  // Every allowed id must hold a vector.
  VectorResult<std::vector<VectorHit>> search_filtered(std::span<const float> query, size_t limit,
                                                       std::span<const int64_t> allowed) const;

  size_t dimensions() const { return dimensions_; }
  Metric metric() const { return metric_; }
  size_t size() const { return ids_.size(); }
  bool contains(int64_t id) const { return ids_.contains(id); }
  // The stored vector of an id (empty when absent).
  std::vector<float> vector(int64_t id) const;
  // id -> slot, ascending by id.
  const std::map<int64_t, uint32_t>& ids() const { return ids_; }
  // The same as one sorted array, rebuilt on first need after a change: filters and the
  // encoder walk it instead of the map.
  const std::vector<std::pair<int64_t, uint32_t>>& sorted() const;
  // Element j of the vector in slot s.
  float element(uint32_t s, size_t j) const { return data_[offset(s) + j * kLanes]; }

  static constexpr size_t kLanes = 8;

 private:
  size_t offset(uint32_t s) const { return size_t{s / kLanes} * kLanes * dimensions_ + s % kLanes; }
  VectorResult<void> check(std::span<const float> v) const;
  // The nearest `limit` (> 0) of the slots whose mask byte is set (all when no mask).
  std::vector<VectorHit> scan(std::span<const float> query, size_t limit, const std::vector<uint8_t>* mask) const;

  size_t dimensions_;
  Metric metric_;
  std::map<int64_t, uint32_t> ids_;
  std::vector<int64_t> slot_ids_;
  std::vector<float> data_;
  std::vector<double> norms_;  // per slot: sqrt of the sum of squares, for cosine
  mutable std::vector<std::pair<int64_t, uint32_t>> sorted_;
  mutable bool sorted_stale_ = true;
};

}  // namespace qm::vector
