// The JSON form of a Predicate, as CHECK constraints are stored in the manifest: each
// node is an object with one key naming its variant ("Compare", "In", "Between",
// "IsNull", "And", "Or"); comparison-like variants hold an object of their fields in a
// fixed order, And/Or a two-element array. CompareOp is a bare string ("Eq" ... "NotLike");
// values use the tagged Value form. Written compactly; read strictly (missing or repeated
// fields refused, unknown fields ignored, the positional array form of a variant's fields
// accepted, nesting bounded) with JSON-library-style error texts.
#pragma once

#include <cstddef>
#include "core/expected.h"
#include <string>
#include <string_view>

#include "core/json_reader.h"
#include "core/json_writer.h"
#include "sql/statement.h"

namespace qm::sql {

// "Eq", "Ne", "Lt", "Le", "Gt", "Ge", "Like", "NotLike".
const char* compare_op_name(CompareOp op);

void write_predicate_json(JsonWriter& w, const Predicate& p);
std::string predicate_to_json(const Predicate& p);

// Nesting of JSON containers the predicate's written form reaches (a lone IsNull is 2).
size_t predicate_json_depth(const Predicate& p);

// Reads one predicate node; the error text is shaped like the JSON library's own.
// Nesting deeper than 128 containers is refused with "recursion limit exceeded".
std::expected<Predicate, std::string> predicate_from_json(const JsonNode& node);
// Parses JSON text and reads it as a predicate.
std::expected<Predicate, std::string> predicate_from_json_text(std::string_view text);

}  // namespace qm::sql
