// RetrievalIndexDefinition: what a named retrieval index covers: its name, table, integer
// id column and kind (full-text over text columns, or vector over one column with a
// metric and dimensions).
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "core/error.h"

namespace qm::retrieval {

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

  // Schema errors for bad identifiers, column lists and dimensions.
  Result<void> validate() const;

  friend bool operator==(const RetrievalIndexDefinition&, const RetrievalIndexDefinition&) = default;
};

}  // namespace qm::retrieval
