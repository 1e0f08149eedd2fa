// Retrieval through the database, C interface only: `qm_retrieve` on a named full-text index
// over the benchmark corpus (10,000 paragraphs, 1,000 one- and two-word queries, limit 10,
// every request selecting all rows with `SELECT * FROM docs`), next to the same requests
// searched ad hoc; then the maintenance cost of a retrieval index: single-row INSERTs into a
// memory table of 10,000 documents with a full-text index against the same table without one,
// each statement on its own (atomic by itself) and inside one explicit transaction.
//
// Usage: retrieval_glue_bench [--queries N] [--inserts N]   (1,000 and 200 by default)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_support.h"
#include "quilmarr.h"
#include "retrieval_corpus.h"

namespace {

using bench::Clock;
using bench::json_string;
using bench::must;
using bench::seconds_since;




QmDb* corpus_db(const std::vector<std::string>& docs) {
  QmDb* db = qm_open_memory();
  must(qm_query(db, "CREATE TABLE docs (id, body)"), "create");
  must(qm_query(db, "BEGIN"), "begin");
  for (size_t i = 0; i < docs.size(); ++i) {
    std::string params = "[";
    params += std::to_string(i + 1);
    params += ",";
    params += json_string(docs[i]);
    params += "]";
    must(qm_query_params(db, "INSERT INTO docs VALUES (?, ?)", params.c_str()), "insert");
  }
  must(qm_query(db, "COMMIT"), "commit");
  return db;
}

std::string request(const std::string& query, bool named) {
  return R"({"kind":"full_text","sql":"SELECT * FROM docs","id_column":"id","text_columns":["body"],"query":)" +
         json_string(query) + R"(,"limit":10,"index":)" + (named ? "\"docs_fts\"" : "null") + "}";
}

double per_query(QmDb* db, const std::vector<std::string>& queries, size_t n, bool named) {
  auto t = Clock::now();
  for (size_t i = 0; i < n; ++i) must(qm_retrieve(db, request(queries[i % queries.size()], named).c_str()), "retrieve");
  return seconds_since(t) / static_cast<double>(n);
}

// Seconds per single-row INSERT, each atomic by itself or all inside one transaction.
double per_insert(QmDb* db, size_t n, size_t first_id, bool in_transaction) {
  auto t = Clock::now();
  if (in_transaction) must(qm_query(db, "BEGIN"), "begin");
  for (size_t i = 0; i < n; ++i) {
    std::string params = "[";
    params += std::to_string(first_id + i);
    params += ",\"a new paragraph about retrieval indexes\"]";
    must(qm_query_params(db, "INSERT INTO docs VALUES (?, ?)", params.c_str()), "insert");
  }
  if (in_transaction) must(qm_query(db, "COMMIT"), "commit");
  return seconds_since(t) / static_cast<double>(n);
}

}  // namespace

int main(int argc, char** argv) {
  size_t nq = 1000, ni = 200;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--queries")) nq = std::strtoull(argv[i + 1], nullptr, 10);
    if (!std::strcmp(argv[i], "--inserts")) ni = std::strtoull(argv[i + 1], nullptr, 10);
  }
  const auto docs = bench_corpus::load_corpus();
  const auto queries = bench_corpus::make_queries(docs, nq);
  if (docs.size() <= 2 * ni) return std::fprintf(stderr, "corpus too small\n"), 1;
  std::printf("corpus: %zu paragraphs\n", docs.size());

  // An index holds at most 10,000 documents: the table starts that many rows short of the
  // inserts to come, so the measured index grows to exactly 10,000.
  const std::vector<std::string> base(docs.begin(), docs.end() - static_cast<std::ptrdiff_t>(2 * ni));
  QmDb* indexed = corpus_db(base);
  QmDb* plain = corpus_db(base);
  auto t = Clock::now();
  must(qm_query(indexed, "CREATE INDEX docs_fts ON docs USING FULLTEXT (body) WITH (id_column = 'id')"), "index");
  const double build = seconds_since(t);

  const double named = per_query(indexed, queries, nq, true);
  const double adhoc = per_query(indexed, queries, 20, false);
  const double alone_indexed = per_insert(indexed, ni, base.size() + 1, false);
  const double alone_plain = per_insert(plain, ni, base.size() + 1, false);
  const double tx_indexed = per_insert(indexed, ni, base.size() + ni + 1, true);
  const double tx_plain = per_insert(plain, ni, base.size() + ni + 1, true);

  std::printf("\n| workload | with full-text index | without | ratio |\n|---|---|---|---|\n");
  std::printf("| qm_retrieve, named index, limit 10 | %.1f q/s | %.1f q/s (ad hoc) | %.1f |\n", 1 / named, 1 / adhoc,
              adhoc / named);
  std::printf("| single-row INSERT, atomic by itself | %.1f us | %.1f us | %.1f |\n", alone_indexed * 1e6,
              alone_plain * 1e6, alone_indexed / alone_plain);
  std::printf("| single-row INSERT, inside one transaction | %.1f us | %.1f us | %.1f |\n", tx_indexed * 1e6,
              tx_plain * 1e6, tx_indexed / tx_plain);
  std::printf("\nCREATE INDEX over %zu rows: %.3f s; the inserts take the index from %zu to %zu documents\n",
              base.size(), build, base.size(), base.size() + 2 * ni);
  qm_close(indexed);
  qm_close(plain);
  return 0;
}
