// Retrieval requests and the upkeep of their indexes through the C interface, each beside its
// peer in the same process, every figure the least and the median of N runs (5 by default).
//
// Reads: a memory table docs (id, body, emb) of the 10,000 corpus paragraphs (real text from
// the documentation installed packages ship, retrieval_corpus.h), `emb` a 128-dimensional
// vector written as a JSON array (about 900 bytes), with a named full-text index and a named
// cosine index. 200 one- and two-word queries, limit 10, each request selecting every row:
// - full text: `qm_retrieve` on the named index, beside SQLite FTS5 ordered by bm25();
// - vector: `qm_retrieve` on the named index, beside a brute-force f32 cosine loop in C over
//   the same vectors (precomputed norms, top 10 by partial sort);
// - hybrid: both named indexes fused, beside FTS5 plus the brute-force loop;
// - building the full-text index over the 10,000 rows, beside filling the FTS5 table.
// Writes: one-row UPDATE (new text) and INSERT into a table with a full-text index, beside the
// same statement on the same table without it, with 1,000 documents of about 7 KB and with
// 9,980 of about 700 bytes (an index holds at most 10,000 documents and 8 MiB of text); the
// texts are cut from the corpus run together. On a memory database, then on a workspace,
// where the peer is hashing (BLAKE3) and writing to a file as many bytes as the stored
// envelope has. Last, reopening a workspace whose indexes hold 10,000 documents, beside
// building the same FTS5 index, and reopening the same rows without the index.
//
// Usage: retrieval_request_bench [--runs N] [--queries N] [--only reads|build|writes|workspace|reopen] [--rows 1000|9980]
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "core/blake3.h"
#include "bench_support.h"
#include "quilmarr.h"
#include "retrieval_corpus.h"

namespace {

using bench::Clock;
using bench::json_string;
using bench::must;
using bench::seconds_since;

using namespace bench_corpus;
constexpr size_t kDim = 128;




void check(int rc, sqlite3* db) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "sqlite: %s\n", sqlite3_errmsg(db));
    std::exit(1);
  }
}

// Least and median of the runs of one measurement (seconds per operation).
struct Spread {
  double least, median;
};
Spread spread(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return {v.front(), v[v.size() / 2]};
}
Spread measure(size_t runs, const std::function<double()>& once) {
  std::vector<double> v;
  for (size_t i = 0; i < runs; ++i) v.push_back(once());
  return spread(v);
}

std::string ms(Spread s) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.3f / %.3f ms", s.least * 1e3, s.median * 1e3);
  return buf;
}
void row(const char* what, Spread ours, const char* peer_name, Spread peer) {
  std::printf("| %s | %s | %s: %s | %.2f |\n", what, ms(ours).c_str(), peer_name, ms(peer).c_str(),
              ours.median / peer.median);
}

std::vector<float> vector_of(Rng& rng) {
  std::vector<float> v(kDim);
  for (auto& x : v) x = static_cast<float>(static_cast<int>(rng.below(2001)) - 1000) / 1000.0f;
  v[0] = 1.0f;  // never all zero
  return v;
}
std::string json_vector(const std::vector<float>& v) {
  std::string out = "[";
  char buf[32];
  for (size_t i = 0; i < v.size(); ++i) {
    std::snprintf(buf, sizeof buf, "%s%.3f", i ? "," : "", static_cast<double>(v[i]));
    out += buf;
  }
  return out + "]";
}

// Texts of about `size` bytes cut at spaces from the corpus run together (read again from
// further on when it runs out, so every text is distinct).
std::vector<std::string> texts(const std::vector<std::string>& docs, size_t count, size_t size) {
  std::string all;
  for (const auto& d : docs) all += d + " ";
  std::vector<std::string> out;
  size_t at = 0, shift = 0;
  while (out.size() < count) {
    if (at + size + 200 > all.size()) at = ++shift * 37;
    size_t end = all.find(' ', at + size);
    out.push_back(all.substr(at, end - at));
    at = end + 1;
  }
  return out;
}

// Pieces appended in order (operator+ chains trip a false -Wrestrict in g++ 12).
template <class... Pieces>
std::string cat(const Pieces&... pieces) {
  std::string out;
  (out.append(pieces), ...);
  return out;
}

std::string params(int64_t id, const std::string& text) { return cat("[", std::to_string(id), ",", json_string(text), "]"); }

void fill(QmDb* db, const std::vector<std::string>& bodies, bool with_vectors, Rng& rng) {
  must(qm_query(db, with_vectors ? "CREATE TABLE docs (id, body, emb)" : "CREATE TABLE docs (id, body)"), "create");
  must(qm_query(db, "CREATE INDEX ON docs (id)"), "id index");
  must(qm_query(db, "BEGIN"), "begin");
  for (size_t i = 0; i < bodies.size(); ++i) {
    std::string p = cat("[", std::to_string(i + 1), ",", json_string(bodies[i]));
    if (with_vectors) p.append(",").append(json_string(json_vector(vector_of(rng))));
    p.append("]");
    must(qm_query_params(db, with_vectors ? "INSERT INTO docs VALUES (?, ?, ?)" : "INSERT INTO docs VALUES (?, ?)",
                         p.c_str()),
         "insert");
  }
  must(qm_query(db, "COMMIT"), "commit");
}

const char* kFullText = "CREATE INDEX docs_fts ON docs USING FULLTEXT (body) WITH (id_column = 'id')";

// Seconds per one-row UPDATE and per one-row INSERT, `n` of each; the inserted rows are
// deleted again afterwards (untimed), so every run starts from the same table.
std::pair<double, double> one_row_writes(QmDb* db, const std::vector<std::string>& fresh, size_t table_rows, size_t n,
                                         size_t round) {
  auto t = Clock::now();
  for (size_t i = 0; i < n; ++i) {
    const std::string& text = fresh[(round * n + i) % fresh.size()];
    must(qm_query_params(db, "UPDATE docs SET body = ? WHERE id = ?",
                         cat("[", json_string(text), ",", std::to_string(1 + (round * n + i) * 7 % table_rows), "]").c_str()),
         "update");
  }
  const double update = seconds_since(t) / static_cast<double>(n);
  t = Clock::now();
  for (size_t i = 0; i < n; ++i)
    must(qm_query_params(db, "INSERT INTO docs VALUES (?, ?)",
                         params(static_cast<int64_t>(table_rows + 1 + i), fresh[(round * n + i + 1) % fresh.size()]).c_str()),
         "insert");
  const double insert = seconds_since(t) / static_cast<double>(n);
  must(qm_query(db, ("DELETE FROM docs WHERE id > " + std::to_string(table_rows)).c_str()), "delete");
  return {update, insert};
}

// The largest blob file of a workspace: its full-text envelope.
uintmax_t envelope_bytes(const std::string& dir) {
  uintmax_t most = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir + "/blobs"))
    if (e.is_regular_file()) most = std::max(most, e.file_size());
  return most;
}

double hash_and_write(const std::string& path, const std::string& bytes) {
  auto t = Clock::now();
  qm::Digest d = qm::blake3(bytes);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.write(reinterpret_cast<const char*>(d.data()), static_cast<std::streamsize>(d.size()));
  out.close();
  return seconds_since(t);
}

}  // namespace

int main(int argc, char** argv) {
  size_t runs = 5, nq = 200;
  std::string only;  // one section alone, for profiling
  size_t rows_only = 0;  // one table size of the write section alone
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--only")) only = argv[i + 1];
    if (!std::strcmp(argv[i], "--rows")) rows_only = std::strtoull(argv[i + 1], nullptr, 10);
    if (!std::strcmp(argv[i], "--runs")) runs = std::max<size_t>(1, std::strtoull(argv[i + 1], nullptr, 10));
    if (!std::strcmp(argv[i], "--queries")) nq = std::strtoull(argv[i + 1], nullptr, 10);
  }
  const auto docs = load_corpus();
  const auto queries = make_queries(docs, nq);
  std::printf("corpus: %zu paragraphs; %zu queries; least / median of %zu runs\n\n", docs.size(), nq, runs);
  std::printf("| workload | QuilMarr | peer | median ratio |\n|---|---:|---:|---:|\n");

  auto section = [&](const char* name) { return only.empty() || only == name; };
  sqlite3* lite;
  sqlite3_open(":memory:", &lite);
  auto fts_build = [&] {
    check(sqlite3_exec(lite, "DROP TABLE IF EXISTS fts; CREATE VIRTUAL TABLE fts USING fts5(body)", nullptr, nullptr, nullptr), lite);
    auto t = Clock::now();
    sqlite3_exec(lite, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* ins;
    check(sqlite3_prepare_v2(lite, "INSERT INTO fts(rowid, body) VALUES (?, ?)", -1, &ins, nullptr), lite);
    for (size_t i = 0; i < docs.size(); ++i) {
      sqlite3_bind_int64(ins, 1, static_cast<int64_t>(i + 1));
      sqlite3_bind_text(ins, 2, docs[i].data(), static_cast<int>(docs[i].size()), SQLITE_STATIC);
      check(sqlite3_step(ins), lite);
      sqlite3_reset(ins);
    }
    sqlite3_finalize(ins);
    sqlite3_exec(lite, "COMMIT", nullptr, nullptr, nullptr);
    return seconds_since(t);
  };
  const Spread fts_build_s = measure(runs, fts_build);
  const std::string root = std::filesystem::temp_directory_path() / "qm_retrieval_request_bench";

  // ---- reads ------------------------------------------------------------------------------
  if (section("reads") || only == "build") {
  Rng rng;
  QmDb* db = qm_open_memory();
  fill(db, docs, true, rng);
  must(qm_query(db, "CREATE INDEX docs_vec ON docs USING VECTOR (emb) WITH (id_column = 'id', metric = 'cosine', dimensions = 128)"),
       "vector index");
  // The same vectors for the loop: read back in id order.
  std::vector<float> data;
  {
    Rng again;
    for (size_t i = 0; i < docs.size(); ++i) {
      auto v = vector_of(again);
      char buf[32];
      for (float x : v) {
        std::snprintf(buf, sizeof buf, "%.3f", static_cast<double>(x));
        data.push_back(std::strtof(buf, nullptr));  // the value the stored text holds
      }
    }
  }
  std::vector<float> norms(docs.size());
  for (size_t i = 0; i < docs.size(); ++i) {
    float s = 0;
    for (size_t j = 0; j < kDim; ++j) s += data[i * kDim + j] * data[i * kDim + j];
    norms[i] = std::sqrt(s);
  }
  std::vector<std::vector<float>> vqueries;
  for (size_t i = 0; i < nq; ++i) vqueries.push_back(vector_of(rng));

  bool first = true;
  const Spread build_s = measure(runs, [&] {
    if (!first) must(qm_query(db, "DROP INDEX docs_fts"), "drop");
    first = false;
    auto t = Clock::now();
    must(qm_query(db, kFullText), "full-text index");
    return seconds_since(t);
  });

  std::vector<std::string> fts_queries, text_requests, vector_requests, hybrid_requests;
  for (size_t i = 0; i < nq; ++i) {
    std::string m;
    for (auto& w : qm::search::tokens(queries[i])) {
      if (!m.empty()) m.push_back(' ');
      m.append("\"").append(w).append("\"");
    }
    fts_queries.push_back(m);
    const std::string head = R"({"sql":"SELECT * FROM docs","id_column":"id",)";
    text_requests.push_back(head + R"("kind":"full_text","text_columns":["body"],"query":)" + json_string(queries[i]) +
                            R"(,"limit":10,"index":"docs_fts"})");
    vector_requests.push_back(head + R"("kind":"vector","vector_column":"emb","query":)" + json_vector(vqueries[i]) +
                              R"(,"metric":"cosine","limit":10,"index":"docs_vec"})");
    hybrid_requests.push_back(head + R"("kind":"hybrid","text_columns":["body"],"vector_column":"emb","query":)" +
                              json_string(queries[i]) + R"(,"vector_query":)" + json_vector(vqueries[i]) +
                              R"(,"metric":"cosine","text_weight":0.5,"candidate_limit":10,"limit":10,)"
                              R"("text_index":"docs_fts","vector_index":"docs_vec"})");
  }
  auto per_request = [&](const std::vector<std::string>& requests) {
    auto t = Clock::now();
    for (const auto& r : requests) must(qm_retrieve(db, r.c_str()), "retrieve");
    return seconds_since(t) / static_cast<double>(requests.size());
  };
  sqlite3_stmt* q;
  check(sqlite3_prepare_v2(lite, "SELECT rowid, bm25(fts) FROM fts WHERE fts MATCH ? ORDER BY rank LIMIT 10", -1, &q, nullptr),
        lite);
  volatile double sink = 0;
  auto fts_one = [&](const std::string& m) {
    sqlite3_bind_text(q, 1, m.data(), static_cast<int>(m.size()), SQLITE_STATIC);
    while (sqlite3_step(q) == SQLITE_ROW) sink = sink + static_cast<double>(sqlite3_column_int64(q, 0)) + sqlite3_column_double(q, 1);
    sqlite3_reset(q);
  };
  std::vector<std::pair<float, int64_t>> scored(docs.size());
  auto loop_one = [&](const std::vector<float>& v) {
    float qn = 0;
    for (float x : v) qn += x * x;
    qn = std::sqrt(qn);
    for (size_t i = 0; i < docs.size(); ++i) {
      const float* row = data.data() + i * kDim;
      float dot = 0;
      for (size_t j = 0; j < kDim; ++j) dot += row[j] * v[j];
      scored[i] = {1.0f - dot / (norms[i] * qn), static_cast<int64_t>(i + 1)};
    }
    std::partial_sort(scored.begin(), scored.begin() + 10, scored.end());
    sink = sink + scored[0].first;
  };
  auto per_query = [&](const std::function<void(size_t)>& one) {
    auto t = Clock::now();
    for (size_t i = 0; i < nq; ++i) one(i);
    return seconds_since(t) / static_cast<double>(nq);
  };
  if (only != "build") {
  const Spread text_s = measure(runs, [&] { return per_request(text_requests); });
  const Spread fts_s = measure(runs, [&] { return per_query([&](size_t i) { fts_one(fts_queries[i]); }); });
  const Spread vec_s = measure(runs, [&] { return per_request(vector_requests); });
  const Spread loop_s = measure(runs, [&] { return per_query([&](size_t i) { loop_one(vqueries[i]); }); });
  const Spread hybrid_s = measure(runs, [&] { return per_request(hybrid_requests); });
  const Spread both_s = measure(runs, [&] {
    return per_query([&](size_t i) {
      fts_one(fts_queries[i]);
      loop_one(vqueries[i]);
    });
  });
  row("full text, named index, limit 10", text_s, "FTS5 bm25()", fts_s);
  row("vector 10,000 x 128, named index, limit 10", vec_s, "f32 loop", loop_s);
  row("hybrid, both named, limit 10", hybrid_s, "FTS5 + f32 loop", both_s);
  }
  sqlite3_finalize(q);
  qm_close(db);
  row("full-text index build, 10,000 rows", build_s, "FTS5 fill", fts_build_s);
  std::fflush(stdout);
  }

  // ---- writes -----------------------------------------------------------------------------
  if (section("writes") || only == "workspace") {
  const size_t n_writes = 10;
  struct Size {
    size_t rows, bytes;
  };
  for (bool workspace : {false, true}) {
    if (only == "workspace" && !workspace) continue;
    for (Size size : {Size{1000, 7000}, Size{9980, 700}}) {
      if (rows_only && size.rows != rows_only) continue;
      const auto bodies = texts(docs, size.rows + 200, size.bytes);
      const std::vector<std::string> table(bodies.begin(), bodies.begin() + static_cast<std::ptrdiff_t>(size.rows));
      const std::vector<std::string> fresh(bodies.begin() + static_cast<std::ptrdiff_t>(size.rows), bodies.end());
      std::filesystem::remove_all(root);
      auto open = [&](const char* name) {
        return workspace ? qm_open_dev((root + "/" + name).c_str()) : qm_open_memory();
      };
      QmDb* indexed = open("indexed");
      QmDb* plain = open("plain");
      Rng unused;
      fill(indexed, table, false, unused);
      fill(plain, table, false, unused);
      must(qm_query(indexed, kFullText), "index");
      const size_t n = workspace ? 3 : n_writes;
      std::vector<double> iu, ii, pu, pi, peer;
      for (size_t r = 0; r < runs; ++r) {
        auto [u1, i1] = one_row_writes(indexed, fresh, size.rows, n, r);
        auto [u2, i2] = one_row_writes(plain, fresh, size.rows, n, r);
        iu.push_back(u1), ii.push_back(i1), pu.push_back(u2), pi.push_back(i2);
        if (workspace) {
          const std::string bytes(envelope_bytes(root + "/indexed"), 'x');
          peer.push_back(hash_and_write(root + "/peer.bin", bytes));
        }
      }
      char what[160];
      const char* where = workspace ? "workspace" : "memory";
      std::snprintf(what, sizeof what, "%s, %zu docs of ~%zu B: one-row UPDATE", where, size.rows, size.bytes);
      row(what, spread(iu), workspace ? "hash + write envelope" : "no index", workspace ? spread(peer) : spread(pu));
      std::snprintf(what, sizeof what, "%s, %zu docs of ~%zu B: one-row INSERT", where, size.rows, size.bytes);
      row(what, spread(ii), workspace ? "hash + write envelope" : "no index", workspace ? spread(peer) : spread(pi));
      if (workspace) {
        std::snprintf(what, sizeof what, "workspace, %zu docs: writes without the index", size.rows);
        row(what, spread(pu), "INSERT", spread(pi));
      }
      std::fflush(stdout);
      qm_close(indexed);
      qm_close(plain);
    }
  }

  }

  // ---- reopen -----------------------------------------------------------------------------
  if (section("reopen")) {
    std::filesystem::remove_all(root);
    const std::string dir = root + "/reopen";
    QmDb* w = qm_open_dev(dir.c_str());
    Rng again;
    fill(w, docs, false, again);
    must(qm_query(w, kFullText), "index");
    qm_close(w);
    // The same rows without the index: what opening costs before any index is proven.
    const std::string plain_dir = root + "/reopen_plain";
    QmDb* p = qm_open_dev(plain_dir.c_str());
    Rng same;
    fill(p, docs, false, same);
    qm_close(p);
    auto reopen = [&](const std::string& path) {
      return measure(runs, [&] {
        auto t = Clock::now();
        QmDb* d = qm_open_dev(path.c_str());
        if (!d) std::fprintf(stderr, "open: %s\n", qm_last_error()), std::exit(1);
        const double s = seconds_since(t);
        qm_close(d);
        return s;
      });
    };
    const Spread reopen_s = reopen(dir);
    const Spread plain_s = reopen(plain_dir);
    row("reopen a workspace, full-text index of 10,000 docs", reopen_s, "FTS5 build", fts_build_s);
    row("reopen the same workspace without the index", plain_s, "FTS5 build", fts_build_s);
  }
  sqlite3_close(lite);
  std::filesystem::remove_all(root);
  return 0;
}
