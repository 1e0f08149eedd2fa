#include "core/value.h"

#include <gtest/gtest.h>

#include "core/int128.h"
#include "core/json_reader.h"
#include "core/value_json.h"
#include "support/result_text.h"

namespace qm {
namespace {

using qm::test::must;

TEST(ValueOrder, KindsCompareBeforePayloads) {
  EXPECT_LT(Value::integer(5), Value::decimal(5000000));
  EXPECT_LT(Value::integer(INT64_MAX), Value::decimal(kI128Min));
  EXPECT_LT(Value::decimal(kI128Max), Value::text(""));
  EXPECT_LT(Value::text("b"), Value::blob(std::string(1, '\0')));
  EXPECT_LT(Value::null(), Value::integer(INT64_MIN));
  EXPECT_NE(Value::integer(5), Value::decimal(5000000));
}

TEST(ValueOrder, PayloadsCompareSignedAndBytewise) {
  EXPECT_LT(Value::integer(-1), Value::integer(0));
  EXPECT_LT(Value::decimal(-1), Value::decimal(0));
  EXPECT_LT(Value::text("ab"), Value::text("abc"));
  EXPECT_LT(Value::text(""), Value::text("a"));
  // Bytes compare unsigned: a non-ASCII byte sorts after every ASCII byte.
  EXPECT_LT(Value::text("z"), Value::text("\xc3\xa9"));
  EXPECT_LT(Value::blob(std::string("\x01", 1)), Value::blob(std::string("\xff", 1)));
  EXPECT_EQ(Value::null(), Value::null());
}

TEST(ValueOrder, RowsComparePrefixFirst) {
  std::vector<Value> a{Value::integer(1)};
  std::vector<Value> b{Value::integer(1), Value::null()};
  EXPECT_TRUE(compare_rows(a, b) < 0);
  EXPECT_TRUE(compare_rows(b, a) > 0);
  EXPECT_TRUE(compare_rows(a, a) == 0);
}

TEST(ValueDisplay, DecimalsKeepSignAndSixDigits) {
  EXPECT_EQ(display(Value::decimal(-500000)), "-0.500000");
  EXPECT_EQ(display(Value::decimal(-1)), "-0.000001");
  EXPECT_EQ(display(Value::decimal(-1000000)), "-1.000000");
  EXPECT_EQ(display(Value::decimal(1)), "0.000001");
  EXPECT_EQ(display(Value::decimal(0)), "0.000000");
  EXPECT_EQ(display(Value::decimal(12345678)), "12.345678");
  EXPECT_EQ(display(Value::decimal(kI128Min)), "-170141183460469231731687303715884.105728");
  EXPECT_EQ(display(Value::decimal(kI128Max)), "170141183460469231731687303715884.105727");
}

// Digits of wide numbers: the 64-bit fast path must hand over at 2^64 exactly, and the
// six fractional digits keep their leading zeros.
TEST(ValueDisplay, WideNumbersAroundTwoToTheSixtyFourAndTheExtremes) {
  auto reference = [](u128 v) {
    std::string digits;
    do {
      digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
      v /= 10;
    } while (v != 0);
    return digits;
  };
  const u128 two64 = static_cast<u128>(1) << 64;
  for (u128 v : {u128{0}, u128{9}, u128{10}, two64 - 1, two64, two64 + 1, two64 * 10 - 1, two64 * 10,
                 static_cast<u128>(kI128Max), static_cast<u128>(kI128Max) + 1, ~u128{0}}) {
    std::string out;
    append_u128(out, v);
    EXPECT_EQ(out, reference(v));
  }
  EXPECT_EQ(display(Value::decimal(-static_cast<i128>(two64) * 1000000 - 7)), "-" + reference(two64) + ".000007");
  EXPECT_EQ(display(Value::decimal(40)), "0.000040");
}

TEST(ValueDisplay, OtherKinds) {
  EXPECT_EQ(display(Value::null()), "NULL");
  EXPECT_EQ(display(Value::integer(INT64_MIN)), "-9223372036854775808");
  EXPECT_EQ(display(Value::text("")), "");
  EXPECT_EQ(display(Value::blob(std::string())), "<blob 0 bytes>");
  EXPECT_EQ(display(Value::blob(std::string("abc"))), "<blob 3 bytes>");
}

TEST(ValueDebug, TaggedForms) {
  EXPECT_EQ(debug(Value::null()), "Null");
  EXPECT_EQ(debug(Value::integer(5)), "Int(5)");
  EXPECT_EQ(debug(Value::decimal(1500000)), "Decimal(1500000)");
  EXPECT_EQ(debug(Value::text("a\"b\\c\n\x01")), "Text(\"a\\\"b\\\\c\\n\\u{1}\")");
  EXPECT_EQ(debug(Value::blob(std::string("\x01\x02\x03"))), "Blob([1, 2, 3])");
}

Value from_json(const std::string& text) { return must(value_from_json(must(parse_json(text)))); }

std::string json_error(const std::string& text) {
  auto doc = parse_json(text);
  if (!doc) return doc.error();
  auto v = value_from_json(*doc);
  return v ? std::string() : v.error();
}

TEST(ValueJson, RoundTripsEveryKindIncludingWideDecimals) {
  const Value values[] = {Value::null(),           Value::integer(INT64_MIN), Value::integer(42),
                          Value::decimal(kI128Min), Value::decimal(kI128Max), Value::decimal(-7),
                          Value::text("q\"\n\xc3\xa9"), Value::blob(std::string("\x00\xff", 2))};
  for (const auto& v : values) EXPECT_EQ(from_json(value_to_json(v)), v) << value_to_json(v);
  EXPECT_EQ(value_to_json(Value::null()), "\"Null\"");
  EXPECT_EQ(value_to_json(Value::integer(42)), "{\"Int\":42}");
  EXPECT_EQ(value_to_json(Value::decimal(1500000)), "{\"Decimal\":1500000}");
  EXPECT_EQ(value_to_json(Value::blob(std::string("\x01\x02", 2))), "{\"Blob\":[1,2]}");
  EXPECT_EQ(from_json("{\"Null\":null}"), Value::null());
  EXPECT_EQ(from_json(" { \"Int\" : -3 } "), Value::integer(-3));
}

TEST(ValueJson, RefusesWrongShapes) {
  EXPECT_FALSE(json_error("{\"Int\":1.5}").empty());
  EXPECT_FALSE(json_error("{\"Int\":9223372036854775808}").empty());
  EXPECT_FALSE(json_error("{\"Blob\":[256]}").empty());
  EXPECT_FALSE(json_error("{\"Blob\":[-1]}").empty());
  EXPECT_FALSE(json_error("\"Int\"").empty());
  EXPECT_FALSE(json_error("{\"Int\":1,\"Text\":\"a\"}").empty());
  EXPECT_FALSE(json_error("{\"Int\":1").empty());
  EXPECT_FALSE(json_error("{\"Decimal\":170141183460469231731687303715884105728}").empty());
  EXPECT_NE(json_error("{\"Float\":1}").find("`Null`, `Int`, `Decimal`, `Text`, `Blob`"), std::string::npos);
}

}  // namespace
}  // namespace qm
