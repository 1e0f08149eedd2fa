#include "support/c_api.h"

#include <gtest/gtest.h>

namespace qm::test {

std::string take_json(char* text) {
  if (text == nullptr) {
    const char* err = qm_last_error();
    return std::string("error: ") + (err ? err : "(no last error)");
  }
  std::string out(text);
  qm_string_free(text);
  return out;
}

std::string last_error() {
  const char* e = qm_last_error();
  return e ? e : "(none)";
}

std::optional<std::string> export_image(QmDb* db) {
  size_t len = 0;
  uint8_t* bytes = qm_export(db, &len);
  if (!bytes) return std::nullopt;
  std::string out(reinterpret_cast<const char*>(bytes), len);
  qm_bytes_free(bytes, len);
  return out;
}

CDb CDb::memory() { return CDb(qm_open_memory()); }

CDb CDb::workspace(const std::string& path) {
  QmDb* db = qm_open_dev(path.c_str());
  EXPECT_NE(db, nullptr) << qm_last_error();
  return CDb(db);
}

CDb& CDb::operator=(CDb&& o) noexcept {
  if (this != &o) {
    close();
    db_ = o.db_;
    o.db_ = nullptr;
  }
  return *this;
}

void CDb::close() {
  qm_close(db_);
  db_ = nullptr;
}

std::string CDb::query(const std::string& sql) const { return take_json(qm_query(db_, sql.c_str())); }

std::string CDb::query(const std::string& sql, const std::string& params_json) const {
  return take_json(qm_query_params(db_, sql.c_str(), params_json.c_str()));
}

std::string CDb::execute_many(const std::string& sql, const std::string& sets_json) const {
  return take_json(qm_execute_many(db_, sql.c_str(), sets_json.c_str()));
}

}  // namespace qm::test
