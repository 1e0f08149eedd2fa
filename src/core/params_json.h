// JSON parameters to Values. Integers stay Int (refused above the i64 range); numbers with
// a fraction or exponent become Decimal, converted exactly from their text; strings become
// Text; arrays and objects are refused. Error texts are complete and become the host's
// last error unchanged.
#pragma once

#include "core/expected.h"
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/json_reader.h"
#include "core/value.h"
#include "core/param_sets.h"

namespace qm {

std::expected<Value, std::string> json_to_value(const JsonNode& node);

// `context` is the export's name, which starts every error text.
std::expected<std::vector<Value>, std::string> json_params_to_values(std::string_view context,
                                                                     std::string_view text);

// The parameter sets of a batch: an array of arrays. A malformed document is a Manifest
// error with the JSON library's text; an element's fault is a Query error with its text.
// The whole document is checked here; the common shapes are then read from the text one set
// at a time as the batch runs (the text must outlive the reader), the rest are converted
// whole first.
Result<std::unique_ptr<ParamSets>> read_param_sets(std::string_view text);
// The same sets, all converted at once.
Result<std::vector<std::vector<Value>>> json_param_sets(std::string_view text);

}  // namespace qm
