// JsonWriter: the one emitter of the library's compact JSON. It writes straight into the
// caller's string (no intermediate document), keeps field order as written, escapes
// strings exactly (quote, backslash, \b \f \n \r \t, other controls as \u00xx, non-ASCII
// kept as UTF-8) and writes 128-bit integers and shortest round-trip doubles.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/int128.h"

namespace qm {

// Appends s as a quoted, escaped JSON string.
void append_json_string(std::string& out, std::string_view s);
// Appends a double in its shortest round-trip form ("1.5", "2.0", "1e+20"); NaN and
// infinities, which JSON cannot hold, are written as null.
void append_json_double(std::string& out, double v);

class JsonWriter {
 public:
  explicit JsonWriter(std::string& out) : out_(out) {}

  JsonWriter& begin_object();
  JsonWriter& end_object();
  JsonWriter& begin_array();
  JsonWriter& end_array();
  JsonWriter& key(std::string_view k);

  JsonWriter& string(std::string_view s);
  JsonWriter& int64(int64_t v);
  JsonWriter& uint64(uint64_t v);
  JsonWriter& int128(i128 v);
  JsonWriter& number(double v);
  JsonWriter& boolean(bool v);
  JsonWriter& null();
  // A value that is already valid JSON text.
  JsonWriter& raw(std::string_view json);

  std::string& out() { return out_; }

 private:
  void before_value();

  std::string& out_;
  std::vector<bool> first_;  // per open container: nothing written yet
  bool after_key_ = false;
};

}  // namespace qm
