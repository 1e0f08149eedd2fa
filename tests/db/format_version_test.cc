// Every refusal of the format-version check, in its check order.
#include "db/format_version.h"
#include "support/result_text.h"

#include <gtest/gtest.h>

namespace qm::db {
namespace {

using qm::test::error_text;

Manifest with_version(uint16_t v) {
  Manifest m;
  m.format_version = v;
  return m;
}

std::string refusal(const Manifest& m) {
  auto r = check_manifest_version(m);
  if (r) return "(ok)";
  EXPECT_EQ(r.error().kind, ErrorKind::Corruption);
  return r.error().message();
}

TableMeta table_with_check() {
  TableMeta t;
  t.name = "t";
  t.columns = {"a"};
  t.checks.push_back(query::Predicate::eq("a", Value::integer(1)));
  return t;
}

TEST(FormatVersion, ZeroAndAboveEightAreUnsupported) {
  EXPECT_EQ(refusal(with_version(0)),
            "data corruption: unsupported workspace format version 0; this build reads up to 8");
  Manifest nine = with_version(9);
  nine.logged_workspace = false;
  EXPECT_EQ(refusal(nine), "data corruption: unsupported workspace format version 9; this build reads up to 8");
  EXPECT_EQ(refusal(with_version(1)), "(ok)");
}

TEST(FormatVersion, MarkerRuleRunsBeforeTheRangeCheck) {
  Manifest nine = with_version(9);
  nine.commit_sequence = 4;
  EXPECT_EQ(refusal(nine), "data corruption: format-8 logging marker/sequence anchor mismatch");
}

TEST(FormatVersion, VersionEightNeedsAMarkerThatAgreesWithTheSequence) {
  const std::string mismatch = "data corruption: format-8 logging marker/sequence anchor mismatch";
  Manifest m = with_version(8);
  EXPECT_EQ(refusal(m), mismatch);
  m.logged_workspace = false;
  EXPECT_EQ(refusal(m), "(ok)");
  m.commit_sequence = 2;
  EXPECT_EQ(refusal(m), mismatch);
  m.logged_workspace = true;
  EXPECT_EQ(refusal(m), "(ok)");
  m.commit_sequence.reset();
  EXPECT_EQ(refusal(m), mismatch);
}

TEST(FormatVersion, UnderstatedFeaturesAreRefusedWithDeclaredAndRequired) {
  Manifest m = with_version(3);
  m.tables.push_back(table_with_check());
  EXPECT_EQ(refusal(m),
            "data corruption: workspace format version 3 understates persisted features that require version 4");
  Manifest logged = with_version(5);
  logged.commit_sequence = 1;
  EXPECT_EQ(refusal(logged),
            "data corruption: workspace format version 5 understates persisted features that require version 7");
  Manifest region = with_version(1);
  region.index_region = Extent{24, 4};
  EXPECT_EQ(refusal(region),
            "data corruption: workspace format version 1 understates persisted features that require version 2");
  Manifest cursor = with_version(4);
  TableMeta t;
  t.name = "c";
  t.columns = {"a"};
  t.compaction_cursor = 0;
  cursor.tables.push_back(t);
  EXPECT_EQ(refusal(cursor),
            "data corruption: workspace format version 4 understates persisted features that require version 5");
}

TEST(FormatVersion, DeclaringMoreThanNeededPasses) {
  EXPECT_EQ(refusal(with_version(6)), "(ok)");
  EXPECT_EQ(refusal(with_version(7)), "(ok)");  // no commit sequence needed
  Manifest m = with_version(4);
  m.tables.push_back(table_with_check());
  EXPECT_EQ(refusal(m), "(ok)");
}

TEST(FormatVersion, RetrievalDescriptorsRequireEight) {
  Manifest m = with_version(7);
  m.retrieval_indexes.emplace_back();
  EXPECT_EQ(required_format_version(m), 8);
  EXPECT_EQ(refusal(m),
            "data corruption: workspace format version 7 understates persisted features that require version 8");
}

TEST(FormatVersion, HeaderMustMatchManifest) {
  Manifest m = with_version(4);
  EXPECT_EQ(error_text(check_header_manifest_version(3, m)),
            "data corruption: file header format version 3 does not match manifest version 4");
  EXPECT_TRUE(check_header_manifest_version(4, m).has_value());
}

}  // namespace
}  // namespace qm::db
