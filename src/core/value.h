// Value: the dynamically typed SQL value. Every cell, literal, default, index key and
// bound parameter is one. Kinds are ordered Null < Int < Decimal < Text < Blob; the total
// order compares kinds first, then payloads (text and blob bytewise). A Decimal is a
// signed 128-bit count of millionths: 1.5 is Decimal(1500000).
#pragma once

#include <compare>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/int128.h"

namespace qm {

class Value {
 public:
  enum class Kind : uint8_t { Null = 0, Int = 1, Decimal = 2, Text = 3, Blob = 4 };

  Value() : kind_(Kind::Null), dec_(0) {}
  static Value null() { return Value(); }
  static Value integer(int64_t v) {
    Value out;
    out.kind_ = Kind::Int;
    out.dec_ = v;
    return out;
  }
  static Value decimal(i128 millionths) {
    Value out;
    out.kind_ = Kind::Decimal;
    out.dec_ = millionths;
    return out;
  }
  static Value text(std::string s) {
    Value out;
    out.kind_ = Kind::Text;
    out.bytes_ = std::move(s);
    return out;
  }
  static Value text(std::string_view s) { return text(std::string(s)); }
  static Value text(const char* s) { return text(std::string(s)); }
  static Value blob(std::string bytes) {
    Value out;
    out.kind_ = Kind::Blob;
    out.bytes_ = std::move(bytes);
    return out;
  }
  static Value blob(std::span<const uint8_t> bytes) {
    return blob(std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  }

  Kind kind() const { return kind_; }
  bool is_null() const { return kind_ == Kind::Null; }
  bool is_int() const { return kind_ == Kind::Int; }
  bool is_decimal() const { return kind_ == Kind::Decimal; }
  bool is_text() const { return kind_ == Kind::Text; }
  bool is_blob() const { return kind_ == Kind::Blob; }

  // Payload accessors; calling one for another kind is a programming error.
  int64_t as_int() const { return static_cast<int64_t>(dec_); }
  i128 as_decimal() const { return dec_; }
  const std::string& as_text() const { return bytes_; }
  // Text or blob payload as bytes.
  std::string_view bytes() const { return bytes_; }
  std::span<const uint8_t> blob_bytes() const {
    return {reinterpret_cast<const uint8_t*>(bytes_.data()), bytes_.size()};
  }
  std::string& mutable_bytes() { return bytes_; }

  // In-place assignments for decoders that refill one value per row: the same value as
  // assigning Value::null() / integer(v) / decimal(m), keeping the text buffer's storage.
  void set_null() {
    kind_ = Kind::Null;
    dec_ = 0;
    bytes_.clear();
  }
  void set_int(int64_t v) {
    kind_ = Kind::Int;
    dec_ = v;
    bytes_.clear();
  }
  void set_decimal(i128 millionths) {
    kind_ = Kind::Decimal;
    dec_ = millionths;
    bytes_.clear();
  }

  // Total order: kind first, then payload.
  friend std::strong_ordering operator<=>(const Value& a, const Value& b);
  friend bool operator==(const Value& a, const Value& b);

 private:
  Kind kind_;
  i128 dec_;  // Int payload (sign-extended) or Decimal payload
  std::string bytes_;
};

using Row = std::vector<Value>;

std::strong_ordering compare(const Value& a, const Value& b);
// Element by element; a proper prefix is less.
std::strong_ordering compare_rows(std::span<const Value> a, std::span<const Value> b);

// n copies of one value.
std::vector<Value> fill(const Value& v, size_t n);

// Display text: "NULL", integers, decimals with six fraction digits, text as is,
// "<blob N bytes>".
void append_display(std::string& out, const Value& v);
std::string display(const Value& v);
// Appends a decimal payload as display text ("-0.500000").
void append_decimal(std::string& out, i128 millionths);
// Debug text: Null, Int(5), Decimal(1500000), Text("a"), Blob([1, 2]).
std::string debug(const Value& v);

const char* kind_name(Value::Kind k);

}  // namespace qm
