// The two small JSON documents of the page journal: the `Header` an active journal is
// written with, and `ManifestMeta`, the few keys of the workspace manifest the commit log
// reads (the rest is skipped). Both readers are strict (a key given twice, a required key
// missing or a wrong type is refused), depth-limited like the manifest, and report every
// refusal as a Manifest error with the JSON reader's text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"

namespace qm::journal {

struct Header {
  uint64_t sequence = 0;    // the sequence the journal commits as
  uint64_t before_tx = 0;   // the manifest's clock at begin
  uint64_t page_count = 0;  // the manifest's page count at begin
  friend bool operator==(const Header&, const Header&) = default;
};

struct ManifestMeta {
  uint64_t page_count = 0;
  uint16_t format_version = 0;  // 0 when absent
  std::optional<uint64_t> commit_sequence;
  uint64_t clock = 0;
  std::vector<std::string> cas_hashes;
  std::optional<bool> logged_workspace;
};

// {"sequence":..,"before_tx":..,"page_count":..}
std::string header_json(const Header& h);
Result<Header> read_header(std::string_view text);
Result<ManifestMeta> read_manifest_meta(std::string_view text);

}  // namespace qm::journal
