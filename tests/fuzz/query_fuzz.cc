// SQL and parameters through the C interface, against a memory database holding a small
// schema with indexes, constraints and rows. Input: the SQL text, optionally followed by a
// NUL byte and a parameters JSON text (then qm_query_params runs).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "quilmarr.h"

namespace {

const char* const kSchema[] = {
    "CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT NOT NULL, price DEFAULT 1.5, note, CHECK (id >= 0))",
    "CREATE INDEX ON t (price)",
    "CREATE TABLE u (k, v UNIQUE)",
    "INSERT INTO t VALUES (1, 'apple', 1.25, NULL), (2, 'pear', 0.8, 'x'), (3, '\xc3\xa9t\xc3\xa9', 2, 'long "
    "note that does not fit in a short inline value at all')",
    "INSERT INTO u VALUES (1, 'a'), (1, 'b'), (NULL, NULL), (2.5, 'c')",
    "UPDATE t SET note = 'y' WHERE id = 2",
};

void run(QmDb* db, const std::string& sql) {
  char* out = qm_query(db, sql.c_str());
  qm_string_free(out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 16) return 0;
  QmDb* db = qm_open_memory();
  if (db == nullptr) std::abort();
  for (const char* sql : kSchema) run(db, sql);
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t nul = input.find('\0');
  if (nul == std::string::npos) {
    run(db, input);
  } else {
    std::string sql = input.substr(0, nul);
    std::string params = input.substr(nul + 1);
    params = params.substr(0, params.find('\0'));
    char* out = qm_query_params(db, sql.c_str(), params.c_str());
    qm_string_free(out);
  }
  // Whatever ran, the database still answers and still exports.
  char* check = qm_query(db, "SELECT COUNT(*) FROM t");
  if (check == nullptr && std::strstr(qm_last_error(), "table not found") == nullptr) std::abort();
  qm_string_free(check);
  size_t len = 0;
  uint8_t* image = qm_export(db, &len);
  if (image == nullptr) std::abort();
  qm_bytes_free(image, len);
  qm_close(db);
  return 0;
}
