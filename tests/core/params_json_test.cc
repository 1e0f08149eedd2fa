// The parameter readers take a strict fast path for the common shapes and fall back to the
// general JSON reader for everything else. Whatever the text, the values (or the error
// text) must be those of the general reader: checked here against a copy of the general
// path over hand-picked edges and generated documents.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/json_reader.h"
#include "core/params_json.h"

namespace qm {
namespace {

std::expected<std::vector<Value>, std::string> general_values(std::string_view context, std::string_view text) {
  auto doc = parse_json(text);
  if (!doc) return std::unexpected(std::string(context) + ": invalid params JSON: " + doc.error());
  if (!doc->is_array()) return std::unexpected(std::string(context) + ": params must be a JSON array");
  std::vector<Value> out;
  for (const auto& item : doc->items) {
    auto v = json_to_value(item);
    if (!v) return std::unexpected(std::string(context) + ": " + v.error());
    out.push_back(std::move(*v));
  }
  return out;
}

Result<std::vector<std::vector<Value>>> general_sets(std::string_view text) {
  auto doc = parse_json(text);
  if (!doc) return fail(QmError::manifest(doc.error()));
  if (!doc->is_array()) return fail(QmError::manifest(json_invalid_type(json_type_name(*doc), "a sequence")));
  std::vector<std::vector<Value>> sets;
  for (const auto& set : doc->items) {
    if (!set.is_array()) return fail(QmError::manifest(json_invalid_type(json_type_name(set), "a sequence")));
    std::vector<Value> values;
    for (const auto& item : set.items) {
      auto v = json_to_value(item);
      if (!v) return fail(QmError::query(v.error()));
      values.push_back(std::move(*v));
    }
    sets.push_back(std::move(values));
  }
  return sets;
}

void expect_same(const std::string& text) {
  auto fast = json_params_to_values("qm_query_params", text);
  auto general = general_values("qm_query_params", text);
  ASSERT_EQ(fast.has_value(), general.has_value()) << text;
  if (fast) {
    EXPECT_TRUE(*fast == *general) << text;
  } else {
    EXPECT_EQ(fast.error(), general.error()) << text;
  }
  const std::string batch = "[" + text + ", " + text + "]";
  auto fast_sets = json_param_sets(batch);
  auto general_set = general_sets(batch);
  ASSERT_EQ(fast_sets.has_value(), general_set.has_value()) << batch;
  if (fast_sets) {
    EXPECT_TRUE(*fast_sets == *general_set) << batch;
  } else {
    EXPECT_EQ(fast_sets.error().message(), general_set.error().message()) << batch;
  }
}

const std::vector<std::string> kPieces = {
    "0", "-0", "7", "-7", "01", "-", "1.", ".5", "1.5", "-0.000001", "0.0000005", "1.0000005", "1e3", "1E-2", "2.5e1",
    "999999999999999999", "-999999999999999999", "9223372036854775807", "9223372036854775808",
    "-9223372036854775808", "-9223372036854775809", "18446744073709551616", "123456789012345678901234567890.5",
    "\"\"", "\"plain text\"", "\"quote \\\" inside\"", "\"tab\\t\"", "\"\\u00e9\"", "\"é\"", "\"\x01\"", "\"unterminated",
    "null", "true", "false", "nul", "True", "[]", "[1]", "{}", "{\"a\":1}", "NaN", "+1", "0x10", "'single'"};
const std::vector<std::string> kSpace = {"", " ", "\n", "\t ", "\r\n", "\f"};

TEST(ParamsFastPath, EveryEdgeGivesTheGeneralReadersValuesOrErrorText) {
  for (const std::string& piece : kPieces) {
    expect_same("[" + piece + "]");
    expect_same(" [ " + piece + " , 1 ] ");
    expect_same(piece);
  }
  for (const char* text : {"", "[", "]", "[1,]", "[,1]", "[1 2]", "[1],", "[1] x", "[[1],[2]]", "[1]]", "  "})
    expect_same(text);
}

TEST(ParamsFastPath, GeneratedDocumentsGiveTheGeneralReadersResults) {
  std::mt19937 rng(5);
  for (int round = 0; round < 3000; ++round) {
    std::string text = kSpace[rng() % kSpace.size()] + "[";
    const int n = static_cast<int>(rng() % 5);
    for (int i = 0; i < n; ++i) {
      if (i) text += kSpace[rng() % kSpace.size()] + ",";
      text += kSpace[rng() % kSpace.size()] + kPieces[rng() % kPieces.size()];
    }
    text += kSpace[rng() % kSpace.size()] + "]" + kSpace[rng() % kSpace.size()];
    expect_same(text);
  }
}

// The conversion's own edges and texts are stated by the golden params script.

}  // namespace
}  // namespace qm
