// Splitting a foreign SQL dump into statement texts at the semicolons that end them: not
// inside quoted runs (' " ` and [ ], a doubled closing character staying inside), not
// inside comments (each replaced by one space), and not inside a trigger body, whose
// BEGIN ... END nesting (CASE ... END counting once the body has begun) is tracked.
//
// Invariants: one pass, linear in the dump's length whatever it holds; a statement's text
// is its source with comments replaced and the ending semicolon removed, untrimmed (it may
// be blank); the dump is split whole or not at all.
#pragma once

#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "core/expected.h"

namespace qm::migrate {

inline constexpr const char* kUnterminatedComment = "unterminated SQL comment; no statements imported";
inline constexpr const char* kUnterminatedQuoteOrTrigger = "unterminated SQL quote or trigger; no statements imported";

struct SplitDump {
  // In dump order. A statement without comments is a view into the dump (valid while the
  // dump is); one with comments is a view into `storage`, which moves with this object.
  std::vector<std::string_view> statements;
  std::deque<std::string> storage;
};

// The statements of the dump, or one of the two texts above.
std::expected<SplitDump, std::string> split_statements(std::string_view dump);

}  // namespace qm::migrate
