// Running SQL through the C interface in tests: an owning database handle and helpers that
// return a call's JSON text, or its last error prefixed with "error: ", so a test states the
// exact text the host would see in one comparison.
#pragma once

#include <optional>
#include <string>

#include "quilmarr.h"

namespace qm::test {

// The JSON text of a successful call (freed here), or "error: " and the last error.
std::string take_json(char* text);

// The calling thread's last error, or "(none)".
std::string last_error();

// "(ok)" for a call that returned a handle or true, else "error: " and its last error, so a
// test states a refusal and its text in one comparison.
template <class T>
std::string outcome(T result) {
  return result ? std::string("(ok)") : "error: " + last_error();
}

// The image qm_export gives (its buffer freed here), or nothing with the last error set.
std::optional<std::string> export_image(QmDb* db);

class CDb {
 public:
  // A new memory database.
  static CDb memory();
  // A workspace directory; an open failure fails the test that asked.
  static CDb workspace(const std::string& path);
  explicit CDb(QmDb* db) : db_(db) {}
  CDb(CDb&& o) noexcept : db_(o.db_) { o.db_ = nullptr; }
  CDb& operator=(CDb&& o) noexcept;
  CDb(const CDb&) = delete;
  CDb& operator=(const CDb&) = delete;
  ~CDb() { close(); }

  QmDb* get() const { return db_; }
  void close();

  std::string query(const std::string& sql) const;
  std::string query(const std::string& sql, const std::string& params_json) const;
  std::string execute_many(const std::string& sql, const std::string& sets_json) const;
  uint64_t clock() const { return qm_current_tx(db_); }

 private:
  QmDb* db_ = nullptr;
};

}  // namespace qm::test
