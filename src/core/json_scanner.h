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
#include <cstring>
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
  bool number(JsonNumber& out) {
    if (peek() != Kind::Number) return fail();
    return scan_number(out);
  }
  // The decoded string: a view into the text when it holds no escape, else into a buffer of
  // the scanner's that the next string call reuses.
  bool string(std::string_view& out) {
    if (peek() != Kind::String) return fail();
    return scan_string(out);
  }

  // A container: enter it, then call more() before each element (it consumes the comma
  // between elements and the closing bracket); an object element starts with key().
  bool enter_array() { return enter('[', ']'); }
  bool enter_object() { return enter('{', '}'); }
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

  // For readers that take a common shape by a shortcut: the exact bytes at the cursor (no
  // whitespace skipped) are consumed when they are there; a number is scanned where one
  // starts. A reader that finds the shape broken goes back to its mark and reads the
  // general way (a malformed number fails the scan either way: no reading accepts it).
  const char* mark() const { return p_; }
  void back_to(const char* mark) {
    if (!failed_) p_ = mark;
  }
  bool take(char c) {
    if (p_ == end_ || *p_ != c) return false;
    ++p_;
    return true;
  }
  bool take(std::string_view bytes) {
    if (static_cast<size_t>(end_ - p_) < bytes.size() || std::memcmp(p_, bytes.data(), bytes.size()) != 0) return false;
    p_ += bytes.size();
    return true;
  }
  // A plain integer at the cursor, -?(0|[1-9][0-9]*) of at most 18 digits, not followed by a
  // fraction or an exponent: consumed and true; otherwise nothing consumed.
  bool take_small_integer(int64_t& out) {
    const char* p = p_;
    const bool negative = p != end_ && *p == '-';
    if (negative) ++p;
    const char* digits = p;
    uint64_t v = 0;
    while (p != end_ && static_cast<unsigned>(*p - '0') < 10) v = v * 10 + static_cast<uint64_t>(*p++ - '0');
    const auto n = p - digits;
    if (n == 0 || n > 18 || (n > 1 && *digits == '0')) return false;
    if (p != end_ && (*p == '.' || *p == 'e' || *p == 'E')) return false;
    p_ = p;
    out = negative ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
    return true;
  }
  bool number_here(JsonNumber& out) {
    if (p_ == end_ || (*p_ != '-' && static_cast<unsigned>(*p_ - '0') >= 10)) return false;
    return scan_number(out);
  }
  // How many elements are left in the array the cursor is in, counted ahead without reading
  // them, when only numbers remain in it; 0 when anything else does.
  size_t numbers_left() const;
  // Containers open around the cursor.
  size_t depth() const { return closers_.size(); }
  size_t max_depth() const { return max_depth_; }
  // The value as parse_json's document holds it.
  bool node(JsonNode& out);

 private:
  bool fail();
  void skip_space() {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }
  bool enter(char open, char close) {
    if (peek() != (open == '[' ? Kind::Array : Kind::Object) || closers_.size() >= max_depth_) return fail();
    ++p_;
    closers_ += close;
    return true;
  }
  // -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?; an integer that does not fit its 64-bit
  // type becomes a Float, as the parser makes it. The cursor is on '-' or a digit.
  bool scan_number(JsonNumber& out) {
    const char* start = p_;
    const char* p = p_;
    const bool negative = *p == '-';
    if (negative) ++p;
    auto is_digit = [](char c) { return static_cast<unsigned>(c - '0') < 10; };
    if (p == end_ || !is_digit(*p)) return fail();
    const char* digits = p;
    uint64_t magnitude = 0;  // exact while the digits fit (checked below)
    if (*p == '0') {
      ++p;
    } else {
      while (p != end_ && is_digit(*p)) magnitude = magnitude * 10 + static_cast<uint64_t>(*p++ - '0');
    }
    const auto count = static_cast<size_t>(p - digits);
    // 2^64 - 1 has 20 digits: a longer run, or a 20-digit one above it, does not fit.
    const bool overflow = count > 20 || (count == 20 && std::memcmp(digits, "18446744073709551615", 20) > 0);
    bool fraction = false;
    if (p != end_ && (*p == '.' || *p == 'e' || *p == 'E')) {
      if (!scan_fraction(p)) return fail();
      fraction = true;
    }
    p_ = p;
    out.raw = std::string_view(start, static_cast<size_t>(p - start));
    if (!fraction && !overflow) {
      if (!negative) {
        out.type = JsonNode::Type::Uint;
        out.uint_value = magnitude;
        return true;
      }
      if (magnitude <= uint64_t{1} << 63) {
        out.type = JsonNode::Type::Int;
        out.int_value = static_cast<int64_t>(0 - magnitude);
        return true;
      }
    }
    out.type = JsonNode::Type::Float;
    // A number beyond the double range is the parser's refusal, not a value.
    return finite_double(out.raw) || fail();
  }
  static bool finite_double(std::string_view raw);
  // The fraction and exponent of a number, from its '.', 'e' or 'E'.
  bool scan_fraction(const char*& p) const;
  // The cursor is on the opening quote. Plain ASCII is read in place here; anything else
  // (escapes, multi-byte sequences, faults) the general reader takes on.
  bool scan_string(std::string_view& out) {
    const char* start = p_ + 1;
    const char* p = start;
    while (p != end_) {
      const auto c = static_cast<unsigned char>(*p);
      if (c == '"') {
        out = std::string_view(start, static_cast<size_t>(p - start));
        p_ = p + 1;
        return true;
      }
      if (c < 0x20 || c == '\\' || c >= 0x80) break;
      ++p;
    }
    return scan_string_general(out);
  }
  bool scan_string_general(std::string_view& out);
  // The index pair the writer writes for an integer key, [{"Int":N},[id,...]] with nothing
  // between its tokens, passed over in one go (the bulk of a manifest is such pairs); false,
  // consuming nothing, for anything else, which the general loop then reads.
  bool skip_int_pair();
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
