// Secondary indexes: key order across kinds, the binary form's exact bytes, refusal of counts
// the form cannot hold, and hostile encodings.
#include <gtest/gtest.h>

#include "core/bytes.h"
#include "storage/secondary_index.h"

namespace qm::storage {
namespace {

std::vector<uint8_t> v8(const std::string& s) { return {s.begin(), s.end()}; }

TEST(SecondaryIndex, KeysOrderedKindFirstAndRangesAppend) {
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
  // A range appends to what the caller holds, never clears it.
  std::vector<uint64_t> out = {1};
  idx.append_range(KeyRange{Bound::included(Value::integer(7)), Bound::included(Value::integer(7))}, out);
  EXPECT_EQ(out, (std::vector<uint64_t>{1, 9, 9}));
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
  idx.insert(Value::decimal(kI128Min), 1);
  idx.insert(Value::integer(INT64_MIN), 2);
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

}  // namespace
}  // namespace qm::storage
