// Strict reading of the retrieval JSON records: an object's members are matched against the
// record's keys in document order (an unknown or repeated key fails where it is met, a
// missing one after the last key, first in declaration order), with messages shaped like
// the JSON library's own ("unknown field `x`, expected one of `a`, `b`").
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/expected.h"
#include "core/json_reader.h"

namespace qm::retrieval {

using JsonError = std::string;
template <class T>
using JsonResult = std::expected<T, JsonError>;

// "`a`" / "`a` or `b`" / "one of `a`, `b`, `c`".
std::string expected_one_of(std::span<const std::string_view> names);
// The found value as the JSON library describes it: `string "x"`, `integer `5``, `map`...
std::string unexpected_value(const JsonNode& node);
std::string invalid_type(const JsonNode& node, std::string_view expected);

// Matches obj's members to `keys`; on success fields[i] is the member of keys[i] or nullptr.
// Members whose key is in `skip` are ignored (the tag of a tagged record).
JsonResult<std::vector<const JsonNode*>> match_fields(const JsonNode& obj, std::span<const std::string_view> keys,
                                                      std::string_view skip = {});
// The first missing required field (keys[i] with required[i] and no member), if any.
JsonResult<void> require_fields(const std::vector<const JsonNode*>& fields, std::span<const std::string_view> keys,
                                std::span<const bool> required);

JsonResult<std::string> read_string(const JsonNode& node);
// A non-negative integer up to 2^64-1.
JsonResult<uint64_t> read_u64(const JsonNode& node);

}  // namespace qm::retrieval
