// The manifest writer's exact bytes and the strict reader's refusals.
#include "table/manifest.h"

#include <gtest/gtest.h>

#include <string>

#include "db/format_version.h"
#include "support/result_text.h"

namespace qm::db {
namespace {


std::string manifest_error(std::string_view text) {
  auto m = read_manifest_json(text);
  if (m) return "(read)";
  EXPECT_EQ(m.error().kind, ErrorKind::Manifest);
  return m.error().message();
}

TEST(ManifestWriter, OptionalTableKeysAreOmittedOrNullExactlyAsSpecified) {
  Manifest m;
  m.format_version = 5;
  m.clock = 7;
  m.commit_sequence = 3;
  m.page_count = 2;
  TableMeta bare;
  bare.name = "a";
  bare.columns = {"x"};
  TableMeta full;
  full.name = "b";
  full.columns = {"z", "y"};
  full.unique_columns = {"z", "y"};  // written sorted
  full.not_null_columns = {"y"};
  full.defaults["z"] = Value::integer(4);
  full.checks.push_back(sql::Predicate{sql::IsNullPred{"y", true}});
  full.first_page = 0;
  full.tail_id = 1;
  full.row_versions = 9;
  full.cold_pages = 1;
  full.compaction_cursor = 0;
  full.indexed_columns = {"y", "z"};
  full.indexes.push_back({"y", {{Value::text("k"), {65536, 1}}}});
  full.binary_indexes.push_back({"z", 0, 4});
  m.tables = {bare, full};
  m.cas_hashes = {std::string(64, 'a')};
  m.cas_dir = {{0, 17}};
  m.index_region = Extent{100, 4};
  EXPECT_EQ(write_manifest_json(m),
            R"({"format_version":5,"clock":7,"commit_sequence":3,"page_count":2,"tables":[)"
            R"({"name":"a","columns":["x"],"first_page":null,"tail_id":null,"row_versions":0,"indexed_columns":[]},)"
            R"({"name":"b","columns":["z","y"],"unique_columns":["y","z"],"not_null_columns":["y"],)"
            R"("defaults":{"z":{"Int":4}},"checks":[{"IsNull":{"column":"y","negated":true}}],)"
            R"("first_page":0,"tail_id":1,"row_versions":9,"cold_pages":1,"compaction_cursor":0,)"
            R"("indexed_columns":["y","z"],"indexes":[{"column":"y","pairs":[[{"Text":"k"},[65536,1]]]}],)"
            R"("binary_indexes":[{"column":"z","offset":0,"len":4}]}],)"
            R"("cas_hashes":[")" + std::string(64, 'a') + R"("],"cas_dir":[[0,17]],"index_region":[100,4]})");
}

// A blob store's kept text of the digest list writes the same bytes as the list itself.
TEST(ManifestWriter, KeptDigestListTextWritesTheSameBytesAsTheList) {
  Manifest listed;
  listed.format_version = 1;
  Manifest kept = listed;
  kept.cas_hashes_json = "";
  EXPECT_EQ(write_manifest_json(kept), write_manifest_json(listed));
  listed.cas_hashes = {std::string(64, 'a'), std::string(64, '0')};
  const std::string text = "\"" + std::string(64, 'a') + "\",\"" + std::string(64, '0') + "\"";
  kept.cas_hashes_json = text;
  EXPECT_EQ(write_manifest_json(kept), write_manifest_json(listed));
}

TEST(ManifestReader, RoundTripGivesBackTheSameManifest) {
  Manifest m;
  m.format_version = 8;
  m.clock = 12;
  m.logged_workspace = false;
  m.page_count = 3;
  TableMeta t;
  t.name = "t";
  t.columns = {"a", "b"};
  t.unique_columns = {"a"};
  t.defaults["b"] = Value::decimal(1500000);
  t.checks.push_back(sql::Predicate::eq("a", Value::integer(1)));
  t.first_page = 0;
  t.tail_id = 2;
  t.row_versions = 5;
  t.indexed_columns = {"a"};
  t.indexes.push_back({"a", {{Value::null(), {1}}, {Value::integer(3), {2, 3}}}});
  m.tables.push_back(t);
  auto back = must(read_manifest_json(write_manifest_json(m)));
  EXPECT_EQ(back.format_version, 8);
  EXPECT_EQ(back.clock, 12u);
  EXPECT_EQ(back.logged_workspace, std::optional<bool>(false));
  EXPECT_FALSE(back.commit_sequence.has_value());
  ASSERT_EQ(back.tables.size(), 1u);
  EXPECT_EQ(back.tables[0], t);
  EXPECT_EQ(write_manifest_json(back), write_manifest_json(m));
}

TEST(ManifestReader, AbsentOptionalKeysReadAsEmptyAndUnknownKeysAreSkipped) {
  auto m = read_manifest_json(
      R"({"clock":1,"page_count":0,"extra":[1,{"deep":true}],"tables":[{"name":"t","columns":["a"],)"
      R"("row_versions":0,"surprise":"x"}],"cas_hashes":[]})");
  ASSERT_TRUE(m.has_value()) << m.error().message();
  EXPECT_EQ(m->format_version, 0);  // absent: refused later by the version check
  EXPECT_TRUE(m->cas_dir.empty());
  EXPECT_TRUE(m->retrieval_indexes.empty());
  ASSERT_EQ(m->tables.size(), 1u);
  EXPECT_TRUE(m->tables[0].indexed_columns.empty());
  EXPECT_FALSE(m->tables[0].first_page.has_value());
  EXPECT_EQ(m->tables[0].cold_pages, 0u);
}

std::string nested_check_manifest(int levels) {
  // Each And level costs two containers; the root, tables, table and checks take four.
  std::string p = R"({"IsNull":{"column":"a","negated":false}})";
  for (int i = 0; i < levels; ++i) p = R"({"And":[)" + p + "," + R"({"IsNull":{"column":"a","negated":false}})" + "]}";
  return R"({"format_version":4,"clock":0,"page_count":0,"tables":[{"name":"t","columns":["a"],"checks":[)" + p +
         R"(],"first_page":null,"tail_id":null,"row_versions":0}],"cas_hashes":[]})";
}

TEST(ManifestReader, MissingRepeatedMistypedAndTooDeepDocumentsAreRefused) {
  std::string descriptors;
  for (int i = 0; i < 17; ++i) descriptors += std::string(i ? "," : "") + "{}";
  const std::pair<std::string, std::string> cases[] = {
      {R"({"format_version":1,"page_count":0,"tables":[],"cas_hashes":[]})", "manifest error: missing field `clock`"},
      {R"({"format_version":1,"clock":0,"clock":1,"page_count":0,"tables":[],"cas_hashes":[]})",
       "manifest error: duplicate field `clock`"},
      {R"({"format_version":1,"clock":0,"page_count":0,"tables":[{"name":"t","columns":[]}],"cas_hashes":[]})",
       "manifest error: missing field `row_versions`"},
      {R"({"format_version":70000,"clock":0,"page_count":0,"tables":[],"cas_hashes":[]})",
       "manifest error: invalid value: integer `70000`, expected u16"},
      {R"({"format_version":1,"clock":-1,"page_count":0,"tables":[],"cas_hashes":[]})",
       "manifest error: invalid value: integer `-1`, expected u64"},
      {R"({"format_version":1,"clock":"0","page_count":0,"tables":[],"cas_hashes":[]})",
       "manifest error: invalid type: string, expected u64"},
      {"[1,2]", "manifest error: invalid length 2, expected struct Manifest with 10 elements"},
      {R"("text")", "manifest error: invalid type: string, expected struct Manifest"},
      // A repeated unknown key is fine.
      {R"({"x":1,"x":2,"format_version":1,"clock":0,"page_count":0,"tables":[],"cas_hashes":[]})", "(read)"},
      {R"({"format_version":8,"clock":0,"page_count":0,"tables":[],"cas_hashes":[],"retrieval_indexes":[)" +
           descriptors + "]}",
       "manifest error: persistent retrieval sequence exceeds its limit"},
      {R"({"format_version":4,"clock":0,"page_count":0,"tables":[{"name":"t","columns":["a"],)"
       R"("checks":[{"IsNull":{"column":"a"}}],"row_versions":0}],"cas_hashes":[]})",
       "manifest error: missing field `negated`"},
      // 4 + 2 * 61 + 2 = 128 containers: readable; one more And level is not.
      {nested_check_manifest(61), "(read)"},
      {nested_check_manifest(62), "manifest error: recursion limit exceeded"},
      {std::string(100000, '[') + std::string(100000, ']'), "manifest error: recursion limit exceeded"},
  };
  for (const auto& [text, error] : cases) EXPECT_EQ(manifest_error(text), error) << text.substr(0, 100);
  EXPECT_EQ(manifest_error("{not json").rfind("manifest error: ", 0), 0u);
  EXPECT_FALSE(read_manifest_json(R"({"clock":0,"page_count":0,"tables":[],"cas_hashes":[]} x)"));
}

TEST(ManifestReader, ArrayFormOfAStructureIsAccepted) {
  auto m = must(read_manifest_json(R"([3,5,null,null,0,[["t",["a"],[],[],{},[],null,null,0,0,null,[],[],[]]],[],[],null,[]])"));
  EXPECT_EQ(m.format_version, 3);
  EXPECT_EQ(m.clock, 5u);
  ASSERT_EQ(m.tables.size(), 1u);
  EXPECT_EQ(m.tables[0].name, "t");
}

// The blob lists are read straight from the text when written as the writer writes them; any
// other spelling, and any refusal, must come out exactly as the strict reader has it.
TEST(ManifestReader, BlobListsReadTheSameHoweverTheyAreSpelled) {
  const std::string a(64, 'a'), b(64, 'b'), upper(64, 'C');
  auto doc = [](std::string tables, std::string lists, std::string tail = "") {
    return R"({"format_version":4,"clock":0,"page_count":0,"tables":[)" + tables + "]," + lists + tail + "}";
  };
  const std::string table = R"({"name":"q\"\\","columns":["a"],"row_versions":0,"cas_hashes":["x"],"cas_dir":[1]})";
  struct Case {
    std::string text;
    std::string read;  // the lists as read back, or the error
  };
  const Case cases[] = {
      {doc("", R"("cas_hashes":[")" + a + R"(",")" + b + R"("],"cas_dir":[[0,17],[17,18446744073709551615]])"),
       a + " " + b + " | 0+17 17+18446744073709551615"},
      {doc(table, R"("cas_hashes":[")" + a + R"("],"cas_dir":[[0,1]])"), a + " | 0+1"},
      {doc("", R"("cas_hashes": [ ")" + a + R"(" ],"cas_dir":[ [0, 1] ])"), a + " | 0+1"},
      {doc("", R"("cas_hashes":[")" + upper + R"("],"cas_dir":[[0,1]])"), upper + " | 0+1"},
      {doc("", R"("cas_hashes":["ab"])"), "ab | "},
      {doc("", R"("cas_hashes":[],"cas_dir":[])"), " | "},
      {doc("", R"("cas_dir":[[0,1]],"cas_hashes":[")" + a + R"("])"), a + " | 0+1"},
      {doc("", R"("cas_hashes":[1])"), "manifest error: invalid type: integer, expected a string"},
      {doc("", R"("cas_hashes":[")" + a + R"("],"cas_dir":[[0,1.5]])"),
       "manifest error: invalid type: floating point, expected u64"},
      {doc("", R"("cas_hashes":[")" + a + R"("],"cas_dir":[[0,18446744073709551616]])"),
       "manifest error: invalid type: floating point, expected u64"},
      {doc("", R"("cas_hashes":[")" + a + R"("],"cas_dir":[[0,-1]])"),
       "manifest error: invalid value: integer `-1`, expected u64"},
      {doc("", R"("cas_hashes":[")" + a + R"("],"cas_dir":[[0,1,2]])"),
       "manifest error: invalid length 3, expected a tuple of size 2"},
      {doc("", R"("cas_hashes":[")" + a + R"("],"cas_hashes":[])"), "manifest error: duplicate field `cas_hashes`"},
      {doc("", R"("cas_hashes":[")" + a + R"("],"cas_dir":[[0,1]],"index_region":[1])"),
       "manifest error: invalid length 1, expected a tuple of size 2"},
      {doc("", R"("cas_dir":[[0,1]])"), "manifest error: missing field `cas_hashes`"},
  };
  for (const auto& c : cases) {
    auto m = read_manifest_json(c.text);
    std::string got;
    if (!m) {
      got = m.error().message();
    } else {
      for (const auto& h : m->cas_hashes) got += (got.empty() ? "" : " ") + h;
      got += " |";
      for (const auto& [offset, length] : m->cas_dir) got += " " + std::to_string(offset) + "+" + std::to_string(length);
      if (m->cas_dir.empty()) got += " ";
    }
    EXPECT_EQ(got, c.read) << c.text.substr(0, 200);
  }
  // A syntax error past the lists names its place in the text as given.
  const std::string bad = doc("", R"("cas_hashes":[")" + a + R"("],"cas_dir":[[0,1]])", ",}");
  const std::string error = manifest_error(bad);
  EXPECT_NE(error.find("column " + std::to_string(bad.size() - 1) + ":"), std::string::npos) << error;
}

}  // namespace
}  // namespace qm::db
