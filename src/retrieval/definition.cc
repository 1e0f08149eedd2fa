#include "retrieval/definition.h"

#include <variant>
#include <string_view>

namespace qm::retrieval {

bool is_valid_identifier(std::string_view s) {
  if (s.empty() || s.size() > kMaxIdentifierBytes) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x20 || c == 0x7F) return false;
    // U+0080 to U+009F are encoded as C2 80 .. C2 9F.
    if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) <= 0x9F) return false;
  }
  return true;
}

Result<void> RetrievalIndexDefinition::validate() const {
  if (!is_valid_identifier(name) || !is_valid_identifier(table) || !is_valid_identifier(id_column))
    return fail(QmError::schema("persistent retrieval identifiers must contain 1–256 non-control UTF-8 bytes"));
  if (const auto* ft = std::get_if<FullTextKind>(&kind)) {
    const auto& cols = ft->text_columns;
    bool ok = !cols.empty() && cols.size() <= kMaxTextColumns;
    for (size_t i = 0; ok && i < cols.size(); ++i) {
      ok = is_valid_identifier(cols[i]);
      for (size_t j = 0; ok && j < i; ++j) ok = cols[j] != cols[i];
    }
    if (!ok) return fail(QmError::schema("full-text indexes require 1–16 distinct text columns"));
    return {};
  }
  const auto& vec = std::get<VectorKind>(kind);
  if (!is_valid_identifier(vec.vector_column) || vec.dimensions < 1 || vec.dimensions > kMaxDimensions)
    return fail(QmError::schema("vector indexes require a column and dimensions in 1–4096"));
  return {};
}

}  // namespace qm::retrieval
