#include "query/eval/scalar.h"

#include "core/utf8.h"

#include <unicode/locid.h>
#include <unicode/stringpiece.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <cstdint>
#include <type_traits>

#include "query/eval/columns.h"
#include "query/eval/predicate.h"
#include "query/eval/value_compare.h"

namespace qm::db {
namespace {

using sql::ScalarFunction;

const char* found_kind(const Value& v) {
  switch (v.kind()) {
    case Value::Kind::Null: return "null";
    case Value::Kind::Int: return "int";
    case Value::Kind::Decimal: return "decimal";
    case Value::Kind::Text: return "text";
    case Value::Kind::Blob: return "blob";
  }
  return "?";
}

QmError type_error(const char* function, const char* expects, const Value& found) {
  return QmError::schema(std::string(function) + " expects " + expects + ", found " + found_kind(found));
}

bool is_ascii(std::string_view s) {
  for (unsigned char c : s) {
    if (c >= 0x80) return false;
  }
  return true;
}

// Decodes the character at s[i]; sets len. Malformed bytes decode as U+FFFD, one byte
// long, so they are never taken for white space and never read past the end.
char32_t decode_at(std::string_view s, size_t i, size_t& len) {
  auto c = static_cast<unsigned char>(s[i]);
  len = 1;
  if (c < 0x80) return c;
  const size_t n = utf8_sequence_length(c);
  if (n == 0 || n > s.size() - i) return 0xFFFD;
  char32_t cp = n == 2 ? (c & 0x1F) : n == 3 ? (c & 0x0F) : (c & 0x07);
  for (size_t k = 1; k < n; ++k) {
    auto cc = static_cast<unsigned char>(s[i + k]);
    if ((cc & 0xC0) != 0x80) return 0xFFFD;
    cp = cp << 6 | (cc & 0x3F);
  }
  len = n;
  return cp;
}

bool white_space(char32_t c) { return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_WHITE_SPACE); }

std::string icu_case(std::string_view text, bool upper) {
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  if (upper) {
    u.toUpper(icu::Locale::getRoot());
  } else {
    u.toLower(icu::Locale::getRoot());
  }
  std::string out;
  u.toUTF8String(out);
  return out;
}

Result<Value> text_function(ScalarFunction f, const Value& v) {
  if (v.is_null()) return Value::null();
  if (!v.is_text()) return fail(type_error("text function", "text", v));
  switch (f) {
    case ScalarFunction::Lower: return Value::text(text_lower(v.bytes()));
    case ScalarFunction::Upper: return Value::text(text_upper(v.bytes()));
    default: return Value::text(text_trim(v.bytes()));
  }
}

}  // namespace

std::string text_lower(std::string_view text) {
  if (text.size() > INT32_MAX) return std::string(text);  // beyond ICU's string size; never stored
  if (!is_ascii(text)) return icu_case(text, false);
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string text_upper(std::string_view text) {
  if (text.size() > INT32_MAX) return std::string(text);
  if (!is_ascii(text)) return icu_case(text, true);
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

std::string_view text_trim(std::string_view text) {
  size_t begin = 0, len = 0;
  while (begin < text.size() && white_space(decode_at(text, begin, len))) begin += len;
  size_t end = text.size();
  while (end > begin) {
    size_t start = end - 1;
    while (start > begin && end - start < 4 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    char32_t c = decode_at(text, start, len);
    if (start + len != end) c = 0xFFFD;  // a malformed tail is not white space
    if (!white_space(c)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

uint64_t text_length(std::string_view text) {
  uint64_t n = 0;
  for (unsigned char c : text) n += (c & 0xC0) != 0x80;
  return n;
}

const char* function_label(ScalarFunction function) {
  switch (function) {
    case ScalarFunction::Lower: return "lower";
    case ScalarFunction::Upper: return "upper";
    case ScalarFunction::Trim: return "trim";
    case ScalarFunction::Length: return "length";
    case ScalarFunction::Abs: return "abs";
    case ScalarFunction::Coalesce: return "coalesce";
    case ScalarFunction::Nullif: return "nullif";
  }
  return "?";
}

Result<Value> eval_scalar_function(ScalarFunction function, std::span<const Value> args) {
  // The parser fixes the argument counts; a tree built otherwise is refused, not read past.
  bool arity_ok = function == ScalarFunction::Coalesce ? !args.empty()
                  : function == ScalarFunction::Nullif ? args.size() == 2
                                                       : args.size() == 1;
  if (!arity_ok) {
    return fail(QmError::query(std::string("wrong number of arguments to ") + sql::sql_name(function)));
  }
  switch (function) {
    case ScalarFunction::Lower:
    case ScalarFunction::Upper:
    case ScalarFunction::Trim: return text_function(function, args[0]);
    case ScalarFunction::Length: {
      const Value& v = args[0];
      if (v.is_null()) return Value::null();
      if (v.is_text()) return Value::integer(static_cast<int64_t>(text_length(v.bytes())));
      if (v.is_blob()) return Value::integer(static_cast<int64_t>(v.bytes().size()));
      return fail(type_error("LENGTH", "text or blob", v));
    }
    case ScalarFunction::Abs: {
      const Value& v = args[0];
      if (v.is_null()) return Value::null();
      if (v.is_int()) {
        if (v.as_int() >= 0) return v;
        if (v.as_int() == INT64_MIN) return fail(QmError::schema("ABS overflowed i64"));
        return Value::integer(-v.as_int());
      }
      if (v.is_decimal()) {
        if (v.as_decimal() >= 0) return v;
        if (v.as_decimal() == kI128Min) return fail(QmError::schema("ABS overflowed decimal"));
        return Value::decimal(-v.as_decimal());
      }
      return fail(type_error("ABS", "a numeric value", v));
    }
    case ScalarFunction::Coalesce:
      for (const Value& v : args) {
        if (!v.is_null()) return v;
      }
      return Value::null();
    case ScalarFunction::Nullif:
      if (values_equal(args[0], args[1])) return Value::null();
      return args[0];
  }
  return Value::null();
}

Result<Value> eval_scalar(const sql::ScalarExpr& expr, std::span<const std::string> names,
                          std::span<const Value> row) {
  return std::visit(
      [&](const auto& n) -> Result<Value> {
        using T = std::decay_t<decltype(n)>;
        if constexpr (std::is_same_v<T, sql::ScalarColumn>) {
          QM_ASSIGN(size_t pos, projection_col_pos(names, n.column));
          if (pos >= row.size()) return fail(short_row());
          return row[pos];
        } else if constexpr (std::is_same_v<T, sql::ScalarLiteral>) {
          return n.value;
        } else if constexpr (std::is_same_v<T, sql::ScalarCase>) {
          for (const sql::CaseBranch& branch : n.branches) {
            QM_ASSIGN(Truth t, check_result(branch.condition, names, row));
            if (t == Truth::True) return eval_scalar(branch.result, names, row);
          }
          if (n.else_result) return eval_scalar(**n.else_result, names, row);
          return Value::null();
        } else {
          if (n.function == ScalarFunction::Coalesce) {
            // Later arguments are never evaluated, so their faults never show.
            for (const sql::ScalarExpr& arg : n.args) {
              QM_ASSIGN(Value v, eval_scalar(arg, names, row));
              if (!v.is_null()) return v;
            }
            return Value::null();
          }
          std::vector<Value> args;
          args.reserve(n.args.size());
          for (const sql::ScalarExpr& arg : n.args) {
            QM_ASSIGN(Value v, eval_scalar(arg, names, row));
            args.push_back(std::move(v));
          }
          return eval_scalar_function(n.function, args);
        }
      },
      expr.node);
}

std::string scalar_label(const sql::ScalarExpr& expr) {
  return std::visit(
      [](const auto& n) -> std::string {
        using T = std::decay_t<decltype(n)>;
        if constexpr (std::is_same_v<T, sql::ScalarColumn>) {
          return n.column;
        } else if constexpr (std::is_same_v<T, sql::ScalarLiteral>) {
          return display(n.value);
        } else if constexpr (std::is_same_v<T, sql::ScalarCase>) {
          return "case";
        } else {
          std::string out = function_label(n.function);
          out += '(';
          for (size_t i = 0; i < n.args.size(); ++i) {
            if (i) out += ',';
            out += scalar_label(n.args[i]);
          }
          out += ')';
          return out;
        }
      },
      expr.node);
}

}  // namespace qm::db
