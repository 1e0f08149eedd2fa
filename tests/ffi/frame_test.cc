#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <thread>

#include "core/result_json.h"
#include "ffi/frame.h"
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

TEST(Frame, RunningOutOfMemoryIsAResourceLimitAndOtherExceptionsAPanic) {
  auto* r = entry<const char*>(nullptr, []() -> const char* { throw std::bad_alloc(); });
  EXPECT_EQ(r, nullptr);
  EXPECT_STREQ(qm_last_error(), "query resource limit exceeded: out of memory");
  EXPECT_EQ(entry(0, []() -> int { throw std::bad_array_new_length(); }), 0);
  EXPECT_STREQ(qm_last_error(), "query resource limit exceeded: out of memory");
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
