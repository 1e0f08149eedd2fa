// Importing a foreign SQL dump: the dump is split whole first (a dump that cannot be split
// runs nothing), then each statement is rewritten or skipped, parsed and executed exactly
// as a single statement sent by the host: atomic by itself outside a transaction, joining
// the host's transaction inside one. One failing statement never stops the import, with
// one exception: when a failing statement rolls back the transaction the host opened,
// the statements after it are reported as not run instead of being applied one by one
// outside it, so a host that wrapped the import in a transaction never finds part of the
// dump committed without the rest.
//
// A dump's literals are rewritten into the dialect's forms first (numbers rounded to the six
// decimal places the dialect keeps, exponent notation written out, the shell's replace()
// form of a text with line breaks; see migrate/decimal_literals.h); a parse error of the
// rewritten text is reported at the same place in the dump's own text.
#include "db/database.h"
#include "table/text.h"
#include <cstdio>

#include "sql/error_position.h"
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

// The character position of byte `offset` of `text` (a malformed byte counts as one).
size_t char_position(std::string_view text, size_t offset) {
  size_t chars = 0;
  for (size_t i = 0; i < offset && i < text.size(); ++i) chars += (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
  return chars;
}

// The byte offset of 1-based (line, column) in `text`, columns counted in characters.
size_t byte_offset(std::string_view text, size_t line, size_t column) {
  size_t i = 0;
  for (size_t l = 1; l < line && i < text.size(); ++i)
    if (text[i] == '\n') ++l;
  for (size_t c = 1; c < column && i < text.size(); ++c) {
    ++i;
    while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) ++i;
  }
  return i;
}

// A parse error of the rewritten text, pointed at the same place in the statement as the
// dump wrote it. The error's detail is "{message} (line L, column C)", the source line and
// the caret line; an error of another shape is kept as it is.
QmError in_dump_words(const QmError& error, std::string_view statement, const migrate::LiteralRewrite& rewrite) {
  if (error.kind != ErrorKind::Query) return error;
  std::string_view detail = error.detail;
  for (int line = 0; line < 2; ++line) {  // the caret line, then the source line
    const size_t cut = detail.rfind('\n');
    if (cut == std::string_view::npos) return error;
    detail = detail.substr(0, cut);
  }
  const size_t at = detail.rfind(" (line ");
  if (at == std::string_view::npos) return error;
  unsigned long line = 0, column = 0;
  if (std::sscanf(std::string(detail.substr(at)).c_str(), " (line %lu, column %lu)", &line, &column) != 2) return error;
  const size_t offset = rewrite.source_offset(byte_offset(rewrite.text, line, column));
  return sql::parse_error(statement, char_position(statement, offset), detail.substr(0, at));
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
    const std::string_view sql = rewrite.sql(statement);
    const std::optional<migrate::LiteralRewrite> literals = migrate::rewrite_dump_literals(sql);
    auto parsed = sql::parse(literals ? std::string_view(literals->text) : sql);
    if (!parsed) {
      const QmError error = literals ? in_dump_words(parsed.error(), sql, *literals) : parsed.error();
      report.errors.push_back(entry(error.message(), statement));
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
