// Every refusal of the format-version check, in its check order.
#include "db/format_version.h"

#include <gtest/gtest.h>

#include <functional>

#include "support/result_text.h"

namespace qm::db {
namespace {


Manifest version(uint16_t v, const std::function<void(Manifest&)>& edit = {}) {
  Manifest m;
  m.format_version = v;
  if (edit) edit(m);
  return m;
}

TableMeta table(std::function<void(TableMeta&)> edit) {
  TableMeta t;
  t.name = "t";
  t.columns = {"a"};
  edit(t);
  return t;
}

TEST(FormatVersion, EachManifestPassesOrIsRefusedWithItsText) {
  const std::string mismatch = "data corruption: format-8 logging marker/sequence anchor mismatch";
  auto unsupported = [](int v) {
    return "data corruption: unsupported workspace format version " + std::to_string(v) + "; this build reads up to 8";
  };
  auto understates = [](int declared, int required) {
    return "data corruption: workspace format version " + std::to_string(declared) +
           " understates persisted features that require version " + std::to_string(required);
  };
  auto with_check = [](Manifest& m) {
    m.tables.push_back(table([](TableMeta& t) { t.checks.push_back(sql::Predicate::eq("a", Value::integer(1))); }));
  };
  const std::pair<Manifest, std::string> cases[] = {
      {version(0), unsupported(0)},
      {version(9, [](Manifest& m) { m.logged_workspace = false; }), unsupported(9)},
      {version(1), "(ok)"},
      // The marker rule runs before the range check.
      {version(9, [](Manifest& m) { m.commit_sequence = 4; }), mismatch},
      // Version 8 needs a marker that agrees with the sequence.
      {version(8), mismatch},
      {version(8, [](Manifest& m) { m.logged_workspace = false; }), "(ok)"},
      {version(8, [](Manifest& m) { m.logged_workspace = false, m.commit_sequence = 2; }), mismatch},
      {version(8, [](Manifest& m) { m.logged_workspace = true, m.commit_sequence = 2; }), "(ok)"},
      {version(8, [](Manifest& m) { m.logged_workspace = true; }), mismatch},
      // Understated features name the declared and the required version.
      {version(3, with_check), understates(3, 4)},
      {version(5, [](Manifest& m) { m.commit_sequence = 1; }), understates(5, 7)},
      {version(1, [](Manifest& m) { m.index_region = Extent{24, 4}; }), understates(1, 2)},
      {version(4, [](Manifest& m) { m.tables.push_back(table([](TableMeta& t) { t.compaction_cursor = 0; })); }),
       understates(4, 5)},
      {version(7, [](Manifest& m) { m.retrieval_indexes.emplace_back(); }), understates(7, 8)},
      // Declaring more than needed passes.
      {version(6), "(ok)"},
      {version(7), "(ok)"},
      {version(4, with_check), "(ok)"},
  };
  for (const auto& [m, want] : cases) EXPECT_EQ(error_text(check_manifest_version(m)), want) << m.format_version;
  EXPECT_EQ(error_text(check_header_manifest_version(3, version(4))),
            "data corruption: file header format version 3 does not match manifest version 4");
  EXPECT_TRUE(check_header_manifest_version(4, version(4)).has_value());
}

}  // namespace
}  // namespace qm::db
