#include "core/json_scanner.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include <nlohmann/json.hpp>

#include "core/json_sax.h"
#include "core/utf8.h"

namespace qm {

JsonScanner::JsonScanner(std::string_view text, size_t max_depth)
    : p_(text.data()), end_(text.data() + text.size()), max_depth_(max_depth) {
  // The parser takes a byte-order mark at the very start, and only a whole one.
  if (p_ != end_ && static_cast<unsigned char>(*p_) == 0xEF) {
    if (text.size() >= 3 && static_cast<unsigned char>(p_[1]) == 0xBB && static_cast<unsigned char>(p_[2]) == 0xBF) {
      p_ += 3;
    } else {
      fail();
    }
  }
}

bool JsonScanner::fail() {
  failed_ = true;
  p_ = end_;
  closers_.clear();
  return false;
}

bool JsonScanner::finish() {
  skip_space();
  if (failed_ || p_ != end_ || !closers_.empty()) return fail();
  return true;
}

const char* JsonScanner::type_name() {
  switch (peek()) {
    case Kind::Null: return "null";
    case Kind::Bool: return "boolean";
    case Kind::String: return "string";
    case Kind::Array: return "sequence";
    case Kind::Object: return "map";
    case Kind::Number: {
      const char* at = p_;
      JsonNumber n;
      if (!scan_number(n)) return "value";
      p_ = at;
      return n.type == JsonNode::Type::Float ? "floating point" : "integer";
    }
    case Kind::Bad: break;
  }
  fail();
  return "value";
}

bool JsonScanner::literal(std::string_view word) {
  if (static_cast<size_t>(end_ - p_) < word.size() || std::memcmp(p_, word.data(), word.size()) != 0) return fail();
  p_ += word.size();
  return true;
}

bool JsonScanner::null() {
  if (peek() != Kind::Null) return fail();
  return literal("null");
}

bool JsonScanner::boolean(bool& out) {
  if (peek() != Kind::Bool) return fail();
  out = *p_ == 't';
  return literal(out ? "true" : "false");
}

bool JsonScanner::finite_double(std::string_view raw) {
  const std::string text(raw);
  return std::isfinite(std::strtod(text.c_str(), nullptr));
}

// The fraction and exponent of a number, from its '.', 'e' or 'E'.
bool JsonScanner::scan_fraction(const char*& p) const {
  auto is_digit = [](char c) { return static_cast<unsigned>(c - '0') < 10; };
  if (*p == '.') {
    ++p;
    if (p == end_ || !is_digit(*p)) return false;
    while (p != end_ && is_digit(*p)) ++p;
  }
  if (p != end_ && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p != end_ && (*p == '+' || *p == '-')) ++p;
    if (p == end_ || !is_digit(*p)) return false;
    while (p != end_ && is_digit(*p)) ++p;
  }
  return true;
}

bool JsonScanner::key(std::string_view& out) {
  if (peek() != Kind::String || !scan_string(out)) return fail();
  if (out.data() == scratch_.data()) {
    // Keys are looked at while their value is read, which may decode a string of its own.
    key_scratch_.assign(out);
    out = key_scratch_;
  }
  skip_space();
  if (p_ == end_ || *p_ != ':') return fail();
  ++p_;
  return true;
}

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The length of the well-formed UTF-8 sequence at p (lead byte >= 0x80), or 0.
size_t utf8_sequence_at(const unsigned char* p, const unsigned char* end) {
  const unsigned char c = *p;
  size_t len;
  unsigned char lo = 0x80, hi = 0xBF;  // the second byte's range
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (static_cast<size_t>(end - p) < len) return 0;
  if (p[1] < lo || p[1] > hi) return 0;
  for (size_t k = 2; k < len; ++k)
    if (p[k] < 0x80 || p[k] > 0xBF) return 0;
  return len;
}

}  // namespace

bool JsonScanner::scan_string_general(std::string_view& out) {
  const char* start = ++p_;  // past the opening quote
  const char* p = start;
  // Plain text is read in place; the first escape moves the string into the buffer.
  bool copying = false;
  for (;;) {
    while (p != end_ && static_cast<unsigned char>(*p) >= 0x20 && *p != '"' && *p != '\\' &&
           static_cast<unsigned char>(*p) < 0x80)
      ++p;
    if (p == end_) return fail();
    const auto c = static_cast<unsigned char>(*p);
    if (c == '"') {
      if (copying) {
        scratch_.append(start, p);
        out = scratch_;
      } else {
        out = std::string_view(start, static_cast<size_t>(p - start));
      }
      p_ = p + 1;
      return true;
    }
    if (c < 0x20) return fail();
    if (c >= 0x80) {
      const size_t len = utf8_sequence_at(reinterpret_cast<const unsigned char*>(p),
                                          reinterpret_cast<const unsigned char*>(end_));
      if (len == 0) return fail();
      p += len;
      continue;
    }
    // A backslash.
    if (!copying) {
      scratch_.clear();
      copying = true;
    }
    scratch_.append(start, p);
    ++p;
    if (p == end_) return fail();
    char32_t cp = 0;
    switch (*p) {
      case '"': scratch_ += '"'; break;
      case '\\': scratch_ += '\\'; break;
      case '/': scratch_ += '/'; break;
      case 'b': scratch_ += '\b'; break;
      case 'f': scratch_ += '\f'; break;
      case 'n': scratch_ += '\n'; break;
      case 'r': scratch_ += '\r'; break;
      case 't': scratch_ += '\t'; break;
      case 'u': {
        auto read4 = [&](const char* at, char32_t& v) {
          if (end_ - at < 4) return false;
          v = 0;
          for (int k = 0; k < 4; ++k) {
            const int h = hex_value(at[k]);
            if (h < 0) return false;
            v = v << 4 | static_cast<char32_t>(h);
          }
          return true;
        };
        if (!read4(p + 1, cp)) return fail();
        p += 4;
        if (cp >= 0xD800 && cp <= 0xDBFF) {
          char32_t low = 0;
          if (end_ - p < 3 || p[1] != '\\' || p[2] != 'u' || !read4(p + 3, low) || low < 0xDC00 || low > 0xDFFF)
            return fail();
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          p += 6;
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
          return fail();
        }
        append_utf8(scratch_, cp);
        break;
      }
      default: return fail();
    }
    start = ++p;
  }
}

size_t JsonScanner::numbers_left() const {
  size_t commas = 0;
  for (const char* p = p_; p != end_; ++p) {
    switch (*p) {
      case ',': ++commas; break;
      case ']': return commas + 1;
      case ' ': case '\t': case '\n': case '\r': case '-': case '+': case '.': case 'e': case 'E': break;
      default:
        if (static_cast<unsigned>(*p - '0') >= 10) return 0;
    }
  }
  return 0;
}

namespace {

// -?(0|[1-9][0-9]*) of at most 20 digits, not followed by more of a number; p moves past it.
bool plain_integer(const char*& p, const char* end) {
  const char* at = p;
  if (at != end && *at == '-') ++at;
  const char* digits = at;
  while (at != end && static_cast<unsigned>(*at - '0') < 10) ++at;
  const auto n = at - digits;
  if (n == 0 || n > 20 || (n > 1 && *digits == '0')) return false;
  if (at != end && (*at == '.' || *at == 'e' || *at == 'E')) return false;
  p = at;
  return true;
}

}  // namespace

bool JsonScanner::skip_int_pair() {
  if (closers_.size() + 2 > max_depth_) return false;
  const char* p = p_;
  if (end_ - p < 8 || std::memcmp(p, "[{\"Int\":", 8) != 0) return false;
  p += 8;
  if (!plain_integer(p, end_) || end_ - p < 3 || std::memcmp(p, "},[", 3) != 0) return false;
  p += 3;
  if (p != end_ && *p == ']') {
    ++p;
  } else {
    for (;;) {
      if (!plain_integer(p, end_) || p == end_) return false;
      if (*p == ']') break;
      if (*p++ != ',') return false;
    }
    ++p;
  }
  if (p == end_ || *p != ']') return false;
  p_ = p + 1;
  return true;
}

// One loop over the value's bytes, however deep: the containers it opens are the scanner's
// own closers, so the nesting bound holds here as everywhere.
bool JsonScanner::skip() {
  const size_t base = closers_.size();
  std::string_view text;
  JsonNumber number;
  for (;;) {
    // A value.
    skip_space();
    if (p_ == end_) return fail();
    switch (*p_) {
      case '"':
        if (!scan_string(text)) return false;
        break;
      case '{':
      case '[': {
        const bool object = *p_ == '{';
        if (!object && skip_int_pair()) break;
        if (closers_.size() >= max_depth_) return fail();
        ++p_;
        closers_ += object ? '}' : ']';
        skip_space();
        if (p_ != end_ && *p_ == closers_.back()) {
          ++p_;
          closers_.pop_back();
          break;
        }
        if (object && !key(text)) return false;
        continue;
      }
      case 't': if (!literal("true")) return false; break;
      case 'f': if (!literal("false")) return false; break;
      case 'n': if (!literal("null")) return false; break;
      default:
        if (*p_ != '-' && static_cast<unsigned>(*p_ - '0') >= 10) return fail();
        if (!scan_number(number)) return false;
        break;
    }
    // After a value: the next element, or the ends of the containers it closes.
    for (;;) {
      if (closers_.size() == base) return true;
      skip_space();
      if (p_ == end_) return fail();
      if (*p_ == ',') {
        ++p_;
        if (closers_.back() == '}' && !key(text)) return false;
        break;
      }
      if (*p_ != closers_.back()) return fail();
      ++p_;
      closers_.pop_back();
    }
  }
}

bool JsonScanner::node(JsonNode& out) {
  out = JsonNode();
  switch (peek()) {
    case Kind::Null: return literal("null");
    case Kind::Bool:
      out.type = JsonNode::Type::Bool;
      return boolean(out.boolean);
    case Kind::Number: {
      JsonNumber n;
      if (!scan_number(n)) return false;
      out.type = n.type;
      out.int_value = n.int_value;
      out.uint_value = n.uint_value;
      if (n.type == JsonNode::Type::Float) {
        out.text.assign(n.raw);
        out.float_value = std::strtod(out.text.c_str(), nullptr);
      }
      return true;
    }
    case Kind::String: {
      std::string_view s;
      if (!scan_string(s)) return false;
      out.type = JsonNode::Type::String;
      out.text.assign(s);
      return true;
    }
    case Kind::Array: {
      out.type = JsonNode::Type::Array;
      if (!enter_array()) return false;
      for (bool first = true; more(first);)
        if (!node(out.items.emplace_back())) return false;
      return !failed_;
    }
    case Kind::Object: {
      out.type = JsonNode::Type::Object;
      if (!enter_object()) return false;
      std::string_view k;
      for (bool first = true; more(first);) {
        if (!key(k)) return false;
        out.members.emplace_back(std::string(k), JsonNode());
        if (!node(out.members.back().second)) return false;
      }
      return !failed_;
    }
    case Kind::Bad: break;
  }
  return fail();
}

namespace {

// parse_json's handler without the document: the same depth bound, the same texts.
class SyntaxCheck final : public nlohmann::json_sax<nlohmann::json> {
 public:
  explicit SyntaxCheck(size_t max_depth) : max_depth_(max_depth) {}

  bool null() override { return put(); }
  bool boolean(bool) override { return put(); }
  bool number_integer(number_integer_t) override { return put(); }
  bool number_unsigned(number_unsigned_t) override { return put(); }
  bool number_float(number_float_t, const string_t&) override { return put(); }
  bool string(string_t&) override { return put(); }
  bool binary(binary_t&) override { return false; }
  bool start_object(std::size_t) override { return open(); }
  bool key(string_t&) override { return true; }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override { return open(); }
  bool end_array() override { return close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& ex) override {
    if (error_.empty()) error_ = ex.what();
    return false;
  }

  std::optional<std::string> verdict(bool ok) const {
    if (ok && done_) return std::nullopt;
    return error_.empty() ? std::string("invalid JSON document") : error_;
  }

 private:
  bool open() {
    if (depth_ >= max_depth_) {
      error_ = "JSON nesting exceeds the depth limit of " + std::to_string(max_depth_);
      return false;
    }
    ++depth_;
    return true;
  }
  bool close() {
    --depth_;
    return put();
  }
  bool put() {
    if (depth_ == 0) done_ = true;
    return true;
  }

  size_t max_depth_;
  size_t depth_ = 0;
  bool done_ = false;
  std::string error_;
};

}  // namespace

std::optional<std::string> json_syntax_error(std::string_view text, size_t max_depth) {
  SyntaxCheck check(max_depth);
  auto ok = sax_parse_text(text, check);
  if (!ok) return std::move(ok).error();
  return check.verdict(*ok);
}

}  // namespace qm
