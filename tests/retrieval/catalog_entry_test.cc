// Catalog entries: row preparation with its refusals, source budgets, row changes applied
// (and skipped when the indexed content is unchanged), and the order-free source digest.
#include <gtest/gtest.h>

#include "retrieval/catalog_entry.h"
#include "support/result_text.h"

namespace qm::persistent {
namespace {

using retrieval::FullTextKind;
using retrieval::RetrievalMetric;
using retrieval::VectorKind;

const std::vector<std::string> kColumns = {"id", "title", "body", "emb"};
const RetrievalIndexDefinition kText{"ix", "docs", "id", FullTextKind{{"title", "body"}}};
const RetrievalIndexDefinition kVector{"vx", "docs", "id", VectorKind{"emb", RetrievalMetric::Cosine, 2}};

Row row(Value id, Value title, Value body, Value emb = Value::text("[1,2]")) {
  return {std::move(id), std::move(title), std::move(body), std::move(emb)};
}
Row doc(int64_t id, const char* title, const char* body = "b") { return row(Value::integer(id), Value::text(title), Value::text(body)); }

std::string prepare_error(const RetrievalIndexDefinition& def, const Row& r, std::vector<std::string> cols = kColumns) {
  auto p = prepare(def, cols, r);
  return p ? std::string("ok") : p.error().message();
}

TEST(Prepare, BuildsDocumentsAndRefusesBadRows) {
  auto p = must(prepare(kText, kColumns, row(Value::integer(3), Value::null(), Value::null())));
  EXPECT_EQ(*p.text, "  ");  // one space per column
  EXPECT_EQ(p.bytes, 2u);
  EXPECT_EQ(p.hash, blake3(R"([3,["Null","Null"]])"));
  auto v = must(prepare(kVector, kColumns, row(Value::integer(4), Value::null(), Value::null(), Value::text(" [0.5, -2] \n"))));
  EXPECT_EQ(*v.vector, (std::vector<float>{0.5f, -2.0f}));
  EXPECT_EQ(v.hash, blake3(R"([4,[{"Text":" [0.5, -2] \n"}]])"));  // the text as written

  const std::string sch = "schema error: ";
  struct Case {
    const RetrievalIndexDefinition* def;
    Row row;
    std::string want;
  };
  const Value ok_text = Value::text("t");
  const std::vector<Case> cases = {
      {&kText, row(Value::null(), ok_text, ok_text), sch + "persistent retrieval IDs must be unique signed integers"},
      {&kText, row(Value::text("1"), ok_text, ok_text), sch + "persistent retrieval IDs must be unique signed integers"},
      {&kText, row(Value::integer(1), Value::integer(2), ok_text), sch + "full-text columns must be TEXT or NULL"},
      {&kText, {Value::integer(1), ok_text}, sch + "incomplete retrieval row"},
      {&kText, row(Value::integer(1), Value::text(std::string(65536, 'a')), ok_text),
       "query resource limit exceeded: full-text document exceeds 64 KiB"},
      {&kText, row(Value::integer(1), Value::text(std::string(65535, 'a')), ok_text),  // its space reaches the limit
       "query resource limit exceeded: full-text document exceeds 64 KiB"},
      {&kVector, row(Value::integer(1), ok_text, ok_text, Value::null()), sch + "vectors must be JSON arrays in TEXT"},
      {&kVector, row(Value::integer(1), ok_text, ok_text, Value::text("[0,0]")), sch + "vectors must be finite and cosine vectors nonzero"},
      {&kVector, row(Value::integer(1), ok_text, ok_text, Value::text("[1,2,3]")), sch + "vector dimensions differ from the index declaration"},
      {&kVector, row(Value::integer(1), ok_text, ok_text, Value::text("[1,2] x")), ""},
      {&kVector, row(Value::integer(1), ok_text, ok_text, Value::text("[" + std::string(65534, ' ') + "]")), ""},
      {&kVector, row(Value::integer(1), ok_text, ok_text, Value::text("[1e39,1]")), sch + "vectors must be finite and cosine vectors nonzero"},
  };
  for (const auto& c : cases) {
    std::string got = prepare_error(*c.def, c.row);
    if (c.want.empty()) {
      EXPECT_NE(got.find("schema error: "), std::string::npos) << got;  // the JSON reader's own text
    } else {
      EXPECT_EQ(got, c.want);
    }
  }
  EXPECT_EQ(prepare_error(kVector, row(Value::integer(1), ok_text, ok_text, Value::text(std::string(65537, ' ')))),
            "query resource limit exceeded: encoded vector exceeds 64 KiB");
  EXPECT_EQ(prepare_error(kText, doc(1, "a"), {"id", "title"}), sch + "missing retrieval column `body`");
  EXPECT_EQ(prepare_error(kText, doc(1, "a", std::string(65533, 'b').c_str())), "ok");
}

TEST(Entry, AddEnforcesUniqueIdsAndTheDocumentBudget) {
  auto e = must(CatalogEntry::create(kText, 7, true));
  for (int64_t i = 0; i < 10000; ++i) ASSERT_TRUE(e.add(*prepare(kText, kColumns, doc(i, "x"))).has_value());
  EXPECT_EQ(e.add(*prepare(kText, kColumns, doc(5, "x"))).error().message(), "schema error: duplicate persistent retrieval ID");
  EXPECT_EQ(e.add(*prepare(kText, kColumns, doc(10000, "x"))).error().message(),
            "query resource limit exceeded: persistent retrieval source budget exceeded");
  EXPECT_EQ(e.sources().size(), 10000u);
  EXPECT_EQ(e.source_bytes(), 10000u * 4);
  EXPECT_EQ(e.generation(), 7u);
  EXPECT_TRUE(e.pending_write());
}

TEST(Entry, ApplyFollowsIndexedChangesOnly) {
  auto e = CatalogEntry::create(kText, 1, true);
  for (int64_t i = 1; i <= 3; ++i) ASSERT_TRUE(e->add(*prepare(kText, kColumns, doc(i, "old"))).has_value());
  e->mark_published(0, 100);
  const Digest before = e->source_digest();

  // An UPDATE of a column the index does not use changes nothing.
  Row old2 = doc(2, "old"), new2 = doc(2, "old");
  new2[3] = Value::text("[9,9]");
  ASSERT_TRUE(e->apply(kColumns, std::vector<Row>{old2}, std::vector<Row>{new2}, 9).has_value());
  EXPECT_FALSE(e->pending_write());
  EXPECT_EQ(e->generation(), 1u);
  EXPECT_EQ(e->source_digest(), before);

  // An indexed change replaces the document under its id; a delete removes one.
  ASSERT_TRUE(e->apply(kColumns, std::vector<Row>{old2, doc(3, "old")}, std::vector<Row>{doc(2, "new")}, 10).has_value());
  EXPECT_TRUE(e->pending_write());
  EXPECT_EQ(e->generation(), 10u);
  EXPECT_EQ(e->sources().size(), 2u);
  EXPECT_EQ(e->data().text->search("new", 10)->at(0).id, 2);
  EXPECT_TRUE(e->data().text->search("old", 10)->size() == 1);

  const std::string mismatch = "data corruption: persistent retrieval: mutation source does not match the current index";
  EXPECT_EQ(e->apply(kColumns, std::vector<Row>{doc(1, "other")}, {}, 11).error().message(), mismatch);
  EXPECT_EQ(e->apply(kColumns, std::vector<Row>{doc(3, "old")}, {}, 11).error().message(), mismatch);
  EXPECT_EQ(e->apply(kColumns, std::vector<Row>{doc(1, "old"), doc(1, "old")}, {}, 11).error().message(), mismatch);
  EXPECT_EQ(e->apply(kColumns, {}, std::vector<Row>{doc(8, "a"), doc(8, "b")}, 11).error().message(),
            "schema error: duplicate persistent retrieval ID");
}

TEST(Entry, DigestIgnoresInsertionOrderAndInfoReportsState) {
  auto a = CatalogEntry::create(kText, 1, true), b = CatalogEntry::create(kText, 1, true);
  for (int64_t i : {1, 2, 3}) ASSERT_TRUE(a->add(*prepare(kText, kColumns, doc(i, "w"))).has_value());
  for (int64_t i : {3, 1, 2}) ASSERT_TRUE(b->add(*prepare(kText, kColumns, doc(i, "w"))).has_value());
  EXPECT_EQ(a->source_digest(), b->source_digest());
  EXPECT_EQ(*a->encode(), *b->encode());
  auto empty = CatalogEntry::create(kText, 1, true);
  EXPECT_EQ(empty->source_digest(), blake3(std::string_view("quilmarr-retrieval-source-v1\0", 29)));

  Catalog catalog;
  catalog.emplace("ix", std::move(*a));
  EXPECT_EQ(catalog_descriptors(catalog).error().message(),
            "data corruption: persistent retrieval: manifest cannot publish unencoded retrieval state");
  catalog.at("ix").mark_published(3, 250);
  auto list = must(catalog_descriptors(catalog));
  EXPECT_EQ((list)[0], (Descriptor{kText, 3, 250, 3, 1, 0}));
  std::string json;
  JsonWriter w(json);
  write_info(w, catalog_infos(catalog, 12)[0]);
  EXPECT_EQ(json, R"({"definition":{"name":"ix","table":"docs","id_column":"id","index":{"kind":"full_text","text_columns":["title","body"]}},)"
                  R"("document_count":3,"source_bytes":12,"persisted_bytes":250,"generation":1,"snapshot_transaction":12,)"
                  R"("health":"healthy","pending_write":false,"rebuild_count":0})");
}

}  // namespace
}  // namespace qm::persistent
