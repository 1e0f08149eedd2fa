/*
 * QuilMarr: an embedded SQL database engine with a C interface.
 *
 * Every call clears the calling thread's last error on entry (except qm_version,
 * qm_last_error, the free calls and the close calls). On failure a call returns NULL, 0 or
 * false and qm_last_error() describes why. Strings returned by the library are owned by
 * the caller and released with qm_string_free; the exported image with qm_bytes_free.
 *
 * Threads: a handle (QmDb, QmStmt, QmVault) serves one call at a time; a host that shares a
 * handle between threads must serialise its calls. A call that finds its handle in use by
 * another thread does not wait: it fails with "database is busy: handle is in use by another
 * thread" (a close call then leaves the handle open). Different handles may be used from
 * different threads at once. Every call does its work and returns its result on the calling
 * thread; no callback of the host ever runs on a thread of the library's. The library starts
 * threads of its own in two places, and each blocks every signal, so the host's signal
 * handlers run only on the host's threads:
 * - a workspace handle (qm_open_dev) starts one helper thread the first time one of its
 *   writes replaces the manifest file. It only closes the file descriptors the handle hands
 *   it (the last close of a replaced file is where the file system frees it, which is slow)
 *   and lives until qm_close of that handle joins it. Memory databases, images and vaults
 *   start none. Where no thread can be started, files are closed on the calling thread;
 * - a call that flushes several files at one ordering point (a commit, a recovery) issues
 *   those flushes on up to three threads besides the calling one, started and joined within
 *   that call.
 * When the first helper thread starts, the library registers a fork handler
 * (pthread_atfork): before a fork it waits while a helper thread is being started, and in the
 * child it counts the fork. A forked child has no helper thread of its parent's: a workspace
 * handle it inherited closes its files on the calling thread, and closing it never waits for
 * the parent's helper. Using one handle in both parent and child is the host's to avoid.
 */
#ifndef QUILMARR_H
#define QUILMARR_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque handles, owned by the host from open to the matching close. */
typedef struct QmDb QmDb;
typedef struct QmStmt QmStmt;
typedef struct QmVault QmVault;

/* ---- frame ------------------------------------------------------------------------- */

/* The library version, "2.3.0". Static; never freed. */
const char* qm_version(void);
/* The calling thread's last error, or NULL. Lent until the thread's next clearing call. */
const char* qm_last_error(void);
/* Releases a string returned by the library; NULL is ignored. */
void qm_string_free(char* s);
/* Releases a byte buffer returned by the library; NULL or len 0 is ignored. */
void qm_bytes_free(uint8_t* ptr, size_t len);

/* ---- open and lifecycle -------------------------------------------------------------- */

/* Opens (creating when missing) a development workspace directory. NULL on failure. */
QmDb* qm_open_dev(const char* path);
/* Opens a single-file .qmdb image read-only; every mutation is refused. NULL on failure. */
QmDb* qm_open_prod(const char* path);
/* A new, empty in-memory database. */
QmDb* qm_open_memory(void);
/* Releases the handle; NULL is ignored. An open transaction is rolled back. On a workspace
 * whose statements left the secondary indexes' entries out of the manifest, the manifest is
 * written once more with them, so the next open reads them instead of rebuilding them from
 * the tables (a failure is not reported: the next open rebuilds them). Closing forces nothing
 * to disk: a statement outside a transaction is safe from a killed process, not from a power
 * loss (writes that must survive one belong in a transaction, or under the commit log). The
 * handle's helper thread, if it has one, is joined. */
void qm_close(QmDb* db);
/* Bakes the database into one image. On success stores its length through out_len and returns
 * the bytes (free with qm_bytes_free(ptr, *out_len)); on failure NULL with *out_len = 0. */
uint8_t* qm_export(QmDb* db, size_t* out_len);
/* A new writable in-memory database from image bytes (copied; the caller keeps them). */
QmDb* qm_import(const uint8_t* bytes, size_t len);

/* ---- transactions -------------------------------------------------------------------- */

/* Each returns 1 on success, 0 on failure (see qm_last_error). A workspace transaction holds
 * the workspace's lock from begin to commit or rollback; a production image has none. */
int qm_begin_transaction(QmDb* db);
int qm_commit_transaction(QmDb* db);
int qm_rollback_transaction(QmDb* db);
/* True while a transaction is open (false with a last error for a NULL handle). */
bool qm_in_transaction(QmDb* db);
/* The database clock (0 with a last error for a NULL handle). */
uint64_t qm_current_tx(QmDb* db);

/* ---- queries ----------------------------------------------------------------------- */

/* Runs one SQL statement. Returns fresh JSON text: {"columns":[...],"rows":[[...],...]},
 * {"mutated":N} or {"done":true}; NULL on failure. Free the text with qm_string_free. */
char* qm_query(QmDb* db, const char* sql);
/* As qm_query, with the question-mark placeholders of `sql` bound, in order, to the
 * elements of the JSON array `params_json` (integers, numbers, strings, null, booleans). */
char* qm_query_params(QmDb* db, const char* sql, const char* params_json);
/* Checks that `sql` parses and counts its placeholders. The statement is not tied to `db`:
 * any open database may execute it, also after `db` is closed. NULL on failure. */
QmStmt* qm_prepare(QmDb* db, const char* sql);
/* Runs a prepared statement on `db` with the JSON array of parameters; the array must hold
 * exactly qm_stmt_parameter_count values. Returns JSON text as qm_query does. */
char* qm_stmt_execute(QmStmt* stmt, QmDb* db, const char* params_json);
/* The number of placeholders of a prepared statement; 0 with the last error set for NULL. */
size_t qm_stmt_parameter_count(const QmStmt* stmt);
/* Releases a prepared statement; NULL is ignored. Does not touch the last error. */
void qm_stmt_close(QmStmt* stmt);
/* Runs one INSERT, UPDATE or DELETE once per parameter set of `param_sets_json` (a JSON array
 * of arrays), all inside one transaction of its own: every set is applied or none. Refused
 * while a transaction is open. Returns {"mutated":N} with the total of affected rows. */
char* qm_execute_many(QmDb* db, const char* sql, const char* param_sets_json);

/* ---- encrypted vault ----------------------------------------------------------------- */

/* Opens (create = 0) or creates (create = 1) an encrypted single-file vault. The secret is a
 * raw 32-byte key (kind 0) or a passphrase of 12 to 1024 bytes (kind 1); the bytes are copied.
 * The vault stays locked against other handles and processes until qm_vault_close. */
QmVault* qm_vault_open(const char* path, const uint8_t* secret, size_t secret_len, uint32_t kind, int32_t create);
/* Runs one JSON request ({"action":"query"|"batch"|"inspect"|"backup"|"retrieve", ...}) and
 * returns the JSON reply (free with qm_string_free), or NULL. A batch is published to the file
 * before the call returns, all statements or none. */
char* qm_vault_request(QmVault* vault, const char* request);
/* Reseals the vault under a new secret: 1 on success, 0 (old secret still in use) on failure. */
int32_t qm_vault_rotate(QmVault* vault, const uint8_t* secret, size_t secret_len, uint32_t kind);
/* Releases the handle and its lock and wipes the secret; NULL is ignored. */
void qm_vault_close(QmVault* vault);

/* ---- SQL dump import ------------------------------------------------------------------ */

/* Runs an SQL dump written for another engine, statement by statement, each as qm_query would
 * (atomic by itself, or joining an open transaction). Statements the dialect lacks (PRAGMA,
 * transaction control, triggers, views, the dump's indexes, ALTER, ATTACH, DETACH, ANALYZE) are
 * skipped; CREATE TABLE keeps only the table and column names. Returns the report as fresh JSON
 * text: {"errors":[...],"executed":N,"skipped":[...]}, each entry "<reason or error>: <statement
 * preview>"; a failing statement does not stop the import, but once one has rolled back the
 * transaction the host opened, the statements after it are reported as not run. A dump that
 * cannot be split (an unclosed comment, quote or trigger) runs nothing. NULL only for a NULL
 * handle or a dump that is NULL or not valid UTF-8. */
char* qm_import_sql(QmDb* db, const char* dump);

/* ---- commit log and change feed --------------------------------------------------------- */

/* Turns on the commit log of a workspace: from the next transaction on, every statement and
 * transaction is carried by a page journal and kept as one change record. A 0 argument takes
 * its default (64 MiB per transaction, 256 MiB and 4096 commits retained). 1 or 0. */
int qm_enable_commit_log(QmDb* db, uint64_t max_transaction_bytes, uint64_t max_retained_bytes,
                         uint64_t max_retained_commits);
/* {"head_sequence":..,"pruned_through":..,"retained_commits":..,"retained_bytes":..,"limits":{..}}
 * as fresh JSON text, or NULL. */
char* qm_commit_log_status(QmDb* db);
/* Up to max committed change records after the sequence `after`, ascending, as a fresh JSON
 * array (each: manifest, page images, new blobs), or NULL. */
char* qm_changes_since(QmDb* db, uint64_t after, uint64_t max);
/* Drops the retained records through `through` (a replica has applied them). 1 or 0. */
int qm_prune_changes(QmDb* db, uint64_t through);

/* ---- retrieval ------------------------------------------------------------------------ */

/* Runs one retrieval request (JSON: {"kind":"full_text"|"vector"|"hybrid", ...}) over the rows
 * of its SELECT, searched with a named persisted index or ad hoc, under at most 100000 scanned
 * rows, 16 MiB materialised and 10000 result rows. Returns the hits as fresh JSON text, e.g.
 * [{"id":"7","score":1.25}] (ids as decimal strings), or NULL. */
char* qm_retrieve(QmDb* db, const char* request);

#ifdef __cplusplus
}
#endif

#endif /* QUILMARR_H */
