// A retrieval request text run end to end over fixed rows with a named index of each kind:
// any text yields an answer or an error, never a crash, a hang or a runaway allocation.
#include <cstdint>
#include <string_view>

#include "retrieval/retrieve.h"

namespace {

class Rows : public qm::retrieval::RetrievalSource {
 public:
  Rows() {
    qm::RowsResult rows;
    rows.columns = {"id", "body", "emb"};
    const char* texts[] = {"alpha beta", "beta gamma", "Gamma DELTA alpha", ""};
    const char* vectors[] = {"[1,0]", "[0,1]", "[1,1]", "[-1,0.5]"};
    for (int i = 0; i < 4; ++i)
      rows.rows.push_back({qm::Value::integer(i + 1), qm::Value::text(texts[i]), qm::Value::text(vectors[i])});
    selection_.table = "docs";
    selection_.result = rows;
    selection_.current_rows = true;
    using namespace qm::retrieval;
    for (const RetrievalIndexDefinition& def : {RetrievalIndexDefinition{"ix", "docs", "id", FullTextKind{{"body"}}},
                                                RetrievalIndexDefinition{"vx", "docs", "id", VectorKind{"emb", RetrievalMetric::Cosine, 2}}}) {
      auto entry = qm::persistent::CatalogEntry::create(def, 1, true);
      for (const auto& r : rows.rows) (void)entry->add(*qm::persistent::prepare(def, rows.columns, r));
      catalog_.emplace(def.name, std::move(*entry));
    }
  }
  qm::Result<qm::retrieval::Selection> select(std::string_view, std::span<const qm::Value>,
                                             const qm::retrieval::RetrievalControl&) override {
    return selection_;
  }
  const qm::persistent::Catalog& catalog() const override { return catalog_; }

 private:
  qm::retrieval::Selection selection_;
  qm::persistent::Catalog catalog_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Rows rows;
  auto control = qm::retrieval::RetrievalControl::make({}, nullptr, std::nullopt);
  auto r = qm::retrieval::retrieve_json(std::string_view(reinterpret_cast<const char*>(data), size), control, rows);
  (void)r;
  return 0;
}
