#include "db/retrieval_catalog.h"

#include <algorithm>

#include "core/bytes.h"
#include "core/fs.h"
#include "table/query_budget.h"
#include "table/chain_scan.h"
#include "core/byte_codec.h"
#include "retrieval/index_envelope.h"

namespace qm::db {
namespace {

using persistent::corrupt;

// The id column, then the indexed columns in their declared order.
std::vector<std::string> definition_columns(const persistent::RetrievalIndexDefinition& d) {
  std::vector<std::string> out{d.id_column};
  if (const auto* ft = std::get_if<retrieval::FullTextKind>(&d.kind))
    out.insert(out.end(), ft->text_columns.begin(), ft->text_columns.end());
  else
    out.push_back(std::get<retrieval::VectorKind>(d.kind).vector_column);
  return out;
}

}  // namespace

Result<std::vector<persistent::Descriptor>> retrieval_descriptors_of(const Manifest& m) {
  if (m.retrieval_indexes.empty()) return std::vector<persistent::Descriptor>{};
  if (m.retrieval_indexes.size() > persistent::kMaxDescriptors)
    return fail(corrupt("too many catalog definitions"));
  JsonNode list;
  list.type = JsonNode::Type::Array;
  list.items = m.retrieval_indexes;
  auto read = persistent::read_descriptors(list);
  if (!read) return fail(QmError::manifest(read.error()));
  std::vector<persistent::CasExtent> extents(m.cas_dir.begin(), m.cas_dir.end());
  QM_TRY(persistent::validate_descriptors(*read, m.clock, m.cas_hashes.size(), extents));
  return std::move(*read);
}

Result<void> preflight_retrieval_blobs(const std::string& dir, const Manifest& m) {
  QM_ASSIGN(auto descriptors, retrieval_descriptors_of(m));
  for (const auto& d : descriptors) {
    const std::string& name = d.definition.name;
    if (d.cas_id >= m.cas_hashes.size()) return fail(corrupt("missing retrieval CAS hash"));
    const std::string& hex = m.cas_hashes[d.cas_id];
    bool hex_ok = hex.size() == 64;
    for (char c : hex) hex_ok = hex_ok && std::isxdigit(static_cast<unsigned char>(c));
    if (!hex_ok) return fail(corrupt("invalid retrieval CAS hash"));
    auto st = fs::get().lstat(storage::cas::blob_path(dir, hex));
    if (!st) return fail(corrupt(name + ": " + st.error().message()));
    if (!*st) return fail(corrupt(name + " blob is missing"));
    if ((*st)->kind != fs::EntryKind::Regular || (*st)->size != d.encoded_bytes)
      return fail(corrupt(name + " blob/descriptor size mismatch"));
  }
  return {};
}

Result<persistent::CatalogEntry> build_retrieval_entry(storage::PageCache& cache, const storage::CasStore& cas,
                                                       const TableMap& tables,
                                                       const persistent::RetrievalIndexDefinition& definition,
                                                       uint64_t snapshot) {
  QM_TRY(definition.validate());
  auto t = tables.find(definition.table);
  if (t == tables.end()) return fail(QmError::table_not_found(definition.table));
  const Table& table = t->second;
  for (const std::string& c : definition_columns(definition))
    if (!table.column_position(c)) return fail(QmError::schema("no column `" + c + "`"));
  // Only a workspace publishes its indexes after every change.
  const bool keep_encoded = cache.backend().kind() == storage::Backend::Kind::Workspace;
  QM_ASSIGN(persistent::CatalogEntry entry, persistent::CatalogEntry::create(definition, snapshot, keep_encoded));
  QueryBudget budget(kRetrievalCaps);
  QM_TRY(scan(cache, table, cas, [&](const RecordVersion& version) -> Result<void> {
    QM_TRY(budget.scan_row());
    if (!version.visible(snapshot)) return {};
    QM_ASSIGN(persistent::PreparedDocument doc, persistent::prepare(definition, table.columns, version.values));
    return entry.add(doc);
  }));
  QM_TRY(budget.checkpoint());
  return entry;
}

namespace {

// One descriptor's index, rebuilt from its table at `clock` and verified against its envelope.
Result<persistent::CatalogEntry> load_retrieval_entry(storage::PageCache& cache, const storage::CasStore& cas,
                                                      const TableMap& tables, uint64_t clock,
                                                      const persistent::Descriptor& d) {
  const std::string& name = d.definition.name;
  auto blob = cas.get(d.cas_id);
  if (!blob) return fail(corrupt(blob.error().message()));
  QM_ASSIGN(persistent::EnvelopeHead env, persistent::read_envelope_head(*blob));
  auto built = build_retrieval_entry(cache, cas, tables, d.definition, clock);
  if (!built) {
    QM_TRY(persistent::decode_envelope(*blob));  // a damaged body is named first
    return fail(corrupt(name + ": " + built.error().message()));
  }
  persistent::CatalogEntry entry = std::move(*built);
  // The rebuilt body is compared with the stored bytes as it would be written, one
  // document's encoding after another, never written out whole.
  auto equal = entry.data().body_equals(env.body);
  if (!equal) {
    QM_TRY(persistent::decode_envelope(*blob));
    return fail(corrupt(name + ": " + equal.error().message()));
  }
  // Stored bytes equal to the rebuilt body are its canonical encoding: they decode to the
  // same index, so only a differing body is decoded (to name a damaged one) and encoded again.
  bool same_body = *equal;
  if (!same_body) {
    QM_ASSIGN(persistent::DecodedEnvelope decoded, persistent::decode_envelope(*blob));
    auto stored = decoded.data.body();
    if (!stored) return fail(corrupt(name + ": " + stored.error().message()));
    QM_ASSIGN(std::string body, entry.data().body());
    same_body = body == *stored;
  }
  const bool agrees = env.definition == d.definition && env.generation == d.generation &&
                      d.document_count == entry.sources().size() && blob->size() == d.encoded_bytes &&
                      env.source_digest == entry.source_digest() && same_body;
  if (!agrees) return fail(corrupt(name + " is stale or disagrees with its authoritative table"));
  entry.adopt(d);
  return entry;
}

}  // namespace

Result<persistent::Catalog> load_retrieval_catalog(storage::PageCache& cache, const storage::CasStore& cas,
                                                   const TableMap& tables, const Manifest& m) {
  persistent::Catalog catalog;
  QM_ASSIGN(auto descriptors, retrieval_descriptors_of(m));
  for (const persistent::Descriptor& d : descriptors) {
    QM_ASSIGN(persistent::CatalogEntry entry, load_retrieval_entry(cache, cas, tables, m.clock, d));
    catalog.emplace(d.definition.name, std::move(entry));
  }
  return catalog;
}

Result<persistent::Catalog> follow_retrieval_catalog(storage::PageCache& cache, const storage::CasStore& cas,
                                                     const TableMap& tables, const Manifest& m,
                                                     persistent::Catalog& known, const ChangedTables& changed) {
  QM_ASSIGN(auto descriptors, retrieval_descriptors_of(m));
  auto keeps = [&](const persistent::Descriptor& d) {
    auto it = known.find(d.definition.name);
    if (it == known.end() || changed.contains(d.definition.table)) return false;
    const persistent::CatalogEntry& entry = it->second;
    return entry.persisted() && *entry.persisted() == d && !entry.pending_write() && !entry.deferred() &&
           !entry.undo_active();
  };
  // Every index to load again is loaded before a kept one leaves `known`.
  std::map<std::string, persistent::CatalogEntry> loaded;
  for (const persistent::Descriptor& d : descriptors) {
    if (keeps(d)) continue;
    QM_ASSIGN(persistent::CatalogEntry entry, load_retrieval_entry(cache, cas, tables, m.clock, d));
    loaded.emplace(d.definition.name, std::move(entry));
  }
  persistent::Catalog catalog;
  for (const persistent::Descriptor& d : descriptors) {
    const std::string& name = d.definition.name;
    auto fresh = loaded.find(name);
    catalog.emplace(name, fresh != loaded.end() ? std::move(fresh->second) : std::move(known.find(name)->second));
  }
  return catalog;
}

namespace {

Result<void> encode_into_store(persistent::CatalogEntry& entry, storage::CasStore& cas) {
  QM_ASSIGN(persistent::HashedEnvelope envelope, entry.encode_hashed());
  const uint64_t size = envelope.bytes.size();
  // The slot of the envelope it supersedes is reused when nothing else shares it.
  QM_ASSIGN(uint64_t cas_id, cas.replace(entry.persisted() ? entry.persisted()->cas_id : UINT64_MAX,
                                         std::move(envelope.bytes), envelope.digest));
  entry.mark_published(cas_id, size);
  return {};
}

}  // namespace

Result<void> publish_retrieval(persistent::Catalog& catalog, storage::CasStore& cas, bool defer) {
  for (auto& [name, entry] : catalog) {
    if (entry.pending_write()) {
      // Deferred only where encoding would overwrite the entry's own slot.
      if (defer && entry.persisted() && cas.replaceable(entry.persisted()->cas_id) && entry.defer_publication()) continue;
      QM_TRY(encode_into_store(entry, cas));
    } else if (entry.deferred() && !defer) {
      QM_TRY(encode_into_store(entry, cas));
    }
  }
  return {};
}

Result<void> settle_deferred(const persistent::CatalogEntry& entry, storage::CasStore& cas) {
  if (!entry.deferred()) return {};
  persistent::CatalogEntry published = entry;
  if (published.pending_write()) published.undo();
  return encode_into_store(published, cas);
}

Result<void> resolve_deferred_retrieval(persistent::Catalog& catalog, storage::CasStore& cas) {
  for (auto& [name, entry] : catalog)
    if (entry.deferred() && !entry.pending_write()) QM_TRY(encode_into_store(entry, cas));
  return {};
}

Result<std::vector<JsonNode>> retrieval_manifest_nodes(const persistent::Catalog& catalog) {
  QM_ASSIGN(auto descriptors, persistent::catalog_descriptors(catalog));
  std::vector<JsonNode> nodes;
  nodes.reserve(descriptors.size());
  for (const auto& d : descriptors) {
    std::string text;
    JsonWriter w(text);
    persistent::write_descriptor(w, d);
    auto node = parse_json(text);
    if (!node) return fail(QmError::manifest(node.error()));
    nodes.push_back(std::move(*node));
  }
  return nodes;
}

}  // namespace qm::db
