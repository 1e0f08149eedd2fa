// Helpers for parser tests: parse expecting success, or expecting a Query error whose
// first line (message with line and column) is returned.
#pragma once

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <string_view>

#include "sql/parser.h"
#include "support/result_text.h"
#include "support/result_text.h"

namespace qm::sql::test {


inline Statement parse_ok(std::string_view sql) { return must(parse(sql)); }

// The whole detail text of the parse error (message, position, source line, caret).
inline std::string parse_error_text(std::string_view sql) {
  auto r = parse(sql);
  EXPECT_FALSE(r.has_value()) << "parsed unexpectedly: " << sql;
  if (r) return {};
  EXPECT_EQ(r.error().kind, ErrorKind::Query) << sql;
  return r.error().detail;
}

// "<message> (line L, column C)": the first line of the detail.
inline std::string parse_error(std::string_view sql) {
  std::string text = parse_error_text(sql);
  return text.substr(0, text.find('\n'));
}

// The statement's variant; a different variant fails the test (gtest reports the throw).
template <class T>
const T& as(const Statement& s) {
  const T* p = std::get_if<T>(&s.node);
  if (!p) throw std::runtime_error("unexpected statement variant " + std::to_string(s.node.index()));
  return *p;
}

inline Predicate cmp(std::string c, CompareOp op, Value v) { return Predicate{ComparePred{std::move(c), op, std::move(v)}}; }
inline Predicate both(Predicate a, Predicate b) { return Predicate{AndPred{std::move(a), std::move(b)}}; }
inline Predicate either(Predicate a, Predicate b) { return Predicate{OrPred{std::move(a), std::move(b)}}; }
inline Value I(int64_t v) { return Value::integer(v); }
inline Value T(const char* s) { return Value::text(s); }

}  // namespace qm::sql::test
