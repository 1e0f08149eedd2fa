// RetrievalIndexDefinition: what a named retrieval index covers: its name, table, integer
// id column and kind (full-text over text columns, or vector over one column with a
// metric and dimensions).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/error.h"

namespace qm::retrieval {

// Limits of a definition.
inline constexpr size_t kMaxIdentifierBytes = 256;
inline constexpr size_t kMaxTextColumns = 16;
inline constexpr uint64_t kMaxDimensions = 4096;

// Identifier rule of index names, tables and columns: 1 to 256 bytes of UTF-8 without
// control characters (below U+0020, or U+007F to U+009F). Compared bytewise. Assumes the
// text is valid UTF-8.
bool is_valid_identifier(std::string_view s);

enum class RetrievalMetric : uint8_t { Cosine, SquaredEuclidean };

struct FullTextKind {
  std::vector<std::string> text_columns;
  friend bool operator==(const FullTextKind&, const FullTextKind&) = default;
};

struct VectorKind {
  std::string vector_column;
  RetrievalMetric metric = RetrievalMetric::Cosine;
  uint64_t dimensions = 0;
  friend bool operator==(const VectorKind&, const VectorKind&) = default;
};

struct RetrievalIndexDefinition {
  std::string name;
  std::string table;
  std::string id_column;
  std::variant<FullTextKind, VectorKind> kind;

  // Schema errors, checked in this order: identifiers (name, table, id column); a
  // full-text kind needs 1 to 16 distinct valid columns; a vector kind a valid column and
  // dimensions in 1..=4096.
  Result<void> validate() const;

  friend bool operator==(const RetrievalIndexDefinition&, const RetrievalIndexDefinition&) = default;
};

}  // namespace qm::retrieval
