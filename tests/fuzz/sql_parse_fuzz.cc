// SQL text: parsing any bytes gives a tree or a positioned Query error, never a crash;
// the placeholder scanner and binder agree on any text; predicates of parsed statements
// survive their stored JSON form.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "sql/params.h"
#include "sql/parser.h"
#include "sql/predicate_json.h"

namespace {

void round_trip(const qm::sql::Predicate& p) {
  if (qm::sql::predicate_json_depth(p) > 128) return;
  auto back = qm::sql::predicate_from_json_text(qm::sql::predicate_to_json(p));
  if (!back || !(*back == p)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view sql(reinterpret_cast<const char*>(data), size);
  auto st = qm::sql::parse(sql);
  if (!st) {
    if (st.error().kind != qm::ErrorKind::Query) std::abort();
    if (st.error().detail.find(" (line ") == std::string::npos) std::abort();
  } else {
    qm::sql::Statement copy = *st;
    if (!(copy == *st)) std::abort();
    if (const auto* s = std::get_if<qm::sql::SelectSingleStmt>(&st->node); s && s->body.where) round_trip(*s->body.where);
    if (const auto* c = std::get_if<qm::sql::CreateTableWithConstraintsStmt>(&st->node))
      for (const auto& p : c->checks) round_trip(p);
    if (const auto* d = std::get_if<qm::sql::DeleteStmt>(&st->node)) round_trip(d->predicate);
  }
  // Binding one integer per placeholder always succeeds and leaves no placeholder behind.
  size_t n = qm::sql::parameter_count(sql);
  std::vector<qm::Value> params(n, qm::Value::integer(-7));
  auto bound = qm::sql::bind_params(sql, params);
  if (!bound || qm::sql::parameter_count(*bound) != 0) std::abort();
  return 0;
}
