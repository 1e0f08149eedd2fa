#include "db/format_version.h"

#include <algorithm>
#include <string>

namespace qm::db {

uint16_t table_feature_level(bool unique_or_not_null, bool defaults_or_checks, bool cold_pages_or_cursor) {
  if (cold_pages_or_cursor) return 5;
  if (defaults_or_checks) return 4;
  if (unique_or_not_null) return 3;
  return 1;
}

uint16_t table_feature_level(const TableMeta& t) {
  return table_feature_level(!t.unique_columns.empty() || !t.not_null_columns.empty(),
                             !t.defaults.empty() || !t.checks.empty(),
                             t.cold_pages != 0 || t.compaction_cursor.has_value());
}

uint16_t required_format_version(const Manifest& m) {
  uint16_t required = m.commit_sequence ? kLoggedFormatVersion : 1;
  bool binary = m.index_region.has_value();
  for (const auto& t : m.tables) {
    binary = binary || !t.binary_indexes.empty();
    required = std::max(required, table_feature_level(t));
  }
  if (binary) required = std::max<uint16_t>(required, 2);
  if (!m.retrieval_indexes.empty()) required = 8;
  return required;
}

Result<void> check_manifest_version(const Manifest& m) {
  // The retrieval descriptors are validated first. The reader already bounds the list;
  // the explicit check guards manifests built in memory.
  if (m.retrieval_indexes.size() > kMaxRetrievalDescriptors)
    return fail(QmError::corruption("persistent retrieval: too many catalog definitions"));
  if (m.format_version >= 8) {
    if (!m.logged_workspace || *m.logged_workspace != m.commit_sequence.has_value())
      return fail(QmError::corruption("format-8 logging marker/sequence anchor mismatch"));
  }
  if (m.format_version == 0 || m.format_version > kHighestFormatVersion)
    return fail(QmError::corruption("unsupported workspace format version " + std::to_string(m.format_version) +
                                    "; this build reads up to " + std::to_string(kHighestFormatVersion)));
  uint16_t required = required_format_version(m);
  if (m.format_version < required)
    return fail(QmError::corruption("workspace format version " + std::to_string(m.format_version) +
                                    " understates persisted features that require version " +
                                    std::to_string(required)));
  return {};
}

Result<void> check_header_manifest_version(uint16_t header_version, const Manifest& m) {
  if (header_version != m.format_version)
    return fail(QmError::corruption("file header format version " + std::to_string(header_version) +
                                    " does not match manifest version " + std::to_string(m.format_version)));
  return {};
}

}  // namespace qm::db
