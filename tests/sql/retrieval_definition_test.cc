// RetrievalIndexDefinition::validate and the identifier rule.
#include <gtest/gtest.h>

#include "retrieval/definition.h"
#include "support/result_text.h"

namespace qm::retrieval {
namespace {

RetrievalIndexDefinition full_text(std::vector<std::string> cols) {
  return RetrievalIndexDefinition{"ix", "docs", "id", FullTextKind{std::move(cols)}};
}
RetrievalIndexDefinition vector(uint64_t dims) {
  return RetrievalIndexDefinition{"ix", "docs", "id", VectorKind{"emb", RetrievalMetric::Cosine, dims}};
}
std::string error_of(const RetrievalIndexDefinition& d) { return error_text(d.validate()); }

const std::string kIdentText = "schema error: persistent retrieval identifiers must contain 1–256 non-control UTF-8 bytes";
const std::string kFullText = "schema error: full-text indexes require 1–16 distinct text columns";
const std::string kVector = "schema error: vector indexes require a column and dimensions in 1–4096";

TEST(IdentifierRule, LengthCountsBytesAndControlsAreRefused) {
  EXPECT_TRUE(is_valid_identifier(std::string(256, 'a')));
  EXPECT_FALSE(is_valid_identifier(std::string(257, 'a')));
  EXPECT_TRUE(is_valid_identifier(std::string(254, 'a') + "é"));   // 256 bytes
  EXPECT_FALSE(is_valid_identifier(std::string(255, 'a') + "é"));  // 257 bytes
  EXPECT_FALSE(is_valid_identifier(""));
  for (const char* bad : {"a\tb", "a\nb", "a\x7f", "a\u0085", "\u009f"})
    EXPECT_FALSE(is_valid_identifier(bad)) << bad;
  EXPECT_FALSE(is_valid_identifier(std::string("a\0b", 3)));
  EXPECT_TRUE(is_valid_identifier("a\u00a0b"));
  EXPECT_TRUE(is_valid_identifier("Ā名 x"));
}

TEST(Validate, NamesAreCheckedFirstInOrder) {
  RetrievalIndexDefinition d = full_text({});
  d.name = "";
  EXPECT_EQ(error_of(d), kIdentText);  // bad name and bad kind: the name wins
  d = vector(0);
  d.table = std::string(257, 't');
  EXPECT_EQ(error_of(d), kIdentText);
  d = full_text({"a"});
  d.id_column = "a\x01";
  EXPECT_EQ(error_of(d), kIdentText);
}

TEST(Validate, FullTextNeedsOneToSixteenDistinctValidColumns) {
  std::vector<std::string> cols;
  for (int i = 0; i < 16; ++i) cols.push_back("c" + std::to_string(i));
  EXPECT_TRUE(full_text(cols).validate().has_value());
  cols.push_back("c16");
  EXPECT_EQ(error_of(full_text(cols)), kFullText);
  EXPECT_EQ(error_of(full_text({})), kFullText);
  EXPECT_EQ(error_of(full_text({"a", "b", "a"})), kFullText);
  EXPECT_EQ(error_of(full_text({"a", ""})), kFullText);
  EXPECT_TRUE(full_text({"a", "A"}).validate().has_value());
}

TEST(Validate, VectorNeedsAValidColumnAndDimensionsInRange) {
  EXPECT_TRUE(vector(1).validate().has_value());
  EXPECT_TRUE(vector(4096).validate().has_value());
  EXPECT_EQ(error_of(vector(0)), kVector);
  EXPECT_EQ(error_of(vector(4097)), kVector);
  RetrievalIndexDefinition d = vector(3);
  std::get<VectorKind>(d.kind).vector_column = "";
  EXPECT_EQ(error_of(d), kVector);
}

}  // namespace
}  // namespace qm::retrieval
