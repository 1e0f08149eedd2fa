// The externally tagged JSON form of a Value, as the manifest, CHECK predicates and
// index pairs store it: "Null", {"Int":42}, {"Decimal":1500000}, {"Text":"a"}, {"Blob":[1,2]}.
#pragma once

#include "core/expected.h"
#include <string>

#include "core/json_reader.h"
#include "core/json_writer.h"
#include "core/value.h"

namespace qm {

void write_value_json(JsonWriter& w, const Value& v);
std::string value_to_json(const Value& v);
// Reads the tagged form; the error is a JSON-library-style message.
std::expected<Value, std::string> value_from_json(const JsonNode& node);

}  // namespace qm
