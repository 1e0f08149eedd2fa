// Scalar evaluation where SQL cannot lead: argument counts the parser already refuses, and
// blob arguments, which no SQL literal or parameter makes. Values reachable through SQL are
// stated by the golden scripts.
#include <gtest/gtest.h>

#include "query/eval/scalar.h"
#include "query/eval/trees.h"

namespace qm::db {
namespace {

using namespace testing;
using sql::CompareOp;
using F = sql::ScalarFunction;

const std::vector<std::string> kNames{"s", "n"};

Result<Value> fn(F f, std::vector<Value> args, Row row = {N(), N()}) {
  std::vector<ScalarExpr> exprs;
  for (Value& v : args) exprs.push_back(lit(std::move(v)));
  return eval_scalar(call(f, std::move(exprs)), kNames, row);
}

TEST(ScalarFunctions, WrongArgumentCountIsAnErrorNotACrash) {
  EXPECT_FALSE(fn(F::Upper, {}));
  EXPECT_FALSE(fn(F::Nullif, {I(1)}));
}

TEST(ScalarFunctions, BlobsCountBytesAndNeverEqualText) {
  EXPECT_EQ(*fn(F::Length, {B("\x01\x02\x03")}), I(3));
  EXPECT_EQ(*fn(F::Nullif, {T("a"), B("a")}), T("a"));
  EXPECT_EQ(scalar_label(call(F::Length, {lit(B("abc"))})), "length(<blob 3 bytes>)");
}

}  // namespace
}  // namespace qm::db
