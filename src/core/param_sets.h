// The parameter sets of a write batch as the batch reads them: their count and every set's
// length up front (the batch checks every length before it runs anything), then each set in
// order, once. A reader over the host's JSON text keeps one set's values at a time, so a
// batch of any size holds one row of values rather than all of them.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/value.h"

namespace qm {

class ParamSets {
 public:
  virtual ~ParamSets() = default;
  virtual size_t size() const = 0;
  virtual size_t length(size_t i) const = 0;
  // The next set's values, valid until the next call; called at most size() times.
  virtual std::span<const Value> next() = 0;
};

// Sets already held in memory.
class ParamSetSpan final : public ParamSets {
 public:
  explicit ParamSetSpan(std::span<const std::vector<Value>> sets) : sets_(sets) {}
  size_t size() const override { return sets_.size(); }
  size_t length(size_t i) const override { return sets_[i].size(); }
  std::span<const Value> next() override { return sets_[next_++]; }

 private:
  std::span<const std::vector<Value>> sets_;
  size_t next_ = 0;
};

}  // namespace qm
