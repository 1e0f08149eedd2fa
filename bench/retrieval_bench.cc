// Retrieval against its peers, same machine, same process, same data.
//
// Full text: 10,000 real paragraphs cut from the plain-text documentation installed Debian
// packages ship (/usr/share/common-licenses, /usr/share/doc/**: copyright files, READMEs,
// changelogs, gzip-compressed ones read through zcat), each 40 to 800 bytes and unique.
// The index is built here and in SQLite FTS5 (an in-memory table, one transaction); then 1,000
// one- and two-word queries (words drawn from the documents, two-word queries from one
// document) run with limit 10: here SearchIndex::search, there `MATCH ... ORDER BY rank`
// (bm25()). Every query runs on both sides; each side's best of three rounds counts.
//
// Vector: 10,000 vectors of 384 small-integer dimensions, exact cosine search with limit 10,
// next to a plain brute-force loop (f32 dot products over precomputed norms, then a partial
// sort) and the memory-bandwidth bound of reading the 15 MB of vectors once per query.
//
// Hybrid: the same queries through named persisted indexes of both kinds over one selection
// of every row: both candidate lists (limit 10), weighted reciprocal-rank fusion and the
// response JSON. Maintenance: one changed row applied to the full-text entry of 10,000
// documents (the index half of a single-row INSERT).
//
// Usage: retrieval_bench [--queries N] [--vector-queries N]   (both 1,000 by default)
// Output: a Markdown table; "ratio" is peer rate / QuilMarr rate (below 1 this library is faster).
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "core/utf8.h"
#include "retrieval_corpus.h"
#include "retrieval/catalog_entry.h"
#include "retrieval/fusion.h"
#include "retrieval/response.h"
#include "retrieval/sources.h"
#include "search/search_index.h"
#include "vector/vector_index.h"

namespace {

using Clock = std::chrono::steady_clock;
double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

using namespace bench_corpus;

void row(const char* what, double ours, double peer, const char* peer_name, const char* unit) {
  std::printf("| %s | %.1f %s | %.1f %s (%s) | %.2f |\n", what, ours, unit, peer, unit, peer_name, peer / ours);
}

void check(int rc, sqlite3* db) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "sqlite: %s\n", sqlite3_errmsg(db));
    std::exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  size_t queries_n = 1000, vector_queries_n = 1000;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--queries")) queries_n = std::strtoul(argv[i + 1], nullptr, 10);
    if (!std::strcmp(argv[i], "--vector-queries")) vector_queries_n = std::strtoul(argv[i + 1], nullptr, 10);
  }
  auto docs = load_corpus();
  size_t bytes = 0;
  for (auto& d : docs) bytes += d.size();
  std::printf("corpus: %zu paragraphs, %zu bytes\n", docs.size(), bytes);
  auto queries = make_queries(docs, queries_n);

  // ---- full-text build -----------------------------------------------------------------
  auto t0 = Clock::now();
  qm::search::SearchIndex index;
  for (size_t i = 0; i < docs.size(); ++i)
    if (!index.upsert(static_cast<int64_t>(i + 1), docs[i])) return std::fprintf(stderr, "upsert failed\n"), 1;
  double ours_build = seconds_since(t0);

  sqlite3* db;
  sqlite3_open(":memory:", &db);
  check(sqlite3_exec(db, "CREATE VIRTUAL TABLE docs USING fts5(body)", nullptr, nullptr, nullptr), db);
  t0 = Clock::now();
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt* ins;
  check(sqlite3_prepare_v2(db, "INSERT INTO docs(rowid, body) VALUES (?, ?)", -1, &ins, nullptr), db);
  for (size_t i = 0; i < docs.size(); ++i) {
    sqlite3_bind_int64(ins, 1, static_cast<int64_t>(i + 1));
    sqlite3_bind_text(ins, 2, docs[i].data(), static_cast<int>(docs[i].size()), SQLITE_STATIC);
    check(sqlite3_step(ins), db);
    sqlite3_reset(ins);
  }
  sqlite3_finalize(ins);
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  double fts_build = seconds_since(t0);

  // ---- full-text queries ---------------------------------------------------------------
  sqlite3_stmt* q;
  check(sqlite3_prepare_v2(db, "SELECT rowid, bm25(docs) FROM docs WHERE docs MATCH ? ORDER BY rank LIMIT 10", -1, &q, nullptr), db);
  std::vector<std::string> fts_queries;
  for (auto& text : queries) {
    std::string m;
    for (auto& w : qm::search::tokens(text)) {
      if (!m.empty()) m.push_back(' ');
      m.append("\"").append(w).append("\"");
    }
    fts_queries.push_back(m);
  }
  double ours_best = 1e9, fts_best = 1e9;
  size_t ours_hits = 0, fts_hits = 0;
  for (int round = 0; round < 3; ++round) {
    ours_hits = fts_hits = 0;
    t0 = Clock::now();
    for (auto& text : queries) ours_hits += index.search(text, 10)->size();
    ours_best = std::min(ours_best, seconds_since(t0));
    t0 = Clock::now();
    for (auto& m : fts_queries) {
      sqlite3_bind_text(q, 1, m.data(), static_cast<int>(m.size()), SQLITE_STATIC);
      while (sqlite3_step(q) == SQLITE_ROW) {
        (void)sqlite3_column_int64(q, 0);
        (void)sqlite3_column_double(q, 1);
        ++fts_hits;
      }
      sqlite3_reset(q);
    }
    fts_best = std::min(fts_best, seconds_since(t0));
  }
  sqlite3_finalize(q);
  sqlite3_close(db);

  // ---- vectors -------------------------------------------------------------------------
  Rng rng;
  std::vector<float> data(kDocs * kDims);
  for (auto& x : data) x = static_cast<float>(static_cast<int>(rng.below(19)) - 9);
  qm::vector::VectorIndex vindex(kDims, qm::vector::Metric::Cosine);
  for (size_t i = 0; i < kDocs; ++i)
    (void)vindex.upsert(static_cast<int64_t>(i + 1), std::span<const float>(data.data() + i * kDims, kDims));
  std::vector<std::vector<float>> vqueries;
  for (size_t i = 0; i < vector_queries_n; ++i) {
    std::vector<float> v(kDims);
    for (auto& x : v) x = static_cast<float>(static_cast<int>(rng.below(19)) - 9);
    v[0] = 1;  // never all zero
    vqueries.push_back(std::move(v));
  }
  std::vector<float> norms(kDocs);
  for (size_t i = 0; i < kDocs; ++i) {
    float s = 0;
    for (size_t j = 0; j < kDims; ++j) s += data[i * kDims + j] * data[i * kDims + j];
    norms[i] = std::sqrt(s);
  }
  double vec_best = 1e9, plain_best = 1e9, bw_best = 1e9;
  volatile uint64_t sink = 0;
  for (int round = 0; round < 3; ++round) {
    t0 = Clock::now();
    for (auto& v : vqueries) sink = sink + vindex.search_matching(v, 10, nullptr)->size();
    vec_best = std::min(vec_best, seconds_since(t0));
    t0 = Clock::now();
    std::vector<std::pair<float, int64_t>> scored(kDocs);
    for (auto& v : vqueries) {
      float qn = 0;
      for (float x : v) qn += x * x;
      qn = std::sqrt(qn);
      for (size_t i = 0; i < kDocs; ++i) {
        const float* p = data.data() + i * kDims;
        float dot = 0;
        for (size_t j = 0; j < kDims; ++j) dot += p[j] * v[j];
        scored[i] = {1.0f - dot / (norms[i] * qn), static_cast<int64_t>(i + 1)};
      }
      std::partial_sort(scored.begin(), scored.begin() + 10, scored.end());
      sink = sink + static_cast<uint64_t>(scored[0].second);
    }
    plain_best = std::min(plain_best, seconds_since(t0));
    t0 = Clock::now();
    for (size_t k = 0; k < vqueries.size(); ++k) {
      const uint64_t* w = reinterpret_cast<const uint64_t*>(data.data());
      uint64_t a = 0, b = 0, c = 0, d = 0;
      for (size_t i = 0; i + 4 <= data.size() / 2; i += 4) a ^= w[i], b ^= w[i + 1], c ^= w[i + 2], d ^= w[i + 3];
      sink = sink + (a ^ b ^ c ^ d);
    }
    bw_best = std::min(bw_best, seconds_since(t0));
  }
  double vbytes = static_cast<double>(data.size() * sizeof(float));

  // ---- hybrid through named indexes ------------------------------------------------------
  using namespace qm;
  retrieval::Selection sel;
  sel.table = "docs";
  sel.current_rows = true;
  RowsResult rows;
  rows.columns = {"id", "body", "emb"};
  for (size_t i = 0; i < kDocs; ++i) {
    std::string emb = "[";
    for (size_t j = 0; j < kDims; ++j) {
      if (j) emb.push_back(',');
      emb.append(std::to_string(static_cast<int>(data[i * kDims + j])));
    }
    emb += "]";
    rows.rows.push_back({Value::integer(static_cast<int64_t>(i + 1)), Value::text(docs[i % docs.size()]), Value::text(emb)});
  }
  persistent::Catalog catalog;
  const retrieval::RetrievalIndexDefinition tdef{"ix", "docs", "id", retrieval::FullTextKind{{"body"}}};
  const retrieval::RetrievalIndexDefinition vdef{"vx", "docs", "id", retrieval::VectorKind{"emb", retrieval::RetrievalMetric::Cosine, kDims}};
  for (const auto* def : {&tdef, &vdef}) {
    auto entry = persistent::CatalogEntry::create(*def, 1, false);
    for (const Row& r : rows.rows) {
      auto added = entry->add(*persistent::prepare(*def, rows.columns, r));
      if (!added) return std::fprintf(stderr, "%s\n", added.error().message().c_str()), 1;
    }
    catalog.emplace(def->name, std::move(*entry));
  }
  sel.result = std::move(rows);
  const std::vector<std::string> text_cols = {"body"};
  const std::optional<std::string> ix = "ix", vx = "vx";
  size_t hybrid_n = std::min(queries.size(), vqueries.size());
  t0 = Clock::now();
  for (size_t i = 0; i < hybrid_n; ++i) {
    auto th = retrieval::text_hits(catalog, sel, "id", text_cols, queries[i], 10, ix);
    auto vh = retrieval::vector_hits(catalog, sel, "id", "emb", vqueries[i], retrieval::RetrievalMetric::Cosine, 10, vx);
    if (!th || !vh) return std::fprintf(stderr, "hybrid failed\n"), 1;
    sink = sink + retrieval::fused_hits_json(retrieval::fuse(*th, *vh, 0.5, 10)).size();
  }
  double hybrid = seconds_since(t0);

  // ---- maintenance of one row ------------------------------------------------------------
  auto& entry = catalog.at("ix");
  const std::vector<std::string> cols = {"id", "body", "emb"};
  const size_t changes = 1000;
  t0 = Clock::now();
  for (size_t i = 0; i < changes; ++i) {
    Row added = {Value::integer(static_cast<int64_t>(kDocs + 1)), Value::text(docs[i % docs.size()]), Value::text("[1]")};
    (void)entry.apply(cols, {}, std::span<const Row>(&added, 1), 2);
    (void)entry.apply(cols, std::span<const Row>(&added, 1), {}, 3);
  }
  double maintain = seconds_since(t0) / (2.0 * changes);

  std::printf("\n| workload | QuilMarr | peer | ratio |\n|---|---|---|---|\n");
  row("full-text build, 10,000 docs", 1.0 / ours_build, 1.0 / fts_build, "FTS5", "builds/s");
  row("full-text query, limit 10", static_cast<double>(queries.size()) / ours_best,
      static_cast<double>(queries.size()) / fts_best, "FTS5 bm25()", "q/s");
  row("vector exact cosine 10,000 x 384, limit 10", static_cast<double>(vqueries.size()) / vec_best,
      static_cast<double>(vqueries.size()) / plain_best, "plain f32 loop", "q/s");
  row("vector, against memory bandwidth", static_cast<double>(vqueries.size()) / vec_best,
      static_cast<double>(vqueries.size()) / bw_best, "15 MB read bound", "q/s");
  std::printf("| hybrid, named indexes, fused + JSON | %.1f q/s | | |\n", static_cast<double>(hybrid_n) / hybrid);
  std::printf("| maintenance: one row into a 10,000-doc full-text entry | %.1f us | | |\n", maintain * 1e6);
  std::printf("\nbuild: QuilMarr %.3f s, FTS5 %.3f s; hits: QuilMarr %zu, FTS5 %zu; memory bandwidth %.1f GB/s\n",
              ours_build, fts_build, ours_hits, fts_hits, vbytes * static_cast<double>(vqueries.size()) / bw_best / 1e9);
  return sink == 42 ? 1 : 0;
}
