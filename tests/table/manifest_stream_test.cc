// The one-pass manifest reader against the document reader, and the close's writer against
// the writer of copied pairs: random manifests, cut and spliced at random, must give the same
// catalog and indexes or the same refusal text from both readers.
#include "table/manifest_stream.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/json_scanner.h"
#include "journal/journal_docs.h"

namespace qm::db {
namespace {

Value random_key(std::mt19937_64& rng) {
  switch (rng() % 6) {
    case 0: return Value::null();
    case 1: return Value::decimal(static_cast<i128>(static_cast<int64_t>(rng())) * 1000003);
    case 2: return Value::text(std::string(rng() % 2 ? "k\"\\\n\xc3\xa9" : "") + std::to_string(rng() % 50));
    case 3: return Value::blob(std::string(rng() % 3, static_cast<char>(rng() % 256)));
    default: return Value::integer(static_cast<int64_t>(rng() % 100) - (rng() % 4 == 0 ? INT64_MAX : 0));
  }
}

storage::SecondaryIndex random_index(std::mt19937_64& rng) {
  storage::SecondaryIndex index;
  const size_t n = rng() % 12;
  for (size_t i = 0; i < n; ++i) index.insert(random_key(rng), rng() % 4 == 0 ? rng() : rng() % 1000);
  return index;
}

Manifest random_manifest(std::mt19937_64& rng, std::vector<std::vector<storage::SecondaryIndex>>& indexes) {
  Manifest m;
  m.format_version = static_cast<uint16_t>(1 + rng() % 8);
  m.clock = rng() % 1000;
  if (rng() % 3 == 0) m.commit_sequence = rng() % 9;
  if (rng() % 3 == 0) m.logged_workspace = rng() % 2 == 0;
  m.page_count = rng() % 100;
  for (size_t t = 0, n = rng() % 3; t < n; ++t) {
    TableMeta meta;
    meta.name = "t" + std::to_string(t);
    meta.columns = {"a", "b"};
    if (rng() % 2) meta.unique_columns = {"a"};
    if (rng() % 3 == 0) meta.defaults["b"] = random_key(rng);
    if (rng() % 3 == 0) meta.checks.push_back(sql::Predicate{sql::IsNullPred{"b", rng() % 2 == 0}});
    if (rng() % 2) meta.first_page = rng() % 5, meta.tail_id = rng() % 5;
    meta.row_versions = rng() % 10;
    if (rng() % 4 == 0) meta.cold_pages = 1;
    if (rng() % 4 == 0) meta.compaction_cursor = 2;
    meta.indexed_columns = {"a"};
    auto& built = indexes.emplace_back();
    for (size_t i = 0, k = rng() % 3; i < k; ++i) {
      built.push_back(random_index(rng));
      meta.indexes.push_back({i == 0 ? "a" : "b", built.back().to_pairs()});
    }
    if (rng() % 4 == 0) meta.binary_indexes.push_back({"a", rng() % 9, rng() % 9});
    m.tables.push_back(std::move(meta));
  }
  for (size_t i = 0, n = rng() % 3; i < n; ++i) m.cas_hashes.push_back(std::string(64, "0af"[rng() % 3]));
  if (rng() % 3 == 0) m.cas_dir = {{1, 2}};
  if (rng() % 3 == 0) m.index_region = Extent{3, 4};
  if (rng() % 4 == 0) {
    auto node = parse_json(R"({"name":"r","blob":1,"v":[1.5,-2,"x"]})");
    m.retrieval_indexes.push_back(*node);
  }
  return m;
}

// Snippets that reach every refusal of a field: wrong types, bounds, shapes.
const char* const kSnippets[] = {
    "null", "true", "0", "-1", "-0", "1.5", "1e2", "65536", "18446744073709551615", "18446744073709551616",
    "-9223372036854775809", "\"x\"", "\"Null\"", "\"Int\"", "[]", "{}", "[1,2]", "[1,2,3]", "{\"Int\":1}",
    "{\"Int\":9223372036854775808}", "{\"Int\":1,\"Text\":\"a\"}", "{\"Blob\":[1,256]}", "{\"Blob\":[-1]}",
    "{\"Decimal\":123456789012345678901234567890}", "{\"Decimal\":1.5}", "{\"Null\":null}", "{\"Null\":1}",
    "\"\\u00e9\"", "\"\\ud800\"", "\"\\ud83d\\ude00\"", "[[[[]]]]", "{\"a\":1}", "\"\xff\"", " ", "[{\"Int\":1},[1]]"};
const char* const kMembers[] = {"\"clock\":1,", "\"name\":\"x\",", "\"pairs\":[],", "\"zz\":[1,{\"a\":[]}],",
                                "\"column\":\"c\",", "\"tables\":[],", "\"cas_hashes\":[],", "\"indexes\":[],",
                                "\"n\\u0061me\":\"y\","};

std::string mutate(std::string text, std::mt19937_64& rng) {
  for (size_t m = 0, n = 1 + rng() % 3; m < n && !text.empty(); ++m) {
    const size_t at = rng() % text.size();
    switch (rng() % 6) {
      case 0:
      case 1: {  // a scalar, or the start of a value, replaced by a snippet
        size_t end = at;
        while (end < text.size() && std::string_view(",]}:").find(text[end]) == std::string_view::npos) ++end;
        text.replace(at, end - at, kSnippets[rng() % std::size(kSnippets)]);
        break;
      }
      case 2: {  // a member spliced in after an opening brace
        const size_t brace = text.find('{', at);
        if (brace != std::string::npos) text.insert(brace + 1, kMembers[rng() % std::size(kMembers)]);
        break;
      }
      case 3: text.erase(at, 1 + rng() % 3); break;
      case 4: text.insert(at, 1, "{}[],:\"\\ 0a-.e"[rng() % 14]); break;
      default: text.resize(at); break;
    }
  }
  return text;
}

// Both readers agree on `text`: the same refusal, or the same catalog with the same indexes.
void expect_same(std::string_view text) {
  auto old = read_manifest_json(text);
  auto one_pass = read_manifest_with_indexes(text);
  ASSERT_EQ(old.has_value(), one_pass.has_value()) << text << "\n"
                                                   << (old ? one_pass.error().message() : old.error().message());
  if (!old) {
    EXPECT_EQ(old.error().message(), one_pass.error().message()) << text;
    // A text the parser refuses is refused by the journal's view of it too.
    if (json_syntax_error(text)) {
      EXPECT_FALSE(journal::read_manifest_meta(text).has_value()) << text;
    }
    return;
  }
  Manifest expected = *old;
  ASSERT_EQ(one_pass->indexes.size(), expected.tables.size());
  for (size_t t = 0; t < expected.tables.size(); ++t) {
    auto& stored = expected.tables[t].indexes;
    const auto& built = one_pass->indexes[t];
    ASSERT_EQ(built.size(), stored.size()) << text;
    for (size_t i = 0; i < stored.size(); ++i) {
      EXPECT_EQ(built[i].column, stored[i].column);
      EXPECT_TRUE(built[i].index == storage::SecondaryIndex::from_pairs(stored[i].pairs)) << text;
    }
    stored.clear();
  }
  EXPECT_EQ(write_manifest_json(one_pass->manifest), write_manifest_json(expected)) << text;
  // The journal's view of the same text reads what the catalog reader read.
  auto meta = journal::read_manifest_meta(text);
  ASSERT_TRUE(meta.has_value()) << text << "\n" << meta.error().message();
  EXPECT_EQ(meta->clock, expected.clock);
  EXPECT_EQ(meta->page_count, expected.page_count);
  EXPECT_EQ(meta->format_version, expected.format_version);
  EXPECT_EQ(meta->commit_sequence, expected.commit_sequence);
  EXPECT_EQ(meta->logged_workspace, expected.logged_workspace);
  EXPECT_EQ(meta->cas_hashes, expected.cas_hashes);
}

TEST(ManifestOnePass, AgreesWithTheDocumentReaderOnRandomAndDamagedManifests) {
  std::mt19937_64 rng(38);
  for (int i = 0; i < 2000; ++i) {
    std::vector<std::vector<storage::SecondaryIndex>> indexes;
    const std::string text = write_manifest_json(random_manifest(rng, indexes));
    SCOPED_TRACE(i);
    expect_same(i % 4 == 0 ? text : mutate(text, rng));
    if (HasFatalFailure()) return;
  }
}

TEST(ManifestOnePass, AgreesOnTheTextsAParserTellsApart) {
  const std::string ok = R"({"clock":1,"page_count":0,"tables":[],"cas_hashes":[]})";
  auto nested = [](size_t depth) {
    return R"({"clock":1,"page_count":0,"tables":[],"cas_hashes":[],"x":)" + std::string(depth - 1, '[') +
           std::string(depth - 1, ']') + "}";
  };
  const std::vector<std::string> texts = {
      "\xEF\xBB\xBF" + ok, "\xEF\xBB" + ok, "", " ", ok + " x", ok + "\n", nested(128), nested(129),
      R"({"clock":1,"page_count":0,"tables":[],"cas_hashes":[],"x":"\ud800\udc00\u00e9\/\b"})",
      R"({"clock":1,"page_count":0,"tables":[],"cas_hashes":[],"x":"\udc00"})",
      R"({"clock":1,"page_count":0,"tables":[],"cas_hashes":[],"x":"a)" "\x01" R"("})",
      R"({"clock":01,"page_count":0,"tables":[],"cas_hashes":[]})",
      R"({"clock":1.,"page_count":0,"tables":[],"cas_hashes":[]})",
      R"({"clock":-0,"page_count":0,"tables":[],"cas_hashes":[]})",
      R"({"clock":1,"page_count":0,"tables":[],"cas_hashes":[],})",
      R"({"cl\u006fck":1,"page_count":0,"tables":[],"cas_hashes":[],"clock":2})",
      R"([1,2,null,null,3,[["t",["a"],[],[],{},[],null,null,0,0,null,[],[["a",[[{"Int":1},[7,7]],[{"Int":1},[8]]]]],[]]],[],[],null,[]])",
      R"([1,2,null,null,3,[["t",["a"],[],[],{},[],null,null,0,0,null,[],[["a",[[{"Int":2},[7]],[{"Int":1},[8]]],9]],[]]],[],[],null,[]])",
      R"([1,2,null,null,3,[],[],[],null,[],5])", R"([1,2,null,null,3,[],[]])",
      R"({"clock":1,"page_count":0,"tables":[{"name":"t","columns":["a"],"row_versions":0,"indexes":[{"pairs":[],"column":"a","pairs":[]}]}],"cas_hashes":[]})",
      R"({"clock":1,"page_count":0,"tables":[{"columns":["a"],"row_versions":0,"indexes":[{"pairs":[[{"Int":1}]]}]}],"cas_hashes":[]})",
      R"({"clock":1,"page_count":0,"tables":[{"name":"t","columns":["a"],"row_versions":0,"binary_indexes":[{"len":1}]}],"cas_hashes":[]})",
      R"({"clock":1,"page_count":0,"tables":[],"cas_hashes":[],"retrieval_indexes":[{},{},{},{},{},{},{},{},{},{},{},{},{},{},{},{},{}]})",
      R"({"clock":1,"page_count":0,"tables":[],"cas_hashes":[],"retrieval_indexes":{}})",
  };
  for (const auto& text : texts) {
    expect_same(text);
    if (HasFatalFailure()) return;
  }
  // Lists of row ids long enough to go into the index as they come, sound and refused.
  auto ids = [](int n, const char* last) {
    std::string out = "[";
    for (int i = 0; i < n; ++i) out += std::to_string(i * 65536 + 1) + ",";
    return out + last + "]";
  };
  const std::string head = R"({"clock":1,"page_count":0,"cas_hashes":[],"tables":[{"name":"t","columns":["a"],)"
                           R"("row_versions":0,"indexes":[{"column":"a","pairs":[)";
  for (const std::string& pairs :
       {R"([{"Int":1},)" + ids(3000, "7") + R"(],[{"Int":1},)" + ids(2000, "8") + "]",
        R"([{"Text":"k"},)" + ids(1500, "7") + R"(],["Null",[1]],[{"Text":"k"},)" + ids(1500, "9") + "]",
        R"([{"Int":1},)" + ids(3000, "-1") + "]", R"([{"Text":"k"},)" + ids(3000, "1.5") + "]",
        R"([{"Int":1},)" + ids(3000, "1") + ",3]", R"([{"Int":"x"},)" + ids(3000, "1") + "]",
        R"([{"Int":1},)" + ids(3000, "1") + "," + ids(2, "1") + "]",
        R"([{"Int":1},)" + ids(1023, "1000000000000000000") + R"(],[{"Int":2},)" + ids(900, " 4") + "]",
        R"([{"Int":1},)" + ids(3000, "18446744073709551615") + R"(],[{"Int":1000000000000000000},[1]])",
        R"([{"Int":3},)" + ids(2000, " 4") + "]"}) {
    expect_same(head + pairs + "]}]}]}");
    if (HasFatalFailure()) return;
  }
}

TEST(ManifestOnePass, CloseWriterWritesTheTextOfCopiedPairs) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 300; ++i) {
    std::vector<std::vector<storage::SecondaryIndex>> indexes;
    Manifest with_pairs = random_manifest(rng, indexes);
    Manifest without = with_pairs;
    LiveIndexes live;
    for (size_t t = 0; t < without.tables.size(); ++t) {
      auto& columns = live.emplace_back();
      for (size_t k = 0; k < indexes[t].size(); ++k)
        columns.emplace_back(without.tables[t].indexes[k].column, &indexes[t][k]);
      without.tables[t].indexes.clear();
    }
    ASSERT_EQ(write_manifest_json(without, live), write_manifest_json(with_pairs));
  }
}

}  // namespace
}  // namespace qm::db
