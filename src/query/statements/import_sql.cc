// Importing a foreign SQL dump: the dump is split whole first (a dump that cannot be split
// runs nothing), then each statement is rewritten or skipped, parsed and executed exactly
// as a single statement sent by the host: atomic by itself outside a transaction, joining
// the host's transaction inside one. One failing statement never stops the import, with
// one exception: when a failing statement rolls back the transaction the host opened,
// the statements after it are reported as not run instead of being applied one by one
// outside it, so a host that wrapped the import in a transaction never finds part of the
// dump committed without the rest.
//
// A dump's number literals are rounded to the six decimal places the dialect keeps, rather
// than cut there (see migrate/decimal_literals.h).
#include "query/statements/statements.h"

#include "db/database.h"
#include "table/text.h"
#include "sql/parser.h"
#include "migrate/decimal_literals.h"
#include "migrate/dump_text.h"
#include "migrate/import_report.h"
#include "migrate/rewrite.h"
#include "migrate/split.h"

namespace qm::db {
namespace {

std::string entry(std::string_view what, std::string_view statement) {
  return str(what, ": ", migrate::preview(statement));
}

}  // namespace

migrate::ImportReport import_sql(Database& db, std::string_view dump) {
  migrate::ImportReport report;
  auto split = migrate::split_statements(dump);
  if (!split) {
    report.errors.push_back(std::move(split).error());
    return report;
  }
  bool host_transaction_lost = false;
  for (std::string_view raw : split->statements) {
    const std::string_view statement = migrate::trim(raw);
    if (statement.empty()) continue;
    const migrate::StatementRewrite rewrite = migrate::rewrite_statement(statement);
    if (rewrite.skip) {
      report.skipped.push_back(entry(rewrite.reason, statement));
      continue;
    }
    const std::optional<std::string> rounded = migrate::round_decimal_literals(rewrite.sql(statement));
    auto parsed = sql::parse(rounded ? std::string_view(*rounded) : rewrite.sql(statement));
    if (!parsed) {
      report.errors.push_back(entry(parsed.error().message(), statement));
      continue;
    }
    if (host_transaction_lost) {
      report.errors.push_back(entry(
          QmError::transaction("statement not run: an earlier statement failed and rolled back the open transaction")
              .message(),
          statement));
      continue;
    }
    const bool joined = db.in_transaction();
    auto result = execute_statement(db, std::move(*parsed), nullptr);
    if (result) {
      ++report.executed;
      continue;
    }
    report.errors.push_back(entry(result.error().message(), statement));
    host_transaction_lost = joined && !db.in_transaction();
  }
  return report;
}

}  // namespace qm::db
