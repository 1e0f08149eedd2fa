#include "retrieval/definition.h"

namespace qm::retrieval {

// Filled in with the identifier rules by the SQL language work.
Result<void> RetrievalIndexDefinition::validate() const { return {}; }

}  // namespace qm::retrieval
