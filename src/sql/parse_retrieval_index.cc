// CREATE INDEX [IF NOT EXISTS] name ON table USING (FULLTEXT | VECTOR) (columns)
// WITH (options): the DDL of named retrieval indexes. The definition is validated before
// the statement is accepted; option and validation faults point at the index name.
#include <array>

#include "sql/parse_internal.h"
#include "retrieval/definition.h"

namespace qm::sql {
namespace {

constexpr size_t kMaxRetrievalColumns = 16;

enum Option : size_t { kIdColumn, kMetric, kDimensions, kOptionCount };
constexpr std::array<std::string_view, kOptionCount> kOptionNames = {"id_column", "metric", "dimensions"};

std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& ch : out)
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch + 32);
  return out;
}

}  // namespace

Result<Statement> parse_retrieval_index(Cursor& c) {
  const size_t head_pos = c.position();
  CreateRetrievalIndexStmt out;
  if (c.take_kw("if")) {
    QM_TRY(c.keyword("not"));
    QM_TRY(c.keyword("exists"));
    out.if_not_exists = true;
  }
  retrieval::RetrievalIndexDefinition& def = out.definition;
  QM_ASSIGN(def.name, c.ident());
  QM_TRY(c.keyword("on"));
  QM_ASSIGN(def.table, c.ident());
  QM_TRY(c.keyword("using"));
  size_t kind_pos = c.position();
  QM_ASSIGN(std::string kind, c.ident());
  bool fulltext = keyword_equals(kind, "fulltext");
  if (!fulltext && !keyword_equals(kind, "vector"))
    return fail(c.err_at(kind_pos, "expected FULLTEXT or VECTOR index kind"));

  std::vector<std::string> columns;
  QM_TRY(c.expect(Tok::LParen));
  while (true) {
    QM_ASSIGN(std::string column, c.ident());
    columns.push_back(std::move(column));
    QM_ASSIGN(const Token* t, c.next());
    if (t->kind == Tok::RParen) break;
    if (t->kind != Tok::Comma) return fail(c.err_at(t->pos, "expected `,` or `)`, found " + token_debug(*t)));
    if (columns.size() == kMaxRetrievalColumns)
      return fail(c.err_at(t->pos, "at most " + std::to_string(kMaxRetrievalColumns) + " retrieval columns"));
  }

  std::array<std::optional<Value>, kOptionCount> options;
  QM_TRY(c.keyword("with"));
  QM_TRY(c.expect(Tok::LParen));
  while (true) {
    size_t name_pos = c.position();
    QM_ASSIGN(std::string raw_name, c.ident());
    std::string name = ascii_lower(raw_name);
    size_t slot = kOptionCount;
    for (size_t i = 0; i < kOptionCount; ++i)
      if (name == kOptionNames[i]) slot = i;
    if (slot == kOptionCount) return fail(c.err_at(name_pos, "unknown retrieval option `" + name + "`"));
    if (options[slot]) return fail(c.err_at(name_pos, "duplicate retrieval option `" + name + "`"));
    QM_TRY(c.expect(Tok::Eq));
    QM_ASSIGN(options[slot], c.value());
    QM_ASSIGN(const Token* t, c.next());
    if (t->kind == Tok::RParen) break;
    if (t->kind != Tok::Comma) return fail(c.err_at(t->pos, "expected `,` or `)`, found " + token_debug(*t)));
  }

  const auto& id_column = options[kIdColumn];
  if (!id_column || !id_column->is_text()) return fail(c.err_at(head_pos, "id_column must be an explicit string option"));
  def.id_column = id_column->as_text();
  if (fulltext) {
    if (options[kMetric] || options[kDimensions]) return fail(c.err_at(head_pos, "FULLTEXT only accepts id_column"));
    def.kind = retrieval::FullTextKind{std::move(columns)};
  } else {
    if (columns.size() != 1) return fail(c.err_at(head_pos, "VECTOR requires exactly one column"));
    retrieval::VectorKind vector;
    vector.vector_column = std::move(columns[0]);
    const auto& metric = options[kMetric];
    if (metric && metric->is_text() && metric->as_text() == "cosine") {
      vector.metric = retrieval::RetrievalMetric::Cosine;
    } else if (metric && metric->is_text() && metric->as_text() == "squared_euclidean") {
      vector.metric = retrieval::RetrievalMetric::SquaredEuclidean;
    } else {
      return fail(c.err_at(head_pos, "metric must be 'cosine' or 'squared_euclidean'"));
    }
    const auto& dims = options[kDimensions];
    if (!dims || !dims->is_int() || dims->as_int() < 1 || dims->as_int() > 4096)
      return fail(c.err_at(head_pos, "dimensions must be an integer in 1–4096"));
    vector.dimensions = static_cast<uint64_t>(dims->as_int());
    def.kind = std::move(vector);
  }
  if (auto valid = def.validate(); !valid) return fail(c.err_at(head_pos, valid.error().message()));
  return Statement{std::move(out)};
}

}  // namespace qm::sql
