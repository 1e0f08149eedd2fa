// Stored CHECK predicates: reading any bytes never crashes, and what reads back writes and
// reads again to the same tree.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/json_reader.h"
#include "sql/predicate_json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto doc = qm::parse_json(text);
  if (!doc) return 0;
  auto pred = qm::sql::predicate_from_json(*doc);
  if (!pred) return 0;
  std::string out;
  qm::JsonWriter w(out);
  qm::sql::write_predicate_json(w, *pred);
  auto again = qm::parse_json(out);
  if (!again) std::abort();
  auto pred2 = qm::sql::predicate_from_json(*again);
  if (!pred2 || !(*pred2 == *pred)) std::abort();
  return 0;
}
