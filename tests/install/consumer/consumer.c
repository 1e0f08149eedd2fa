/* Opens a memory database through the installed library and prints one query's JSON. */
#include <stdio.h>
#include <string.h>

#include <quilmarr.h>

int main(void) {
  QmDb* db = qm_open_memory();
  if (!db) return 1;
  qm_string_free(qm_query(db, "CREATE TABLE t (word)"));
  qm_string_free(qm_query(db, "INSERT INTO t VALUES ('installed')"));
  char* out = qm_query(db, "SELECT word FROM t");
  if (!out) {
    fprintf(stderr, "%s\n", qm_last_error());
    return 1;
  }
  const int ok = strcmp(out, "{\"columns\":[\"word\"],\"rows\":[[\"installed\"]]}") == 0;
  printf("%s\n", out);
  qm_string_free(out);
  qm_close(db);
  return ok ? 0 : 1;
}
