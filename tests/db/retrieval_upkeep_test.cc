// The upkeep of retrieval indexes on a memory database costs the documents a statement
// changes: a transaction logs them for its rollback instead of copying every index, and a
// flush publishes an index without encoding it until an image is baked. Two memory databases
// run the same random statements (writes to indexed columns and others, index and table DDL, failing
// statements, commits and rollbacks); one encodes every deferred publication after every
// statement, as publishing at each flush did. Both must answer, describe themselves and export alike.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "db/database.h"
#include "db/retrieval_catalog.h"
#include "ffi/db_handle.h"
#include "quilmarr.h"
#include "support/c_api.h"
#include "support/paired_run.h"

namespace qm::db {
namespace {

using test::CDb;
using test::first_difference;
using test::run_or_call;
using test::state_stats;

std::string answers(const CDb& db) {
  std::string out;
  for (const char* index : {"\"ft\"", "null"})
    out += test::take_json(qm_retrieve(db.get(), (std::string(R"({"kind":"hybrid","sql":"SELECT * FROM d","id_column":"a",)") +
                                            R"("text_columns":["b"],"vector_column":"v","query":"red","vector_query":[1,0],)"
                                            R"("metric":"cosine","text_weight":0.5,"candidate_limit":20,"limit":20,)"
                                            R"("text_index":)" + index + R"(,"vector_index":null})")
                                               .c_str()));
  return out;
}

class Work {
 public:
  explicit Work(uint32_t seed) : rng_(seed) {}

  std::string next(bool in_tx) {
    const std::string key = std::to_string(pick(30));
    switch (pick(15)) {
      case 0: return in_tx ? "COMMIT" : "BEGIN";
      case 1: return in_tx ? "ROLLBACK" : "BEGIN";
      case 2: return "CREATE INDEX ft ON d USING FULLTEXT (b) WITH (id_column = 'a')";
      case 3: return "CREATE INDEX vx ON d USING VECTOR (v) WITH (id_column = 'a', metric = 'cosine', dimensions = 2)";
      case 4: return pick(2) ? "DROP INDEX ft" : "DROP INDEX vx";
      case 5: return "UPDATE d SET b = '" + words() + "' WHERE a = " + key;
      case 6: return "UPDATE d SET n = n + 1 WHERE a < " + key;  // no indexed column changes
      case 7: return "DELETE FROM d WHERE a = " + key;
      case 8: return "UPDATE d SET v = '[" + std::to_string(pick(3)) + ", 0]' WHERE a = " + key;  // [0, 0] fails
      case 9: return "DROP TABLE d";  // with its indexes
      case 10: return "CREATE TABLE d (a UNIQUE, b, v, n)";
      default:  // often a repeated key: the statement fails
        return "INSERT INTO d VALUES (" + key + ", '" + words() + "', '[1, " + std::to_string(pick(5)) + "]', 0)";
    }
  }

 private:
  size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
  std::string words() {
    static const char* kWords[] = {"red", "green", "apple", "pear", "jam", "a longer word for the blob store"};
    std::string out;
    for (size_t i = 0, n = 1 + pick(4); i < n; ++i) out += std::string(i ? " " : "") + kWords[pick(6)];
    return out;
  }

  std::mt19937 rng_;
};

TEST(RetrievalUpkeep, LazyPublicationAndDocumentUndoMatchEagerOnes) {
  for (uint32_t seed : {1u, 2u, 3u}) {
    CDb lazy = CDb::memory();
    CDb eager = CDb::memory();
    for (const CDb* db : {&lazy, &eager})
      ASSERT_EQ(db->query("CREATE TABLE d (a UNIQUE, b, v, n)"), R"({"done":true})");
    Work work(seed);
    for (int step = 0; step < 150; ++step) {
      const std::string sql = work.next(qm_in_transaction(lazy.get()));
      const std::string context = "seed " + std::to_string(seed) + " step " + std::to_string(step) + ": " + sql;
      ASSERT_EQ(run_or_call(lazy, sql), run_or_call(eager, sql)) << context;
      // Encoding every deferred publication now is what publishing at each flush did.
      Database& e = eager.get()->db;
      ASSERT_TRUE(resolve_deferred_retrieval(e.catalog().retrieval(), e.store().cas).has_value()) << context;
      ASSERT_EQ(answers(lazy), answers(eager)) << context;
      ASSERT_EQ(state_stats(lazy), state_stats(eager)) << context;
      if (step % 25 == 0 || step == 149) {
        ASSERT_EQ(first_difference(test::export_image(lazy.get()).value_or(""), test::export_image(eager.get()).value_or("")),
                  "same")
            << context;
      }
    }
  }
}

}  // namespace
}  // namespace qm::db
