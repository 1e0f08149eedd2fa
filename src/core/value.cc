#include "core/value.h"

#include <cstdio>
#include <cstring>

#include "core/debug_text.h"

namespace qm {

std::strong_ordering compare(const Value& a, const Value& b) {
  if (a.kind() != b.kind()) return static_cast<uint8_t>(a.kind()) <=> static_cast<uint8_t>(b.kind());
  switch (a.kind()) {
    case Value::Kind::Null: return std::strong_ordering::equal;
    case Value::Kind::Int:
    case Value::Kind::Decimal: return a.as_decimal() <=> b.as_decimal();
    case Value::Kind::Text:
    case Value::Kind::Blob: {
      std::string_view x = a.bytes(), y = b.bytes();
      size_t n = x.size() < y.size() ? x.size() : y.size();
      int c = n ? std::memcmp(x.data(), y.data(), n) : 0;
      if (c != 0) return c < 0 ? std::strong_ordering::less : std::strong_ordering::greater;
      return x.size() <=> y.size();
    }
  }
  return std::strong_ordering::equal;
}

std::strong_ordering operator<=>(const Value& a, const Value& b) { return compare(a, b); }

bool operator==(const Value& a, const Value& b) {
  if (a.kind_ != b.kind_) return false;
  switch (a.kind_) {
    case Value::Kind::Null: return true;
    case Value::Kind::Int:
    case Value::Kind::Decimal: return a.dec_ == b.dec_;
    default: return a.bytes_ == b.bytes_;
  }
}

std::strong_ordering compare_rows(std::span<const Value> a, std::span<const Value> b) {
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    auto c = compare(a[i], b[i]);
    if (c != 0) return c;
  }
  return a.size() <=> b.size();
}

std::vector<Value> fill(const Value& v, size_t n) { return std::vector<Value>(n, v); }

void append_decimal(std::string& out, i128 millionths) {
  if (millionths < 0) out.push_back('-');
  u128 mag = abs_u128(millionths);
  append_u128(out, mag / 1000000);
  out.push_back('.');
  unsigned frac = static_cast<unsigned>(mag % 1000000);
  char buf[6];
  for (int i = 5; i >= 0; --i, frac /= 10) buf[i] = static_cast<char>('0' + frac % 10);
  out.append(buf, 6);
}

void append_display(std::string& out, const Value& v) {
  switch (v.kind()) {
    case Value::Kind::Null: out += "NULL"; break;
    case Value::Kind::Int: append_i128(out, v.as_int()); break;
    case Value::Kind::Decimal: append_decimal(out, v.as_decimal()); break;
    case Value::Kind::Text: out += v.as_text(); break;
    case Value::Kind::Blob:
      out += "<blob ";
      out += std::to_string(v.bytes().size());
      out += " bytes>";
      break;
  }
}

std::string display(const Value& v) {
  std::string s;
  append_display(s, v);
  return s;
}

std::string debug(const Value& v) {
  std::string out;
  switch (v.kind()) {
    case Value::Kind::Null: return "Null";
    case Value::Kind::Int: return "Int(" + std::to_string(v.as_int()) + ")";
    case Value::Kind::Decimal: return "Decimal(" + i128_to_string(v.as_decimal()) + ")";
    case Value::Kind::Text: {
      out = "Text(";
      append_debug_quoted(out, v.as_text());
      return out + ")";
    }
    case Value::Kind::Blob: {
      out = "Blob([";
      bool first = true;
      for (uint8_t b : v.blob_bytes()) {
        if (!first) out += ", ";
        first = false;
        out += std::to_string(b);
      }
      return out + "])";
    }
  }
  return out;
}

const char* kind_name(Value::Kind k) {
  switch (k) {
    case Value::Kind::Null: return "Null";
    case Value::Kind::Int: return "Int";
    case Value::Kind::Decimal: return "Decimal";
    case Value::Kind::Text: return "Text";
    case Value::Kind::Blob: return "Blob";
  }
  return "?";
}

}  // namespace qm
