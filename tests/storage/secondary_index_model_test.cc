// The secondary index against a plain ordered map of Value to id lists: random inserts
// (shuffled, ascending and descending, so leaves split in the middle, at the end and at the
// front), pairs with repeated keys and empty id lists, lookups, ranges with every bound kind
// (bounds of other kinds included), walks both ways, copies and the binary round trip, for
// keys of each kind alone and mixed.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>

#include "core/bytes.h"
#include "storage/secondary_index.h"

namespace qm::storage {
namespace {

using Model = std::map<Value, std::vector<uint64_t>>;
using Rng = std::mt19937_64;

Value random_text(Rng& rng) {
  static const char* const pieces[] = {"a", "b", "z", "A", "0", " ", "\xC3\xA9", "\xE2\x82\xAC", "ab", "abc"};
  std::string s;
  for (size_t n = rng() % 6; n > 0; --n) s += pieces[rng() % 10];
  return Value::text(s);
}

Value random_blob(Rng& rng) {
  std::string s;
  for (size_t n = rng() % 5; n > 0; --n) s += static_cast<char>("\x00\x01\x7F\x80\xFF"[rng() % 5]);
  return Value::blob(s);
}

Value random_decimal(Rng& rng) {
  const i128 m = static_cast<i128>(static_cast<int64_t>(rng() % 4001) - 2000) * 1000000;
  return Value::decimal(rng() % 8 == 0 ? m << 60 : m + static_cast<i128>(rng() % 3));
}

Value random_any(Rng& rng) {
  switch (rng() % 5) {
    case 0: return Value::null();
    case 1: return Value::integer(static_cast<int64_t>(rng() % 3001) - 1500);
    case 2: return random_decimal(rng);
    case 3: return random_text(rng);
    default: return random_blob(rng);
  }
}

struct Case {
  const char* name;
  std::function<Value(Rng&, int step)> key;
};

const Case kCases[] = {
    {"int", [](Rng& r, int) { return Value::integer(static_cast<int64_t>(r() % 5000) - 2500); }},
    {"int ascending", [](Rng& r, int step) { return Value::integer(step - static_cast<int64_t>(r() % 4 == 0)); }},
    {"int descending", [](Rng&, int step) { return Value::integer(INT64_MAX - step); }},
    {"int extremes", [](Rng& r, int) {
       const int64_t e[] = {INT64_MIN, INT64_MIN + 1, -1, 0, 1, INT64_MAX - 1, INT64_MAX};
       return Value::integer(r() % 2 ? e[r() % 7] : static_cast<int64_t>(r()));
     }},
    {"decimal", [](Rng& r, int) { return random_decimal(r); }},
    {"text", [](Rng& r, int) { return random_text(r); }},
    {"blob", [](Rng& r, int) { return random_blob(r); }},
    {"null", [](Rng&, int) { return Value::null(); }},
    {"mixed", [](Rng& r, int) { return random_any(r); }},
};

bool inside(const Value& k, const Bound& lo, const Bound& hi) {
  using K = Bound::Kind;
  if (lo.kind == K::Included && compare(k, lo.value) < 0) return false;
  if (lo.kind == K::Excluded && compare(k, lo.value) <= 0) return false;
  if (hi.kind == K::Included && compare(k, hi.value) > 0) return false;
  if (hi.kind == K::Excluded && compare(k, hi.value) >= 0) return false;
  return true;
}

IndexPairs model_pairs(const Model& m) { return IndexPairs(m.begin(), m.end()); }

void expect_same(const SecondaryIndex& idx, const Model& model, uint64_t count) {
  ASSERT_EQ(idx.key_count(), model.size());
  ASSERT_EQ(idx.count(), count);
  ASSERT_EQ(idx.to_pairs(), model_pairs(model));
  // Backwards, as a descending ORDER BY walks it.
  auto m = model.rbegin();
  for (auto it = idx.map().rbegin(); it != idx.map().rend(); ++it, ++m) {
    ASSERT_NE(m, model.rend());
    ASSERT_EQ(it->first, m->first);
    ASSERT_TRUE(std::ranges::equal(it->second, m->second));
  }
  ASSERT_EQ(m, model.rend());
  // Both ways from the end: the iterator steps back over every kind's boundary.
  if (!model.empty()) {
    auto last = idx.map().end();
    --last;
    ASSERT_EQ(last->first, model.rbegin()->first);
  }
  SecondaryIndex copy = idx;
  ASSERT_TRUE(copy == idx);
  auto bytes = idx.encode_binary();
  ASSERT_TRUE(bytes);
  auto back = SecondaryIndex::decode_binary(as_bytes(*bytes));
  ASSERT_TRUE(back);
  ASSERT_TRUE(*back == idx);
  ASSERT_EQ(*back->encode_binary(), *bytes);
}

TEST(SecondaryIndexModel, AgreesWithAnOrderedMapForEveryKeyKind) {
  using B = Bound;
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    Rng rng(std::hash<std::string_view>{}(c.name));
    // Start from pairs: repeated keys append, empty id lists still make keys.
    IndexPairs pairs;
    Model model;
    uint64_t count = 0;
    for (int i = 0; i < 300; ++i) {
      Value k = c.key(rng, i);
      std::vector<uint64_t> ids(rng() % 4);
      for (auto& id : ids) id = rng();
      auto& held = model[k];
      held.insert(held.end(), ids.begin(), ids.end());
      count += ids.size();
      pairs.emplace_back(std::move(k), std::move(ids));
    }
    SecondaryIndex idx = SecondaryIndex::from_pairs(pairs);
    ASSERT_NO_FATAL_FAILURE(expect_same(idx, model, count));

    auto bound = [&]() -> Bound {
      Value v = rng() % 5 == 0 ? random_any(rng) : c.key(rng, static_cast<int>(rng() % 6000));
      switch (rng() % 3) {
        case 0: return B::included(std::move(v));
        case 1: return B::excluded(std::move(v));
        default: return B::unbounded();
      }
    };
    for (int step = 0; step < 6000; ++step) {
      const unsigned op = step % 40 == 0 ? 9 : rng() % 9;
      if (op < 8) {
        Value k = c.key(rng, step);
        const uint64_t id = rng() % 3 == 0 ? 7 : rng();  // repeated ids are kept
        idx.insert(k, id);
        model[k].push_back(id);
        ++count;
      } else if (op == 8) {
        Value k = c.key(rng, static_cast<int>(rng() % 6000));
        auto got = idx.lookup(k);
        auto want = model.find(k);
        ASSERT_TRUE(want == model.end() ? got.empty() : std::ranges::equal(got, want->second)) << debug(k);
      } else {
        const KeyRange range{bound(), bound()};
        std::vector<uint64_t> want, got;
        std::vector<Value> want_keys, got_keys;
        const Bound& lo = range.lower;
        auto m = lo.kind == B::Kind::Unbounded  ? model.begin()
                 : lo.kind == B::Kind::Included ? model.lower_bound(lo.value)
                                                : model.upper_bound(lo.value);
        for (; m != model.end() && inside(m->first, lo, range.upper); ++m) {
          want.insert(want.end(), m->second.begin(), m->second.end());
          want_keys.push_back(m->first);
        }
        idx.append_range(range, got);
        idx.for_each_in_range(range, [&](const Value& k, std::span<const uint64_t>) { got_keys.push_back(k); });
        ASSERT_EQ(got, want);
        ASSERT_EQ(got_keys, want_keys);
      }
      if (step % 2000 == 1999) {
        ASSERT_NO_FATAL_FAILURE(expect_same(idx, model, count));
      }
    }
  }
}

// Undoing inserts newest first (as a rolled-back transaction does) in rounds that also insert
// afterwards, so emptied leaves and inner nodes leave the tree and later inserts land beside
// separators that no longer name a key; a wrong id or absent key changes nothing.
TEST(SecondaryIndexModel, RemovingTheLatestInsertsRestoresTheEarlierIndex) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    Rng rng(std::hash<std::string_view>{}(c.name) + 1);
    SecondaryIndex idx;
    Model model;
    std::vector<std::pair<Value, uint64_t>> journal;
    for (int round = 0; round < 12; ++round) {
      for (int i = 0; i < 700; ++i) {
        Value k = c.key(rng, round * 700 + i);
        const uint64_t id = rng() % 4 == 0 ? 7 : rng();
        idx.insert(k, id);
        model[k].push_back(id);
        journal.emplace_back(std::move(k), id);
      }
      const size_t keep = rng() % 3 == 0 ? 0 : rng() % journal.size();
      while (journal.size() > keep) {
        auto& [k, id] = journal.back();
        ASSERT_FALSE(idx.remove_last(k, id + 1));
        ASSERT_TRUE(idx.remove_last(k, id));
        auto& held = model[k];
        held.pop_back();
        if (held.empty()) model.erase(k);
        journal.pop_back();
      }
      ASSERT_FALSE(idx.remove_last(Value::text("absent key"), 1));
      ASSERT_NO_FATAL_FAILURE(expect_same(idx, model, journal.size()));
    }
  }
}

}  // namespace
}  // namespace qm::storage
