// The report of a dump import: how many statements ran, and one line per statement that
// was skipped or failed ("{reason or error}: {preview}"), each list in dump order. A dump
// that cannot be split has exactly the splitter's message as its one error.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qm::migrate {

struct ImportReport {
  uint64_t executed = 0;
  std::vector<std::string> skipped;
  std::vector<std::string> errors;
};

// Compact JSON, keys sorted: {"errors":[...],"executed":n,"skipped":[...]}.
std::string report_to_json(const ImportReport& report);

}  // namespace qm::migrate
