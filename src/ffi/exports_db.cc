// The open, close, export and import calls of the C interface.
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "ffi/db_handle.h"
#include "ffi/export.h"
#include "ffi/frame.h"
#include "ffi/handle_use.h"

namespace {

QmDb* adopt(qm::Result<qm::db::Database> opened) {
  if (!opened) {
    qm::ffi::set_last_error(opened.error());
    return nullptr;
  }
  return new QmDb(std::move(*opened));
}

}  // namespace

extern "C" {

QM_EXPORT QmDb* qm_open_dev(const char* path) {
  return qm::ffi::entry<QmDb*>(nullptr, [&]() -> QmDb* {
    auto p = qm::ffi::utf8_arg(path);
    if (!p) {
      qm::ffi::set_last_error("qm_open_dev: path is NULL or not valid UTF-8");
      return nullptr;
    }
    return adopt(qm::db::Database::open_workspace(std::string(*p)));
  });
}

QM_EXPORT QmDb* qm_open_prod(const char* path) {
  return qm::ffi::entry<QmDb*>(nullptr, [&]() -> QmDb* {
    auto p = qm::ffi::utf8_arg(path);
    if (!p) {
      qm::ffi::set_last_error("qm_open_prod: path is NULL or not valid UTF-8");
      return nullptr;
    }
    return adopt(qm::db::Database::open_image(std::string(*p)));
  });
}

QM_EXPORT QmDb* qm_open_memory(void) {
  return qm::ffi::entry<QmDb*>(nullptr, [] { return new QmDb(qm::db::Database::open_memory()); });
}

QM_EXPORT void qm_close(QmDb* db) {
  if (db == nullptr) return;
  // A handle another thread is using is left open (and the refusal is the last error): freeing
  // it under that call would corrupt memory.
  if (!qm::ffi::take_for_close(db->in_use)) return;
  // Closing keeps the caller's last error; an open transaction is rolled back (its failure is
  // not reported); every mutation outside a transaction was flushed when it ended, and only
  // the index pairs its manifests left out are written (a failure is not reported: the next
  // open rescans instead).
  qm::ffi::guarded<int>(0, [&] {
    if (db->db.in_transaction()) (void)db->db.rollback_transaction();
    (void)db->db.close();
    return 0;
  });
  delete db;  // also when the rollback threw: every file, lock and mapping is released
}

QM_EXPORT uint8_t* qm_export(QmDb* db, size_t* out_len) {
  return qm::ffi::entry<uint8_t*>(nullptr, [&]() -> uint8_t* {
    if (out_len == nullptr) {
      qm::ffi::set_last_error("qm_export: out_len is NULL");
      return nullptr;
    }
    *out_len = 0;
    if (db == nullptr) {
      qm::ffi::set_last_error("qm_export: db handle is NULL");
      return nullptr;
    }
    qm::ffi::HandleUse use(db->in_use);
    if (!use) {
      qm::ffi::set_last_error(qm::ffi::handle_in_use());
      return nullptr;
    }
    if (qm::ffi::refused(*db)) return nullptr;
    auto image = db->db.bake_to_bytes();
    if (!image) {
      qm::ffi::set_last_error(image.error());
      return nullptr;
    }
    auto* out = static_cast<uint8_t*>(std::malloc(image->size()));
    if (out == nullptr) throw std::bad_alloc();
    std::memcpy(out, image->data(), image->size());
    *out_len = image->size();
    return out;
  });
}

QM_EXPORT QmDb* qm_import(const uint8_t* bytes, size_t len) {
  return qm::ffi::entry<QmDb*>(nullptr, [&]() -> QmDb* {
    if (bytes == nullptr) {
      qm::ffi::set_last_error("qm_import: bytes is NULL");
      return nullptr;
    }
    return adopt(qm::db::Database::import_bytes(std::span<const uint8_t>(bytes, len)));
  });
}

}  // extern "C"
