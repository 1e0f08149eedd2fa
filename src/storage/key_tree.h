// KeyTree<K>: the ordered map from keys of one type to lists of row ids that a secondary
// index keeps per value kind. A B+tree without a node per key: a leaf holds up to 64 keys
// in a sorted array with one 8-byte id slot per key beside it, so an integer key with one
// row id costs 16 bytes in a full leaf.
//
// Invariants:
// - keys are unique and ascending across the leaf chain (first_leaf .. last_leaf, linked
//   both ways); every leaf holds at least one key; an inner node of n separators has n + 1
//   children, and separator i is the smallest key under child i + 1;
// - a key's slot holds its one row id inline, unless its bit in the leaf's `spilled` mask
//   is set: then the slot holds an IdList* (null when the key has no ids) owning the ids in
//   their insertion order;
// - a full leaf splits in half, except that a key appended past the last key of the whole
//   tree starts a new leaf, so keys loaded in order leave every leaf full.
// An index only grows as rows are written (readers filter retired versions); the one removal,
// remove_last, takes back the most recent insertions when a transaction is undone. It keeps
// every leaf non-empty (an emptied leaf leaves the tree) but lets a separator fall below the
// smallest key under its right child: a search only needs it above every key on its left.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace qm::storage::detail {

inline constexpr uint16_t kLeafKeys = 64;  // the spilled mask is one u64
inline constexpr uint16_t kInnerKeys = 64;

// The ids of a key with more than one (or of a key whose ids were given as a list).
struct IdList {
  uint64_t size;
  uint64_t capacity;
  uint64_t* ids() { return reinterpret_cast<uint64_t*>(this + 1); }
  const uint64_t* ids() const { return reinterpret_cast<const uint64_t*>(this + 1); }

  static IdList* make(uint64_t capacity) {
    void* raw = ::operator new(sizeof(IdList) + capacity * sizeof(uint64_t));
    return new (raw) IdList{0, capacity};
  }
  static void destroy(IdList* list) { ::operator delete(list); }
};

// The part of a leaf that does not depend on the key type: links, count and id slots.
struct LeafHead {
  LeafHead* prev = nullptr;
  LeafHead* next = nullptr;
  uint16_t size = 0;
  uint64_t spilled = 0;
  uint64_t slots[kLeafKeys];

  bool is_spilled(uint16_t i) const { return (spilled >> i) & 1; }
  IdList* list(uint16_t i) const { return reinterpret_cast<IdList*>(static_cast<uintptr_t>(slots[i])); }

  std::span<const uint64_t> ids(uint16_t i) const {
    if (!is_spilled(i)) return {&slots[i], 1};
    const IdList* l = list(i);
    return l ? std::span<const uint64_t>(l->ids(), l->size) : std::span<const uint64_t>();
  }

  // A fresh entry's ids: none.
  void set_empty(uint16_t i) {
    slots[i] = 0;
    spilled |= uint64_t{1} << i;
  }

  // Replaces the ids of an entry that has none with `ids` (exactly sized).
  void assign(uint16_t i, std::span<const uint64_t> ids) {
    if (ids.size() == 1) {
      slots[i] = ids[0];
      spilled &= ~(uint64_t{1} << i);
    } else if (!ids.empty()) {
      IdList* l = IdList::make(ids.size());
      std::memcpy(l->ids(), ids.data(), ids.size() * sizeof(uint64_t));
      l->size = ids.size();
      slots[i] = reinterpret_cast<uintptr_t>(l);
    }
  }

  void append(uint16_t i, uint64_t id) {
    if (!is_spilled(i)) {
      IdList* l = IdList::make(4);
      l->ids()[0] = slots[i];
      l->ids()[1] = id;
      l->size = 2;
      slots[i] = reinterpret_cast<uintptr_t>(l);
      spilled |= uint64_t{1} << i;
      return;
    }
    IdList* l = list(i);
    if (!l) {
      slots[i] = id;
      spilled &= ~(uint64_t{1} << i);
      return;
    }
    if (l->size == l->capacity) {
      IdList* grown = IdList::make(l->capacity * 2);
      std::memcpy(grown->ids(), l->ids(), l->size * sizeof(uint64_t));
      grown->size = l->size;
      IdList::destroy(l);
      slots[i] = reinterpret_cast<uintptr_t>(grown);
      l = grown;
    }
    l->ids()[l->size++] = id;
  }

  // Room for n more ids in entry i's list, so that appending them moves nothing.
  void reserve(uint16_t i, uint64_t n) {
    const std::span<const uint64_t> have = ids(i);
    const uint64_t need = have.size() + n;
    if (need < 2 || (is_spilled(i) && list(i) && list(i)->capacity >= need)) return;
    IdList* grown = IdList::make(need);
    if (!have.empty()) std::memcpy(grown->ids(), have.data(), have.size() * sizeof(uint64_t));
    grown->size = have.size();
    if (is_spilled(i) && list(i)) IdList::destroy(list(i));
    slots[i] = reinterpret_cast<uintptr_t>(grown);
    spilled |= uint64_t{1} << i;
  }

  // Takes `id` off the end of entry i's ids; false when it is not the last id there.
  bool pop(uint16_t i, uint64_t id) {
    if (!is_spilled(i)) {
      if (slots[i] != id) return false;
      set_empty(i);
      return true;
    }
    IdList* l = list(i);
    if (!l || l->size == 0 || l->ids()[l->size - 1] != id) return false;
    if (--l->size == 0) {
      IdList::destroy(l);
      slots[i] = 0;
    }
    return true;
  }

  // Closes slot `at` (which holds no list), shifting the slots above it down by one.
  void close_slot(uint16_t at) {
    std::memmove(&slots[at], &slots[at + 1], (size - at - 1) * sizeof(uint64_t));
    const uint64_t low = spilled & ((uint64_t{1} << at) - 1);
    const uint64_t high = at + 1 < kLeafKeys ? (spilled >> (at + 1)) << at : 0;
    spilled = low | high;
  }

  void free_lists() {
    for (uint16_t i = 0; i < size; ++i)
      if (is_spilled(i) && list(i)) IdList::destroy(list(i));
  }

  // Opens slot `at` (size < kLeafKeys), shifting the slots above it up by one.
  void open_slot(uint16_t at) {
    std::memmove(&slots[at + 1], &slots[at], (size - at) * sizeof(uint64_t));
    const uint64_t low = spilled & ((uint64_t{1} << at) - 1);
    spilled = low | ((spilled & ~low) << 1);
  }
};

template <class K>
class KeyTree {
 public:
  // What a key is looked up by: texts and blobs by a view of their bytes.
  using Probe = std::conditional_t<std::is_same_v<K, std::string>, std::string_view, K>;

  struct Leaf : LeafHead {
    K keys[kLeafKeys];
  };
  // A position: an entry, or past the end when leaf is null.
  struct Pos {
    Leaf* leaf = nullptr;
    uint16_t i = 0;
  };

  KeyTree() = default;
  ~KeyTree() { clear(); }
  KeyTree(const KeyTree& other) { copy_from(other); }
  KeyTree& operator=(const KeyTree& other) {
    if (this != &other) {
      clear();
      copy_from(other);
    }
    return *this;
  }
  KeyTree(KeyTree&& other) noexcept { steal(other); }
  KeyTree& operator=(KeyTree&& other) noexcept {
    if (this != &other) {
      clear();
      steal(other);
    }
    return *this;
  }

  size_t size() const { return size_; }
  Leaf* first_leaf() const { return first_; }
  Leaf* last_leaf() const { return last_; }

  static Probe probe(const K& k) { return Probe(k); }

  // The first entry whose key is >= key (inclusive) or > key (!inclusive).
  Pos seek(Probe key, bool inclusive) const {
    if (!root_) return {};
    Leaf* leaf = descend(key, nullptr);
    const uint16_t i = inclusive ? lower(leaf, key) : upper(leaf, key);
    if (i < leaf->size) return {leaf, i};
    return {static_cast<Leaf*>(leaf->next), 0};
  }

  Pos find(Probe key) const {
    Pos p = seek(key, true);
    if (p.leaf && probe(p.leaf->keys[p.i]) == key) return p;
    return {};
  }

  // The entry of `key`, created with no ids when absent; the flag tells whether it was.
  // Positions taken earlier do not survive a creation.
  std::pair<Pos, bool> emplace(Probe key) {
    if (!root_) {
      Leaf* leaf = new Leaf;
      root_ = first_ = last_ = leaf;
      height_ = 0;
      return {put(leaf, 0, key), true};
    }
    // Keys often come in runs (ascending ids, a range of rows rewritten): when the key falls
    // in the leaf last used, it is found or placed there without a descent. A leaf owns the
    // keys between its first and last ones, and the first and last leaves everything beyond.
    if (Leaf* h = hint_; h && h->size > 0 && (h == first_ || !(key < probe(h->keys[0]))) &&
                         (h == last_ || !(probe(h->keys[h->size - 1]) < key))) {
      // Past the tree's last key (keys loaded in order): its place is the end, unsearched.
      if (probe(h->keys[h->size - 1]) < key && h->size < kLeafKeys) return {put(h, h->size, key), true};
      const uint16_t at = lower(h, key);
      if (at < h->size && probe(h->keys[at]) == key) return {{h, at}, false};
      if (h->size < kLeafKeys) return {put(h, at, key), true};
    }
    Step path[kMaxHeight];
    Leaf* leaf = descend(key, path);
    hint_ = leaf;
    const uint16_t at = lower(leaf, key);
    if (at < leaf->size && probe(leaf->keys[at]) == key) return {{leaf, at}, false};
    if (leaf->size < kLeafKeys) return {put(leaf, at, key), true};

    Leaf* right = new Leaf;
    right->prev = leaf;
    right->next = leaf->next;
    if (leaf->next) leaf->next->prev = right;
    else last_ = right;
    leaf->next = right;
    Pos placed;
    if (at == leaf->size && right == last_) {
      placed = put(right, 0, key);  // appending in key order: the left leaf stays full
    } else {
      constexpr uint16_t half = kLeafKeys / 2;
      std::move(std::begin(leaf->keys) + half, std::end(leaf->keys), std::begin(right->keys));
      std::memcpy(right->slots, leaf->slots + half, half * sizeof(uint64_t));
      right->spilled = leaf->spilled >> half;
      leaf->spilled &= (uint64_t{1} << half) - 1;
      leaf->size = right->size = half;
      placed = at <= half ? put(leaf, at, key) : put(right, static_cast<uint16_t>(at - half), key);
    }
    K separator = right->keys[0];
    insert_separator(path, height_, std::move(separator), right);
    return {placed, true};
  }

  // Takes `id` off the end of the ids of `key` (undoing its latest insertion); a key left
  // with no ids leaves the tree. False, changing nothing, when the key is absent or its last
  // id is not `id`. Positions taken earlier do not survive a removal.
  bool remove_last(Probe key, uint64_t id) {
    hint_ = nullptr;  // a removal may free leaves
    if (!root_) return false;
    Step path[kMaxHeight];
    Leaf* leaf = descend(key, path);
    const uint16_t at = lower(leaf, key);
    if (at >= leaf->size || !(probe(leaf->keys[at]) == key)) return false;
    if (!leaf->pop(at, id)) return false;
    if (leaf->ids(at).empty()) erase_entry(leaf, at, path);
    return true;
  }

  void clear() {
    if (root_) free_node(root_, height_);
    hint_ = nullptr;
    root_ = nullptr;
    first_ = last_ = nullptr;
    height_ = 0;
    size_ = 0;
  }

 private:
  static constexpr int kMaxHeight = 16;  // 64^16 keys: beyond any memory

  struct Inner {
    uint16_t size = 0;  // separators
    K keys[kInnerKeys];
    void* children[kInnerKeys + 1];
  };
  struct Step {
    Inner* node;
    uint16_t child;
  };

  // A node's keys span several cache lines that a binary search would miss one after
  // another; asked for together, the misses overlap. (Text keys live apart: not worth it.)
  static void prefetch_keys(const K* keys, uint16_t n) {
    if constexpr (sizeof(K) <= 16) {
      const char* p = reinterpret_cast<const char*>(keys);
      for (size_t off = 0; off < n * sizeof(K); off += 64) __builtin_prefetch(p + off);
    }
  }
  // A node of number keys is about 1 KiB: asked for whole as soon as its address is known,
  // its header, keys and slots arrive together instead of one miss after another.
  static void prefetch_node(const void* node, size_t bytes) {
    if constexpr (sizeof(K) <= 16) {
      const char* p = static_cast<const char*>(node);
      for (size_t off = 0; off < bytes; off += 64) __builtin_prefetch(p + off);
    }
  }
  static uint16_t lower(const Leaf* leaf, Probe key) {
    prefetch_keys(leaf->keys, leaf->size);
    return static_cast<uint16_t>(std::partition_point(leaf->keys, leaf->keys + leaf->size,
                                                      [&](const K& k) { return probe(k) < key; }) -
                                 leaf->keys);
  }
  static uint16_t upper(const Leaf* leaf, Probe key) {
    prefetch_keys(leaf->keys, leaf->size);
    return static_cast<uint16_t>(std::partition_point(leaf->keys, leaf->keys + leaf->size,
                                                      [&](const K& k) { return !(key < probe(k)); }) -
                                 leaf->keys);
  }

  // The leaf where `key` belongs; path[level - 1] records the step taken at each inner level.
  Leaf* descend(Probe key, Step* path) const {
    void* node = root_;
    for (int level = height_; level > 0; --level) {
      Inner* in = static_cast<Inner*>(node);
      const uint16_t child = static_cast<uint16_t>(
          std::partition_point(in->keys, in->keys + in->size, [&](const K& k) { return !(key < probe(k)); }) -
          in->keys);
      if (path) path[level - 1] = {in, child};
      node = in->children[child];
      prefetch_node(node, level == 1 ? sizeof(Leaf) : sizeof(Inner));
    }
    return static_cast<Leaf*>(node);
  }

  Pos put(Leaf* leaf, uint16_t at, Probe key) {
    std::move_backward(leaf->keys + at, leaf->keys + leaf->size, leaf->keys + leaf->size + 1);
    leaf->open_slot(at);
    leaf->keys[at] = K(key);
    leaf->set_empty(at);
    ++leaf->size;
    ++size_;
    return {leaf, at};
  }

  // After a split at `level` (0: a leaf), `right` follows the split node under its parent.
  void insert_separator(Step* path, int height, K separator, void* right) {
    for (int level = 0;; ++level) {
      if (level == height) {  // the root split: a new root above it
        Inner* root = new Inner;
        root->size = 1;
        root->keys[0] = std::move(separator);
        root->children[0] = root_;
        root->children[1] = right;
        root_ = root;
        ++height_;
        return;
      }
      Inner* in = path[level].node;
      const uint16_t at = path[level].child;
      if (in->size < kInnerKeys) {
        std::move_backward(in->keys + at, in->keys + in->size, in->keys + in->size + 1);
        std::memmove(&in->children[at + 2], &in->children[at + 1], (in->size - at) * sizeof(void*));
        in->keys[at] = std::move(separator);
        in->children[at + 1] = right;
        ++in->size;
        return;
      }
      // Split the full inner node around its middle separator, which moves up.
      std::array<K, kInnerKeys + 1> keys;
      std::array<void*, kInnerKeys + 2> children;
      std::move(in->keys, in->keys + at, keys.begin());
      keys[at] = std::move(separator);
      std::move(in->keys + at, in->keys + kInnerKeys, keys.begin() + at + 1);
      std::copy(in->children, in->children + at + 1, children.begin());
      children[at + 1] = right;
      std::copy(in->children + at + 1, in->children + kInnerKeys + 1, children.begin() + at + 2);
      constexpr uint16_t mid = (kInnerKeys + 1) / 2;
      Inner* sibling = new Inner;
      std::move(keys.begin(), keys.begin() + mid, in->keys);
      std::copy(children.begin(), children.begin() + mid + 1, in->children);
      in->size = mid;
      std::move(keys.begin() + mid + 1, keys.end(), sibling->keys);
      std::copy(children.begin() + mid + 1, children.end(), sibling->children);
      sibling->size = static_cast<uint16_t>(kInnerKeys - mid);
      separator = std::move(keys[mid]);
      right = sibling;
    }
  }

  // Removes the entry at `at` (it has no ids); an emptied leaf leaves the chain and its
  // parent, and an inner node left without children leaves its own parent in turn.
  void erase_entry(Leaf* leaf, uint16_t at, Step* path) {
    std::move(leaf->keys + at + 1, leaf->keys + leaf->size, leaf->keys + at);
    leaf->close_slot(at);
    --leaf->size;
    --size_;
    if (leaf->size > 0) return;
    if (leaf->prev) leaf->prev->next = leaf->next;
    else first_ = static_cast<Leaf*>(leaf->next);
    if (leaf->next) leaf->next->prev = leaf->prev;
    else last_ = static_cast<Leaf*>(leaf->prev);
    delete leaf;
    for (int level = 0; level < height_; ++level) {
      Inner* in = path[level].node;
      const uint16_t c = path[level].child;
      if (in->size > 0) {
        // Child c goes with the separator on its left (or, for the first child, on its right).
        const uint16_t k = c > 0 ? static_cast<uint16_t>(c - 1) : 0;
        std::move(in->keys + k + 1, in->keys + in->size, in->keys + k);
        std::memmove(&in->children[c], &in->children[c + 1], (in->size - c) * sizeof(void*));
        --in->size;
        return;
      }
      delete in;  // its only child is gone
    }
    root_ = nullptr;
    first_ = last_ = nullptr;
    height_ = 0;
  }

  static void free_node(void* node, int level) {
    if (level == 0) {
      Leaf* leaf = static_cast<Leaf*>(node);
      leaf->free_lists();
      delete leaf;
      return;
    }
    Inner* in = static_cast<Inner*>(node);
    for (uint16_t c = 0; c <= in->size; ++c) free_node(in->children[c], level - 1);
    delete in;
  }

  void copy_from(const KeyTree& other) {
    for (const LeafHead* l = other.first_; l; l = l->next) {
      const Leaf* leaf = static_cast<const Leaf*>(l);
      for (uint16_t i = 0; i < leaf->size; ++i) {
        Pos p = emplace(probe(leaf->keys[i])).first;
        p.leaf->assign(p.i, leaf->ids(i));
      }
    }
  }

  void steal(KeyTree& other) {
    root_ = std::exchange(other.root_, nullptr);
    first_ = std::exchange(other.first_, nullptr);
    last_ = std::exchange(other.last_, nullptr);
    hint_ = std::exchange(other.hint_, nullptr);
    height_ = std::exchange(other.height_, 0);
    size_ = std::exchange(other.size_, 0);
  }

  void* root_ = nullptr;
  Leaf* first_ = nullptr;
  Leaf* last_ = nullptr;
  Leaf* hint_ = nullptr;  // the leaf the last emplace descended to (or null)
  int height_ = 0;  // inner levels above the leaves
  size_t size_ = 0;
};

}  // namespace qm::storage::detail
