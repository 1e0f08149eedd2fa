// Secondary indexes: key order, ranges (including empty and inverted ones), the binary form's
// exact bytes and round trips, refusal of counts the form cannot hold, and hostile encodings.
#include <gtest/gtest.h>

#include <random>

#include "core/bytes.h"
#include "storage/secondary_index.h"

namespace qm::storage {
namespace {

std::vector<uint8_t> v8(const std::string& s) { return {s.begin(), s.end()}; }

std::vector<uint64_t> range_ids(const SecondaryIndex& idx, Bound lo, Bound hi) {
  std::vector<uint64_t> out;
  idx.append_range(KeyRange{std::move(lo), std::move(hi)}, out);
  return out;
}

SecondaryIndex five_ten_fifteen() {
  SecondaryIndex idx;
  idx.insert(Value::integer(10), 100);
  idx.insert(Value::integer(5), 50);
  idx.insert(Value::integer(15), 150);
  idx.insert(Value::integer(5), 51);
  return idx;
}

TEST(SecondaryIndex, KeysOrderedKindFirstAndIdsKeptInInsertionOrder) {
  SecondaryIndex idx;
  idx.insert(Value::blob(std::string("a")), 1);
  idx.insert(Value::text("a"), 2);
  idx.insert(Value::decimal(1000000), 3);
  idx.insert(Value::integer(1), 4);
  idx.insert(Value::null(), 5);
  idx.insert(Value::integer(7), 9);
  idx.insert(Value::integer(7), 9);
  EXPECT_EQ(idx.key_count(), 6u);
  EXPECT_EQ(idx.count(), 7u);
  auto pairs = idx.to_pairs();
  EXPECT_EQ(pairs[0].first, Value::null());
  EXPECT_EQ(pairs[1].first, Value::integer(1));
  EXPECT_EQ(pairs[2].first, Value::integer(7));
  EXPECT_EQ(pairs[3].first, Value::decimal(1000000));  // Int 1 and Decimal 1 are different keys
  EXPECT_EQ(pairs[4].first, Value::text("a"));
  EXPECT_EQ(pairs[5].first, Value::blob(std::string("a")));
  auto sevens = idx.lookup(Value::integer(7));
  EXPECT_EQ(std::vector<uint64_t>(sevens.begin(), sevens.end()), (std::vector<uint64_t>{9, 9}));
  EXPECT_TRUE(idx.lookup(Value::integer(8)).empty());
  auto merged = SecondaryIndex::from_pairs({{Value::integer(3), {1}}, {Value::integer(4), {7}}, {Value::integer(3), {2}}});
  auto threes = merged.lookup(Value::integer(3));
  EXPECT_EQ(std::vector<uint64_t>(threes.begin(), threes.end()), (std::vector<uint64_t>{1, 2}));
}

TEST(SecondaryIndex, RangesHonourEachBoundKind) {
  auto idx = five_ten_fifteen();
  using B = Bound;
  EXPECT_EQ(range_ids(idx, B::unbounded(), B::excluded(Value::integer(10))), (std::vector<uint64_t>{50, 51}));
  EXPECT_EQ(range_ids(idx, B::unbounded(), B::included(Value::integer(10))), (std::vector<uint64_t>{50, 51, 100}));
  EXPECT_EQ(range_ids(idx, B::excluded(Value::integer(5)), B::unbounded()), (std::vector<uint64_t>{100, 150}));
  EXPECT_EQ(range_ids(idx, B::included(Value::integer(6)), B::included(Value::integer(15))),
            (std::vector<uint64_t>{100, 150}));
  EXPECT_EQ(range_ids(idx, B::included(Value::integer(10)), B::included(Value::integer(10))),
            (std::vector<uint64_t>{100}));
  EXPECT_EQ(range_ids(idx, B::unbounded(), B::unbounded()).size(), 4u);
  // Appends, never clears.
  std::vector<uint64_t> out = {1};
  idx.append_range(KeyRange{B::included(Value::integer(15)), B::unbounded()}, out);
  EXPECT_EQ(out, (std::vector<uint64_t>{1, 150}));
}

TEST(SecondaryIndex, InvertedAndSelfExcludingRangesYieldNothing) {
  auto idx = five_ten_fifteen();
  using B = Bound;
  EXPECT_TRUE(range_ids(idx, B::included(Value::integer(15)), B::included(Value::integer(5))).empty());
  EXPECT_TRUE(range_ids(idx, B::excluded(Value::integer(10)), B::excluded(Value::integer(10))).empty());
  EXPECT_TRUE(range_ids(idx, B::included(Value::integer(10)), B::excluded(Value::integer(10))).empty());
  EXPECT_TRUE(range_ids(idx, B::excluded(Value::integer(10)), B::included(Value::integer(10))).empty());
  EXPECT_TRUE(range_ids(idx, B::excluded(Value::integer(12)), B::excluded(Value::integer(11))).empty());
  size_t visited = 0;
  idx.for_each_in_range(KeyRange{B::included(Value::integer(15)), B::included(Value::integer(5))},
                        [&](const Value&, std::span<const uint64_t>) { ++visited; });
  EXPECT_EQ(visited, 0u);
}

TEST(SecondaryIndex, BinaryFormByteForByte) {
  SecondaryIndex empty;
  EXPECT_EQ(v8(*empty.encode_binary()), (std::vector<uint8_t>{0, 0, 0, 0}));
  EXPECT_EQ(SecondaryIndex::decode_binary(std::vector<uint8_t>{0, 0, 0, 0})->key_count(), 0u);

  SecondaryIndex idx;
  idx.insert(Value::null(), 1);
  idx.insert(Value::integer(-2), 0x0102030405060708);
  idx.insert(Value::text("hi"), 3);
  idx.insert(Value::text("hi"), 4);
  const std::vector<uint8_t> expected = {
      3, 0, 0, 0,                                        // keys
      0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0,             // Null: [1]
      1, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // Int -2
      1, 0, 0, 0, 8, 7, 6, 5, 4, 3, 2, 1,                // [0x0102030405060708]
      2, 2, 0, 0, 0, 'h', 'i',                           // Text "hi"
      2, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0,
  };
  EXPECT_EQ(v8(*idx.encode_binary()), expected);
}

TEST(SecondaryIndex, BinaryRoundTripOfEveryKeyKind) {
  SecondaryIndex idx;
  idx.insert(Value::null(), 1);
  idx.insert(Value::integer(INT64_MIN), 2);
  idx.insert(Value::decimal(kI128Min), 3);
  idx.insert(Value::decimal(-1), 3);
  idx.insert(Value::text(""), 4);
  idx.insert(Value::text("\xE2\x82\xAC uro"), 5);
  idx.insert(Value::blob(std::string("\0\xFF", 2)), 6);
  idx.insert(Value::blob(std::string()), 7);
  for (uint64_t i = 0; i < 3000; ++i) idx.insert(Value::integer(42), i);
  auto bytes = idx.encode_binary();
  ASSERT_TRUE(bytes);
  auto back = SecondaryIndex::decode_binary(as_bytes(*bytes));
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, idx);
  EXPECT_EQ(back->count(), idx.count());
}

// The encoder sizes its buffer for integer keys and grows it for wider ones: over many keys
// of every kind, long texts and keys with many ids, its bytes must be those of the format
// written field by field.
TEST(SecondaryIndex, BinaryFormOfAWideIndexMatchesTheFieldByFieldLayout) {
  SecondaryIndex idx;
  uint64_t id = 1;
  for (int i = 0; i < 3000; ++i) {
    const Value key = i % 5 == 0   ? Value::integer(i - 1500)
                      : i % 5 == 1 ? Value::decimal(static_cast<i128>(i) * 1234567 - (static_cast<i128>(1) << 100))
                      : i % 5 == 2 ? Value::text(std::string(static_cast<size_t>(i % 300), 'x') + std::to_string(i))
                      : i % 5 == 3 ? Value::blob(std::string(static_cast<size_t>(i % 7), '\0') + std::to_string(i))
                                   : Value::null();
    for (int n = 0; n < 1 + i % 4; ++n) idx.insert(key, id++ * 65537);
  }
  std::string expected;
  ByteWriter w(expected);
  w.u32(static_cast<uint32_t>(idx.key_count()));
  for (const auto& [key, ids] : idx.map()) {
    switch (key.kind()) {
      case Value::Kind::Null: w.u8(0); break;
      case Value::Kind::Int: w.u8(1); w.i64(key.as_int()); break;
      case Value::Kind::Decimal: {
        w.u8(6);
        const i128 m = key.as_decimal();
        w.bytes(std::string_view(reinterpret_cast<const char*>(&m), 16));
        break;
      }
      default:
        w.u8(key.is_text() ? 2 : 3);
        w.u32(static_cast<uint32_t>(key.bytes().size()));
        w.bytes(key.bytes());
    }
    w.u32(static_cast<uint32_t>(ids.size()));
    for (uint64_t r : ids) w.u64(r);
  }
  auto encoded = idx.encode_binary();
  ASSERT_TRUE(encoded);
  EXPECT_TRUE(*encoded == expected);
  auto decoded = SecondaryIndex::decode_binary(as_bytes(*encoded));
  ASSERT_TRUE(decoded);
  EXPECT_TRUE(*decoded == idx);
}

TEST(SecondaryIndex, EncoderRefusesCountsBeyondItsLimitInsteadOfWrapping) {
  SecondaryIndex idx;
  idx.insert(Value::integer(1), 1);
  idx.insert(Value::integer(2), 1);
  idx.insert(Value::integer(2), 2);
  idx.insert(Value::integer(2), 3);
  EXPECT_TRUE(detail::encode_index_binary(idx, 3));
  auto too_many_ids = detail::encode_index_binary(idx, 2);
  ASSERT_FALSE(too_many_ids);
  EXPECT_EQ(too_many_ids.error().kind, ErrorKind::ResourceLimit);
  auto too_many_keys = detail::encode_index_binary(idx, 1);
  ASSERT_FALSE(too_many_keys);
  EXPECT_EQ(too_many_keys.error().kind, ErrorKind::ResourceLimit);
}

TEST(SecondaryIndex, MalformedBinaryFormsGiveTheirTexts) {
  struct Case {
    std::vector<uint8_t> bytes;
    std::string text;
  };
  const std::vector<Case> cases = {
      {{1, 0, 0}, "index: truncated u32"},
      {{1, 0, 0, 0}, "index: truncated at value tag"},
      {{1, 0, 0, 0, 1, 1, 2}, "index: truncated u64"},
      {{1, 0, 0, 0, 6, 1, 2}, "index: truncated i128"},
      {{1, 0, 0, 0, 2, 1}, "index: truncated u32"},
      {{1, 0, 0, 0, 2, 5, 0, 0, 0, 'a'}, "index: truncated payload"},
      {{1, 0, 0, 0, 2, 1, 0, 0, 0, 0xFF}, "index: invalid utf-8 key"},
      {{1, 0, 0, 0, 9}, "index: bad value tag 0x09"},
      {{1, 0, 0, 0, 0, 1, 0}, "index: truncated u32"},
      // Declares 5 ids, holds 4.
      {{1, 0, 0, 0, 0, 5, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0, 0,
        0, 0},
       "index: truncated u64"},
      {{0, 0, 0, 0, 0}, "index: trailing bytes after declared keys"},
      {{2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, "index: duplicate key entry in binary encoding"},
  };
  for (const auto& c : cases) {
    auto r = SecondaryIndex::decode_binary(c.bytes);
    ASSERT_FALSE(r) << c.text;
    EXPECT_EQ(r.error().kind, ErrorKind::Corruption);
    EXPECT_EQ(r.error().detail, c.text);
  }
  // Keys need not arrive in order.
  std::vector<uint8_t> unordered = {2, 0, 0, 0, 1, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  auto ok = SecondaryIndex::decode_binary(unordered);
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->to_pairs()[0].first, Value::null());
}

TEST(SecondaryIndex, HostileIdCountAllocatesByTheInputNotTheClaim) {
  std::vector<uint8_t> bytes = {1, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0, 0, 0, 0, 0};
  auto r = SecondaryIndex::decode_binary(bytes);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().detail, "index: truncated u64");
  std::vector<uint8_t> keys = {0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(SecondaryIndex::decode_binary(keys).error().detail, "index: truncated at value tag");
}

TEST(SecondaryIndex, RandomMutationsNeverCrash) {
  SecondaryIndex idx;
  for (int i = 0; i < 20; ++i) idx.insert(i % 3 ? Value::integer(i) : Value::text(std::string(i, 'k')), i);
  std::string bytes = *idx.encode_binary();
  std::mt19937 rng(99);
  for (int iter = 0; iter < 5000; ++iter) {
    std::string m = bytes;
    for (int e = 0; e < 3; ++e) m[rng() % m.size()] = static_cast<char>(rng());
    if (rng() % 3 == 0) m.resize(rng() % m.size());
    auto r = SecondaryIndex::decode_binary(as_bytes(m));
    if (!r) {
      ASSERT_EQ(r.error().kind, ErrorKind::Corruption);
    }
  }
}

}  // namespace
}  // namespace qm::storage
