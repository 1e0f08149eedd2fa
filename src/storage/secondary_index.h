// SecondaryIndex: the in-memory index of one table column, an ordered map from a Value (in
// the total Value order: kind first, then payload) to the row ids of every stored version
// holding it, retired versions included (readers decide visibility). A key's ids keep their
// insertion order and are not deduplicated; count() is the total number of ids.
//
// Layout: one KeyTree (a B+tree with keys in arrays, no node per key) per value kind,
// walked in the kinds' order; a key with one row id keeps it inline, more spill to a heap
// list. An integer key with one id costs about 16 to 24 bytes.
//
// Binary form (little-endian, no header): u32 key count; per key: u8 tag (0 Null, 1 Int,
// 6 Decimal, 2 Text, 3 Blob) and payload (Int i64; Decimal i128; Text/Blob u32 length +
// bytes), u32 id count, u64 ids. decode_binary treats its input as hostile: bounds-checked,
// storage taken only for ids the input really holds, first fault Corruption "index: ...",
// nothing partial returned. encode_binary refuses counts that do not fit u32 instead of
// wrapping.
#pragma once

#include <cstdint>
#include <iterator>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/value.h"
#include "storage/key_tree.h"

namespace qm::storage {

struct Bound {
  enum class Kind : uint8_t { Included, Excluded, Unbounded };
  Kind kind = Kind::Unbounded;
  Value value;

  static Bound included(Value v) { return {Kind::Included, std::move(v)}; }
  static Bound excluded(Value v) { return {Kind::Excluded, std::move(v)}; }
  static Bound unbounded() { return {}; }
};

struct KeyRange {
  Bound lower;
  Bound upper;
};

using IndexPairs = std::vector<std::pair<Value, std::vector<uint64_t>>>;

class SecondaryIndex {
 public:
  // One key with its ids, as the iterators present it.
  struct Entry {
    Value first;
    std::span<const uint64_t> second;
  };
  class const_iterator;
  class const_reverse_iterator;
  // The keys in order with their ids, iterable both ways (an ordered map's view).
  class View;

  SecondaryIndex() = default;
  SecondaryIndex(const SecondaryIndex&) = default;
  SecondaryIndex& operator=(const SecondaryIndex&) = default;
  SecondaryIndex(SecondaryIndex&&) noexcept = default;
  SecondaryIndex& operator=(SecondaryIndex&&) noexcept = default;

  // A repeated key appends its ids to the earlier ones.
  static SecondaryIndex from_pairs(IndexPairs pairs);
  // Every key with its ids, in key order.
  IndexPairs to_pairs() const;

  void insert(const Value& key, uint64_t row_id);
  // Adds one stored pair: a key not yet present takes the ids as given, one already present
  // appends them to its own (as from_pairs does). Pairs that come in key order are added at
  // the end of the last leaf, without a search from the root.
  void append_ids(const Value& key, std::span<const uint64_t> ids);
  // Room for n more ids under `key` (created, with none, when absent), for a caller about to
  // insert a long list of them: the list is then taken once, not grown by doubling.
  void reserve_ids(const Value& key, uint64_t n);
  // Undoes the latest insert of `row_id` under `key`: true when it was the key's last id
  // (the key goes when it has no ids left); false, changing nothing, otherwise.
  bool remove_last(const Value& key, uint64_t row_id);
  // The ids of one key; empty when absent. Valid until the next insert.
  std::span<const uint64_t> lookup(const Value& key) const;
  // Appends the ids of every key inside the range, keys ascending, each key's ids in stored
  // order. An empty or inverted range appends nothing.
  void append_range(const KeyRange& range, std::vector<uint64_t>& out) const;
  // Calls f(key, ids) for every key inside the range, ascending.
  template <class F>
  void for_each_in_range(const KeyRange& range, F&& f) const {
    auto [at, end] = range_bounds(range);
    Value key;
    for (; at != end; advance(at)) {
      key_into(at, key);
      f(static_cast<const Value&>(key), ids_at(at));
    }
  }

  // The binary form. More than 4294967295 keys, or ids under one key, is ResourceLimit
  // "secondary index too large for its binary form (over 4294967295 entries)".
  Result<std::string> encode_binary() const;
  static Result<SecondaryIndex> decode_binary(std::span<const uint8_t> bytes);

  size_t key_count() const;
  uint64_t count() const { return count_; }
  View map() const;

  friend bool operator==(const SecondaryIndex& a, const SecondaryIndex& b);

 private:
  // Keys are kept per kind, in the kinds' order, so each tree holds keys of one fixed size
  // (texts and blobs as strings); a Null key, when present, is the one key of its tree.
  struct NullKey {
    friend bool operator==(NullKey, NullKey) { return true; }
    friend bool operator<(NullKey, NullKey) { return false; }
  };
  enum Segment : uint8_t { kNulls, kInts, kDecimals, kTexts, kBlobs, kEnd, kBeforeBegin };
  // A position over all kinds: an entry, past the end, or before the first.
  struct Cursor {
    uint8_t seg = kEnd;
    const detail::LeafHead* leaf = nullptr;
    uint16_t i = 0;
    friend bool operator==(const Cursor&, const Cursor&) = default;
  };

  const detail::LeafHead* first_leaf(uint8_t seg) const;
  const detail::LeafHead* last_leaf(uint8_t seg) const;
  // The first entry at or after segment `seg` (an end cursor when there is none).
  Cursor first_from(uint8_t seg) const;
  // The last entry at or before segment `seg` (a before-begin cursor when there is none).
  Cursor last_from(int seg) const;
  // The first entry >= key (inclusive) or > key.
  Cursor seek(const Value& key, bool inclusive) const;
  void advance(Cursor& c) const;
  void retreat(Cursor& c) const;
  void key_into(const Cursor& c, Value& out) const;
  static std::span<const uint64_t> ids_at(const Cursor& c) { return c.leaf->ids(c.i); }
  // [first, last) of the keys inside the range; first == last when none (inverted included).
  std::pair<Cursor, Cursor> range_bounds(const KeyRange& range) const;
  // The entry of `key`, created with no ids when absent; false in .second when it existed.
  std::pair<std::pair<detail::LeafHead*, uint16_t>, bool> emplace(const Value& key);

  detail::KeyTree<NullKey> nulls_;
  detail::KeyTree<int64_t> ints_;
  detail::KeyTree<i128> decimals_;
  detail::KeyTree<std::string> texts_;
  detail::KeyTree<std::string> blobs_;
  uint64_t count_ = 0;
};

// The standard iterator types both directions share.
struct SecondaryIndexIteratorTypes {
  using iterator_category = std::bidirectional_iterator_tag;
  using value_type = SecondaryIndex::Entry;
  using difference_type = std::ptrdiff_t;
  using pointer = const SecondaryIndex::Entry*;
  using reference = const SecondaryIndex::Entry&;
};

class SecondaryIndex::const_iterator : public SecondaryIndexIteratorTypes {
 public:

  const_iterator() = default;
  reference operator*() const { return load(); }
  pointer operator->() const { return &load(); }
  const_iterator& operator++() {
    index_->advance(at_);
    loaded_ = false;
    return *this;
  }
  const_iterator operator++(int) {
    const_iterator old = *this;
    ++*this;
    return old;
  }
  const_iterator& operator--() {
    index_->retreat(at_);
    loaded_ = false;
    return *this;
  }
  const_iterator operator--(int) {
    const_iterator old = *this;
    --*this;
    return old;
  }
  friend bool operator==(const const_iterator& a, const const_iterator& b) { return a.at_ == b.at_; }

 private:
  friend class SecondaryIndex;
  friend class View;
  friend class const_reverse_iterator;
  const_iterator(const SecondaryIndex* index, Cursor at) : index_(index), at_(at) {}
  const Entry& load() const {
    if (!loaded_) {
      index_->key_into(at_, entry_.first);
      entry_.second = ids_at(at_);
      loaded_ = true;
    }
    return entry_;
  }

  const SecondaryIndex* index_ = nullptr;
  Cursor at_;
  mutable Entry entry_;
  mutable bool loaded_ = false;
};

// Walks the keys from the last to the first; it stands on the entry it presents.
class SecondaryIndex::const_reverse_iterator : public SecondaryIndexIteratorTypes {
 public:

  const_reverse_iterator() = default;
  reference operator*() const { return it_.load(); }
  pointer operator->() const { return &it_.load(); }
  const_reverse_iterator& operator++() {
    --it_;
    return *this;
  }
  const_reverse_iterator& operator--() {
    ++it_;
    return *this;
  }
  friend bool operator==(const const_reverse_iterator& a, const const_reverse_iterator& b) { return a.it_ == b.it_; }

 private:
  friend class SecondaryIndex;
  friend class View;
  explicit const_reverse_iterator(const_iterator it) : it_(std::move(it)) {}
  const_iterator it_;
};

class SecondaryIndex::View {
 public:
  const_iterator begin() const { return {index_, index_->first_from(kNulls)}; }
  const_iterator end() const { return {index_, Cursor{}}; }
  const_reverse_iterator rbegin() const { return const_reverse_iterator({index_, index_->last_from(kBlobs)}); }
  const_reverse_iterator rend() const { return const_reverse_iterator({index_, Cursor{kBeforeBegin, nullptr, 0}}); }
  size_t size() const { return index_->key_count(); }
  bool empty() const { return size() == 0; }

 private:
  friend class SecondaryIndex;
  explicit View(const SecondaryIndex* index) : index_(index) {}
  const SecondaryIndex* index_;
};

inline SecondaryIndex::View SecondaryIndex::map() const { return View(this); }

namespace detail {
// encode_binary with a chosen count limit, so the refusal can be tested without 2^32 entries.
Result<std::string> encode_index_binary(const SecondaryIndex& index, uint64_t max_count);
}  // namespace detail

}  // namespace qm::storage
