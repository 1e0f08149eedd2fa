// SearchIndex: the in-memory inverted index behind full-text search, a BM25 ranking over
// small documents keyed by i64 ids.
//
// Invariants after every operation: a term's posting list holds id d exactly when document
// d holds the term, with the same frequency; no posting list is empty; a document's
// token_count is the sum of its term frequencies; the two totals are the sums over the
// documents. Documents iterate by ascending id, a document's terms by ascending bytes, and
// posting lists by ascending id: encodings, candidate walks and tie-breaks rely on it.
//
// Scores are reproducible bit for bit: the BM25 formula is evaluated in one fixed grouping
// and the per-term contributions are summed in a fixed order (rarest term first, equal
// document frequencies in ascending term order).
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/error.h"
#include "core/query_result.h"
#include "search/tokenizer.h"

namespace qm::persistent {
class Encoder;
}

namespace qm::search {

inline constexpr size_t kMaxDocumentBytes = 65536;
inline constexpr size_t kMaxDocuments = 10000;
inline constexpr size_t kMaxDocumentTerms = 4096;
inline constexpr size_t kMaxIndexTerms = 65536;
inline constexpr uint64_t kMaxSourceBytes = 8388608;
inline constexpr size_t kMaxQueryBytes = 1024;
inline constexpr size_t kMaxQueryTerms = 32;
inline constexpr size_t kMaxLimit = 100;
inline constexpr size_t kMaxAllowedIds = 10000;
inline constexpr size_t kMaxAdHocRows = 10000;
inline constexpr size_t kMaxAdHocColumns = 16;

enum class SearchError : uint8_t { Bounds, Input };
const char* to_string(SearchError e);

template <class T>
using SearchResult = std::expected<T, SearchError>;

struct SearchHit {
  int64_t id;
  double score;
  friend bool operator==(const SearchHit&, const SearchHit&) = default;
};

// Ids ascending and unique: the allowed set of a filtered search.
using IdSet = std::vector<int64_t>;

class SearchIndex {
 public:
  struct Posting {
    int64_t id;
    uint32_t frequency;
    uint32_t doc_tokens;  // the document's token_count, kept here so scoring needs no lookup
  };
  struct TermHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  using TermMap = std::unordered_map<std::string, std::vector<Posting>, TermHash, std::equal_to<>>;
  using TermRef = TermMap::value_type*;  // node addresses are stable under rehashing
  struct Document {
    std::vector<std::pair<TermRef, uint32_t>> terms;  // ascending term bytes
    uint64_t token_count = 0;
    uint64_t source_bytes = 0;
    // The document's part of the persisted body (id, counts, terms with their frequencies),
    // kept by an index that is persisted so that encoding it is one copy per document; empty
    // in an index that never is.
    std::string encoded;
  };

  SearchIndex() = default;
  SearchIndex(const SearchIndex& other);
  SearchIndex& operator=(const SearchIndex& other);
  SearchIndex(SearchIndex&&) noexcept = default;
  SearchIndex& operator=(SearchIndex&&) noexcept = default;

  // Documents added from now on keep their encoded form (see Document::encoded): for an
  // index that is encoded again after every change, not for an ad-hoc one.
  void keep_encoded() { keep_encoded_ = true; }

  // Adds the document or replaces the one with this id; on failure nothing changes.
  SearchResult<void> upsert(int64_t id, std::string_view text);
  bool remove(int64_t id);
  SearchResult<std::vector<SearchHit>> search(std::string_view query, size_t limit) const;
  // Search restricted to `allowed` (ascending, unique), ranked with that subset's statistics.
  SearchResult<std::vector<SearchHit>> search_filtered(std::string_view query, size_t limit, std::span<const int64_t> allowed) const;

  // An ad-hoc index over a row result: one document per row, the text columns' texts each
  // followed by one space.
  static SearchResult<SearchIndex> from_rows(const QueryResult& result, std::string_view id_column,
                                             std::span<const std::string> text_columns);

  // The persisted body and its strict inverse.
  Result<std::string> encode_persistent() const;
  // The same body appended to an envelope being written.
  Result<void> encode_persistent_into(persistent::Encoder& e) const;
  static Result<SearchIndex> decode_persistent(std::span<const uint8_t> bytes);
  // Whether `bytes` is exactly what encode_persistent would write, compared piece by piece
  // without writing it; its errors are encode_persistent's.
  Result<bool> persistent_equals(std::span<const uint8_t> bytes) const;

  size_t document_count() const { return documents_.size(); }
  size_t term_count() const { return postings_.size(); }
  uint64_t total_tokens() const { return total_tokens_; }
  uint64_t total_source_bytes() const { return total_source_bytes_; }
  // What encode_persistent would write, counted as documents come and go: the sum over the
  // documents of their distinct terms, and the body's length in bytes.
  size_t term_entries() const { return term_entries_; }
  uint64_t persistent_size() const { return 16 + 20 * uint64_t{documents_.size()} + term_bytes_; }
  bool contains(int64_t id) const { return documents_.contains(id); }
  const std::map<int64_t, Document>& documents() const { return documents_; }
  // The posting list of a term, or nullptr.
  const std::vector<Posting>* postings(std::string_view term) const;

 private:
  struct QueryTerms;
  SearchResult<std::vector<std::string>> query_terms(std::string_view query, size_t limit) const;
  // `known`, when given, holds each term's posting node or nullptr for a term not yet in the
  // index, as looked up just before (node addresses survive rehashing).
  void insert_document(int64_t id, std::span<const std::pair<std::string_view, uint32_t>> terms,
                       uint64_t token_count, uint64_t source_bytes, std::span<const TermRef> known = {});

  // A document's part of the persisted body, written into `out`; left empty when a count
  // would not fit the format (encoding then reports it).
  static void encode_document(std::string& out, int64_t id, uint64_t token_count, uint64_t source_bytes,
                              std::span<const std::pair<std::string_view, uint32_t>> terms);

  // The document ids ascending with their token counts, rebuilt on first need after a change:
  // a filtered search checks and sums its allowed ids by one merge over them.
  void refresh_sorted() const;

  std::map<int64_t, Document> documents_;
  mutable std::vector<int64_t> sorted_ids_;
  mutable std::vector<uint64_t> sorted_tokens_;
  mutable bool sorted_stale_ = true;
  TermMap postings_;
  uint64_t total_tokens_ = 0;
  uint64_t total_source_bytes_ = 0;
  size_t term_entries_ = 0;
  uint64_t term_bytes_ = 0;  // per term entry: its length, its bytes and its frequency
  bool keep_encoded_ = false;
};

}  // namespace qm::search
