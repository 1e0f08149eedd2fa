// Column codecs: each codec against the test writer, its exact edge rules (canonical varints,
// padding bits, symbol limits) and its Corruption texts.
#include <gtest/gtest.h>

#include <random>

#include "storage/column_codec.h"
#include "storage/columnar_fixture.h"
#include "support/result_text.h"

namespace qm::storage::compress {
namespace {

using fixture::Bytes;

// The detail of a refusal (the kind is Corruption throughout), or "(ok)".
template <class T>
std::string detail_of(const Result<T>& r) { return r ? "(ok)" : r.error().detail; }
std::string err_uvarint(Bytes b, size_t pos = 0) { return detail_of(read_uvarint(b, pos)); }
std::string err_i128(Bytes b, size_t pos = 0) { return detail_of(decode_packed_i128(b, pos)); }
std::string err_column(uint8_t enc, Bytes b, uint16_t rows) { return detail_of(decode_column(enc, b, rows)); }

TEST(Uvarint, DecodesAndAdvances) {
  Bytes b = {0x00, 0xAC, 0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01};
  size_t pos = 0;
  EXPECT_EQ(*read_uvarint(b, pos), 0u);
  EXPECT_EQ(pos, 1u);
  EXPECT_EQ(*read_uvarint(b, pos), 300u);
  EXPECT_EQ(*read_uvarint(b, pos), UINT64_MAX);
  EXPECT_EQ(pos, b.size());
  std::mt19937_64 rng(5);
  for (int i = 0; i < 1000; ++i) {
    uint64_t v = rng() >> (rng() % 64);
    Bytes e;
    fixture::put_uvarint(e, v);
    size_t p = 0;
    ASSERT_EQ(*read_uvarint(e, p), v);
  }
}

TEST(Uvarint, MalformedForms) {
  EXPECT_EQ(err_uvarint({}), "truncated varint");
  EXPECT_EQ(err_uvarint({0x80}), "truncated varint");
  EXPECT_EQ(err_uvarint({0x80, 0x00}), "non-canonical varint");
  EXPECT_EQ(err_uvarint({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02}), "varint overflow");
  EXPECT_EQ(err_uvarint({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x81}), "unterminated varint");
}

TEST(PackedI128, RoundTripsTheExtremes) {
  for (i128 v : {i128{0}, i128{-1}, i128{1}, i128{-64}, i128{63}, kI128Max, kI128Min, i128{-1500000}}) {
    Bytes b;
    fixture::put_packed_i128(b, v);
    size_t pos = 0;
    auto r = must(decode_packed_i128(b, pos));
    EXPECT_TRUE(r == v);
    EXPECT_EQ(pos, b.size());
  }
}

TEST(PackedI128, MalformedForms) {
  EXPECT_EQ(err_i128({}), "packed decimal: truncated varint");
  EXPECT_EQ(err_i128({0x80, 0x00}), "packed decimal: non-canonical varint");
  Bytes long_form(18, 0xFF);
  Bytes over = long_form;
  over.push_back(0x04);
  EXPECT_EQ(err_i128(over), "packed decimal: varint exceeds 128 bits");
  Bytes unterminated = long_form;
  unterminated.push_back(0x83);
  EXPECT_EQ(err_i128(unterminated), "packed decimal: unterminated varint");
  Bytes max = long_form;
  max.push_back(0x03);
  EXPECT_EQ(err_i128(max), "(ok)");
}

TEST(DeltaZ, DecodesBasePlusZigzagDeltas) {
  Bytes b = {3, 10, 0, 0, 0, 0, 0, 0, 0, 4, 1};
  EXPECT_EQ(*delta_z_decode(b), (std::vector<int64_t>{10, 12, 11}));
  EXPECT_TRUE(delta_z_decode(Bytes{0})->empty());
  std::vector<int64_t> wrap = {INT64_MAX, INT64_MIN, 0, -5, 1000000};
  EXPECT_EQ(*delta_z_decode(fixture::delta_z(wrap)), wrap);
  EXPECT_EQ(delta_z_decode(Bytes{2, 1, 2, 3}).error().detail, "delta-z: missing base");
  EXPECT_EQ(delta_z_decode(Bytes{1, 0, 0, 0, 0, 0, 0, 0, 0, 9}).error().detail, "delta-z: trailing bytes");
  EXPECT_EQ(delta_z_decode(Bytes{0, 0}).error().detail, "delta-z: trailing bytes");
  // A hostile count runs out of input instead of memory.
  Bytes hostile;
  fixture::put_uvarint(hostile, UINT64_MAX);
  fixture::put_u64(hostile, 1);
  EXPECT_EQ(delta_z_decode(hostile).error().detail, "truncated varint");
}

TEST(BitPacking, ExactLengthsAndZeroPadding) {
  EXPECT_EQ(*unpack_codes(Bytes{0b11010001, 0b00000000}, 3, 3), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(unpack_codes(Bytes{0b11010001, 0b00000010}, 3, 3).error().detail, "bit-pack: nonzero padding bits");
  EXPECT_EQ(unpack_codes(Bytes{0b11010001}, 3, 3).error().detail, "bit-pack: expected 2 byte(s), found 1");
  EXPECT_EQ(unpack_codes(Bytes{}, 0, 1).error().detail, "bit-pack: invalid bit width 0 (must be 1..=8)");
  EXPECT_EQ(unpack_codes(Bytes{}, 9, 1).error().detail, "bit-pack: invalid bit width 9 (must be 1..=8)");
  EXPECT_EQ(unpack_codes(Bytes{}, 8, UINT64_MAX).error().detail, "bit-pack: encoded size overflow");
  EXPECT_TRUE(unpack_codes(Bytes{}, 8, 0)->empty());
  std::mt19937 rng(3);
  for (unsigned width = 1; width <= 8; ++width) {
    std::vector<uint8_t> codes(37);
    for (auto& c : codes) c = static_cast<uint8_t>(rng() & ((1u << width) - 1));
    EXPECT_EQ(*unpack_codes(fixture::pack_codes(codes, width), static_cast<uint8_t>(width), codes.size()), codes);
  }
}

TEST(Dictionary, MalformedBlocks) {
  std::vector<std::string> many(257, "s");
  EXPECT_EQ(err_column(2, fixture::dictionary(many, {}, 1), 0), "dictionary: 257 symbols exceeds the codec limit");
  EXPECT_EQ(err_column(2, Bytes{1}, 0), "columnar: unexpected end of buffer");
  EXPECT_EQ(err_column(2, Bytes{1, 0, 5, 0, 0, 0, 'a'}, 0), "columnar: unexpected end of buffer");
  EXPECT_EQ(err_column(2, Bytes{1, 0, 1, 0, 0, 0, 0xFF, 1, 0, 0, 0, 0, 0, 0, 0, 0}, 0), "dictionary: bad utf-8 symbol");
  EXPECT_EQ(err_column(2, Bytes{0, 0}, 0), "dictionary: missing bit width");
  EXPECT_EQ(err_column(2, Bytes{0, 0, 1, 0, 0}, 0), "columnar: unexpected end of buffer");
  EXPECT_EQ(err_column(2, Bytes{0, 0, 1, 1, 0, 0, 0, 1, 0, 0, 0}, 1), "columnar: unexpected end of buffer");
  Bytes trailing = fixture::dictionary({"a"}, {0}, 1);
  trailing.push_back(0);
  EXPECT_EQ(err_column(2, trailing, 1), "dictionary: trailing bytes after code stream");
  EXPECT_EQ(err_column(2, fixture::dictionary({"a", "b"}, {0, 2}, 2), 2), "dictionary: code out of range");
  EXPECT_EQ(err_column(2, fixture::dictionary({"a", "b"}, {0, 1}, 1), 3), "columnar: column length 2 != row count 3");
}

TEST(RawColumn, EveryTagAndItsFaults) {
  std::vector<Value> values = {Value::null(), Value::integer(-9), Value::text("t\xC3\xA9"), Value::blob(std::string("\0b", 2)),
                               Value::decimal(-2500000)};
  EXPECT_EQ(*decode_column(kEncodingRaw, fixture::raw(values), 5), values);
  EXPECT_EQ(err_column(3, Bytes{1, 0, 0}, 1), "columnar: unexpected end of buffer");
  EXPECT_EQ(err_column(3, Bytes{2, 0, 0, 0, 0}, 2), "columnar raw: truncated tag");
  EXPECT_EQ(err_column(3, Bytes{1, 0, 0, 0, 5}, 1), "columnar raw: bad value tag 0x05");
  EXPECT_EQ(err_column(3, Bytes{1, 0, 0, 0, 1, 1, 2}, 1), "columnar: unexpected end of buffer");
  EXPECT_EQ(err_column(3, Bytes{1, 0, 0, 0, 2, 9, 0, 0, 0, 'a'}, 1), "columnar: unexpected end of buffer");
  EXPECT_EQ(err_column(3, Bytes{1, 0, 0, 0, 2, 1, 0, 0, 0, 0xC0}, 1), "columnar raw: bad utf-8");
  EXPECT_EQ(err_column(3, Bytes{1, 0, 0, 0, 4, 0x80}, 1), "packed decimal: truncated varint");
  EXPECT_EQ(err_column(3, Bytes{1, 0, 0, 0, 0, 0}, 1), "columnar raw: trailing bytes");
  EXPECT_EQ(err_column(3, Bytes{0xFF, 0xFF, 0xFF, 0xFF}, 1), "columnar raw: truncated tag");
}

TEST(PackedDecimalColumn, ExactlyRowsValues) {
  std::vector<i128> ds = {0, -1, kI128Max};
  auto values = must(decode_column(kEncodingPackedDecimal, fixture::packed_decimals(ds), 3));
  EXPECT_EQ((values)[2], Value::decimal(kI128Max));
  Bytes spare = fixture::packed_decimals(ds);
  spare.push_back(0);
  EXPECT_EQ(err_column(4, spare, 3), "packed decimal column has trailing bytes");
  EXPECT_EQ(err_column(4, fixture::packed_decimals({1, 2}), 3), "packed decimal: truncated varint");
}

TEST(DecodeColumn, UnknownEncodingAndCountMismatch) {
  EXPECT_EQ(err_column(9, Bytes{}, 0), "columnar: unknown column encoding 0x09");
  EXPECT_EQ(err_column(0xAB, Bytes{}, 0), "columnar: unknown column encoding 0xAB");
  EXPECT_EQ(err_column(1, fixture::delta_z({1, 2}), 3), "columnar: column length 2 != row count 3");
}

}  // namespace
}  // namespace qm::storage::compress
