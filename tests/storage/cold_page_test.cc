// Columnar pages: a page of every column encoding read back row by row, the validation rules
// in their order, and truncated blocks.
#include <gtest/gtest.h>

#include "storage/cold_page.h"
#include "storage/column_codec.h"
#include "storage/columnar_fixture.h"
#include "storage/page.h"
#include "support/result_text.h"

namespace qm::storage {
namespace {

using fixture::Bytes;

fixture::ColdPageShape three_rows() {
  fixture::ColdPageShape s;
  s.page_id = 12;
  s.next = 40;
  s.envelopes = {{1, 0, 0}, {2, 5, 0}, {3, 0, 0}};
  s.arity = 4;
  s.columns = {
      {compress::kEncodingDeltaInt, fixture::delta_z({100, 101, 99})},
      {compress::kEncodingDictionary, fixture::dictionary({"x", "y"}, {1, 1, 0}, 1)},
      {compress::kEncodingRaw, fixture::raw({Value::null(), Value::blob(std::string("bb")), Value::text("z")})},
      {compress::kEncodingPackedDecimal, fixture::packed_decimals({1500000, -1, 0})},
  };
  return s;
}

std::string error_of(const Bytes& page) { return error_text(ColdPage::decode(page)); }

TEST(ColdPage, DecodesEveryEncodingIntoRows) {
  Bytes page = fixture::cold_page(three_rows());
  auto decoded = must(ColdPage::decode(page));
  EXPECT_EQ(decoded.header.page_id, 12u);
  EXPECT_EQ(decoded.header.rows, 3);
  EXPECT_EQ(decoded.header.next_page, 40u);
  EXPECT_EQ(decoded.envelopes[1].deleted_tx, 5u);
  auto rows = decoded.to_rows();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[1], (Row{Value::integer(101), Value::text("y"), Value::blob(std::string("bb")), Value::decimal(-1)}));
  EXPECT_EQ(rows[2], (Row{Value::integer(99), Value::text("x"), Value::text("z"), Value::decimal(0)}));
  EXPECT_EQ(decoded.encoded_len, fixture::cold_page(three_rows(), false).size());
  EXPECT_EQ(*ColdPage::encoded_len(page), decoded.encoded_len);

  auto rec = must(ColdPage::record(page, 0));
  EXPECT_EQ(rec.first.created_tx, 1u);
  EXPECT_EQ(rec.second[3], Value::decimal(1500000));
  auto oob = ColdPage::record(page, 3);
  EXPECT_EQ(oob.error().kind, ErrorKind::OutOfBounds);
  EXPECT_EQ(oob.error().first, 3u);
  EXPECT_EQ(oob.error().second, 3u);

  auto envs = ColdPage::envelopes(page);
  ASSERT_EQ(envs->size(), 3u);
  EXPECT_EQ((*envs)[2].created_tx, 3u);
  EXPECT_EQ(*ColdPage::next_page(page), 40u);
  // deleted_tx of row i lies at 30 + 24 i + 8.
  EXPECT_EQ(load_u64(page.data() + 30 + 24 + 8), 5u);
}

TEST(ColdPage, EmptyPageHasNoRowsAndEncodedLength30) {
  fixture::ColdPageShape s;
  Bytes page = fixture::cold_page(s);
  auto decoded = must(ColdPage::decode(page));
  EXPECT_TRUE(decoded.to_rows().empty());
  EXPECT_EQ(decoded.encoded_len, 30u);
  EXPECT_FALSE(*ColdPage::next_page(page));
}

TEST(ColdPage, ValidationRulesInOrder) {
  EXPECT_EQ(error_of(Bytes(27, 0)), "buffer too small: needed 28 bytes, got 27");
  Bytes row_page = fixture::cold_page(three_rows());
  row_page[8] = 1;
  EXPECT_EQ(error_of(row_page), "invalid page type discriminant: 0x01");

  auto with = [](auto change) {
    auto s = three_rows();
    change(s);
    return fixture::cold_page(s);
  };
  EXPECT_EQ(error_of(with([](auto& s) { s.layout = 2; })), "data corruption: columnar: unsupported maintenance-page layout");
  EXPECT_EQ(error_of(with([](auto& s) { s.source_page_size = 27; })),
            "data corruption: columnar: original page size is out of bounds");
  EXPECT_EQ(error_of(with([](auto& s) { s.source_page_size = 4097; })),
            "data corruption: columnar: original page size is out of bounds");
  Bytes no_arity = fixture::cold_page(three_rows(), false);
  no_arity.resize(29);
  EXPECT_EQ(error_of(no_arity), "data corruption: columnar: missing row arity");
  EXPECT_EQ(error_of(with([](auto& s) {
              s.envelopes.clear();
              s.columns.clear();
            })),
            "data corruption: columnar: empty cold page has nonzero row arity");
  // (4 + 30) * 3 + 28 = 130.
  EXPECT_TRUE(ColdPage::validate(with([](auto& s) { s.source_page_size = 130; })));
  EXPECT_EQ(error_of(with([](auto& s) { s.source_page_size = 129; })),
            "data corruption: columnar: row shape cannot fit the recorded source page");
}

TEST(ColdPage, TruncatedBlocks) {
  Bytes full = fixture::cold_page(three_rows(), false);
  const size_t blocks = 30 + 24 * 3;
  Bytes envelopes_cut(full.begin(), full.begin() + 30 + 24 * 2 + 10);
  EXPECT_EQ(error_of(envelopes_cut), "data corruption: columnar: unexpected end of buffer");
  Bytes no_tag(full.begin(), full.begin() + blocks);
  EXPECT_EQ(error_of(no_tag), "data corruption: columnar: truncated column tag");
  Bytes short_len(full.begin(), full.begin() + blocks + 3);
  EXPECT_EQ(error_of(short_len), "data corruption: columnar: unexpected end of buffer");
  Bytes short_payload(full.begin(), full.begin() + blocks + 6);
  EXPECT_EQ(error_of(short_payload), "data corruption: columnar: unexpected end of buffer");
  auto s = three_rows();
  s.columns[0].payload = fixture::delta_z({1, 2});
  EXPECT_EQ(error_of(fixture::cold_page(s)), "data corruption: columnar: column length 2 != row count 3");
}

}  // namespace
}  // namespace qm::storage
