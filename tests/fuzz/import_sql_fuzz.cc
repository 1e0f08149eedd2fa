// Dump import on any bytes: the splitter gives statements or one of its two messages, every
// statement lies inside the dump or the split's own storage, the rewriter gives a fixed
// reason or a CREATE TABLE, previews stay short, and a small valid dump imported into a
// memory database yields a report whose counts match its statements. Never a crash or a
// hang; every scanner is linear, so long hostile inputs stay within the time limit.
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "core/utf8.h"
#include "db/database.h"
#include "migrate/decimal_literals.h"
#include "migrate/dump_text.h"
#include "migrate/import_report.h"
#include "migrate/rewrite.h"
#include "migrate/split.h"
#include "query/statements/statements.h"

namespace {

bool inside(std::string_view part, std::string_view whole) {
  std::less_equal<const char*> le;
  return le(whole.data(), part.data()) && le(part.data() + part.size(), whole.data() + whole.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qm::migrate;
  const std::string_view dump(reinterpret_cast<const char*>(data), size);
  auto split = split_statements(dump);
  if (!split) {
    if (split.error() != kUnterminatedComment && split.error() != kUnterminatedQuoteOrTrigger) std::abort();
    return 0;
  }
  size_t runnable = 0;
  for (std::string_view raw : split->statements) {
    bool placed = inside(raw, dump);
    for (const std::string& owned : split->storage) placed = placed || inside(raw, owned);
    if (!placed) std::abort();
    const std::string_view statement = trim(raw);
    if (statement.empty()) continue;
    ++runnable;
    const StatementRewrite rewrite = rewrite_statement(statement);
    if (rewrite.skip ? rewrite.reason.empty() || rewrite.rewritten.has_value()
                     : rewrite.rewritten && rewrite.rewritten->rfind("CREATE TABLE ", 0) != 0)
      std::abort();
    if (preview(statement).size() > 60 * 4 + 3) std::abort();
    const std::string_view sql = rewrite.sql(statement);
    if (auto literals = rewrite_dump_literals(sql))
      for (size_t at = 0; at <= literals->text.size(); at += 7)
        if (literals->source_offset(at) > sql.size()) std::abort();
  }
  if (size <= 4096 && qm::is_valid_utf8(dump)) {
    qm::db::Database db = qm::db::Database::open_memory();
    const ImportReport report = import_sql(db, dump);
    if (report.executed + report.skipped.size() + report.errors.size() != runnable) std::abort();
    if (!nlohmann::json::accept(report_to_json(report))) std::abort();
  }
  return 0;
}
