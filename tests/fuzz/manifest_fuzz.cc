// The catalog file: any bytes are read strictly or refused; what reads writes back to text
// that reads to the same catalog.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "table/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto manifest = qm::db::read_manifest_json(text);
  if (!manifest) return 0;
  std::string written = qm::db::write_manifest_json(*manifest);
  auto again = qm::db::read_manifest_json(written);
  if (!again || qm::db::write_manifest_json(*again) != written) std::abort();
  return 0;
}
