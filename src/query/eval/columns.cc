#include "query/eval/columns.h"

namespace qm::db {
namespace {

inline bool qualified_match(std::string_view candidate, std::string_view name) {
  return candidate.size() > name.size() && candidate.ends_with(name) &&
         candidate[candidate.size() - name.size() - 1] == '.';
}

}  // namespace

std::vector<size_t> column_matches(std::span<const std::string> names, std::string_view name) {
  std::vector<size_t> out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (names[i] == name) out.push_back(i);
  }
  if (!out.empty() || name.find('.') != std::string_view::npos) return out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (qualified_match(names[i], name)) out.push_back(i);
  }
  return out;
}

Result<size_t> projection_col_pos(std::span<const std::string> names, std::string_view name) {
  size_t found = 0, count = 0;
  for (size_t i = 0; i < names.size(); ++i) {
    if (names[i] == name && count++ == 0) found = i;
  }
  if (count == 0 && name.find('.') == std::string_view::npos) {
    for (size_t i = 0; i < names.size(); ++i) {
      if (qualified_match(names[i], name) && count++ == 0) found = i;
    }
  }
  if (count == 1) return found;
  std::string what = count == 0 ? "no column `" : "ambiguous column `";
  return fail(QmError::schema(what + std::string(name) + "`"));
}

}  // namespace qm::db
