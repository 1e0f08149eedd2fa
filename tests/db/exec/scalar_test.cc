#include <gtest/gtest.h>

#include "db/exec/scalar.h"
#include "trees.h"

namespace qm::db {
namespace {

using namespace testing;
using query::CompareOp;
using F = query::ScalarFunction;

const std::vector<std::string> kNames{"s", "n"};

Result<Value> fn(F f, std::vector<Value> args, Row row = {N(), N()}) {
  std::vector<ScalarExpr> exprs;
  for (Value& v : args) exprs.push_back(lit(std::move(v)));
  return eval_scalar(call(f, std::move(exprs)), kNames, row);
}

TEST(ScalarFunctions, CaseMappingIsFullUnicodeNotByteWise) {
  EXPECT_EQ(*fn(F::Upper, {T("straße")}), T("STRASSE"));  // one character becomes two
  EXPECT_EQ(*fn(F::Lower, {T("ÀÉÎ Ω")}), T("àéî ω"));
  EXPECT_EQ(*fn(F::Lower, {T("İ")}), T("i\xCC\x87"));  // root locale, not Turkish
  EXPECT_EQ(*fn(F::Upper, {T("abc-XYZ 09")}), T("ABC-XYZ 09"));
  EXPECT_EQ(*fn(F::Lower, {T("ABC-xyz")}), T("abc-xyz"));
  EXPECT_EQ(*fn(F::Upper, {T("")}), T(""));
  EXPECT_EQ(*fn(F::Lower, {N()}), N());
}

TEST(ScalarFunctions, TrimUsesUnicodeWhiteSpace) {
  EXPECT_EQ(*fn(F::Trim, {T("  a b \t\n")}), T("a b"));
  EXPECT_EQ(*fn(F::Trim, {T("\u00A0\u3000x\u2003\u0085")}), T("x"));
  EXPECT_EQ(*fn(F::Trim, {T("\u200Bx")}), T("\u200Bx"));  // zero-width space is not White_Space
  EXPECT_EQ(*fn(F::Trim, {T(" \t ")}), T(""));
  EXPECT_EQ(*fn(F::Trim, {T("é ")}), T("é"));
  EXPECT_EQ(*fn(F::Trim, {N()}), N());
}

TEST(ScalarFunctions, LengthCountsCharactersForTextBytesForBlob) {
  EXPECT_EQ(*fn(F::Length, {T("héllo")}), I(5));
  EXPECT_EQ(*fn(F::Length, {T("😀")}), I(1));
  EXPECT_EQ(*fn(F::Length, {B("\x01\x02\x03")}), I(3));
  EXPECT_EQ(*fn(F::Length, {N()}), N());
}

TEST(ScalarFunctions, AbsAtTheExtremes) {
  EXPECT_EQ(*fn(F::Abs, {I(-5)}), I(5));
  EXPECT_EQ(*fn(F::Abs, {I(INT64_MAX)}), I(INT64_MAX));
  EXPECT_EQ(*fn(F::Abs, {I(INT64_MIN + 1)}), I(INT64_MAX));
  EXPECT_EQ(err(fn(F::Abs, {I(INT64_MIN)})), "schema error: ABS overflowed i64");
  EXPECT_EQ(*fn(F::Abs, {D(-2500000)}), D(2500000));
  EXPECT_EQ(*fn(F::Abs, {D(kI128Min + 1)}), D(kI128Max));
  EXPECT_EQ(err(fn(F::Abs, {D(kI128Min)})), "schema error: ABS overflowed decimal");
  EXPECT_EQ(*fn(F::Abs, {N()}), N());
}

TEST(ScalarFunctions, CoalesceStopsAtFirstNonNullAndNeverEvaluatesTheRest) {
  auto e = call(F::Coalesce, {lit(N()), lit(I(2)), col("missing_col")});
  EXPECT_EQ(*eval_scalar(e, kNames, Row{N(), N()}), I(2));
  EXPECT_EQ(*fn(F::Coalesce, {N(), N()}), N());
  auto bad_first = call(F::Coalesce, {col("missing_col"), lit(I(2))});
  EXPECT_EQ(err(eval_scalar(bad_first, kNames, Row{N(), N()})), "schema error: no column `missing_col`");
  EXPECT_EQ(*eval_scalar(call(F::Coalesce, {col("s"), col("n")}), kNames, Row{N(), I(4)}), I(4));
}

TEST(ScalarFunctions, NullifUsesSqlEquality) {
  EXPECT_EQ(*fn(F::Nullif, {I(1), D(1000000)}), N());
  EXPECT_EQ(*fn(F::Nullif, {N(), N()}), N());
  EXPECT_EQ(*fn(F::Nullif, {I(1), I(2)}), I(1));
  EXPECT_EQ(*fn(F::Nullif, {T("a"), B("a")}), T("a"));
  EXPECT_EQ(*fn(F::Nullif, {I(1), N()}), I(1));
}

TEST(ScalarFunctions, WrongArgumentCountIsAnErrorNotACrash) {
  EXPECT_FALSE(fn(F::Upper, {}));
  EXPECT_FALSE(fn(F::Nullif, {I(1)}));
}

TEST(Case, FirstTrueBranchWinsUnknownFallsThrough) {
  query::ScalarCase c;
  c.branches.push_back({cmp("n", CompareOp::Gt, I(10)), lit(T("big"))});  // unknown for Null
  c.branches.push_back({is_null("n"), lit(T("none"))});
  c.branches.push_back({cmp("n", CompareOp::Ge, I(0)), lit(T("small"))});
  ScalarExpr e{c};
  EXPECT_EQ(*eval_scalar(e, kNames, Row{N(), N()}), T("none"));
  EXPECT_EQ(*eval_scalar(e, kNames, Row{N(), I(11)}), T("big"));
  EXPECT_EQ(*eval_scalar(e, kNames, Row{N(), I(3)}), T("small"));
  EXPECT_EQ(*eval_scalar(e, kNames, Row{N(), I(-3)}), N());  // no ELSE
  c.else_result = lit(T("neg"));
  EXPECT_EQ(*eval_scalar(ScalarExpr{c}, kNames, Row{N(), I(-3)}), T("neg"));
  EXPECT_EQ(scalar_label(ScalarExpr{c}), "case");
}

TEST(Case, ConditionColumnErrorsSurfaceEvenWhenAnEarlierBranchIsFalse) {
  query::ScalarCase c;
  c.branches.push_back({cmp("n", CompareOp::Eq, I(1)), lit(I(1))});
  c.branches.push_back({cmp("zz", CompareOp::Eq, I(1)), lit(I(2))});
  EXPECT_EQ(err(eval_scalar(ScalarExpr{c}, kNames, Row{N(), I(5)})), "schema error: no column `zz`");
  EXPECT_EQ(*eval_scalar(ScalarExpr{c}, kNames, Row{N(), I(1)}), I(1));  // first branch true: stops
}

TEST(Labels, FunctionsLiteralsAndNesting) {
  EXPECT_EQ(scalar_label(call(F::Lower, {col("name")})), "lower(name)");
  EXPECT_EQ(scalar_label(call(F::Coalesce, {col("a"), col("b"), lit(I(0))})), "coalesce(a,b,0)");
  EXPECT_EQ(scalar_label(call(F::Abs, {col("t.x")})), "abs(t.x)");
  EXPECT_EQ(scalar_label(call(F::Nullif, {lit(D(-500000)), lit(N())})), "nullif(-0.500000,NULL)");
  EXPECT_EQ(scalar_label(call(F::Length, {lit(B("abc"))})), "length(<blob 3 bytes>)");
  EXPECT_EQ(scalar_label(call(F::Upper, {call(F::Trim, {lit(T("x y"))})})), "upper(trim(x y))");
}

}  // namespace
}  // namespace qm::db
