// Retrieval requests: every reading error text, parameter conversion, request bounds, the
// road of a request over a stand-in database, fusion and the response text.
#include <gtest/gtest.h>

#include <functional>

#include "retrieval/fusion.h"
#include "retrieval/request.h"
#include "retrieval/response.h"
#include "retrieval/retrieve.h"
#include "support/result_text.h"

namespace qm::retrieval {
namespace {


const std::string kFt = R"("kind":"full_text","sql":"SELECT * FROM docs","id_column":"id","text_columns":["body"],"query":"fox")";

TEST(Request, ReadingErrorsCarryTheReadersTexts) {
  const std::pair<std::string, std::string> cases[] = {
      {R"("full_text")", "invalid type: string \"full_text\", expected internally tagged enum RetrievalRequest"},
      {R"({"sql":"x"})", "missing field `kind`"},
      {R"({"kind":"vector","kind":"vector"})", "duplicate field `kind`"},
      {R"({"kind":"text"})", "unknown variant `text`, expected one of `hybrid`, `full_text`, `vector`"},
      {R"({"kind":3})", "invalid type: integer `3`, expected variant identifier"},
      {"{" + kFt + R"(,"limit":1,"limit":2})", "duplicate field `limit`"},
      {"{" + kFt + "}", "missing field `limit`"},
      {"{" + kFt + R"(,"limit":-1})", "invalid value: integer `-1`, expected u64"},
      {"{" + kFt + R"(,"limit":1.5})", "invalid type: floating point `1.5`, expected u64"},
      {"{" + kFt + R"(,"limit":1,"text_weight":1})",
       "unknown field `text_weight`, expected one of `sql`, `params`, `id_column`, `text_columns`, `query`, `limit`, `index`"},
      {R"({"kind":"hybrid","index":"x"})",
       "unknown field `index`, expected one of `sql`, `params`, `id_column`, `text_columns`, `vector_column`, `query`, "
       "`vector_query`, `metric`, `text_weight`, `candidate_limit`, `limit`, `text_index`, `vector_index`"},
      {R"({"kind":"vector","query":"fox"})", "invalid type: string \"fox\", expected a sequence"},
      {R"({"kind":"vector","metric":"dot"})", "unknown variant `dot`, expected `cosine` or `squared_euclidean`"},
      {R"(["full_text","SELECT 1"])", "invalid length 1, expected struct variant RetrievalRequest::FullText with 7 elements"},
      {R"(["vector","s",[],"id","v",[1],"cosine",1,null,9])", "invalid length 9, expected 8 elements in sequence"},
      {R"([])", "missing field `kind`"},
  };
  for (const auto& [json, want] : cases) {
    auto r = read_request(json);
    ASSERT_FALSE(r.has_value()) << json;
    EXPECT_EQ(r.error(), want) << json;
  }
  for (const char* bad : {"{} {}", "{},", "[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]"})
    EXPECT_FALSE(read_request(bad).has_value()) << bad;
}

TEST(Request, BothFormsReadTheSameRequest) {
  auto object = read_request(R"({"limit":3,"index":null,)" + kFt + "}");
  auto array = read_request(R"(["full_text","SELECT * FROM docs",[],"id",["body"],"fox",3,null])");
  ASSERT_TRUE(object.has_value()) << object.error();
  ASSERT_TRUE(array.has_value()) << array.error();
  for (const auto* r : {&std::get<FullTextRequest>(*object), &std::get<FullTextRequest>(*array)}) {
    EXPECT_EQ(r->sql, "SELECT * FROM docs");
    EXPECT_EQ(r->limit, 3u);
    EXPECT_FALSE(r->index.has_value());
    EXPECT_TRUE(r->params.empty());
  }
  auto h = read_request(R"({"kind":"hybrid","sql":"s","id_column":"id","text_columns":["t"],"vector_column":"v",
    "query":"q","vector_query":[1,0.1],"metric":"squared_euclidean","text_weight":1,"candidate_limit":5,"limit":2})");
  ASSERT_TRUE(h.has_value()) << h.error();
  EXPECT_EQ(std::get<HybridRequest>(*h).vector_query, (std::vector<float>{1.0f, 0.1f}));
  EXPECT_EQ(std::get<HybridRequest>(*h).text_weight, 1.0);
}

TEST(Request, ParametersConvertOnlyScalarKinds) {
  auto node = parse_json(R"([null,true,false,-1,9223372036854775807,"x"])");
  auto values = must(parameters(node->items));
  EXPECT_EQ(values, (std::vector<Value>{Value::null(), Value::integer(1), Value::integer(0), Value::integer(-1),
                                         Value::integer(INT64_MAX), Value::text("x")}));
  for (const char* bad : {"[1.5]", "[2.0]", "[1e2]", "[18446744073709551615]", "[[1]]", "[{}]"}) {
    EXPECT_EQ(error_text(parameters(parse_json(bad)->items)),
              "query parse error: Retrieval parameters support null, text, bool and signed integers");
  }
}

// A database stand-in: the SELECT yields fixed rows of "docs"; "ix" and "vx" index them.
class FakeSource : public RetrievalSource {
 public:
  FakeSource() {
    RowsResult rows;
    rows.columns = {"id", "body", "emb"};
    const std::vector<std::pair<const char*, const char*>> docs = {
        {"the quick brown fox", "[1,0]"}, {"lazy dog", "[0,1]"}, {"fox and dog", "[1,1]"}, {"brown bear", "[-1,0]"}};
    for (size_t i = 0; i < docs.size(); ++i)
      rows.rows.push_back({Value::integer(static_cast<int64_t>(i) + 1), Value::text(docs[i].first), Value::text(docs[i].second)});
    selection.table = "docs";
    selection.result = rows;
    selection.current_rows = true;
    for (const RetrievalIndexDefinition& def :
         {RetrievalIndexDefinition{"ix", "docs", "id", FullTextKind{{"body"}}},
          RetrievalIndexDefinition{"vx", "docs", "id", VectorKind{"emb", RetrievalMetric::Cosine, 2}}}) {
      auto entry = persistent::CatalogEntry::create(def, 1, true);
      for (const Row& r : rows.rows) EXPECT_TRUE(entry->add(*persistent::prepare(def, rows.columns, r)).has_value());
      entries.emplace(def.name, std::move(*entry));
    }
  }
  Result<Selection> select(std::string_view, std::span<const Value> params, const RetrievalControl&) override {
    ++selects;
    last_params.assign(params.begin(), params.end());
    return selection;
  }
  const persistent::Catalog& catalog() const override { return entries; }

  Selection selection;
  persistent::Catalog entries;
  int selects = 0;
  std::vector<Value> last_params;
};

std::string run(FakeSource& src, std::string_view request, std::shared_ptr<std::atomic<bool>> cancel = nullptr) {
  auto control = RetrievalControl::make({}, std::move(cancel), std::nullopt);
  auto r = retrieve_json(request, control, src);
  return r ? *r : r.error().message();
}

std::string hybrid(std::string extra) {
  return R"({"kind":"hybrid","sql":"SELECT * FROM docs","id_column":"id","text_columns":["body"],"vector_column":"emb",)"
         R"("query":"fox","vector_query":[1,0],"metric":"cosine",)" + extra + "}";
}

TEST(Retrieve, RefusalsComeInTheirOrder) {
  FakeSource src;
  std::string big = "{" + kFt + R"(,"limit":1,"params":[")" ;
  big += std::string(131072 - big.size() - 3, 'p') + "\"]}";
  ASSERT_EQ(big.size(), 131072u);
  EXPECT_EQ(run(src, big)[0], '[');  // exactly at the limit: read and answered
  EXPECT_EQ(run(src, big + " "), "query parse error: Retrieval request exceeds 128 KiB");
  auto cancel = std::make_shared<std::atomic<bool>>(true);
  EXPECT_EQ(run(src, big + " ", cancel), "database operation was cancelled");

  const std::string ft = "{" + kFt;
  const std::pair<std::string, std::string> cases[] = {
      {ft + R"(,"limit":101})", "Invalid full-text bounds"},
      {R"({"kind":"full_text","sql":"s","id_column":"id","text_columns":[],"query":"q","limit":1})", "Invalid full-text bounds"},
      {R"({"kind":"full_text","sql":"s","id_column":"id","text_columns":["b"],"query":")" + std::string(1025, 'q') + R"(","limit":1})",
       "Invalid full-text bounds"},
      {R"({"kind":"vector","sql":"s","id_column":"id","vector_column":"emb","query":[1],"metric":"cosine","limit":101})",
       "At most 100 vector results"},
      {hybrid(R"("text_weight":1.5,"candidate_limit":5,"limit":5)"), "Invalid hybrid search bounds or weight"},
      {hybrid(R"("text_weight":-0.5,"candidate_limit":5,"limit":5)"), "Invalid hybrid search bounds or weight"},
      {hybrid(R"("text_weight":0.5,"candidate_limit":0,"limit":0)"), "Invalid hybrid search bounds or weight"},
      {hybrid(R"("text_weight":0.5,"candidate_limit":101,"limit":5)"), "Invalid hybrid search bounds or weight"},
      {hybrid(R"("text_weight":0.5,"candidate_limit":4,"limit":5)"), "Invalid hybrid search bounds or weight"},
      {ft + R"(,"limit":1,"params":[1.5]})", "Retrieval parameters support null, text, bool and signed integers"},
      {ft + R"(,"limit":1,"index":""})", "Invalid persistent index name"},
      {ft + R"(,"limit":1,"index":"nope"})", "retrieval index `nope` does not exist"},
      {ft + R"(,"limit":1,"index":"vx"})", "Named full-text index column/kind definition mismatch"},
      {hybrid(R"("text_weight":0,"candidate_limit":5,"limit":5,"text_index":"nope")"), "retrieval index `nope` does not exist"},
      {R"({"kind":"vector","sql":"s","id_column":"id","vector_column":"emb","query":[1,0,0],"metric":"cosine","limit":1,"index":"vx"})",
       "Named vector index column/metric/dimensions definition mismatch"},
      {R"({"kind":"vector","sql":"s","id_column":"id","vector_column":"emb","query":[1,0,0],"metric":"cosine","limit":1})",
       "vectors must match dimensions and contain finite values; cosine vectors must be nonzero"},
      {R"({"kind":"vector","sql":"s","id_column":"id","vector_column":"emb","query":[],"metric":"cosine","limit":1})",
       "vector index exceeds its dimension, document or element budget"},
      {R"({"kind":"vector","sql":"s","id_column":"id","vector_column":"body","query":[1],"metric":"cosine","limit":1})",
       "query parse error: [json.exception.parse_error.101]"},
  };
  for (const auto& [req, want] : cases) {
    std::string got = run(src, req);
    EXPECT_NE(got.find(want), std::string::npos) << got;
  }
  // Two refusals in the candidate lists: the SELECT ran, nothing was answered.
  EXPECT_GT(src.selects, 0);
}

TEST(Retrieve, NamedIndexesAnswerLikeAdHocOnes) {
  FakeSource src;
  for (const char* q : {"fox", "brown", "dog fox"}) {
    std::string base = "{" + std::string(R"("kind":"full_text","sql":"SELECT * FROM docs","id_column":"id","text_columns":["body"],"query":")") + q + R"(","limit":10)";
    EXPECT_EQ(run(src, base + R"(,"index":"ix"})"), run(src, base + "}")) << q;
  }
  std::string v = R"({"kind":"vector","sql":"s","id_column":"id","vector_column":"emb","query":[1,0.5],"metric":"cosine","limit":4)";
  EXPECT_EQ(run(src, v + R"(,"index":"vx"})"), run(src, v + "}"));
  EXPECT_EQ(run(src, hybrid(R"("text_weight":0.5,"candidate_limit":4,"limit":0)")), "[]");
  // A SELECT row the index has never seen.
  std::get<RowsResult>(src.selection.result).rows.push_back({Value::integer(99), Value::text("fox"), Value::text("[1,0]")});
  EXPECT_EQ(run(src, "{" + kFt + R"(,"limit":1,"index":"ix"})"),
            "data corruption: persistent retrieval: current SELECT and index IDs disagree");
  std::get<RowsResult>(src.selection.result).rows.back()[0] = Value::integer(1);
  EXPECT_EQ(run(src, "{" + kFt + R"(,"limit":1,"index":"ix"})"), "query parse error: Duplicate retrieval ID");
  EXPECT_EQ(run(src, "{" + kFt + R"(,"limit":1})"),
            "query parse error: expected unique integer document IDs and text columns");
}

TEST(Retrieve, SelectionFaultsHaveTheirTexts) {
  const std::string v = R"({"kind":"vector","sql":"s","id_column":"id","vector_column":"emb","query":[1,0],"metric":"cosine","limit":1)";
  struct Case {
    std::string request;
    std::function<void(Selection&)> change;
    std::string want;
  };
  auto rows_of = [](Selection& s) -> RowsResult& { return std::get<RowsResult>(s.result); };
  const std::vector<Case> cases = {
      {R"({"kind":"full_text","id_column":"id","text_columns":["body"],"query":"fox","limit":1,"sql":")" +
           std::string(65537, 's') + R"("})",
       nullptr, "Retrieval SQL exceeds 64 KiB"},
      {"{" + kFt + R"(,"limit":1,"params":[)" + [] {
         std::string p = "0";
         for (int i = 0; i < 256; ++i) p += ",0";
         return p;
       }() + "]}",
       nullptr, "At most 256 retrieval parameters"},
      {"{" + kFt + R"(,"limit":1,"index":"ix"})", [](Selection& s) { s.table = "other"; },
       "Named retrieval index table/ID definition mismatch"},
      {"{" + kFt + R"(,"limit":1,"index":"ix"})", [&](Selection& s) { rows_of(s).columns[1] = "x"; },
       "Missing retrieval column `body`"},
      {"{" + kFt + R"(,"limit":1,"index":"ix"})", [&](Selection& s) { rows_of(s).columns[0] = "x"; }, "Missing ID column"},
      {"{" + kFt + R"(,"limit":1,"index":"ix"})", [&](Selection& s) { rows_of(s).rows[2][0] = Value::text("3"); },
       "Integer IDs required"},
      {"{" + kFt + R"(,"limit":1,"index":"ix"})",
       [&](Selection& s) { rows_of(s).rows.resize(10001, rows_of(s).rows[0]); }, "Retrieval filter-ID limit exceeded"},
      {v + "}", [&](Selection& s) { rows_of(s).columns[0] = "x"; }, "Missing ID column"},
      {v + "}", [&](Selection& s) { rows_of(s).columns[2] = "x"; }, "Missing vector column"},
      {v + "}", [&](Selection& s) { rows_of(s).rows[1][0] = Value::null(); }, "Integer IDs required"},
      {v + "}", [&](Selection& s) { rows_of(s).rows[1][0] = Value::integer(1); }, "Duplicate retrieval ID"},
      {v + "}", [&](Selection& s) { rows_of(s).rows[1][2] = Value::null(); }, "Vectors must be JSON arrays stored in TEXT"},
      {v + "}", [&](Selection& s) { rows_of(s).rows[1][2] = Value::text("[1" + std::string(65536, ' ') + "]"); },
       "Encoded vector exceeds 64 KiB"},
      {v + "}", [&](Selection& s) { rows_of(s).rows[1][2] = Value::text("[1,2,3]"); },
       "vectors must match dimensions and contain finite values; cosine vectors must be nonzero"},
  };
  for (const auto& c : cases) {
    FakeSource src;
    if (c.change) c.change(src.selection);
    std::string got = run(src, c.request);
    EXPECT_EQ(got, "query parse error: " + c.want);
  }
  // With rows that are not current (a GROUP BY, say) the named index is checked but not used.
  FakeSource src;
  src.selection.current_rows = false;
  std::get<RowsResult>(src.selection.result).rows.push_back({Value::integer(50), Value::text("fox"), Value::text("[1,0]")});
  EXPECT_EQ(run(src, "{" + kFt + R"(,"limit":10,"index":"ix"})"), run(src, "{" + kFt + R"(,"limit":10})"));
  EXPECT_NE(run(src, "{" + kFt + R"(,"limit":10})").find(R"("id":"50")"), std::string::npos);
}

TEST(Fusion, WeightedReciprocalRanks) {
  const std::vector<search::SearchHit> text = {{7, 3.0}, {2, 2.0}, {5, 1.0}};
  const std::vector<vector::VectorHit> vec = {{7, 0.1}, {9, 0.2}, {2, 0.3}};
  auto half = fuse(text, vec, 0.5, 10);
  ASSERT_EQ(half.size(), 4u);
  EXPECT_EQ(half[0], (FusedHit{7, 0.5 / 61.0 + 0.5 / 61.0, 1, 1}));
  EXPECT_EQ(half[1], (FusedHit{2, 0.5 / 62.0 + 0.5 / 63.0, 2, 3}));
  EXPECT_EQ(half[2], (FusedHit{9, 0.5 / 62.0, std::nullopt, 2}));
  EXPECT_EQ(half[3], (FusedHit{5, 0.5 / 63.0, 3, std::nullopt}));
  EXPECT_EQ(fuse(text, vec, 0.5, 2).size(), 2u);
  for (const auto& h : fuse(text, vec, 0.0, 10)) EXPECT_FALSE(h.text_rank.has_value());
  auto only_text = fuse(text, vec, 1.0, 10);
  ASSERT_EQ(only_text.size(), 3u);  // vector-only ids do not appear
  for (const auto& h : only_text) EXPECT_FALSE(h.vector_rank.has_value());
  // Equal scores: ascending id.
  auto tie = fuse(std::vector<search::SearchHit>{{8, 1.0}}, std::vector<vector::VectorHit>{{3, 0.0}}, 0.5, 10);
  EXPECT_EQ(tie[0].id, 3);
}

TEST(Response, IdsAreStringsAndMissingRanksNull) {
  EXPECT_EQ(text_hits_json(std::vector<search::SearchHit>{{INT64_MIN, 1.5}, {42, 2.0}}),
            R"([{"id":"-9223372036854775808","score":1.5},{"id":"42","score":2.0}])");
  EXPECT_EQ(vector_hits_json(std::vector<vector::VectorHit>{{-7, 0.1}}), R"([{"distance":0.1,"id":"-7"}])");
  EXPECT_EQ(fused_hits_json(std::vector<FusedHit>{{1, 0.25, std::nullopt, 2}}),
            R"([{"id":"1","score":0.25,"text_rank":null,"vector_rank":2}])");
  EXPECT_EQ(text_hits_json({}), "[]");
}

TEST(Control, LimitsAreClampedAndChecksOrdered) {
  auto c = RetrievalControl::make({1000000, 50, 20000, std::nullopt}, nullptr, std::nullopt);
  EXPECT_EQ(c.limits.max_scan_rows, 100000u);
  EXPECT_EQ(c.limits.max_bytes, 50u);
  EXPECT_EQ(c.limits.max_result_rows, 10000u);
  auto flag = std::make_shared<std::atomic<bool>>(true);
  auto past = RetrievalControl::make({100, 100, 100, std::chrono::steady_clock::now()}, flag, std::nullopt);
  EXPECT_EQ(past.check().error().message(), "database operation was cancelled");
  flag->store(false);
  EXPECT_EQ(past.check().error().message(), "query resource limit exceeded: deadline expired");
}

}  // namespace
}  // namespace qm::retrieval
