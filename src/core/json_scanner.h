// JsonScanner: reads one JSON text front to back without building a document, for readers
// that take what they need as it passes (the workspace manifest's index pairs go straight
// into their indexes, costing no memory per value beyond what they become).
//
// Invariants: it accepts exactly the texts parse_json accepts (a leading byte-order mark,
// RFC 8259 grammar, strict UTF-8 in strings, surrogate pairs in \u escapes, nothing but
// whitespace after the value, containers nested at most max_depth deep) and reads every
// number and string as parse_json's document would hold it. It does not word errors: the
// first fault stops it (failed(), every later call a no-op that finds nothing), and the
// caller takes the text from json_syntax_error, which runs the library's own parser.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/json_reader.h"

namespace qm {

// A number as parse_json reads it: an integer within 64 bits (negative ones as Int, others
// as Uint), anything else as Float with its raw text.
struct JsonNumber {
  JsonNode::Type type = JsonNode::Type::Uint;
  int64_t int_value = 0;
  uint64_t uint_value = 0;
  std::string_view raw;
};

class JsonScanner {
 public:
  // What the value at the cursor is, seen from its first byte; Bad where no value starts.
  enum class Kind : uint8_t { Null, Bool, Number, String, Array, Object, Bad };

  explicit JsonScanner(std::string_view text, size_t max_depth = kDefaultJsonDepth);

  bool failed() const { return failed_; }
  // After the top-level value: only whitespace may follow.
  bool finish();

  Kind peek() {
    skip_space();
    if (p_ == end_) return Kind::Bad;
    switch (*p_) {
      case 'n': return Kind::Null;
      case 't':
      case 'f': return Kind::Bool;
      case '"': return Kind::String;
      case '[': return Kind::Array;
      case '{': return Kind::Object;
      case '-': return Kind::Number;
      default: return *p_ >= '0' && *p_ <= '9' ? Kind::Number : Kind::Bad;
    }
  }
  // The type name a strict reader's message gives the value at the cursor ("integer",
  // "floating point", "sequence"...); numbers are scanned for it, nothing is consumed.
  const char* type_name();

  bool null();
  bool boolean(bool& out);
  bool number(JsonNumber& out);
  // The decoded string: a view into the text when it holds no escape, else into a buffer of
  // the scanner's that the next string call reuses.
  bool string(std::string_view& out);

  // A container: enter it, then call more() before each element (it consumes the comma
  // between elements and the closing bracket); an object element starts with key().
  bool enter_array();
  bool enter_object();
  bool more(bool& first) {
    skip_space();
    if (p_ == end_) return fail();
    if (*p_ == closers_.back()) {
      if (first) {
        first = false;
      }
      ++p_;
      closers_.pop_back();
      return false;
    }
    if (first) {
      first = false;
      return true;
    }
    if (*p_ != ',') return fail();
    ++p_;
    return true;
  }
  bool key(std::string_view& out);

  // Passes over one value of any kind.
  bool skip();
  // The value as parse_json's document holds it.
  bool node(JsonNode& out);

 private:
  bool fail();
  void skip_space() {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }
  bool scan_number(JsonNumber& out);
  bool scan_string(std::string_view& out);
  bool literal(std::string_view word);

  const char* p_;
  const char* end_;
  size_t max_depth_;
  std::string closers_;  // the closing bracket of every open container, innermost last
  bool failed_ = false;
  std::string scratch_;      // the last decoded string
  std::string key_scratch_;  // the last decoded key, which must outlive its value's strings
};

// The error parse_json gives for the text (its syntax or its nesting), or none when it
// would build a document; nothing is built here, whatever the text's size.
std::optional<std::string> json_syntax_error(std::string_view text, size_t max_depth = kDefaultJsonDepth);

}  // namespace qm
