// The persisted full-text body: a header of four u32 (documents, distinct terms, token total,
// source-byte total), then every document by ascending id with its terms in ascending byte
// order. Postings are not stored; the decoder rebuilds them and checks every count against
// its limit and every total against the header, so a hostile body is refused before it can
// allocate beyond the limits.
#include <algorithm>
#include <cstring>

#include "core/utf8.h"
#include "core/byte_codec.h"
#include "search/search_index.h"

namespace qm::search {

using persistent::corrupt;

namespace {
constexpr size_t kMaxTermEntries = 1048576;
constexpr uint32_t kMaxDocTokens = 65536;
constexpr uint32_t kMaxEncodedTermBytes = 384;  // a 128-byte piece may grow when lower-cased
}  // namespace

Result<std::string> SearchIndex::encode_persistent() const {
  persistent::Encoder e;
  e.reserve(persistent_size());
  QM_TRY(encode_persistent_into(e));
  return e.take();
}

Result<void> SearchIndex::encode_persistent_into(persistent::Encoder& e) const {
  if (term_entries_ > kMaxTermEntries) return fail(QmError::resource_limit("persistent text term-entry limit exceeded"));
  QM_TRY(e.count(documents_.size()));
  QM_TRY(e.count(postings_.size()));
  QM_TRY(e.count(total_tokens_));
  QM_TRY(e.count(total_source_bytes_));
  for (const auto& [id, doc] : documents_) {
    if (!doc.encoded.empty()) {
      QM_TRY(e.put(doc.encoded));
      continue;
    }
    QM_TRY(e.i64(id));
    QM_TRY(e.count(doc.token_count));
    QM_TRY(e.count(doc.source_bytes));
    QM_TRY(e.count(doc.terms.size()));
    for (const auto& [ref, freq] : doc.terms) {
      QM_TRY(e.count(ref->first.size()));
      QM_TRY(e.put(ref->first));
      QM_TRY(e.count(freq));
    }
  }
  return {};
}

Result<bool> SearchIndex::persistent_equals(std::span<const uint8_t> bytes) const {
  const bool all_kept = std::all_of(documents_.begin(), documents_.end(), [](const auto& d) { return !d.second.encoded.empty(); });
  if (!all_kept || total_tokens_ > UINT32_MAX || total_source_bytes_ > UINT32_MAX) {
    QM_ASSIGN(std::string body, encode_persistent());
    return std::equal(body.begin(), body.end(), bytes.begin(), bytes.end(),
                      [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; });
  }
  if (term_entries_ > kMaxTermEntries) return fail(QmError::resource_limit("persistent text term-entry limit exceeded"));
  if (persistent_size() > persistent::kMaxEncodedBytes) {
    QM_TRY(encode_persistent());  // names the limit
  }
  if (bytes.size() != persistent_size()) return false;
  persistent::Encoder head;
  QM_TRY(head.count(documents_.size()));
  QM_TRY(head.count(postings_.size()));
  QM_TRY(head.count(total_tokens_));
  QM_TRY(head.count(total_source_bytes_));
  auto same = [&bytes](size_t at, std::string_view piece) { return std::memcmp(bytes.data() + at, piece.data(), piece.size()) == 0; };
  if (!same(0, head.bytes())) return false;
  size_t at = head.size();
  for (const auto& [id, doc] : documents_) {
    if (!same(at, doc.encoded)) return false;
    at += doc.encoded.size();
  }
  return true;
}

void SearchIndex::encode_document(std::string& out, int64_t id, uint64_t token_count, uint64_t source_bytes,
                                  std::span<const std::pair<std::string_view, uint32_t>> terms) {
  out.clear();
  if (token_count > UINT32_MAX || source_bytes > UINT32_MAX || terms.size() > UINT32_MAX) return;
  size_t size = 20;
  for (const auto& [term, freq] : terms) size += 8 + term.size();
  out.resize(size);
  char* at = out.data();
  auto put = [&at](const void* bytes, size_t n) {
    std::memcpy(at, bytes, n);
    at += n;
  };
  auto put_u32 = [&put](uint64_t v) {
    const auto narrow = static_cast<uint32_t>(v);
    put(&narrow, 4);
  };
  put(&id, 8);
  put_u32(token_count);
  put_u32(source_bytes);
  put_u32(terms.size());
  for (const auto& [term, freq] : terms) {
    put_u32(term.size());
    put(term.data(), term.size());
    put_u32(freq);
  }
}

Result<SearchIndex> SearchIndex::decode_persistent(std::span<const uint8_t> bytes) {
  if (bytes.size() > persistent::kMaxEncodedBytes) return fail(corrupt("encoded index exceeds 32 MiB"));
  persistent::Decoder d(bytes);
  QM_ASSIGN(uint32_t doc_count, d.count(kMaxDocuments));
  QM_ASSIGN(uint32_t term_count, d.count(kMaxIndexTerms));
  QM_ASSIGN(uint32_t token_total, d.count(kMaxSourceBytes));
  QM_ASSIGN(uint32_t source_total, d.count(kMaxSourceBytes));
  SearchIndex index;
  index.keep_encoded();
  uint64_t tokens_seen = 0, sources_seen = 0;
  size_t entries = 0;
  std::vector<std::pair<std::string_view, uint32_t>> terms;
  for (uint32_t i = 0; i < doc_count; ++i) {
    QM_ASSIGN(int64_t id, d.i64());
    if (i > 0 && id <= index.documents_.rbegin()->first) return fail(corrupt("text IDs are not strictly ordered"));
    QM_ASSIGN(uint32_t token_count, d.count(kMaxDocTokens));
    QM_ASSIGN(uint32_t source_bytes, d.count(kMaxDocumentBytes));
    QM_ASSIGN(uint32_t distinct, d.count(kMaxDocumentTerms));
    entries += distinct;
    if (source_bytes < token_count || entries > kMaxTermEntries) return fail(corrupt("text document budget or length mismatch"));
    terms.clear();
    uint64_t frequency_sum = 0;
    for (uint32_t t = 0; t < distinct; ++t) {
      QM_ASSIGN(uint32_t len, d.count(kMaxEncodedTermBytes));
      if (len == 0) return fail(corrupt("empty encoded token"));
      QM_ASSIGN(auto raw, d.take(len));
      std::string_view term(reinterpret_cast<const char*>(raw.data()), raw.size());
      if (!is_valid_utf8(term)) return fail(corrupt("token is not UTF-8"));
      if (!terms.empty() && !(terms.back().first < term)) return fail(corrupt("tokens are not strictly ordered"));
      QM_ASSIGN(uint32_t freq, d.count(kMaxDocTokens));
      frequency_sum += freq;
      if (freq == 0 || frequency_sum > token_count) return fail(corrupt("invalid token frequency"));
      if (index.postings_.size() >= kMaxIndexTerms && !index.postings_.contains(term))
        return fail(corrupt("corpus term limit"));
      terms.emplace_back(term, freq);
      // Register the term now so the limit above sees it for the next term.
      if (!index.postings_.contains(term)) index.postings_.emplace(std::string(term), std::vector<Posting>{});
    }
    if (frequency_sum != token_count) return fail(corrupt("document token total mismatch"));
    tokens_seen += token_count;
    sources_seen += source_bytes;
    if (tokens_seen > token_total || sources_seen > source_total) return fail(corrupt("text corpus total mismatch"));
    index.insert_document(id, terms, token_count, source_bytes);
  }
  QM_TRY(d.finish());
  if (index.postings_.size() != term_count || index.total_tokens_ != token_total || index.total_source_bytes_ != source_total)
    return fail(corrupt("text corpus metadata mismatch"));
  return index;
}

}  // namespace qm::search
