// The record encoding: inline and blob-store values, the field layout, and decoding of
// truncated or hostile bytes into Corruption texts with nothing partial returned.
#include <gtest/gtest.h>

#include <vector>

#include "core/bytes.h"
#include "storage/cas_store.h"
#include "storage/record.h"
#include "support/faulty_fs.h"
#include "support/result_text.h"

namespace qm::storage {
namespace {

using RecordFs = qm::test::OnFaultyFs;
using namespace std::string_view_literals;
using record::decode_record;
using record::decode_row;
using record::encode_row;

std::vector<uint8_t> v8(std::string_view s) { return {s.begin(), s.end()}; }

std::string error_of(std::span<const uint8_t> bytes, const CasStore& cas) { return error_text(decode_row(bytes, cas)); }

TEST(Record, SixteenByteTextInlineSeventeenGoesToBlobStore) {
  CasStore cas = CasStore::new_memory();
  auto inline16 = must(encode_row(Row{Value::text(std::string(16, 'a'))}, cas));
  EXPECT_EQ(inline16[2], 2);  // tag 2, inline text
  EXPECT_EQ(inline16.size(), 2u + 1 + 2 + 16);
  EXPECT_EQ(cas.count(), 0u);

  auto long17 = must(encode_row(Row{Value::text(std::string(17, 'a')), Value::blob(std::string(40, 'b'))}, cas));
  const std::vector<uint8_t> expected = {2, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 5, 1, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(v8(long17), expected);
  EXPECT_EQ(cas.count(), 2u);
  auto back = must(decode_row(as_bytes(long17), cas));
  EXPECT_EQ(back[0], Value::text(std::string(17, 'a')));
  EXPECT_EQ(back[1], Value::blob(std::string(40, 'b')));
}

TEST(Record, EveryKindRoundTrips) {
  CasStore cas = CasStore::new_memory();
  Row row{Value::null(),
          Value::integer(-5),
          Value::integer(INT64_MIN),
          Value::decimal(-static_cast<i128>(1500000)),
          Value::decimal(kI128Max),
          Value::text(""),
          Value::text("h\xC3\xA9llo"),
          Value::blob(std::string("\0\1\2", 3)),
          Value::blob(std::string(300, '\xFF')),
          Value::text(std::string(5000, 'q'))};
  auto rec = must(record::encode_record(RecordEnvelope{3, 9, 0}, row, cas));
  auto back = must(decode_record(as_bytes(rec), cas));
  EXPECT_EQ(back.first.created_tx, 3u);
  EXPECT_EQ(back.first.deleted_tx, 9u);
  EXPECT_EQ(back.second, row);
}

TEST(Record, ColumnCountLimit) {
  CasStore cas = CasStore::new_memory();
  Row wide(65536, Value::null());
  EXPECT_EQ(error_text(encode_row(wide, cas)), "schema error: too many columns (max 65535)");
  wide.pop_back();
  EXPECT_EQ(must(decode_row(as_bytes(must(encode_row(wide, cas))), cas)).size(), 65535u);
}

TEST(Record, ShortRecordsAreRefused) {
  CasStore cas = CasStore::new_memory();
  EXPECT_EQ(error_text(decode_record(std::vector<uint8_t>(23, 0), cas)), "buffer too small: needed 24 bytes, got 23");
  EXPECT_EQ(error_text(decode_record(std::vector<uint8_t>(24, 0), cas)), "data corruption: record: truncated u16");
}

TEST(Record, TruncatedAndHostileFieldsGiveTheirTexts) {
  CasStore cas = CasStore::new_memory();
  ASSERT_TRUE(cas.put(std::string(20, 'x')));
  ASSERT_TRUE(cas.put(std::string("\xFF\xFE not utf-8 at all", 20)));
  const std::pair<std::vector<uint8_t>, std::string> cases[] = {
      {{2, 0, 0}, "data corruption: record: truncated at field tag"},
      {{1, 0, 1, 1, 2, 3}, "data corruption: record: truncated u64"},
      {{1, 0, 2, 5}, "data corruption: record: truncated u16"},
      {{1, 0, 2, 5, 0, 'a', 'b'}, "data corruption: record: truncated inline payload"},
      {{1, 0, 2, 2, 0, 0xC3, 0x28}, "data corruption: record: invalid utf-8 text"},
      {{1, 0, 4, 1, 0}, "data corruption: record: truncated u64"},
      {{1, 0, 4, 7, 0, 0, 0, 0, 0, 0, 0}, "content-addressable storage miss for hash id 7"},
      {{1, 0, 4, 1, 0, 0, 0, 0, 0, 0, 0}, "data corruption: record: invalid utf-8 in CAS"},
      {{1, 0, 6, 1, 2, 3}, "data corruption: record: truncated i128"},
      {{1, 0, 7}, "data corruption: record: bad field tag 0x07"},
      {{1, 0, 0xAB}, "data corruption: record: bad field tag 0xAB"},
      {{}, "data corruption: record: truncated u16"},
      {{1}, "data corruption: record: truncated u16"},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(error_of(bytes, cas), text);
  // Bytes after the declared fields are ignored.
  EXPECT_EQ(decode_row(std::vector<uint8_t>{1, 0, 0, 0xDE, 0xAD}, cas)->size(), 1u);
  // The same blob index as Blob is fine: only Text must be UTF-8.
  EXPECT_TRUE(decode_row(std::vector<uint8_t>{1, 0, 5, 1, 0, 0, 0, 0, 0, 0, 0}, cas));
}

TEST(Record, InvalidUtf8AfterALongAsciiPrefixIsCaught) {
  CasStore cas = CasStore::new_memory();
  EXPECT_EQ(error_of(v8("\x01\0\x02\x0c\0aaaaaaaaaa\xc3\x28"sv), cas), "data corruption: record: invalid utf-8 text");
  Row ok{Value::text(std::string(9, 'a') + "\xC3\xA9"), Value::text(std::string(30, 'b') + "\xE2\x82\xAC")};
  EXPECT_EQ(*decode_row(as_bytes(*encode_row(ok, cas)), cas), ok);
}

TEST(Record, HostileFieldCountReservesNoMoreThanTheInputHolds) {
  CasStore cas = CasStore::new_memory();
  Row out;
  EXPECT_EQ(error_text(record::decode_row_into(v8("\xff\xff\0\0\0"sv), cas, out)),
            "data corruption: record: truncated at field tag");
  EXPECT_TRUE(out.empty());  // nothing partial
  EXPECT_LE(out.capacity(), 3u);
}

TEST(Record, DecodeIntoReusesTheRowAndClearsItOnFailure) {
  CasStore cas = CasStore::new_memory();
  Row out;
  auto a = encode_row(Row{Value::text("first value"), Value::integer(1)}, cas);
  auto b = encode_row(Row{Value::text("second"), Value::integer(2)}, cas);
  ASSERT_TRUE(record::decode_row_into(as_bytes(*a), cas, out));
  const Value* data = out.data();
  ASSERT_TRUE(record::decode_row_into(as_bytes(*b), cas, out));
  EXPECT_EQ(out.data(), data);  // same storage
  EXPECT_EQ(out, (Row{Value::text("second"), Value::integer(2)}));
  EXPECT_FALSE(record::decode_row_into(v8("\x02\0\x01"sv), cas, out));
  EXPECT_TRUE(out.empty());
  // A shorter row after a longer one drops the extra values.
  ASSERT_TRUE(record::decode_row_into(as_bytes(*a), cas, out));
  auto c = encode_row(Row{Value::null()}, cas);
  ASSERT_TRUE(record::decode_row_into(as_bytes(*c), cas, out));
  EXPECT_EQ(out, Row{Value::null()});
}

// A slot refilled with another kind holds exactly the new value: nothing of a former
// text survives in a number or a NULL, and a text after a number is the text alone.
TEST(Record, RefilledSlotsKeepNothingOfTheirFormerKind) {
  CasStore cas = CasStore::new_memory();
  Row out;
  const Row texts{Value::text("a longer text value"), Value::text("t"), Value::text("u")};
  const Row numbers{Value::integer(-5), Value::decimal(kI128Min), Value::null()};
  for (int round = 0; round < 2; ++round) {
    for (const Row& row : {texts, numbers}) {
      auto bytes = must(encode_row(row, cas));
      ASSERT_TRUE(record::decode_row_into(as_bytes(bytes), cas, out));
      ASSERT_EQ(out.size(), row.size());
      for (size_t i = 0; i < row.size(); ++i) {
        EXPECT_EQ(out[i].kind(), row[i].kind());
        EXPECT_EQ(compare(out[i], row[i]), std::strong_ordering::equal);
        EXPECT_EQ(out[i].bytes(), row[i].bytes());
        EXPECT_EQ(display(out[i]), display(row[i]));
      }
    }
  }
}

TEST_F(RecordFs, FailingBlobPutLeavesOutputAsItWas) {
  disk.fail_nth(test::FaultyFs::Op::Mkdir, 1);
  CasStore cas = CasStore::new_dev("/ws");
  std::string out = "prefix";
  EXPECT_EQ(record::encode_row_into(Row{Value::text(std::string(40, 'x'))}, cas, out).error().kind, ErrorKind::Io);
  EXPECT_EQ(out, "prefix");
  EXPECT_EQ(cas.count(), 0u);
}

}  // namespace
}  // namespace qm::storage
