#include "sql/params.h"

#include "core/utf8.h"
#include "sql/lexer.h"

namespace qm::sql {
namespace {

// Calls on_placeholder(byte offset) for each `?` outside quotes. A quote is closed by its
// own character ("]" for "["); the closing character doubled stays inside the quote. End
// of text inside a quote ends the scan.
template <class F>
void scan_placeholders(std::string_view sql, F&& on_placeholder) {
  char close = 0;
  for (size_t i = 0; i < sql.size(); ++i) {
    char ch = sql[i];
    if (close) {
      if (ch == close) {
        if (i + 1 < sql.size() && sql[i + 1] == close) {
          ++i;
        } else {
          close = 0;
        }
      }
      continue;
    }
    switch (ch) {
      case '\'': case '"': case '`': close = ch; break;
      case '[': close = ']'; break;
      case '?': on_placeholder(i); break;
      default: break;
    }
  }
}

// Characters a literal must not touch: they could merge with it into another token.
bool is_sticky(char32_t c) {
  switch (c) {
    case '\'': case '"': case '`': case '[': case ']': case '.': case '-': return true;
    default: return is_word_continue(c);
  }
}

// The last character of out, decoded (out holds valid UTF-8 up to where we append).
char32_t last_char(const std::string& out) {
  if (out.empty()) return 0;
  size_t start = out.size() - 1;
  while (start > 0 && (static_cast<unsigned char>(out[start]) & 0xC0) == 0x80) --start;
  size_t pos = start;
  return decode_utf8(out, pos);
}

void append_literal(std::string& out, const Value& v) {
  switch (v.kind()) {
    case Value::Kind::Null: out += "NULL"; break;
    case Value::Kind::Int: out += std::to_string(v.as_int()); break;
    case Value::Kind::Decimal: append_decimal(out, v.as_decimal()); break;
    case Value::Kind::Text:
      out += '\'';
      for (char ch : v.as_text()) {
        if (ch == '\'') out += '\'';
        out += ch;
      }
      out += '\'';
      break;
    case Value::Kind::Blob: break;  // refused by the caller
  }
}

}  // namespace

size_t parameter_count(std::string_view sql) {
  size_t n = 0;
  scan_placeholders(sql, [&](size_t) { ++n; });
  return n;
}

Result<std::string> bind_params(std::string_view sql, std::span<const Value> params) {
  std::vector<size_t> unused;
  return bind_params(sql, params, unused);
}

Result<std::string> bind_params(std::string_view sql, std::span<const Value> params,
                                std::vector<size_t>& literal_offsets) {
  literal_offsets.clear();
  std::string out;
  out.reserve(sql.size() + 4 * params.size());
  size_t copied = 0, index = 0;
  std::optional<QmError> error;
  scan_placeholders(sql, [&](size_t at) {
    if (error) return;
    ++index;
    if (index > params.size()) {
      error = QmError::schema("parameter ? number " + std::to_string(index) + " has no bound value (" +
                              std::to_string(params.size()) + " provided)");
      return;
    }
    const Value& v = params[index - 1];
    if (v.is_blob()) {
      error = QmError::schema("blob parameters are not supported in SQL parameter binding");
      return;
    }
    out.append(sql.substr(copied, at - copied));
    copied = at + 1;
    if (is_sticky(last_char(out))) out += ' ';
    literal_offsets.push_back(out.size());
    append_literal(out, v);
    if (copied < sql.size()) {
      size_t pos = copied;
      if (sql[pos] != '?' && is_sticky(decode_utf8(sql, pos))) out += ' ';
    }
  });
  if (error) return fail(std::move(*error));
  if (index != params.size())
    return fail(QmError::schema(std::to_string(params.size()) + " parameters provided but the statement has " +
                                std::to_string(index) + " placeholder(s)"));
  out.append(sql.substr(copied));
  return out;
}

}  // namespace qm::sql
