// Report JSON; see import_report.h.
#include "migrate/import_report.h"

#include "core/json_writer.h"

namespace qm::migrate {
namespace {

void write_list(JsonWriter& w, std::string_view key, const std::vector<std::string>& items) {
  w.key(key).begin_array();
  for (const std::string& item : items) w.string(item);
  w.end_array();
}

}  // namespace

std::string report_to_json(const ImportReport& report) {
  std::string out;
  JsonWriter w(out);
  w.begin_object();
  write_list(w, "errors", report.errors);
  w.key("executed").uint64(report.executed);
  write_list(w, "skipped", report.skipped);
  w.end_object();
  return out;
}

}  // namespace qm::migrate
