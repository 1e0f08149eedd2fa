// The catalog file: any bytes are read strictly or refused; what reads writes back to text
// that reads to the same catalog; and the workspace open's one-pass reader gives the same
// catalog and indexes, or the same refusal text, as the document reader.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "table/manifest.h"
#include "table/manifest_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto manifest = qm::db::read_manifest_json(text);
  auto one_pass = qm::db::read_manifest_with_indexes(text);
  if (manifest.has_value() != one_pass.has_value()) std::abort();
  if (!manifest) {
    if (manifest.error().message() != one_pass.error().message()) std::abort();
    return 0;
  }
  // The one-pass catalog with its indexes written back as pairs is the document reader's.
  qm::db::Manifest rebuilt = one_pass->manifest;
  if (one_pass->indexes.size() != rebuilt.tables.size()) std::abort();
  for (size_t t = 0; t < rebuilt.tables.size(); ++t)
    for (const auto& stored : one_pass->indexes[t])
      rebuilt.tables[t].indexes.push_back({stored.column, stored.index.to_pairs()});
  qm::db::Manifest merged = *manifest;
  for (auto& t : merged.tables)
    for (auto& stored : t.indexes)
      stored.pairs = qm::storage::SecondaryIndex::from_pairs(std::move(stored.pairs)).to_pairs();
  std::string written = qm::db::write_manifest_json(*manifest);
  if (qm::db::write_manifest_json(rebuilt) != qm::db::write_manifest_json(merged)) std::abort();
  auto again = qm::db::read_manifest_json(written);
  if (!again || qm::db::write_manifest_json(*again) != written) std::abort();
  return 0;
}
