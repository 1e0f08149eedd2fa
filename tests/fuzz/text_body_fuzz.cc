// The persisted full-text body: the strict decoder refuses or yields an index whose encoding
// is the input again and which answers a search over its own first term.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "search/search_index.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto index = qm::search::SearchIndex::decode_persistent(std::span<const uint8_t>(data, size));
  if (!index) return 0;
  auto again = index->encode_persistent();
  if (!again || again->size() != size || std::memcmp(again->data(), data, size) != 0) std::abort();
  if (!index->documents().empty()) {
    const auto& doc = index->documents().begin()->second;
    if (!doc.terms.empty()) {
      std::string term = doc.terms.front().first->first;
      auto hits = index->search(term.substr(0, 1024), 10);
      (void)hits;
      std::vector<int64_t> allowed = {index->documents().begin()->first};
      auto filtered = index->search_filtered(term.substr(0, 1024), 10, allowed);
      (void)filtered;
    }
  }
  return 0;
}
