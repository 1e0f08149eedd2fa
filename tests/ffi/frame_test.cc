#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <thread>

#include "core/result_json.h"
#include "ffi/frame.h"
#include "core/params_json.h"
#include "quilmarr.h"
#include "support/result_text.h"

namespace qm::ffi {
namespace {


TEST(Frame, VersionAndFreesNeverTouchTheLastError) {
  set_last_error("earlier failure");
  EXPECT_STREQ(qm_version(), "2.3.0");
  qm_string_free(nullptr);
  qm_bytes_free(nullptr, 5);
  uint8_t* p = static_cast<uint8_t*>(std::malloc(4));
  qm_bytes_free(p, 0);  // zero length: ignored (the buffer stays ours)
  std::free(p);
  EXPECT_STREQ(qm_last_error(), "earlier failure");
  EXPECT_STREQ(qm_last_error(), "earlier failure");  // reading does not clear
}

TEST(Frame, EntryClearsOnSuccessAndKeepsFailureText) {
  set_last_error("stale");
  EXPECT_EQ(entry(0, [] { return 1; }), 1);
  EXPECT_EQ(qm_last_error(), nullptr);
  EXPECT_EQ(entry(0, [] {
              set_last_error(QmError::table_not_found("t"));
              return 0;
            }),
            0);
  EXPECT_STREQ(qm_last_error(), "table not found: t");
}

TEST(Frame, PanicsOfEveryKindBecomeOneText) {
  auto* r = entry<const char*>(nullptr, []() -> const char* { throw std::bad_alloc(); });
  EXPECT_EQ(r, nullptr);
  EXPECT_STREQ(qm_last_error(), "panic in a QuilMarr FFI call");
  EXPECT_FALSE(entry(false, []() -> bool { throw std::runtime_error("x"); }));
  EXPECT_STREQ(qm_last_error(), "panic in a QuilMarr FFI call");
  EXPECT_EQ(entry(7, []() -> int { throw 42; }), 7);
}

TEST(Frame, NulBytesInErrorsBecomeQuestionMarks) {
  set_last_error(std::string_view("a\0b\0", 4));
  EXPECT_STREQ(qm_last_error(), "a?b?");
}

TEST(Frame, ResultsWithInteriorNulAreRefused) {
  clear_last_error();
  EXPECT_EQ(string_to_c(std::string_view("a\0b", 3)), nullptr);
  EXPECT_STREQ(qm_last_error(), "result contained an interior NUL byte");
  char* s = string_to_c("{\"done\":true}");
  ASSERT_NE(s, nullptr);
  EXPECT_STREQ(s, "{\"done\":true}");
  qm_string_free(s);
}

TEST(Frame, LastErrorIsPerThread) {
  set_last_error("main thread");
  std::thread([] {
    EXPECT_EQ(qm_last_error(), nullptr);
    set_last_error("worker");
    EXPECT_STREQ(qm_last_error(), "worker");
  }).join();
  EXPECT_STREQ(qm_last_error(), "main thread");
}

std::vector<Value> params_ok(const char* text) { return must(json_params_to_values("qm_query_params", text)); }

std::string params_err(const char* text) {
  auto v = json_params_to_values("qm_query_params", text);
  return v ? std::string("<ok>") : v.error();
}

TEST(JsonParams, IntegersAtTheI64Edges) {
  EXPECT_EQ(params_ok("[-9223372036854775808]")[0], Value::integer(INT64_MIN));
  EXPECT_EQ(params_ok("[9223372036854775807]")[0], Value::integer(INT64_MAX));
  EXPECT_EQ(params_err("[9223372036854775808]"), "qm_query_params: integer parameter exceeds the i64 range");
  EXPECT_EQ(params_err("[18446744073709551615]"), "qm_query_params: integer parameter exceeds the i64 range");
  // Beyond 64 bits the reader sees a non-integer number, which becomes an exact Decimal.
  EXPECT_EQ(display(params_ok("[100000000000000000000]")[0]), "100000000000000000000.000000");
  EXPECT_EQ(display(params_ok("[-9223372036854775809]")[0]), "-9223372036854775809.000000");
}

// The exact decimal conversion and its rounding are the decimal reader's tests.
TEST(JsonParams, DecimalsRoundHalfAwayFromZeroExactly) {
  EXPECT_EQ(params_ok("[-0.0000005]")[0], Value::decimal(-1));
  EXPECT_EQ(display(params_ok("[0.1]")[0]), "0.100000");
  EXPECT_EQ(params_ok("[1e32]").size(), 1u);
  EXPECT_EQ(params_err("[2e32]"), "qm_query_params: numeric parameter out of range");
  EXPECT_EQ(params_err("[1e400]").rfind("qm_query_params: invalid params JSON: ", 0), 0u);
}

TEST(JsonParams, ShapeErrorsNameTheContext) {
  EXPECT_EQ(params_err("7"), "qm_query_params: params must be a JSON array");
  EXPECT_EQ(params_err("[[1]]"), "qm_query_params: array and object parameters are not supported");
  EXPECT_EQ(params_err("[{\"a\":1}]"), "qm_query_params: array and object parameters are not supported");
  EXPECT_EQ(params_err("[1,").rfind("qm_query_params: invalid params JSON: ", 0), 0u);
  // An unpaired surrogate would become invalid UTF-8 in a stored Text.
  EXPECT_EQ(params_err("[\"\\udc00\"]").rfind("qm_query_params: invalid params JSON: ", 0), 0u);
  EXPECT_EQ(params_ok("[\"\\ud83d\\ude00\"]")[0], Value::text("\xf0\x9f\x98\x80"));
}

TEST(JsonParams, BatchSetsReportElementFaultsAsQueryErrors) {
  auto sets = must(json_param_sets("[[1,\"a\"],[],[null]]"));
  EXPECT_EQ(sets.size(), 3u);
  EXPECT_EQ(json_param_sets("[[1],[[2]]]").error().message(),
            "query parse error: array and object parameters are not supported");
  EXPECT_EQ(json_param_sets("[[1]").error().kind, ErrorKind::Manifest);
  EXPECT_EQ(json_param_sets("[1]").error().kind, ErrorKind::Manifest);
}

TEST(ResultJson, EscapesTextAndRendersBlobsAndNegativeDecimals) {
  RowsResult rows;
  rows.columns = {"c\"1"};
  rows.rows.push_back({Value::text("a\"b\\c\n\x01\xc3\xa9")});
  rows.rows.push_back({Value::blob(std::string("\x00\xff\x10", 3))});
  rows.rows.push_back({Value::decimal(-250000)});
  rows.rows.push_back({Value::null()});
  EXPECT_EQ(json::result_to_string(rows),
            "{\"columns\":[\"c\\\"1\"],\"rows\":[[\"a\\\"b\\\\c\\n\\u0001\xc3\xa9\"],[[0,255,16]],"
            "[\"-0.250000\"],[null]]}");
}

}  // namespace
}  // namespace qm::ffi
