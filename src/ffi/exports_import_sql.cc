// qm_import_sql: a foreign SQL dump run against an open database, answered with the
// import's report as JSON. Only its two argument faults (stored as plain texts) and a panic
// fail the call; everything the dump itself gets wrong is in the report.
#include "db/database.h"
#include "ffi/db_handle.h"
#include "ffi/export.h"
#include "ffi/frame.h"
#include "ffi/handle_use.h"
#include "migrate/import_report.h"
#include "query/statements/statements.h"

extern "C" {

QM_EXPORT char* qm_import_sql(QmDb* db, const char* dump) {
  return qm::ffi::entry<char*>(nullptr, [&]() -> char* {
    if (!db) {
      qm::ffi::set_last_error("qm_import_sql: db handle is NULL");
      return nullptr;
    }
    auto text = qm::ffi::utf8_arg(dump);
    if (!text) {
      qm::ffi::set_last_error("qm_import_sql: dump is NULL or not valid UTF-8");
      return nullptr;
    }
    qm::ffi::HandleUse use(db->in_use);
    if (!use) {
      qm::ffi::set_last_error(qm::ffi::handle_in_use());
      return nullptr;
    }
    if (qm::ffi::refused(*db)) return nullptr;
    return qm::ffi::string_to_c(qm::migrate::report_to_json(import_sql(db->db, *text)));
  });
}

}  // extern "C"
