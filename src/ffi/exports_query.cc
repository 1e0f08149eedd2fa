// The query exports: plain and parameterised queries, prepared statements and write
// batches. Each checks its arguments in a fixed order with fixed texts before the database
// is touched, runs the statement without a query budget, and hands the result out as fresh
// JSON text. A prepared statement is only its SQL text and placeholder count: it belongs to
// no database, so any open handle may run it, also after the one it was prepared on closed.
#include <string>

#include "core/result_json.h"
#include "db/database.h"
#include "sql/params.h"
#include "sql/parser.h"
#include "ffi/export.h"
#include "ffi/frame.h"
#include "ffi/handle_use.h"
#include "ffi/db_handle.h"
#include "core/params_json.h"
#include "query/statements/statements.h"

struct QmStmt {
  QmStmt(std::string text, size_t count) : sql(std::move(text)), parameter_count(count) {}
  std::string sql;
  size_t parameter_count = 0;
  // Taken by every call on the statement, so a close cannot free it under another call.
  mutable std::atomic<bool> in_use{false};
};

namespace {

using qm::QmError;
using qm::QueryResult;
using qm::Result;
using qm::ffi::set_last_error;

// The result as fresh JSON text, or NULL with the error as the last error.
char* hand_out(const Result<QueryResult>& result) {
  if (!result) {
    set_last_error(result.error());
    return nullptr;
  }
  return qm::ffi::string_to_c(qm::json::result_to_string(*result));
}

char* refuse(const char* text) {
  set_last_error(text);
  return nullptr;
}

char* refuse_in_use() {
  set_last_error(qm::ffi::handle_in_use());
  return nullptr;
}

}  // namespace

extern "C" {

QM_EXPORT char* qm_query(QmDb* db, const char* sql) {
  return qm::ffi::entry<char*>(nullptr, [&]() -> char* {
    if (!db) return refuse("qm_query: db handle is NULL");
    auto text = qm::ffi::utf8_arg(sql);
    if (!text) return refuse("qm_query: sql is NULL or not valid UTF-8");
    qm::ffi::HandleUse use(db->in_use);
    if (!use) return refuse_in_use();
    if (qm::ffi::refused(*db)) return nullptr;
    auto statement = qm::sql::parse(*text);
    if (!statement) return hand_out(qm::fail(std::move(statement).error()));
    return hand_out(execute_statement(db->db, std::move(*statement), nullptr));
  });
}

QM_EXPORT char* qm_query_params(QmDb* db, const char* sql, const char* params_json) {
  return qm::ffi::entry<char*>(nullptr, [&]() -> char* {
    if (!db) return refuse("qm_query_params: db handle is NULL");
    auto text = qm::ffi::utf8_arg(sql);
    if (!text) return refuse("qm_query_params: sql is NULL or not valid UTF-8");
    auto params = qm::ffi::utf8_arg(params_json);
    if (!params) return refuse("qm_query_params: params is NULL or not valid UTF-8");
    auto values = qm::json_params_to_values("qm_query_params", *params);
    if (!values) return refuse(values.error().c_str());
    qm::ffi::HandleUse use(db->in_use);
    if (!use) return refuse_in_use();
    if (qm::ffi::refused(*db)) return nullptr;
    return hand_out(query_with(db->db, *text, *values));
  });
}

QM_EXPORT QmStmt* qm_prepare(QmDb* db, const char* sql) {
  return qm::ffi::entry<QmStmt*>(nullptr, [&]() -> QmStmt* {
    if (!db) {
      set_last_error("qm_prepare: db handle is NULL");
      return nullptr;
    }
    auto text = qm::ffi::utf8_arg(sql);
    if (!text) {
      set_last_error("qm_prepare: sql is NULL or not valid UTF-8");
      return nullptr;
    }
    qm::ffi::HandleUse use(db->in_use);
    if (!use) {
      set_last_error(qm::ffi::handle_in_use());
      return nullptr;
    }
    if (qm::ffi::refused(*db)) return nullptr;
    auto prepared = qm::db::prepare(*text);
    if (!prepared) {
      set_last_error(prepared.error());
      return nullptr;
    }
    return new QmStmt(std::move(prepared->sql), prepared->parameter_count);
  });
}

QM_EXPORT char* qm_stmt_execute(QmStmt* stmt, QmDb* db, const char* params_json) {
  return qm::ffi::entry<char*>(nullptr, [&]() -> char* {
    if (!stmt) return refuse("qm_stmt_execute: statement handle is NULL");
    if (!db) return refuse("qm_stmt_execute: db handle is NULL");
    qm::ffi::HandleUse statement_use(stmt->in_use);
    if (!statement_use) return refuse_in_use();
    auto params = qm::ffi::utf8_arg(params_json);
    if (!params) return refuse("qm_stmt_execute: params is NULL or not valid UTF-8");
    auto values = qm::json_params_to_values("qm_stmt_execute", *params);
    if (!values) return refuse(values.error().c_str());
    if (values->size() != stmt->parameter_count)
      return hand_out(qm::fail(QmError::schema("prepared statement expects " + std::to_string(stmt->parameter_count) +
                                               " parameters, got " + std::to_string(values->size()))));
    qm::ffi::HandleUse use(db->in_use);
    if (!use) return refuse_in_use();
    if (qm::ffi::refused(*db)) return nullptr;
    return hand_out(query_with(db->db, stmt->sql, *values));
  });
}

QM_EXPORT size_t qm_stmt_parameter_count(const QmStmt* stmt) {
  return qm::ffi::entry<size_t>(0, [&]() -> size_t {
    if (!stmt) {
      set_last_error("qm_stmt_parameter_count: statement handle is NULL");
      return 0;
    }
    qm::ffi::HandleUse use(stmt->in_use);
    if (!use) {
      set_last_error(qm::ffi::handle_in_use());
      return 0;
    }
    return stmt->parameter_count;
  });
}

QM_EXPORT void qm_stmt_close(QmStmt* stmt) {
  if (stmt == nullptr) return;
  if (!qm::ffi::take_for_close(stmt->in_use)) return;  // left open rather than freed under another call
  delete stmt;
}

QM_EXPORT char* qm_execute_many(QmDb* db, const char* sql, const char* param_sets_json) {
  return qm::ffi::entry<char*>(nullptr, [&]() -> char* {
    auto text = qm::ffi::utf8_arg(sql);
    auto sets_text = qm::ffi::utf8_arg(param_sets_json);
    if (!db || !text || !sets_text) return refuse("qm_execute_many: null handle or invalid UTF-8 input");
    auto sets = qm::read_param_sets(*sets_text);
    if (!sets) return hand_out(qm::fail(std::move(sets).error()));
    qm::ffi::HandleUse use(db->in_use);
    if (!use) return refuse_in_use();
    if (qm::ffi::refused(*db)) return nullptr;
    auto total = execute_many(db->db, *text, **sets);
    if (!total) return hand_out(qm::fail(std::move(total).error()));
    return hand_out(QueryResult(qm::MutatedResult{*total}));
  });
}

}  // extern "C"
