// The retrieval export: one request on an open handle under the fixed retrieval limits, with
// no deadline, cancel flag or pinned reader.
#include "db/database.h"
#include "ffi/db_handle.h"
#include "ffi/export.h"
#include "ffi/frame.h"
#include "ffi/handle_use.h"
#include "query/statements/statements.h"

extern "C" {

QM_EXPORT char* qm_retrieve(QmDb* db, const char* request) {
  return qm::ffi::entry<char*>(nullptr, [&]() -> char* {
    auto text = qm::ffi::utf8_arg(request);
    if (!db || !text) {
      qm::ffi::set_last_error("qm_retrieve: invalid handle or request");
      return nullptr;
    }
    qm::ffi::HandleUse use(db->in_use);
    if (!use) {
      qm::ffi::set_last_error(qm::ffi::handle_in_use());
      return nullptr;
    }
    if (qm::ffi::refused(*db)) return nullptr;
    auto response = retrieve_json_controlled(db->db, *text, qm::db::kRetrievalCaps, nullptr, std::nullopt);
    if (!response) {
      qm::ffi::set_last_error(response.error());
      return nullptr;
    }
    return qm::ffi::string_to_c(*response);
  });
}

}  // extern "C"
