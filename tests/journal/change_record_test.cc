// Change records (binary and the older JSON form), their feed JSON, and the journal's two
// small JSON documents.
#include <gtest/gtest.h>

#include <tuple>

#include "core/blake3.h"
#include "core/bytes.h"
#include "journal/change_record.h"
#include "journal/journal_docs.h"
#include "support/result_text.h"

namespace qm::journal {
namespace {


std::string le64(uint64_t v) {
  std::string s(8, '\0');
  store_u64(reinterpret_cast<uint8_t*>(s.data()), v);
  return s;
}

template <class T>
std::string outcome(const Result<T>& r) { return r ? "ok" : r.error().message(); }

const std::string kHash = to_hex(blake3(std::string_view("hi")));

ChangeCommit sample() {
  ChangeCommit c;
  c.sequence = 2;
  c.before_tx = 5;
  c.after_tx = 7;
  c.manifest = "{}";
  c.pages.push_back({3, std::string(4096, 'p')});
  c.blobs.push_back({kHash, "hi"});
  return c;
}

std::string sample_bytes() {
  return "QMCHG001" + le64(2) + le64(5) + le64(7) + le64(2) + "{}" + le64(1) + le64(3) + std::string(4096, 'p') +
         le64(1) + kHash + le64(2) + "hi";
}

TEST(BinaryRecord, EncodesTheExactLayoutAndDecodesBack) {
  LimitedBytes out(1 << 20);
  ASSERT_TRUE(encode_change(out, sample()));
  EXPECT_EQ(out.bytes(), sample_bytes());
  EXPECT_EQ(*decode_change(out.bytes()), sample());

  ChangeCommit empty;
  empty.manifest = "{\"a\":1}";
  LimitedBytes small(1 << 20);
  ASSERT_TRUE(encode_change(small, empty));
  EXPECT_EQ(small.bytes().size(), 40 + empty.manifest.size() + 16);
  EXPECT_EQ(*decode_change(small.bytes()), empty);
}

TEST(BinaryRecord, EveryMalformedRecordIsRefusedWithItsText) {
  const std::string good = sample_bytes();
  const size_t page_count_at = 40 + 2;
  const size_t blob_count_at = page_count_at + 8 + 4104;
  const size_t hash_at = blob_count_at + 8;
  auto with = [&](size_t at, std::string bytes) { return good.substr(0, at) + bytes + good.substr(at + bytes.size()); };
  std::string upper = kHash;
  for (char& ch : upper) ch = static_cast<char>(std::toupper(ch));
  struct Case {
    std::string name, bytes, expected;
  } cases[] = {
      {"header cut", good.substr(0, 39), "data corruption: truncated binary commit"},
      {"manifest past end", with(32, le64(1u << 30)), "data corruption: truncated binary commit"},
      {"page count too high", with(page_count_at, le64(2)), "data corruption: invalid binary commit page count"},
      {"no blob count", good.substr(0, blob_count_at), "data corruption: truncated binary commit"},
      {"blob count too high", with(blob_count_at, le64(2)), "data corruption: invalid binary commit blob count"},
      {"hash not hex", with(hash_at, "g"), "data corruption: invalid binary commit blob hash"},
      {"hash not utf-8", with(hash_at, "\xff"), "data corruption: invalid binary commit blob hash"},
      {"hash upper case", with(hash_at, upper), "ok"},
      {"blob bytes altered", with(good.size() - 1, "j"), "data corruption: commit blob hash mismatch"},
      {"blob cut", good.substr(0, good.size() - 1), "data corruption: truncated binary commit"},
      {"trailing byte", good + "x", "data corruption: trailing binary commit data"},
  };
  for (const auto& c : cases) EXPECT_EQ(outcome(decode_change(c.bytes)), c.expected) << c.name;
}

TEST(BinaryRecord, TheByteLimitRefusesAWholeWriteAndKeepsTheBuffer) {
  LimitedBytes out(100);
  ASSERT_TRUE(out.write_all(std::string(60, 'a')));
  ASSERT_TRUE(out.write_all(std::string(40, 'b')));
  EXPECT_EQ(error_text(out.write_all("c")), "i/o error: commit record byte limit");
  EXPECT_EQ(out.bytes().size(), 100u);
  EXPECT_TRUE(out.write_all(""));
  LimitedBytes tight(sample_bytes().size() - 1);
  EXPECT_FALSE(encode_change(tight, sample()));
}

TEST(FeedJson, RecordsLeaveAsExactJsonThatReadsBackAsTheOlderForm) {
  ChangeCommit c = sample();
  c.pages.clear();
  EXPECT_EQ(changes_json({c}),
            "[{\"schema_version\":1,\"sequence\":2,\"before_tx\":5,\"after_tx\":7,\"manifest\":[123,125],"
            "\"pages\":[],\"blobs\":[{\"hash\":\"" + kHash + "\",\"bytes\":[104,105]}]}]");
  EXPECT_EQ(changes_json({}), "[]");
  std::string full = changes_json({sample()});
  EXPECT_EQ(*decode_change(full.substr(1, full.size() - 2)), sample());
}

TEST(LegacyRecord, TheOlderFormGetsTheBinaryChecksAndStrictJson) {
  auto bytes = [](size_t n, int v) {
    std::string s = "[";
    for (size_t i = 0; i < n; ++i) s += (i ? "," : "") + std::to_string(v);
    return s + "]";
  };
  auto record = [&](std::string pages, std::string extra = "", std::string blob_bytes = "[104,105]") {
    return "{\"schema_version\":1,\"sequence\":2,\"before_tx\":5,\"after_tx\":7" + extra +
           ",\"manifest\":[123,125],\"pages\":" + pages + ",\"blobs\":[{\"hash\":\"" + kHash +
           "\",\"bytes\":" + blob_bytes + "}]}";
  };
  std::string deep = std::string(200, '[') + std::string(200, ']');
  struct Case {
    std::string name, text, expected;
  } cases[] = {
      {"valid", record("[{\"page_id\":3,\"bytes\":" + bytes(4096, 112) + ",\"x\":{}}]", ",\"other\":[1,{\"a\":2}]"), "ok"},
      {"seven bytes", "QMCHG00", "manifest error: [json.exception.parse_error.101]"},
      {"no pages", "{\"schema_version\":1,\"sequence\":2,\"before_tx\":5,\"after_tx\":7,\"manifest\":[],\"blobs\":[]}",
       "manifest error: missing field `pages`"},
      {"repeated key", record("[]", ",\"sequence\":3"), "manifest error: duplicate field `sequence`"},
      {"byte too large", record("[]", "", "[256]"), "manifest error: invalid value: integer `256`, expected u8"},
      {"byte not a number", record("[]", "", "[\"a\"]"), "manifest error: invalid type: string, expected u8"},
      {"short page", record("[{\"page_id\":3,\"bytes\":" + bytes(4095, 1) + "}]"),
       "data corruption: invalid legacy commit page length"},
      {"blob not its name", record("[]", "", "[104]"), "data corruption: commit blob hash mismatch"},
      {"hostile nesting", record("[]", ",\"other\":" + deep), "manifest error: recursion limit exceeded"},
      {"not an object", "[1]", "manifest error: invalid type: sequence, expected struct ChangeCommit"},
  };
  for (const auto& c : cases) {
    auto r = decode_change(c.text);
    std::string got = outcome(r);
    EXPECT_EQ(got.substr(0, c.expected.size()), c.expected) << c.name << ": " << got;
  }
  EXPECT_EQ(*decode_change(cases[0].text), sample());
}

TEST(JournalDocs, HeaderAndManifestViewReadStrictly) {
  Header h{3, 9, 12};
  EXPECT_EQ(header_json(h), "{\"sequence\":3,\"before_tx\":9,\"page_count\":12}");
  EXPECT_EQ(*read_header(header_json(h)), h);
  EXPECT_EQ(outcome(read_header("{\"sequence\":3,\"before_tx\":9}")), "manifest error: missing field `page_count`");
  auto meta = read_manifest_meta("{\"clock\":4,\"page_count\":2,\"cas_hashes\":[\"ab\"],\"commit_sequence\":null,"
                                 "\"tables\":[{\"deep\":[[[]]]}]}");
  ASSERT_TRUE(meta);
  EXPECT_EQ(meta->format_version, 0);
  EXPECT_FALSE(meta->commit_sequence);
  EXPECT_EQ(meta->cas_hashes, std::vector<std::string>{"ab"});
  // A manifest written as the array of its fields, in the manifest's own field order.
  meta = read_manifest_meta(" [8,4,3,true,2,[],[\"ab\"],[],null,[]]");
  ASSERT_TRUE(meta) << meta.error().message();
  EXPECT_EQ(std::tuple(meta->format_version, meta->clock, meta->commit_sequence, meta->logged_workspace,
                       meta->page_count, meta->cas_hashes),
            std::tuple(uint16_t{8}, uint64_t{4}, std::optional<uint64_t>(3), std::optional<bool>(true), uint64_t{2},
                       std::vector<std::string>{"ab"}));
  const std::pair<std::string, std::string> cases[] = {
      {"{\"page_count\":2,\"cas_hashes\":[]}", "manifest error: missing field `clock`"},
      {"{\"clock\":1,\"clock\":1,\"page_count\":2,\"cas_hashes\":[]}", "manifest error: duplicate field `clock`"},
      {"{\"clock\":\"1\",\"page_count\":2,\"cas_hashes\":[]}", "manifest error: invalid type: string, expected u64"},
      {"{\"format_version\":70000,\"clock\":1}", "manifest error: invalid value: integer `70000`, expected u16"},
      {"{\"clock\":1,\"page_count\":2,\"cas_hashes\":[1]}", "manifest error: invalid type: integer, expected a string"},
      {"[1]", "manifest error: invalid length 1, expected struct Manifest with 10 elements"},
      {"3", "manifest error: invalid type: integer, expected struct ManifestMeta"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(outcome(read_manifest_meta(text)), expected) << text;
  EXPECT_EQ(outcome(read_manifest_meta("{\"x\":" + std::string(200, '[') + std::string(200, ']') + "}")),
            "manifest error: recursion limit exceeded");
}

}  // namespace
}  // namespace qm::journal
