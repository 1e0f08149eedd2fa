// Parameter JSON as a host sends it: any bytes must convert or fail with a text.
#include <cstdint>
#include <string_view>

#include "core/params_json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto values = qm::json_params_to_values("qm_query_params", text);
  auto sets = qm::json_param_sets(text);
  (void)values;
  (void)sets;
  return 0;
}
