// Change records: any bytes decode (binary or the older JSON form) or are refused; what
// decodes encodes to a binary record and to feed JSON that both decode to the same record.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "journal/change_record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qm::journal;
  auto c = decode_change(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!c) return 0;
  c->schema_version = 1;  // the binary form does not carry it
  LimitedBytes out(uint64_t{1} << 32);
  if (!encode_change(out, *c)) std::abort();
  auto again = decode_change(out.bytes());
  if (!again || !(*again == *c)) std::abort();
  std::string json = changes_json({*c});
  auto from_json = decode_change(std::string_view(json).substr(1, json.size() - 2));
  if (!from_json || !(*from_json == *c)) std::abort();
  return 0;
}
