// PageSet: the set of page ids that make up one table's chain, as a bitmap over the ids from
// the lowest one held. Every row read or deletion mark by row id asks it whether the row's
// page belongs to the table, so membership must not grow with the table: one word load,
// however many pages there are. Pages are allocated in rising id order and never reused, so
// a table's pages fill a window of ids; the bitmap costs one bit per id in that window.
//
// Invariants: bits_ covers ids [base_, base_ + 64 * bits_.size()); count_ is the number of
// set bits; an empty set holds no words.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qm::db {

class PageSet {
 public:
  bool contains(uint64_t id) const {
    if (id < base_) return false;
    const uint64_t at = id - base_;
    const uint64_t word = at >> 6;
    return word < bits_.size() && ((bits_[word] >> (at & 63)) & 1) != 0;
  }

  // True when the id was not held before.
  bool insert(uint64_t id) {
    if (bits_.empty()) base_ = id & ~uint64_t{63};
    if (id < base_) {
      // Rare (a chain whose first page is not its lowest): move the window's start down.
      const uint64_t new_base = id & ~uint64_t{63};
      bits_.insert(bits_.begin(), static_cast<size_t>((base_ - new_base) >> 6), 0);
      base_ = new_base;
    }
    const uint64_t at = id - base_;
    const size_t word = static_cast<size_t>(at >> 6);
    if (word >= bits_.size()) bits_.resize(word + 1, 0);
    const uint64_t mask = uint64_t{1} << (at & 63);
    if (bits_[word] & mask) return false;
    bits_[word] |= mask;
    ++count_;
    return true;
  }

  // Forgets every id at or above `limit` (pages a rolled-back transaction allocated).
  void erase_from(uint64_t limit) {
    if (bits_.empty()) return;
    if (limit <= base_) {
      clear();
      return;
    }
    const uint64_t at = limit - base_;
    const size_t word = static_cast<size_t>(at >> 6);
    if (word >= bits_.size()) return;
    const uint64_t keep = (uint64_t{1} << (at & 63)) - 1;
    bits_[word] &= keep;
    bits_.resize(word + 1);
    while (!bits_.empty() && bits_.back() == 0) bits_.pop_back();
    count_ = 0;
    for (uint64_t w : bits_) count_ += static_cast<uint64_t>(std::popcount(w));
    if (bits_.empty()) base_ = 0;
  }

  void clear() {
    bits_.clear();
    base_ = 0;
    count_ = 0;
  }
  uint64_t size() const { return count_; }
  bool empty() const { return count_ == 0; }

 private:
  uint64_t base_ = 0;
  uint64_t count_ = 0;
  std::vector<uint64_t> bits_;
};

}  // namespace qm::db
