/* Quickstart: open a memory database, create a table, insert rows with parameters, and
 * print the JSON of a SELECT. Every call that fails returns NULL (or 0) and leaves its
 * reason in qm_last_error(). */
#include <stdio.h>

#include "quilmarr.h"

/* Prints a result (and frees it), or the last error; returns 0 on failure. */
static int show(const char* what, char* json) {
  if (json == NULL) {
    fprintf(stderr, "%s failed: %s\n", what, qm_last_error());
    return 0;
  }
  printf("%s: %s\n", what, json);
  qm_string_free(json);
  return 1;
}

int main(void) {
  printf("QuilMarr %s\n", qm_version());
  QmDb* db = qm_open_memory();
  if (db == NULL) {
    fprintf(stderr, "open failed: %s\n", qm_last_error());
    return 1;
  }
  int ok = show("create", qm_query(db, "CREATE TABLE fruit (name TEXT NOT NULL UNIQUE, price, stock DEFAULT 0)"));

  /* Parameters travel as a JSON array, bound in order to the question marks. */
  ok = ok && show("insert", qm_query_params(db, "INSERT INTO fruit (name, price) VALUES (?, ?)", "[\"apple\", 1.25]"));

  /* A prepared statement may be run many times. */
  QmStmt* insert = qm_prepare(db, "INSERT INTO fruit VALUES (?, ?, ?)");
  ok = ok && insert != NULL;
  ok = ok && show("insert", qm_stmt_execute(insert, db, "[\"pear\", 0.8, 12]"));
  ok = ok && show("insert", qm_stmt_execute(insert, db, "[\"fig\", 2, 5]"));
  qm_stmt_close(insert);

  /* A write batch runs in one transaction: all rows or none. */
  ok = ok && show("batch", qm_execute_many(db, "INSERT INTO fruit VALUES (?, ?, ?)",
                                           "[[\"kiwi\", 0.5, 40], [\"plum\", 0.7, 0]]"));

  ok = ok && show("select", qm_query_params(db, "SELECT name, price FROM fruit WHERE price < ? ORDER BY price DESC",
                                            "[2]"));
  ok = ok && show("count", qm_query(db, "SELECT COUNT(*) AS in_stock FROM fruit WHERE stock > 0"));

  /* A refused statement changes nothing and says why. */
  char* dup = qm_query(db, "INSERT INTO fruit VALUES ('fig', 3, 1)");
  if (dup == NULL) printf("refused: %s\n", qm_last_error());
  qm_string_free(dup);

  qm_close(db);
  return ok ? 0 : 1;
}
