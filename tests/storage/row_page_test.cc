// Row pages: the exact stored bytes, the insert and patch rules, and the bounds checks that
// keep a hostile header from reading past the page.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core/bytes.h"
#include "storage/cas_store.h"
#include "storage/record.h"
#include "storage/row_page.h"
#include "support/result_text.h"

namespace qm::storage {
namespace {


std::vector<uint8_t> bytes_of(std::string_view s) { return {s.begin(), s.end()}; }

TEST(RowPage, KnownRecordIsStoredByteForByte) {
  CasStore cas = CasStore::new_memory();
  Row row{Value::integer(7), Value::text("hi"), Value::null()};
  auto rec = must(record::encode_record(RecordEnvelope{5, 0, 0}, row, cas));
  const std::vector<uint8_t> expected_record = {
      5, 0, 0, 0, 0, 0, 0, 0,  // created_tx
      0, 0, 0, 0, 0, 0, 0, 0,  // deleted_tx
      0, 0, 0, 0, 0, 0, 0, 0,  // reserved
      3, 0,                    // field count
      1, 7, 0, 0, 0, 0, 0, 0, 0,  // Int 7
      2, 2, 0, 'h', 'i',          // inline Text "hi"
      0,                          // Null
  };
  ASSERT_EQ(bytes_of(rec), expected_record);

  RowPage page(5);
  auto slot = must(page.insert(as_bytes(rec)));
  EXPECT_EQ(slot, 0);
  const Page& p = page.bytes();
  const std::vector<uint8_t> expected_header = {
      5, 0, 0, 0, 0, 0, 0, 0,                          // page id
      1,                                               // type
      1, 0,                                            // slot_count
      0xD7, 0x0F,                                      // free_space_ptr 4055
      0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // no next page
      0, 0, 0,                                         // reserved
      0, 0, 0, 0,                                      // checksum (unstamped)
      0xD7, 0x0F, 41, 0,                               // slot 0: offset 4055, length 41
  };
  EXPECT_EQ(std::vector<uint8_t>(p.begin(), p.begin() + 32), expected_header);
  EXPECT_EQ(std::vector<uint8_t>(p.begin() + 4055, p.end()), expected_record);
  // Everything between the slot array and the record is still zero.
  for (size_t i = 32; i < 4055; ++i) ASSERT_EQ(p[i], 0) << i;
}

// A record that does not fit is refused with the sizes and leaves the page unchanged; the
// largest record fills an empty page exactly.
TEST(RowPage, InsertBeyondTheFreeSpaceIsPageFullAndChangesNothing) {
  const struct {
    size_t first, second;
    const char* error;
  } cases[] = {
      {kMaxRecordSize, 1, "page full: requested 5 bytes, only 0 available"},
      {4000, 100, "page full: requested 104 bytes, only 64 available"},
  };
  for (const auto& c : cases) {
    RowPage page(1);
    ASSERT_TRUE(page.insert(std::vector<uint8_t>(c.first, 0xAB)));
    const Page before = page.bytes();
    EXPECT_EQ(error_text(page.insert(std::vector<uint8_t>(c.second, 1))), c.error);
    EXPECT_EQ(page.bytes(), before);
  }
}

TEST(RowPage, InsertAndRelinkClearTheChecksum) {
  RowPage page(2);
  auto stamped = [&] {
    Page copy = page.bytes();
    std::memset(copy.data() + 21, 0xEE, 7);
    auto again = must(RowPage::from_bytes(copy));
    return again;
  };
  page = stamped();
  ASSERT_TRUE(page.insert(std::vector<uint8_t>(30, 1)));
  for (size_t i = 21; i < 28; ++i) EXPECT_EQ(page.bytes()[i], 0) << i;
  page = stamped();
  page.set_next_page(77);
  for (size_t i = 21; i < 28; ++i) EXPECT_EQ(page.bytes()[i], 0) << i;
  EXPECT_EQ(page.next_page(), 77u);
  page.set_next_page(std::nullopt);
  EXPECT_FALSE(page.next_page());
}

TEST(RowPage, SlotBeyondCountIsOutOfBounds) {
  RowPage page(1);
  ASSERT_TRUE(page.insert(std::vector<uint8_t>(30, 1)));
  ASSERT_TRUE(page.insert(std::vector<uint8_t>(30, 2)));
  EXPECT_EQ(error_text(page.slot(2)), "offset 2 out of bounds for region of 2 bytes");
  EXPECT_EQ((*page.record(1))[0], 2);
  // Row ids are the page shifted sixteen bits, then the slot.
  EXPECT_EQ(row_id(5, 3), 327683u);
  EXPECT_EQ(row_page(327683), 5u);
  EXPECT_EQ(row_slot(327683), 3);
}

TEST(RowPage, StoredHeaderOutOfRangeIsRefusedWithBothNumbers) {
  Page bytes{};
  bytes[8] = 1;
  store_u16(bytes.data() + 9, 0);
  store_u16(bytes.data() + 11, 4097);
  EXPECT_EQ(error_text(RowPage::from_bytes(bytes)),
            "data corruption: row page header out of range: slot_count=0, free_space_ptr=4097");

  store_u16(bytes.data() + 9, 10);
  store_u16(bytes.data() + 11, 28 + 39);
  EXPECT_EQ(error_text(RowPage::from_bytes(bytes)),
            "data corruption: row page header out of range: slot_count=10, free_space_ptr=67");

  bytes[8] = 2;
  EXPECT_EQ(error_text(RowPage::from_bytes(bytes)), "invalid page type discriminant: 0x02");
}

TEST(RowPage, PatchWritesOnlyDeletedTx) {
  CasStore cas = CasStore::new_memory();
  RowPage page(3);
  auto rec = record::encode_record(RecordEnvelope{11, 0, 0}, Row{Value::integer(1)}, cas);
  ASSERT_TRUE(page.insert(as_bytes(*rec)));
  Page before = page.bytes();
  ASSERT_TRUE(page.patch_envelope_deleted(0, 42));
  auto env = record::read_envelope(*page.record(0));
  EXPECT_EQ(env->created_tx, 11u);
  EXPECT_EQ(env->deleted_tx, 42u);
  size_t differing = 0;
  for (size_t i = 0; i < kPageSize; ++i) differing += before[i] != page.bytes()[i];
  EXPECT_EQ(differing, 1u);  // 42 fits one byte of the little-endian word
}

TEST(RowPage, PatchOfRecordShorterThanEnvelopeIsCorruption) {
  RowPage page(3);
  ASSERT_TRUE(page.insert(std::vector<uint8_t>(23, 0)));
  EXPECT_EQ(error_text(page.patch_envelope_deleted(0, 1)), "data corruption: row record is shorter than its MVCC envelope");
  EXPECT_EQ(page.patch_envelope_deleted(1, 1).error().kind, ErrorKind::OutOfBounds);
}

// A stored page whose slot points a record into the header: patching it must not rewrite
// slot_count or free_space_ptr, or the next insert would copy the record outside the page.
TEST(RowPage, PatchOfRecordOverlappingTheHeaderIsRefusedAndLeavesThePageIntact) {
  RowPage built(3);
  ASSERT_TRUE(built.insert(std::vector<uint8_t>(40, 0)));
  Page stored = built.bytes();
  store_u16(stored.data() + kRowHeaderSize, 4);  // slot 0: offset 4, so deleted_tx lies at 12..20
  auto page = must(RowPage::from_bytes(stored));
  EXPECT_EQ(error_text(page.patch_envelope_deleted(0, UINT64_MAX)), "data corruption: row envelope is out of page bounds");
  EXPECT_EQ(page.bytes(), stored);
  EXPECT_EQ(page.free_space_ptr(), 4096 - 40);
  ASSERT_TRUE(page.insert(std::vector<uint8_t>(8, 1)));
}

// The in-place patch of a cached page must agree with copying the page into a RowPage and
// patching that: the same error for each kind of damage (and then not a byte changed), the
// same bytes on success.
TEST(RowPage, InPlacePatchAgreesWithThePatchOfACopy) {
  RowPage page(3);
  const std::string record(30, 'r');
  ASSERT_TRUE(page.insert(as_bytes(record)));
  ASSERT_TRUE(page.insert(as_bytes(std::string(10, 's'))));  // shorter than an envelope
  const Page intact = page.bytes();
  auto damaged = [&](auto change) {
    Page p = intact;
    change(p);
    return p;
  };
  const std::vector<Page> cases = {
      intact,
      damaged([](Page& p) { p[kPageTypeOffset] = 9; }),
      damaged([](Page& p) { store_u16(p.data() + kSlotCountOffset, 2000); }),
      damaged([](Page& p) { store_u16(p.data() + kFreeSpaceOffset, 5000); }),
      damaged([](Page& p) { store_u16(p.data() + kRowHeaderSize, 4090); }),  // slot 0 at the very end
      damaged([](Page& p) { store_u16(p.data() + kRowHeaderSize, 4); }),     // slot 0 inside the header
  };
  for (size_t c = 0; c < cases.size(); ++c) {
    for (uint16_t slot : {0, 1, 2, 1100}) {
      Page in_place = cases[c];
      auto direct = RowPage::patch_envelope_deleted_in(in_place, slot, 77);
      Result<void> copied;
      Page expected = cases[c];
      if (auto copy = RowPage::from_bytes(cases[c])) {
        copied = copy->patch_envelope_deleted(slot, 77);
        expected = copy->bytes();
      } else {
        copied = fail(std::move(copy).error());
      }
      ASSERT_EQ(direct.has_value(), copied.has_value()) << "case " << c << " slot " << slot;
      if (!direct) {
        EXPECT_EQ(direct.error().message(), copied.error().message()) << "case " << c << " slot " << slot;
      }
      EXPECT_TRUE(in_place == (direct ? expected : cases[c])) << "case " << c << " slot " << slot;
    }
  }
}

TEST(RowPageRef, ViewOverShortSliceNeverReadsPastIt) {
  std::vector<uint8_t> bytes(28, 0);
  bytes[8] = 1;
  store_u16(bytes.data() + 9, 5);  // claims slots the slice does not hold
  auto view = must(RowPageRef::over(bytes));
  EXPECT_EQ(error_text(view.record(0)), "data corruption: slot array out of page bounds");

  std::vector<uint8_t> with_slot(32, 0);
  with_slot[8] = 1;
  store_u16(with_slot.data() + 9, 1);
  store_u16(with_slot.data() + 28, 20);  // offset 20, length 20: past the 32 bytes
  store_u16(with_slot.data() + 30, 20);
  auto v2 = RowPageRef::over(with_slot);
  EXPECT_EQ(v2->record(0).error().detail, "row record out of page bounds");
  EXPECT_EQ(v2->record(1).error().kind, ErrorKind::OutOfBounds);
}

TEST(RowPageRef, RefusesShortSliceAndOtherPageTypes) {
  std::vector<uint8_t> bytes(27, 0);
  EXPECT_EQ(error_text(RowPageRef::over(bytes)), "buffer too small: needed 28 bytes, got 27");
  Page cold{};
  cold[8] = 2;
  EXPECT_EQ(RowPageRef::over(cold).error().kind, ErrorKind::InvalidPageType);
}

}  // namespace
}  // namespace qm::storage
