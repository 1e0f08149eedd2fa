#include "retrieval/catalog_entry.h"

#include <cmath>

#include "core/json_reader.h"
#include "core/value_json.h"
#include "core/byte_codec.h"
#include "retrieval/index_envelope.h"
#include "retrieval/definition_json.h"
#include "retrieval/json_fields.h"

namespace qm::persistent {
namespace {

constexpr std::string_view kDigestDomain{"quilmarr-retrieval-source-v1\0", 29};

size_t find_column(std::span<const std::string> columns, std::string_view name) {
  for (size_t i = 0; i < columns.size(); ++i)
    if (columns[i] == name) return i;
  return SIZE_MAX;
}

Result<size_t> indexed_position(std::span<const std::string> columns, std::span<const Value> row, std::string_view name) {
  size_t at = find_column(columns, name);
  if (at == SIZE_MAX) return fail(QmError::schema("missing retrieval column `" + std::string(name) + "`"));
  if (at >= row.size()) return fail(QmError::schema("incomplete retrieval row"));
  return at;
}

}  // namespace

Result<std::vector<float>> bounded_vector(std::string_view text, uint64_t dimensions) {
  auto node = parse_json(text, 2);
  if (!node) return fail(QmError::schema(node.error()));
  if (!node->is_array()) return fail(QmError::schema(retrieval::invalid_type(*node, "a sequence containing at most 4096 entries")));
  if (node->items.size() > vector::kMaxDimensions) return fail(QmError::schema("persistent retrieval sequence exceeds its limit"));
  std::vector<float> out;
  out.reserve(node->items.size());
  for (const auto& item : node->items) {
    switch (item.type) {
      case JsonNode::Type::Int: out.push_back(static_cast<float>(item.int_value)); break;
      case JsonNode::Type::Uint: out.push_back(static_cast<float>(item.uint_value)); break;
      case JsonNode::Type::Float: out.push_back(static_cast<float>(item.float_value)); break;
      default: return fail(QmError::schema(retrieval::invalid_type(item, "f32")));
    }
  }
  if (out.size() != dimensions) return fail(QmError::schema("vector dimensions differ from the index declaration"));
  return out;
}

Result<PreparedDocument> prepare(const RetrievalIndexDefinition& definition, std::span<const std::string> columns,
                                 std::span<const Value> row) {
  PreparedDocument doc;
  size_t id_at = find_column(columns, definition.id_column);
  if (id_at == SIZE_MAX) return fail(QmError::schema("missing retrieval column `" + definition.id_column + "`"));
  if (id_at >= row.size() || !row[id_at].is_int())
    return fail(QmError::schema("persistent retrieval IDs must be unique signed integers"));
  doc.id = row[id_at].as_int();

  // The source JSON: [id, [indexed values in column order]], hashed as written. It lives
  // only until it is hashed, so one buffer per thread serves every row.
  thread_local std::string source;
  source.clear();
  JsonWriter w(source);
  w.begin_array().int64(doc.id).begin_array();
  if (const auto* v = std::get_if<retrieval::VectorKind>(&definition.kind)) {
    QM_ASSIGN(size_t at, indexed_position(columns, row, v->vector_column));
    const Value& cell = row[at];
    if (!cell.is_text()) return fail(QmError::schema("vectors must be JSON arrays in TEXT"));
    if (cell.bytes().size() > kMaxVectorTextBytes) return fail(QmError::resource_limit("encoded vector exceeds 64 KiB"));
    QM_ASSIGN(auto values, bounded_vector(cell.bytes(), v->dimensions));
    bool nonzero = false;
    for (float x : values) {
      if (!std::isfinite(x)) return fail(QmError::schema("vectors must be finite and cosine vectors nonzero"));
      nonzero |= x != 0.0f;
    }
    if (v->metric == retrieval::RetrievalMetric::Cosine && !nonzero)
      return fail(QmError::schema("vectors must be finite and cosine vectors nonzero"));
    doc.vector = std::move(values);
    doc.bytes = cell.bytes().size();
    write_value_json(w, cell);
  } else {
    const auto& cols = std::get<retrieval::FullTextKind>(definition.kind).text_columns;
    thread_local std::vector<size_t> positions;
    positions.clear();
    size_t cells = 0;
    for (const auto& name : cols) {
      QM_ASSIGN(size_t at, indexed_position(columns, row, name));
      positions.push_back(at);
      cells += row[at].is_text() ? row[at].bytes().size() : 0;
    }
    std::string text;
    text.reserve(cells + positions.size());
    for (size_t at : positions) {
      const Value& cell = row[at];
      std::string_view piece;
      if (cell.is_text()) {
        piece = cell.bytes();
      } else if (!cell.is_null()) {
        return fail(QmError::schema("full-text columns must be TEXT or NULL"));
      }
      if (text.size() + piece.size() >= search::kMaxDocumentBytes)
        return fail(QmError::resource_limit("full-text document exceeds 64 KiB"));
      text.append(piece);
      text.push_back(' ');
      write_value_json(w, cell);
    }
    doc.bytes = text.size();
    doc.text = std::move(text);
  }
  w.end_array().end_array();
  doc.hash = blake3(source);
  return doc;
}

Result<CatalogEntry> CatalogEntry::create(const RetrievalIndexDefinition& definition, uint64_t clock,
                                          bool keep_encoded) {
  QM_ASSIGN(IndexData data, IndexData::create(definition, keep_encoded));
  return CatalogEntry(std::move(data), definition, clock);
}

Result<void> CatalogEntry::add(const PreparedDocument& doc) {
  // Builds add ascending ids: the end is then the place, and no search is needed.
  const bool at_end = sources_.empty() || sources_.rbegin()->first < doc.id;
  if (!at_end && sources_.contains(doc.id)) return fail(QmError::schema("duplicate persistent retrieval ID"));
  uint64_t sum;
  if (__builtin_add_overflow(source_bytes_, doc.bytes, &sum)) return fail(corrupt("source byte overflow"));
  uint64_t budget = data_.vector ? kVectorSourceBudget : search::kMaxSourceBytes;
  if (sources_.size() >= kMaxIndexDocuments || sum > budget)
    return fail(QmError::resource_limit("persistent retrieval source budget exceeded"));
  if (data_.text && doc.text) {
    auto r = data_.text->upsert(doc.id, *doc.text);
    if (!r) return fail(QmError::schema(search::to_string(r.error())));
  } else if (data_.vector && doc.vector) {
    auto r = data_.vector->upsert(doc.id, *doc.vector);
    if (!r) return fail(QmError::schema(vector::to_string(r.error())));
  } else {
    return fail(corrupt("index data and document kind disagree"));
  }
  sources_.emplace_hint(at_end ? sources_.end() : sources_.lower_bound(doc.id), doc.id, SourceDocument{doc.hash, doc.bytes});
  ids_stale_ = true;
  if (undo_) undo_->steps.push_back(UndoStep{true, doc.id, std::nullopt, std::nullopt, std::nullopt});
  source_bytes_ = sum;
  pending_write_ = true;
  return {};
}

Result<void> CatalogEntry::remove_document(const PreparedDocument& doc) {
  const int64_t id = doc.id;
  if (data_.text) {
    if (!data_.text->remove(id)) return fail(corrupt("missing text document"));
  } else if (data_.vector) {
    if (!data_.vector->remove(id)) return fail(corrupt("missing vector document"));
  } else {
    return fail(corrupt("index data is unavailable"));
  }
  auto it = sources_.find(id);
  if (undo_) {
    undo_->steps.push_back(UndoStep{false, id, std::nullopt, doc.text, doc.vector});
    if (it != sources_.end()) undo_->steps.back().source = it->second;
  }
  if (it == sources_.end()) return fail(corrupt("missing mutation source"));
  if (source_bytes_ < it->second.bytes) return fail(corrupt("source byte underflow"));
  source_bytes_ -= it->second.bytes;
  sources_.erase(it);
  ids_stale_ = true;
  return {};
}

void CatalogEntry::begin_undo() {
  UndoLog log;
  log.persisted = persisted_;
  log.generation = generation_;
  log.rebuild_count = rebuild_count_;
  log.source_bytes = source_bytes_;
  log.pending_write = pending_write_;
  log.deferred = deferred_;
  undo_ = std::move(log);
}

void CatalogEntry::undo() {
  if (!undo_) return;
  UndoLog log = std::move(*undo_);
  undo_.reset();
  // Newest first: every step is undone over the state it left, so each put-back document
  // was a document of the index before, and fits its budgets again.
  for (auto step = log.steps.rbegin(); step != log.steps.rend(); ++step) {
    if (step->added) {
      if (data_.text) (void)data_.text->remove(step->id);
      if (data_.vector) (void)data_.vector->remove(step->id);
      sources_.erase(step->id);
    } else {
      if (data_.text && step->text) (void)data_.text->upsert(step->id, *step->text);
      if (data_.vector && step->vector) (void)data_.vector->upsert(step->id, *step->vector);
      if (step->source) sources_.insert_or_assign(step->id, *step->source);
    }
  }
  persisted_ = std::move(log.persisted);
  generation_ = log.generation;
  rebuild_count_ = log.rebuild_count;
  source_bytes_ = log.source_bytes;
  pending_write_ = log.pending_write;
  deferred_ = log.deferred;
  ids_stale_ = true;
}

const std::vector<int64_t>& CatalogEntry::sorted_ids() const {
  if (ids_stale_) {
    sorted_ids_.clear();
    sorted_ids_.reserve(sources_.size());
    for (const auto& [id, src] : sources_) sorted_ids_.push_back(id);
    ids_stale_ = false;
  }
  return sorted_ids_;
}

Result<void> CatalogEntry::apply(std::span<const std::string> columns, std::span<const Row> removed,
                                 std::span<const Row> added, uint64_t generation) {
  std::map<int64_t, PreparedDocument> gone, fresh;
  for (const Row& row : removed) {
    QM_ASSIGN(PreparedDocument doc, prepare(definition_, columns, row));
    auto src = sources_.find(doc.id);
    if (src == sources_.end() || src->second.hash != doc.hash || src->second.bytes != doc.bytes || gone.contains(doc.id))
      return fail(corrupt("mutation source does not match the current index"));
    gone.emplace(doc.id, std::move(doc));
  }
  for (const Row& row : added) {
    QM_ASSIGN(PreparedDocument doc, prepare(definition_, columns, row));
    if (fresh.contains(doc.id)) return fail(QmError::schema("duplicate persistent retrieval ID"));
    fresh.emplace(doc.id, std::move(doc));
  }
  // A row whose indexed content is unchanged costs no index work.
  for (auto it = gone.begin(); it != gone.end();) {
    auto same = fresh.find(it->first);
    if (same != fresh.end() && same->second.hash == it->second.hash) {
      fresh.erase(same);
      it = gone.erase(it);
    } else {
      ++it;
    }
  }
  if (gone.empty() && fresh.empty()) return {};
  for (const auto& [id, doc] : gone) QM_TRY(remove_document(doc));
  for (const auto& [id, doc] : fresh) QM_TRY(add(doc));
  generation_ = generation;
  pending_write_ = true;
  return {};
}

Digest CatalogEntry::source_digest() const {
  Blake3Hasher h;
  h.update(kDigestDomain);
  // The 48-byte records go to the hasher many at a time, which lets it hash whole chunks
  // side by side instead of one record's block after another.
  constexpr size_t kRecord = 48, kBatch = 128;
  uint8_t buf[kRecord * kBatch];
  size_t filled = 0;
  for (const auto& [id, src] : sources_) {
    uint8_t* at = buf + filled;
    std::memcpy(at, &id, 8);
    std::memcpy(at + 8, src.hash.data(), 32);
    std::memcpy(at + 40, &src.bytes, 8);
    filled += kRecord;
    if (filled == sizeof buf) {
      h.update(std::span<const uint8_t>(buf, filled));
      filled = 0;
    }
  }
  if (filled) h.update(std::span<const uint8_t>(buf, filled));
  return h.finalize();
}

RetrievalIndexInfo CatalogEntry::info(uint64_t snapshot_transaction) const {
  RetrievalIndexInfo out;
  out.definition = definition_;
  out.document_count = sources_.size();
  out.source_bytes = source_bytes_;
  out.persisted_bytes = persisted_ ? persisted_->encoded_bytes : 0;
  out.generation = generation_;
  out.snapshot_transaction = snapshot_transaction;
  out.pending_write = pending_write_;
  out.rebuild_count = rebuild_count_;
  return out;
}

Result<std::string> CatalogEntry::encode() const {
  return encode_envelope(definition_, generation_, source_digest(), data_);
}

Result<HashedEnvelope> CatalogEntry::encode_hashed() const {
  return encode_envelope_hashed(definition_, generation_, source_digest(), data_);
}

void CatalogEntry::mark_published(uint64_t cas_id, uint64_t encoded_bytes) {
  persisted_ = Descriptor{definition_, cas_id, encoded_bytes, sources_.size(), generation_, rebuild_count_};
  pending_write_ = false;
  deferred_ = false;
}

bool CatalogEntry::defer_publication() {
  if (!persisted_) return false;
  // The envelope's length as encode() would write it: header, definition, digest, body,
  // trailer. Anything near a limit is encoded for real, which names the limit.
  uint64_t body;
  if (data_.text) {
    if (data_.text->term_entries() > 1048576) return false;
    body = data_.text->persistent_size();
  } else if (data_.vector) {
    body = 12 + data_.vector->size() * (8 + 4 * uint64_t{data_.vector->dimensions()});
  } else {
    return false;
  }
  const uint64_t definition = retrieval::definition_json(definition_).size();
  if (definition > retrieval::kMaxDefinitionJsonBytes) return false;
  const uint64_t total = kEnvelopeOverhead + definition + body;
  if (total > kMaxEncodedBytes - 64) return false;
  persisted_ = Descriptor{definition_, persisted_->cas_id, total, sources_.size(), generation_, rebuild_count_};
  pending_write_ = false;
  deferred_ = true;
  return true;
}

void CatalogEntry::adopt(const Descriptor& descriptor) {
  persisted_ = descriptor;
  generation_ = descriptor.generation;
  rebuild_count_ = descriptor.rebuild_count;
  pending_write_ = false;
}

Result<std::vector<Descriptor>> catalog_descriptors(const Catalog& catalog) {
  std::vector<Descriptor> out;
  for (const auto& [name, entry] : catalog) {
    if (entry.pending_write() || entry.deferred())
      return fail(corrupt("manifest cannot publish unencoded retrieval state"));
    if (!entry.persisted()) return fail(corrupt("missing retrieval descriptor"));
    out.push_back(*entry.persisted());
  }
  return out;
}

std::vector<RetrievalIndexInfo> catalog_infos(const Catalog& catalog, uint64_t clock) {
  std::vector<RetrievalIndexInfo> out;
  for (const auto& [name, entry] : catalog) out.push_back(entry.info(clock));
  return out;
}

}  // namespace qm::persistent
