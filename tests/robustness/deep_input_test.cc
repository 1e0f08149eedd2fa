// Every reader that could recurse is bounded: the deepest input that fits in a few
// megabytes is refused with an error instead of exhausting the stack.
#include <gtest/gtest.h>

#include <string>

#include "core/json_reader.h"
#include "table/manifest.h"
#include "sql/parser.h"
#include "sql/predicate_json.h"
#include "core/params_json.h"

namespace qm {
namespace {

constexpr size_t kDeep = 4 << 20;

std::string repeat(const std::string& unit, size_t total_bytes) {
  std::string out;
  out.reserve(total_bytes);
  while (out.size() + unit.size() <= total_bytes) out += unit;
  return out;
}

TEST(DeepInput, SqlParserRefusesMegabytesOfParentheses) {
  std::string sql = "SELECT * FROM t WHERE " + repeat("(", kDeep) + "a = 1";
  auto r = sql::parse(sql);
  ASSERT_FALSE(r.has_value());
  EXPECT_NE(r.error().message().find("nesting"), std::string::npos) << r.error().message().substr(0, 200);
  std::string cases = "SELECT " + repeat("CASE WHEN a = 1 THEN ", kDeep / 2) + "1 FROM t";
  EXPECT_FALSE(sql::parse(cases).has_value());
  std::string calls = "SELECT " + repeat("LOWER(", kDeep) + "a FROM t";
  EXPECT_FALSE(sql::parse(calls).has_value());
}

TEST(DeepInput, JsonReadersRefuseMegabytesOfNesting) {
  std::string arrays = repeat("[", kDeep);
  EXPECT_FALSE(parse_json(arrays).has_value());
  EXPECT_FALSE(json_params_to_values("qm_query_params", arrays).has_value());
  EXPECT_FALSE(json_param_sets(arrays).has_value());
  std::string objects = repeat("{\"And\":[", kDeep);
  EXPECT_FALSE(sql::predicate_from_json_text(objects).has_value());
  std::string manifest = "{\"format_version\":8,\"tables\":[" + repeat("{\"a\":[", kDeep);
  EXPECT_FALSE(db::read_manifest_json(manifest).has_value());
}

TEST(DeepInput, PredicateTreeBuiltInMemoryIsBoundedToo) {
  // A tree that never went through the JSON parser: the reader's own recursion limit holds.
  JsonNode leaf;
  leaf.type = JsonNode::Type::Null;
  JsonNode node = leaf;
  for (int i = 0; i < 100000; ++i) {
    JsonNode arr;
    arr.type = JsonNode::Type::Array;
    arr.items.push_back(std::move(node));
    arr.items.push_back(leaf);
    JsonNode obj;
    obj.type = JsonNode::Type::Object;
    obj.members.emplace_back("And", std::move(arr));
    node = std::move(obj);
  }
  auto refused = sql::predicate_from_json(node);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error(), "recursion limit exceeded");
  // Tear the tree down iteratively so the test itself does not recurse 100,000 levels deep.
  while (node.is_object() && !node.members.empty()) {
    JsonNode next = std::move(node.members[0].second.items[0]);
    node = std::move(next);
  }
}

}  // namespace
}  // namespace qm
