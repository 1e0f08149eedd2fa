#include <gtest/gtest.h>

#include "core/blake3.h"
#include "core/decimal.h"
#include "core/file_header.h"
#include "core/json_reader.h"
#include "core/json_writer.h"
#include "core/record_envelope.h"
#include "core/utf8.h"
#include "support/temp_dir.h"
#include "support/result_text.h"

namespace qm {
namespace {


TEST(JsonWriter, EscapesExactlyAndKeepsNonAscii) {
  std::string out;
  append_json_string(out, std::string("q\"b\\n\n\t\r\b\f\x01\x1f\x7f\xc3\xa9", 15));
  EXPECT_EQ(out, "\"q\\\"b\\\\n\\n\\t\\r\\b\\f\\u0001\\u001f\x7f\xc3\xa9\"");
}

TEST(JsonWriter, NestsWithCommasAndWritesWideIntegers) {
  std::string out;
  JsonWriter w(out);
  w.begin_object().key("a").begin_array().int64(-1).uint64(UINT64_MAX).int128(kI128Min).end_array();
  w.key("b").begin_object().end_object().key("c").boolean(true).key("d").null().key("e").number(1.5);
  w.key("f").number(2.0).end_object();
  EXPECT_EQ(out,
            "{\"a\":[-1,18446744073709551615,-170141183460469231731687303715884105728],"
            "\"b\":{},\"c\":true,\"d\":null,\"e\":1.5,\"f\":2.0}");
}

TEST(JsonReader, KeepsRawNumbersRepeatedKeysAndOrder) {
  auto doc = must(parse_json("{\"b\":1,\"a\":-2,\"b\":1e300,\"c\":123456789012345678901234567890}"));
  ASSERT_EQ(doc.members.size(), 4u);
  EXPECT_EQ(doc.count("b"), 2u);
  EXPECT_EQ(doc.members[1].second.int_value, -2);
  EXPECT_EQ(doc.members[2].second.text, "1e300");
  EXPECT_EQ(doc.find("c")->text, "123456789012345678901234567890");
}

TEST(JsonReader, RefusesDepthBeyondTheLimitWithoutRecursing) {
  std::string ok(128, '['), deep(129, '[');
  ok += std::string(128, ']');
  deep += std::string(129, ']');
  EXPECT_TRUE(parse_json(ok).has_value());
  EXPECT_FALSE(parse_json(deep).has_value());
}

TEST(JsonReader, RefusesMalformedTextAndTrailingGarbage) {
  EXPECT_FALSE(parse_json("[1,").has_value());
  EXPECT_FALSE(parse_json("[1] x").has_value());
  EXPECT_FALSE(parse_json("\"\\ud800\"").has_value());  // unpaired surrogate
  EXPECT_FALSE(parse_json("\"\xff\"").has_value());
  EXPECT_TRUE(parse_json(" [1] \n").has_value());
}

TEST(DecimalText, ConvertsExactlyWithHalfAwayRounding) {
  auto conv = [](const char* t) {
    i128 v = 0;
    auto r = parse_decimal_millionths(t, kJsonDecimalBound, &v);
    return std::make_pair(r, v);
  };
  EXPECT_EQ(conv("0.0000005").second, 1);
  EXPECT_EQ(conv("-0.0000005").second, -1);
  EXPECT_EQ(conv("0.0000004").second, 0);
  EXPECT_EQ(conv("2.5e-6").second, 3);
  EXPECT_EQ(conv("-2.5e-6").second, -3);
  // Through a double this would come out as ...004764729344.
  EXPECT_EQ(i128_to_string(conv("1e20").second), "100000000000000000000000000");
  EXPECT_EQ(conv("1e32").first, DecimalParse::Ok);
  EXPECT_EQ(conv("2e32").first, DecimalParse::OutOfRange);
  EXPECT_EQ(conv("1e999999999999").first, DecimalParse::OutOfRange);
  EXPECT_EQ(conv("1e-999999999999").second, 0);
  EXPECT_EQ(conv("12.3456785").second, 12345679);
  EXPECT_EQ(conv("-0.0").second, 0);
  EXPECT_EQ(conv("abc").first, DecimalParse::Malformed);
}

TEST(Blake3, MatchesB3sum) {
  EXPECT_EQ(to_hex(blake3(std::string_view(""))), "af1349b9f5f9a1a6a0404dea36dcc9499bcb25c9adc112b7cc9a93cae41f3262");
  EXPECT_EQ(to_hex(blake3(std::string_view("abc"))), "6437b3ac38465133ffb63b75273a8db548c558465d79db03fd359c6cd5bd9d85");
  std::string zeros(100000, '\0');
  EXPECT_EQ(to_hex(blake3(zeros)), "b1fc3c3bf473596bc8ac1f5c86f77c2fc0e0186a872b88adf841716fe9140a50");
  std::string ramp;
  for (int r = 0; r < 10; ++r)
    for (int i = 0; i < 256; ++i) ramp.push_back(static_cast<char>(i));
  Blake3Hasher h;
  for (size_t i = 0; i < ramp.size(); i += 700) h.update(std::string_view(ramp).substr(i, 700));
  EXPECT_EQ(to_hex(h.finalize()), "67d9ff6dc286a8f72cbf4948f3fd1a53076af8b41f31b851ef4683c20379579e");
  EXPECT_EQ(digest_from_hex(to_hex(blake3(ramp))), blake3(ramp));
  EXPECT_FALSE(digest_from_hex("zz").has_value());
}

TEST(Utf8, StrictValidation) {
  EXPECT_TRUE(is_valid_utf8("plain \xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"));
  EXPECT_FALSE(is_valid_utf8("\xc0\xaf"));          // overlong
  EXPECT_FALSE(is_valid_utf8("\xed\xa0\x80"));      // surrogate
  EXPECT_FALSE(is_valid_utf8("\xf4\x90\x80\x80"));  // above U+10FFFF
  EXPECT_FALSE(is_valid_utf8("\xe2\x82"));          // truncated
  EXPECT_EQ(utf8_length("a\xc3\xa9\xf0\x9f\x98\x80"), 3u);
}

std::string header_bytes(uint16_t version) {
  FileHeader h{version, 4096 + 24, 4096 + 24};
  std::string out;
  h.encode_to(out);
  return out;
}

// Length, magic and version 9 are refused in that order by the image import tests.
TEST(FileHeader, VersionZeroIsRefusedAndReservedBytesAreNotRead) {
  auto decode = [](const std::string& b) { return FileHeader::decode(as_bytes(b)); };
  std::string bad = header_bytes(0);
  bad[3] = 'X';  // the magic is checked before the version
  EXPECT_EQ(decode(bad).error().kind, ErrorKind::SignatureMismatch);
  EXPECT_EQ(decode(header_bytes(0)).error().message(),
            "data corruption: unsupported .qmdb format version 0; this build reads up to 8");
  std::string ok = header_bytes(8);
  ok[6] = '\x55';  // reserved bytes are not read
  ok[7] = '\x66';
  auto h = must(decode(ok));
  EXPECT_EQ(h.format_version, 8);
  EXPECT_EQ(h.manifest_offset, 4120u);
  EXPECT_TRUE(decode(header_bytes(1)).has_value());
}

TEST(RecordEnvelope, VisibilityWindow) {
  RecordEnvelope retired{5, 9, 0};
  EXPECT_FALSE(retired.visible(4));
  for (uint64_t s = 5; s <= 8; ++s) EXPECT_TRUE(retired.visible(s));
  EXPECT_FALSE(retired.visible(9));
  EXPECT_FALSE(retired.visible(100));
  RecordEnvelope live{5, 0, 0};
  EXPECT_FALSE(live.visible(4));
  EXPECT_TRUE(live.visible(5));
  EXPECT_TRUE(live.visible(UINT64_MAX));
  uint8_t buf[24];
  retired.store(buf);
  EXPECT_EQ(RecordEnvelope::load(buf).deleted_tx, 9u);
}

}  // namespace
}  // namespace qm
