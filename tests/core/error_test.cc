#include "core/error.h"

#include <gtest/gtest.h>

namespace qm {
namespace {

TEST(QmErrorText, EveryVariantDisplaysItsFixedText) {
  std::array<uint8_t, 4> magic{'Q', 'M', 'D', 'B'};
  std::array<uint8_t, 4> found{0x00, 0x01, 0x02, 0xFF};
  const std::pair<QmError, const char*> cases[] = {
      {QmError::io("disk gone"), "i/o error: disk gone"},
      {QmError::signature_mismatch(magic, found),
       "invalid signature: expected magic [51, 4D, 44, 42], found [00, 01, 02, FF]"},
      {QmError::corruption("bad"), "data corruption: bad"},
      {QmError::page_fault(7), "page fault: page 7 is not resident"},
      {QmError::buffer_too_small(24, 10), "buffer too small: needed 24 bytes, got 10"},
      {QmError::out_of_bounds(9, 4), "offset 9 out of bounds for region of 4 bytes"},
      {QmError::invalid_page_type(7), "invalid page type discriminant: 0x07"},
      {QmError::invalid_page_type(0x0A), "invalid page type discriminant: 0x0A"},
      {QmError::page_full(100, 3), "page full: requested 100 bytes, only 3 available"},
      {QmError::cas_miss("ab"), "content-addressable storage miss for hash ab"},
      {QmError::wasm("x"), "wasm runtime error: x"},
      {QmError::read_only(), "database is read-only (production mode); mutations are not permitted"},
      {QmError::table_not_found("t"), "table not found: t"},
      {QmError::schema("s"), "schema error: s"},
      {QmError::query("q"), "query parse error: q"},
      {QmError::resource_limit("r"), "query resource limit exceeded: r"},
      {QmError::busy("b"), "database is busy: b"},
      {QmError::cancelled(), "database operation was cancelled"},
      {QmError::database_closed(), "shared database is closed"},
      {QmError::transaction_closed(), "shared transaction is closed"},
      {QmError::outcome_unknown("u"), "transaction outcome is unknown: u"},
      {QmError::transaction("t"), "transaction error: t"},
      {QmError::manifest("m"), "manifest error: m"},
  };
  for (const auto& [err, text] : cases) EXPECT_EQ(err.message(), text);
}

TEST(QmErrorText, DebugFormsNameTheVariantAndFields) {
  EXPECT_EQ(QmError::page_fault(3).debug(), "PageFault { page_id: 3 }");
  EXPECT_EQ(QmError::buffer_too_small(24, 1).debug(), "BufferTooSmall { needed: 24, actual: 1 }");
  EXPECT_EQ(QmError::schema("a\"b").debug(), "Schema(\"a\\\"b\")");
  EXPECT_EQ(QmError::read_only().debug(), "ReadOnly");
}

Result<int> half(int v) {
  if (v % 2) return fail(QmError::query("odd"));
  return v / 2;
}

Result<int> quarter(int v) {
  QM_ASSIGN(int h, half(v));
  QM_ASSIGN(int q, half(h));
  return q;
}

TEST(QmErrorResult, MacrosPropagateTheFirstError) {
  EXPECT_EQ(quarter(8).value(), 2);
  EXPECT_EQ(quarter(6).error().message(), "query parse error: odd");
}

}  // namespace
}  // namespace qm
