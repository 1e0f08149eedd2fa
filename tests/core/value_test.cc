#include "core/value.h"

#include <gtest/gtest.h>

#include "core/int128.h"
#include "core/json_reader.h"
#include "core/value_json.h"
#include "support/result_text.h"

namespace qm {
namespace {


// Kinds compare before payloads; payloads compare signed and byte-wise (unsigned bytes, so
// non-ASCII sorts after ASCII); rows compare prefix first.
TEST(ValueOrder, KindsThenPayloadsThenRowPrefixes) {
  const std::pair<Value, Value> ascending[] = {
      {Value::integer(5), Value::decimal(5000000)},
      {Value::integer(INT64_MAX), Value::decimal(kI128Min)},
      {Value::decimal(kI128Max), Value::text("")},
      {Value::text("b"), Value::blob(std::string(1, '\0'))},
      {Value::null(), Value::integer(INT64_MIN)},
      {Value::integer(-1), Value::integer(0)},
      {Value::decimal(-1), Value::decimal(0)},
      {Value::text("ab"), Value::text("abc")},
      {Value::text(""), Value::text("a")},
      {Value::text("z"), Value::text("\xc3\xa9")},
      {Value::blob(std::string("\x01", 1)), Value::blob(std::string("\xff", 1))},
  };
  for (const auto& [lower, higher] : ascending) {
    EXPECT_LT(lower, higher) << debug(lower) << " " << debug(higher);
    EXPECT_NE(lower, higher);
  }
  EXPECT_EQ(Value::null(), Value::null());
  std::vector<Value> a{Value::integer(1)};
  std::vector<Value> b{Value::integer(1), Value::null()};
  EXPECT_TRUE(compare_rows(a, b) < 0);
  EXPECT_TRUE(compare_rows(b, a) > 0);
  EXPECT_TRUE(compare_rows(a, a) == 0);
}

TEST(ValueDisplay, EveryKindAndDecimalsWithSignAndSixDigits) {
  const std::pair<Value, const char*> cases[] = {
      {Value::decimal(-500000), "-0.500000"},
      {Value::decimal(-1), "-0.000001"},
      {Value::decimal(-1000000), "-1.000000"},
      {Value::decimal(1), "0.000001"},
      {Value::decimal(0), "0.000000"},
      {Value::decimal(12345678), "12.345678"},
      {Value::decimal(40), "0.000040"},
      {Value::decimal(kI128Min), "-170141183460469231731687303715884.105728"},
      {Value::decimal(kI128Max), "170141183460469231731687303715884.105727"},
      {Value::null(), "NULL"},
      {Value::integer(INT64_MIN), "-9223372036854775808"},
      {Value::text(""), ""},
      {Value::blob(std::string()), "<blob 0 bytes>"},
      {Value::blob(std::string("abc")), "<blob 3 bytes>"},
  };
  for (const auto& [v, text] : cases) EXPECT_EQ(display(v), text) << debug(v);
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
