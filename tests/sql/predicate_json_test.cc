// The stored JSON form of CHECK predicates: exact written text, strict reading, round trips.
#include <gtest/gtest.h>

#include <string>

#include "core/json_reader.h"
#include "sql/predicate_json.h"
#include "support/result_text.h"

namespace qm::sql {
namespace {


Predicate cmp(std::string c, CompareOp op, Value v) { return Predicate{ComparePred{std::move(c), op, std::move(v)}}; }
Predicate is_null(std::string c, bool neg) { return Predicate{IsNullPred{std::move(c), neg}}; }
Predicate both(Predicate a, Predicate b) { return Predicate{AndPred{std::move(a), std::move(b)}}; }
Predicate either(Predicate a, Predicate b) { return Predicate{OrPred{std::move(a), std::move(b)}}; }

TEST(PredicateJson, WritesTheStoredFormExactly) {
  Predicate p = both(Predicate{BetweenPred{"qty", Value::integer(1), Value::integer(10), false}}, is_null("note", true));
  EXPECT_EQ(predicate_to_json(p),
            R"({"And":[{"Between":{"column":"qty","low":{"Int":1},"high":{"Int":10},"negated":false}},)"
            R"({"IsNull":{"column":"note","negated":true}}]})");
  EXPECT_EQ(predicate_to_json(cmp("a", CompareOp::NotLike, Value::text("x%"))),
            R"({"Compare":{"column":"a","op":"NotLike","value":{"Text":"x%"}}})");
  EXPECT_EQ(predicate_to_json(Predicate{InPred{"a", {}, true}}), R"({"In":{"column":"a","values":[],"negated":true}})");
  EXPECT_EQ(predicate_to_json(cmp("d", CompareOp::Ge, Value::null())), R"({"Compare":{"column":"d","op":"Ge","value":"Null"}})");
}

TEST(PredicateJson, EveryVariantAndOperatorRoundTrips) {
  std::vector<Predicate> cases;
  for (int op = 0; op < 8; ++op) cases.push_back(cmp("t.c", static_cast<CompareOp>(op), Value::decimal(-1500000)));
  cases.push_back(Predicate{InPred{"a", {Value::integer(1), Value::text("it's \"q\""), Value::null()}, false}});
  cases.push_back(Predicate{InPred{"a", {}, false}});
  cases.push_back(Predicate{BetweenPred{"b", Value::text("a"), Value::text("z"), true}});
  cases.push_back(either(both(is_null("x", false), is_null("y", true)), cmp("é", CompareOp::Eq, Value::integer(-7))));
  for (const auto& p : cases) {
    auto back = must(predicate_from_json_text(predicate_to_json(p)));
    EXPECT_EQ(back, p) << predicate_to_json(p);
  }
}

TEST(PredicateJson, UnknownFieldsAreIgnoredAndArrayFormAccepted) {
  auto p = must(predicate_from_json_text(R"({"Compare":{"extra":[1,2],"column":"a","op":"Lt","value":{"Int":3},"z":null}})"));
  EXPECT_EQ(p, cmp("a", CompareOp::Lt, Value::integer(3)));
  auto arr = must(predicate_from_json_text(R"({"Between":["b",{"Int":1},{"Int":2},true]})"));
  EXPECT_EQ(arr, (Predicate{BetweenPred{"b", Value::integer(1), Value::integer(2), true}}));
}

TEST(PredicateJson, MalformedFormsAreRefusedWithTheirTexts) {
  const std::string leaf = R"({"IsNull":{"column":"a","negated":false}})";
  const std::pair<std::string, std::string> cases[] = {
      {R"({"IsNull":{"column":"a"}})", "missing field `negated`"},
      {R"({"Compare":{"column":"a","op":"Eq"}})", "missing field `value`"},
      {R"({"Compare":{"column":"a","column":"b","op":"Eq","value":"Null"}})", "duplicate field `column`"},
      {R"({"IsNull":["a"]})", "invalid length 1, expected struct variant Predicate::IsNull with 2 elements"},
      // And and Or take exactly two operands.
      {R"({"And":[)" + leaf + "]}", "invalid length 1, expected tuple variant Predicate::And with 2 elements"},
      {R"({"Or":[)" + leaf + "," + leaf + "," + leaf + "]}",
       "invalid length 3, expected tuple variant Predicate::Or with 2 elements"},
      {R"({"And":{"left":1}})", "invalid type: map, expected tuple variant Predicate::And"},
      // Variant and operator names match exactly.
      {R"({"Not":{}})", "unknown variant `Not`, expected one of `Compare`, `In`, `Between`, `IsNull`, `And`, `Or`"},
      {R"({"Compare":{"column":"a","op":"eq","value":"Null"}})",
       "unknown variant `eq`, expected one of `Eq`, `Ne`, `Lt`, `Le`, `Gt`, `Ge`, `Like`, `NotLike`"},
      {R"({"Compare":{"column":"a","op":3,"value":"Null"}})", "invalid type: integer, expected variant identifier"},
      {R"("IsNull")", "invalid type: unit variant, expected struct variant Predicate::IsNull"},
      {"[1]", "invalid type: sequence, expected enum Predicate"},
      {R"({"IsNull":3})", "invalid type: integer, expected struct variant Predicate::IsNull"},
      {R"({"IsNull":{"column":"a","negated":false},"Or":[]})", "invalid length: expected a map with a single key"},
  };
  for (const auto& [text, error] : cases) {
    auto p = predicate_from_json_text(text);
    EXPECT_EQ(p ? std::string("(ok)") : p.error(), error) << text;
  }
}

// Builds a left-leaning chain of `levels` And nodes over IsNull leaves.
Predicate chain(size_t levels) {
  Predicate p = is_null("a", false);
  for (size_t i = 0; i < levels; ++i) p = both(std::move(p), is_null("b", false));
  return p;
}

TEST(PredicateJson, DepthIsBoundedAt128Containers) {
  // 63 And levels over IsNull leaves nest exactly 2*63 + 2 = 128 containers.
  Predicate ok = chain(63);
  EXPECT_EQ(predicate_json_depth(ok), 128u);
  auto back = must(predicate_from_json_text(predicate_to_json(ok)));
  EXPECT_EQ(back, ok);
  EXPECT_FALSE(predicate_from_json_text(predicate_to_json(chain(64))).has_value());
}

}  // namespace
}  // namespace qm::sql
