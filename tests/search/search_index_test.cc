// Full-text index: tokenizer, BM25 arithmetic and order, conjunctive and filtered search,
// ad-hoc builds, and the persisted body with its strict decoder.
#include <gtest/gtest.h>

#include <cmath>

#include "core/bytes.h"
#include "core/utf8.h"
#include "search/search_index.h"
#include "support/result_text.h"

namespace qm::search {
namespace {


SearchIndex corpus(std::initializer_list<std::pair<int64_t, const char*>> docs) {
  SearchIndex index;
  for (auto [id, text] : docs) EXPECT_TRUE(index.upsert(id, text).has_value());
  return index;
}

std::vector<SearchHit> hits(const SearchIndex& index, std::string_view q, size_t limit = 10) {
  return must(index.search(q, limit));
}

TEST(Tokenizer, SplitsFoldsAndDropsOverlongPieces) {
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"HELLO, WORLD", {"hello", "world"}},
      {"Crème brûlée_au-lait", {"crème", "brûlée", "au", "lait"}},
      {"ΟΔΟΣ Straße", {"οδος", "straße"}},          // final sigma in the lower-case form
      {"x2 ⅫB ½", {"x2", "ⅻb", "½"}},                // Nd, Nl and No are word characters
      {std::string(128, 'A'), {std::string(128, 'a')}},
      {std::string(129, 'a') + " ok", {"ok"}},        // dropped whole, not truncated
      {"a\xff" "b", {"a", "b"}},                       // a malformed byte separates
      {"", {}},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(tokens(text), want) << text;
  // U+0130 lower-cases to two characters: the 128-byte piece yields a longer term.
  std::string dotted;
  for (int i = 0; i < 64; ++i) dotted += "\u0130";
  auto t = tokens(dotted);
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(t[0].size(), 192u);
  EXPECT_EQ(tokens(dotted + "x").size(), 0u);
}

TEST(Bm25, ScoresEqualTheFormulaBitForBitSummedRarestFirst) {
  const auto index = corpus({{1, "apple banana apple"}, {2, "banana cherry"}, {3, "apple cherry cherry date"}});
  // N = 3, avgdl = 9 / 3. Query terms by rarity: date (df 1), then apple and cherry (df 2, by bytes).
  const double n = 3.0, avgdl = 3.0, dl = 4.0;
  auto idf = [&](double df) { return std::log(((n - df) + 0.5) / (df + 0.5) + 1.0); };
  auto term = [&](double df, double tf) {
    return ((idf(df) * tf) * 2.2) / ((((dl * 0.75) / avgdl) + 0.25) * 1.2 + tf);
  };
  double want = 0.0;
  want += term(1, 1);  // date
  want += term(2, 1);  // apple
  want += term(2, 2);  // cherry
  auto got = hits(index, "cherry APPLE date cherry");
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].id, 3);
  EXPECT_EQ(std::memcmp(&got[0].score, &want, sizeof want), 0) << got[0].score << " vs " << want;
}

TEST(Search, IsConjunctiveRankedAndTieBrokenById) {
  const auto index = corpus({{9, "red fox"}, {4, "red fox"}, {5, "red red red fox jumps"}, {6, "blue fox"}});
  EXPECT_TRUE(hits(index, "red wolf").empty());  // one absent term empties the answer
  auto got = hits(index, "red fox");
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].id, 5);  // highest term frequency
  EXPECT_EQ(got[1].id, 4);  // equal scores: ascending id
  EXPECT_EQ(got[2].id, 9);
  EXPECT_EQ(got[1].score, got[2].score);
  EXPECT_EQ(hits(index, "fox", 2).size(), 2u);
  EXPECT_TRUE(hits(index, "fox", 0).empty());
  EXPECT_TRUE(hits(index, "!!").empty());
}

TEST(Search, BoundsAreCheckedBeforeAnyLookup) {
  const auto index = corpus({{1, "a"}});
  std::string many;
  for (int i = 0; i < 33; ++i) many += "t" + std::to_string(i) + " ";
  std::string repeated;
  for (int i = 0; i < 40; ++i) repeated += "a ";
  const std::tuple<std::string, size_t, bool> cases[] = {{many, 10, false}, {repeated, 10, true}, {"a", 101, false},
                                                          {"a", 100, true}, {std::string(1025, 'a'), 1, false},
                                                          {std::string(1024, 'a'), 1, true}};
  for (const auto& [query, limit, ok] : cases) {
    auto r = index.search(query, limit);
    EXPECT_TRUE(ok ? r.has_value() : r.error() == SearchError::Bounds) << query.size() << " " << limit;
  }
  EXPECT_STREQ(to_string(SearchError::Bounds), "full-text input exceeds its configured bounds");
}

TEST(Upsert, ReplacesKeepsTotalsAndRefusesOverBudget) {
  SearchIndex index = corpus({{1, "one two two"}, {2, "two three"}});
  ASSERT_TRUE(index.upsert(1, "four").has_value());
  EXPECT_EQ(index.document_count(), 2u);
  EXPECT_EQ(index.total_tokens(), 3u);
  EXPECT_EQ(index.total_source_bytes(), 4u + 9u);
  EXPECT_EQ(index.postings("one"), nullptr);  // emptied lists disappear
  ASSERT_NE(index.postings("two"), nullptr);
  EXPECT_EQ(index.postings("two")->size(), 1u);
  EXPECT_FALSE(index.upsert(3, std::string(65537, 'a')).has_value());
  ASSERT_TRUE(index.upsert(4, "").has_value());  // no tokens: counts toward N only
  EXPECT_EQ(index.document_count(), 3u);
  EXPECT_TRUE(index.remove(4));
  EXPECT_FALSE(index.remove(4));

  SearchIndex full;
  for (int64_t i = 0; i < 10000; ++i) ASSERT_TRUE(full.upsert(i, "w").has_value());
  EXPECT_EQ(full.upsert(10000, "w").error(), SearchError::Bounds);
  EXPECT_TRUE(full.upsert(9999, "other words").has_value());  // replacing is not adding
}

TEST(FilteredSearch, RanksWithTheSubsetsStatistics) {
  const auto index = corpus({{1, "cat dog"}, {2, "cat"}, {3, "dog dog bird"}, {4, "cat bird bird bird"}});
  const auto subset = corpus({{1, "cat dog"}, {4, "cat bird bird bird"}});
  const IdSet allowed = {1, 4};
  for (const char* q : {"cat", "dog", "bird cat"}) {
    auto got = must(index.search_filtered(q, 10, allowed));
    EXPECT_EQ(got, hits(subset, q)) << q;
  }
  const IdSet all = {1, 2, 3, 4};
  EXPECT_EQ(*index.search_filtered("cat", 10, all), hits(index, "cat"));
  const IdSet unknown = {1, 7};
  EXPECT_EQ(index.search_filtered(std::string(5000, 'x'), 10, unknown).error(), SearchError::Input);
  EXPECT_TRUE(index.search_filtered("cat", 10, IdSet{})->empty());
}

QueryResult rows(std::vector<std::string> columns, std::vector<Row> data) { return RowsResult{std::move(columns), std::move(data)}; }

TEST(FromRows, BuildsOneDocumentPerRowAndRefusesBadCells) {
  const std::vector<std::string> cols = {"title", "body"};
  auto ok = SearchIndex::from_rows(
      rows({"id", "title", "body"}, {{Value::integer(1), Value::null(), Value::text("moon")}}), "id", cols);
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(ok->total_source_bytes(), 6u);  // "" + " " + "moon" + " "
  EXPECT_EQ(hits(*ok, "moon").size(), 1u);

  const std::vector<std::string> one = {"t"};
  const std::pair<QueryResult, SearchError> cases[] = {
      {rows({"id", "t"}, {{Value::integer(1), Value::integer(5)}}), SearchError::Input},
      {rows({"id", "t"}, {{Value::text("1"), Value::text("a")}}), SearchError::Input},
      {rows({"id", "t"}, {{Value::integer(1), Value::text("a")}, {Value::integer(1), Value::text("b")}}),
       SearchError::Input},
      {rows({"x", "t"}, {}), SearchError::Input},
      {rows({"id", "t"}, {{Value::integer(1), Value::text(std::string(65536, 'a'))}}), SearchError::Bounds},
      {MutatedResult{1}, SearchError::Input},
  };
  for (const auto& [result, want] : cases) EXPECT_EQ(SearchIndex::from_rows(result, "id", one).error(), want);
  EXPECT_TRUE(SearchIndex::from_rows(rows({"id", "t"}, {{Value::integer(1), Value::text(std::string(65535, 'a'))}}), "id", one)
                  .has_value());
}

// A small valid body written by hand: one document (id 7) with terms "a" x2 and "b" x1.
std::string tiny_body(uint32_t header_tokens = 3) {
  std::string out;
  ByteWriter w(out);
  w.u32(1), w.u32(2), w.u32(header_tokens), w.u32(4);
  w.i64(7), w.u32(3), w.u32(4), w.u32(2);
  w.u32(1), w.bytes(std::string_view("a")), w.u32(2);
  w.u32(1), w.bytes(std::string_view("b")), w.u32(1);
  return out;
}

std::string decode_error(const std::string& body) { return error_text(SearchIndex::decode_persistent(as_bytes(body))); }

TEST(Body, RoundTripsExactly) {
  const auto index = corpus({{-3, "Zebra zebra ÄPFEL"}, {8, ""}, {2, "x y z x"}});
  auto body = must(index.encode_persistent());
  auto back = must(SearchIndex::decode_persistent(as_bytes(body)));
  EXPECT_EQ(*back.encode_persistent(), body);
  EXPECT_EQ(back.total_tokens(), index.total_tokens());
  EXPECT_EQ(hits(back, "zebra"), hits(index, "zebra"));
  auto decoded = must(SearchIndex::decode_persistent(as_bytes(tiny_body())));
  EXPECT_EQ(*decoded.encode_persistent(), tiny_body());
  SearchIndex copy = index;  // copies rebuild their own term references
  EXPECT_EQ(*copy.encode_persistent(), body);
}

TEST(Body, KeptDocumentEncodingsFollowReplacementsAndRemovals) {
  SearchIndex kept;
  kept.keep_encoded();
  for (auto [id, text] : {std::pair<int64_t, const char*>{5, "alpha beta"}, {-1, "Ωmega ωmega"}, {9, "beta gamma beta"}})
    ASSERT_TRUE(kept.upsert(id, text).has_value());
  ASSERT_TRUE(kept.upsert(5, "delta alpha alpha").has_value());
  ASSERT_TRUE(kept.remove(9));
  ASSERT_TRUE(kept.upsert(12, "").has_value());
  const auto plain = corpus({{-1, "Ωmega ωmega"}, {5, "delta alpha alpha"}, {12, ""}});
  const auto body = must(plain.encode_persistent());
  EXPECT_EQ(must(kept.encode_persistent()), body);
  SearchIndex copy = kept;
  EXPECT_EQ(must(copy.encode_persistent()), body);
  EXPECT_EQ(body.size(), kept.persistent_size());
  // The comparison with stored bytes sees any difference, in the header or in a document.
  EXPECT_TRUE(must(kept.persistent_equals(as_bytes(body))));
  EXPECT_TRUE(must(plain.persistent_equals(as_bytes(body))));
  for (size_t at : {size_t{4}, body.size() - 1}) {
    std::string changed = body;
    changed[at] ^= 1;
    EXPECT_FALSE(must(kept.persistent_equals(as_bytes(changed)))) << at;
  }
  EXPECT_FALSE(must(kept.persistent_equals(as_bytes(body.substr(0, body.size() - 1)))));
  EXPECT_FALSE(must(kept.persistent_equals(as_bytes(body + " "))));
}

TEST(Body, DecoderRefusesTamperedBodiesWithTheirTexts) {
  const std::string prefix = "data corruption: persistent retrieval: ";
  std::string base = tiny_body();
  auto patch = [&](size_t at, std::string bytes) {
    std::string b = base;
    b.replace(at, bytes.size(), bytes);
    return b;
  };
  const std::pair<std::string, std::string> cases[] = {
      {tiny_body(2), "text corpus total mismatch"},
      {tiny_body(4), "text corpus metadata mismatch"},
      {base.substr(0, base.size() - 1), "truncated or overflowing index extent"},
      {base + "x", "trailing index bytes"},
      {patch(0, std::string("\x11\x27\0\0", 4)), "encoded count exceeds limit"},  // 10001 documents
      {patch(36, std::string("\0\0\0\0", 4)), "empty encoded token"},
      {patch(40, "\xff"), "token is not UTF-8"},
      {patch(49, "a"), "tokens are not strictly ordered"},
      {patch(41, std::string("\0\0\0\0", 4)), "invalid token frequency"},
      {patch(24, std::string("\x04\0\0\0", 4)), "document token total mismatch"},
      {patch(28, std::string("\x02\0\0\0", 4)), "text document budget or length mismatch"},
      {patch(4, std::string("\x03\0\0\0", 4)), "text corpus metadata mismatch"},
  };
  for (const auto& [body, want] : cases) EXPECT_EQ(decode_error(body), prefix + want) << want;
  // Two documents out of order.
  SearchIndex two = corpus({{1, "a"}, {2, "a"}});
  std::string b = *two.encode_persistent();
  std::memcpy(b.data() + 16 + 8 + 12 + 4 + 1 + 4, "\x01", 1);  // second id 2 -> 1
  EXPECT_EQ(decode_error(b), prefix + "text IDs are not strictly ordered");
}

}  // namespace
}  // namespace qm::search
