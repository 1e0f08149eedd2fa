// Stored records: any bytes decode or fail cleanly; what decodes re-encodes to a record
// that decodes to the same values; a row splits exactly as it decodes.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "storage/cas_store.h"
#include "storage/record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static qm::storage::CasStore store = [] {
    auto s = qm::storage::CasStore::new_memory();
    (void)s.put(std::string_view("a blob value that lives in the store"));
    return s;
  }();
  std::span<const uint8_t> bytes(data, size);
  // Splitting a row (the scan's check) meets the same first fault as decoding it, and its
  // fields load to the decoded values.
  {
    static std::vector<qm::storage::record::Field> fields;
    static qm::Value loaded;
    auto split = qm::storage::record::split_row(bytes, store, fields);
    auto row = qm::storage::record::decode_row(bytes, store);
    if (bool(split) != bool(row)) std::abort();
    if (!split && split.error().message() != row.error().message()) std::abort();
    if (row) {
      if (fields.size() != row->size()) std::abort();
      for (size_t i = 0; i < fields.size(); ++i) {
        qm::storage::record::load_field(fields[i], loaded);
        if (loaded != (*row)[i] || loaded.kind() != (*row)[i].kind()) std::abort();
      }
    }
  }
  // A refused record is reported as damage or a missing blob, and leaves nothing partial in
  // the reused row.
  static qm::Row out{qm::Value::text("left from the previous input")};
  if (auto r = qm::storage::record::decode_record_into(bytes, store, out); !r) {
    const auto k = r.error().kind;
    if (k != qm::ErrorKind::Corruption && k != qm::ErrorKind::CasMiss && k != qm::ErrorKind::BufferTooSmall) std::abort();
    if (!out.empty()) std::abort();
  }
  auto decoded = qm::storage::record::decode_record(bytes, store);
  if (!decoded) return 0;
  if (out != decoded->second) std::abort();
  auto again = qm::storage::record::encode_record(decoded->first, decoded->second, store);
  if (!again) return 0;
  auto round = qm::storage::record::decode_record(qm::as_bytes(*again), store);
  if (!round || round->second != decoded->second) std::abort();
  return 0;
}
