// The shell's replace() form of a text with line breaks; see shell_strings.h.
#include "migrate/shell_strings.h"

namespace qm::migrate {
namespace {

constexpr std::string_view kCall = "replace(";
// The shell nests one call for carriage returns inside one for line feeds.
constexpr int kMaxDepth = 2;

// The value of the single-quoted literal at sql[pos] ('' stands for '), and the offset past it.
std::optional<std::pair<std::string, size_t>> read_literal(std::string_view sql, size_t pos) {
  if (pos >= sql.size() || sql[pos] != '\'') return std::nullopt;
  std::string value;
  for (size_t i = pos + 1; i < sql.size(); ++i) {
    if (sql[i] != '\'') {
      value += sql[i];
      continue;
    }
    if (i + 1 < sql.size() && sql[i + 1] == '\'') {
      value += '\'';
      ++i;
      continue;
    }
    return std::pair{std::move(value), i + 1};
  }
  return std::nullopt;
}

// The string value of `replace(inner,'marker',char(N))` at sql[pos], and the offset past it.
std::optional<std::pair<std::string, size_t>> read_call(std::string_view sql, size_t pos, int depth) {
  if (depth > kMaxDepth || sql.substr(pos, kCall.size()) != kCall) return std::nullopt;
  pos += kCall.size();
  auto inner = pos < sql.size() && sql[pos] == '\'' ? read_literal(sql, pos) : read_call(sql, pos, depth + 1);
  if (!inner) return std::nullopt;
  pos = inner->second;
  if (sql.substr(pos, 1) != ",") return std::nullopt;
  auto marker = read_literal(sql, pos + 1);
  if (!marker || marker->first.empty()) return std::nullopt;
  pos = marker->second;
  constexpr std::string_view kLineFeed = ",char(10))", kCarriageReturn = ",char(13))";
  char replacement = 0;
  if (sql.substr(pos, kLineFeed.size()) == kLineFeed) {
    replacement = '\n';
  } else if (sql.substr(pos, kCarriageReturn.size()) == kCarriageReturn) {
    replacement = '\r';
  } else {
    return std::nullopt;
  }
  pos += kLineFeed.size();
  // Every occurrence of the marker, left to right without overlap, as SQLite's replace().
  const std::string& from = inner->first;
  const std::string& mark = marker->first;
  std::string value;
  value.reserve(from.size());
  size_t at = 0;
  for (size_t hit; (hit = from.find(mark, at)) != std::string::npos; at = hit + mark.size()) {
    value.append(from, at, hit - at);
    value += replacement;
  }
  value.append(from, at);
  return std::pair{std::move(value), pos};
}

}  // namespace

std::optional<ShellString> read_shell_string(std::string_view sql, size_t pos) {
  auto call = read_call(sql, pos, 1);
  if (!call) return std::nullopt;
  ShellString out;
  out.literal.reserve(call->first.size() + 2);
  out.literal += '\'';
  for (char c : call->first) {
    out.literal += c;
    if (c == '\'') out.literal += '\'';
  }
  out.literal += '\'';
  out.end = call->second;
  return out;
}

}  // namespace qm::migrate
