#include "search/search_index.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/total_order.h"
#include "search/bm25.h"

namespace qm::search {

const char* to_string(SearchError e) {
  return e == SearchError::Bounds ? "full-text input exceeds its configured bounds"
                                  : "expected unique integer document IDs and text columns";
}

namespace {

std::unexpected<SearchError> bounds() { return std::unexpected(SearchError::Bounds); }
std::unexpected<SearchError> input() { return std::unexpected(SearchError::Input); }

// Per-thread scratch of the tokenizer, so indexing a document allocates only what it keeps.
// A token with its first eight bytes as a big-endian number (zero-padded): ordering by it
// orders by bytes for every pair of tokens it tells apart, and tokens hold no zero byte, so
// equal keys of tokens no longer than eight bytes mean equal tokens of equal length.
struct KeyedToken {
  uint64_t key;
  std::string_view text;
};
uint64_t prefix_key(std::string_view t) {
  uint64_t key = 0;
  const size_t n = t.size() < 8 ? t.size() : 8;
  for (size_t i = 0; i < n; ++i) key |= uint64_t{static_cast<unsigned char>(t[i])} << (56 - 8 * i);
  return key;
}
bool token_before(const KeyedToken& a, const KeyedToken& b) {
  if (a.key != b.key) return a.key < b.key;
  if (a.text.size() <= 8 && b.text.size() <= 8) return a.text.size() < b.text.size();
  return a.text < b.text;
}

struct Scratch {
  std::string arena;
  std::vector<TokenRange> ranges;
  std::vector<KeyedToken> sorted;
  std::vector<std::pair<std::string_view, uint32_t>> counted;
  std::vector<SearchIndex::TermRef> known;
};
Scratch& scratch() {
  thread_local Scratch s;
  return s;
}

// Distinct terms of a text in ascending byte order with their frequencies; returns the
// token count. The views point into s.arena.
uint64_t count_terms(std::string_view text, Scratch& s) {
  tokenize_into(text, s.arena, s.ranges);
  s.sorted.clear();
  for (auto r : s.ranges) {
    std::string_view t(s.arena.data() + r.begin, r.end - r.begin);
    s.sorted.push_back({prefix_key(t), t});
  }
  std::sort(s.sorted.begin(), s.sorted.end(), token_before);
  s.counted.clear();
  for (const auto& t : s.sorted) {
    if (!s.counted.empty() && s.counted.back().first == t.text) {
      ++s.counted.back().second;
    } else {
      s.counted.emplace_back(t.text, 1);
    }
  }
  return s.ranges.size();
}

std::vector<SearchHit> top_hits(std::vector<SearchHit> hits, size_t limit) {
  auto before = [](const SearchHit& a, const SearchHit& b) {
    int64_t ka = total_order_key(a.score), kb = total_order_key(b.score);
    return ka != kb ? ka > kb : a.id < b.id;
  };
  if (hits.size() > limit) {
    std::partial_sort(hits.begin(), hits.begin() + static_cast<ptrdiff_t>(limit), hits.end(), before);
    hits.resize(limit);
  } else {
    std::sort(hits.begin(), hits.end(), before);
  }
  return hits;
}

bool contains_sorted(std::span<const int64_t> ids, int64_t id) { return std::binary_search(ids.begin(), ids.end(), id); }

// One posting list of a query with what scoring needs of it.
struct QueryList {
  const std::vector<SearchIndex::Posting>* postings;
  double df;
  double idf;
  size_t cursor;
};

void order_by_rarity(std::vector<QueryList>& lists) {
  std::stable_sort(lists.begin(), lists.end(), [](const QueryList& a, const QueryList& b) { return a.df < b.df; });
}

// Advances l.cursor to the first posting whose id is not below id; true when it is id.
const SearchIndex::Posting* seek(QueryList& l, int64_t id) {
  const auto& p = *l.postings;
  auto it = std::lower_bound(p.begin() + static_cast<ptrdiff_t>(l.cursor), p.end(), id,
                             [](const SearchIndex::Posting& x, int64_t v) { return x.id < v; });
  l.cursor = static_cast<size_t>(it - p.begin());
  return it != p.end() && it->id == id ? &*it : nullptr;
}

// Walks the rarest list (skipping ids outside `allowed` when given) and scores the documents
// every list holds, summing in list order.
std::vector<SearchHit> walk(std::vector<QueryList>& lists, double avgdl, std::span<const int64_t> allowed, bool filtered) {
  std::vector<SearchHit> hits;
  size_t allowed_cursor = 0;
  for (const auto& first : *lists[0].postings) {
    if (filtered) {
      while (allowed_cursor < allowed.size() && allowed[allowed_cursor] < first.id) ++allowed_cursor;
      if (allowed_cursor == allowed.size()) break;
      if (allowed[allowed_cursor] != first.id) continue;
    }
    double dl = static_cast<double>(first.doc_tokens);
    double score = 0.0;
    score += bm25_term(lists[0].idf, static_cast<double>(first.frequency), dl, avgdl);
    bool all = true;
    for (size_t k = 1; k < lists.size(); ++k) {
      const auto* p = seek(lists[k], first.id);
      if (!p) {
        all = false;
        break;
      }
      score += bm25_term(lists[k].idf, static_cast<double>(p->frequency), dl, avgdl);
    }
    if (all) hits.push_back({first.id, score});
  }
  return hits;
}

}  // namespace

SearchIndex::SearchIndex(const SearchIndex& other) { *this = other; }

SearchIndex& SearchIndex::operator=(const SearchIndex& other) {
  if (this == &other) return *this;
  documents_.clear();
  postings_.clear();
  sorted_stale_ = true;
  total_tokens_ = total_source_bytes_ = 0;
  term_entries_ = 0;
  term_bytes_ = 0;
  keep_encoded_ = other.keep_encoded_;
  postings_.reserve(other.postings_.size());
  std::vector<std::pair<std::string_view, uint32_t>> terms;
  for (const auto& [id, doc] : other.documents_) {
    terms.clear();
    for (const auto& [ref, freq] : doc.terms) terms.emplace_back(ref->first, freq);
    insert_document(id, terms, doc.token_count, doc.source_bytes);
  }
  return *this;
}

const std::vector<SearchIndex::Posting>* SearchIndex::postings(std::string_view term) const {
  auto it = postings_.find(term);
  return it == postings_.end() ? nullptr : &it->second;
}

void SearchIndex::insert_document(int64_t id, std::span<const std::pair<std::string_view, uint32_t>> terms,
                                  uint64_t token_count, uint64_t source_bytes, std::span<const TermRef> known) {
  Document doc;
  doc.token_count = token_count;
  doc.source_bytes = source_bytes;
  doc.terms.reserve(terms.size());
  for (size_t i = 0; i < terms.size(); ++i) {
    const auto& [term, freq] = terms[i];
    TermRef node = known.empty() ? nullptr : known[i];
    if (!node) {
      // A term `known` left out is not in the index yet: a document's terms are distinct.
      auto it = known.empty() ? postings_.find(term) : postings_.end();
      if (it == postings_.end()) it = postings_.emplace(std::string(term), std::vector<Posting>{}).first;
      node = &*it;
    }
    auto& list = node->second;
    Posting p{id, freq, static_cast<uint32_t>(token_count)};
    if (list.empty() || list.back().id < id) {
      list.push_back(p);
    } else {
      auto at = std::lower_bound(list.begin(), list.end(), id, [](const Posting& x, int64_t v) { return x.id < v; });
      list.insert(at, p);
    }
    doc.terms.emplace_back(node, freq);
    term_bytes_ += 8 + term.size();
  }
  if (keep_encoded_) encode_document(doc.encoded, id, token_count, source_bytes, terms);
  term_entries_ += terms.size();
  total_tokens_ += token_count;
  total_source_bytes_ += source_bytes;
  // Ids mostly come ascending (builds, decoding): the end is then the place to insert.
  auto hint = documents_.empty() || documents_.rbegin()->first < id ? documents_.end() : documents_.lower_bound(id);
  documents_.insert_or_assign(hint, id, std::move(doc));
  sorted_stale_ = true;
}

void SearchIndex::refresh_sorted() const {
  if (!sorted_stale_) return;
  sorted_ids_.clear();
  sorted_tokens_.clear();
  sorted_ids_.reserve(documents_.size());
  sorted_tokens_.reserve(documents_.size());
  for (const auto& [id, doc] : documents_) {
    sorted_ids_.push_back(id);
    sorted_tokens_.push_back(doc.token_count);
  }
  sorted_stale_ = false;
}

SearchResult<void> SearchIndex::upsert(int64_t id, std::string_view text) {
  auto existing = documents_.find(id);
  uint64_t old = existing == documents_.end() ? 0 : existing->second.source_bytes;
  if (text.size() > kMaxDocumentBytes) return bounds();
  if (text.size() - old + total_source_bytes_ > kMaxSourceBytes) return bounds();
  if (existing == documents_.end() && documents_.size() >= kMaxDocuments) return bounds();
  Scratch& s = scratch();
  uint64_t token_count = count_terms(text, s);
  if (s.counted.size() > kMaxDocumentTerms) return bounds();
  // Each term is looked up once: the nodes found serve the insertion too, unless replacing
  // the old version may erase some of them.
  s.known.clear();
  size_t fresh = 0;
  for (const auto& [term, freq] : s.counted) {
    auto it = postings_.find(term);
    s.known.push_back(it == postings_.end() ? nullptr : &*it);
    fresh += it == postings_.end();
  }
  if (fresh + postings_.size() > kMaxIndexTerms) return bounds();
  if (existing != documents_.end()) {
    remove(id);
    insert_document(id, s.counted, token_count, text.size());
  } else {
    insert_document(id, s.counted, token_count, text.size(), s.known);
  }
  return {};
}

bool SearchIndex::remove(int64_t id) {
  auto it = documents_.find(id);
  if (it == documents_.end()) return false;
  Document& doc = it->second;
  total_source_bytes_ -= doc.source_bytes;
  total_tokens_ -= doc.token_count;
  term_entries_ -= doc.terms.size();
  for (const auto& [ref, freq] : doc.terms) {
    term_bytes_ -= 8 + ref->first.size();
    auto& list = ref->second;
    auto at = std::lower_bound(list.begin(), list.end(), id, [](const Posting& x, int64_t v) { return x.id < v; });
    if (at != list.end() && at->id == id) list.erase(at);
    if (list.empty()) postings_.erase(postings_.find(ref->first));
  }
  documents_.erase(it);
  sorted_stale_ = true;
  return true;
}

SearchResult<std::vector<std::string>> SearchIndex::query_terms(std::string_view query, size_t limit) const {
  if (query.size() > kMaxQueryBytes || limit > kMaxLimit) return bounds();
  std::vector<std::string> terms = tokens(query);
  std::sort(terms.begin(), terms.end());
  terms.erase(std::unique(terms.begin(), terms.end()), terms.end());
  if (terms.size() > kMaxQueryTerms) return bounds();
  return terms;
}

SearchResult<std::vector<SearchHit>> SearchIndex::search(std::string_view query, size_t limit) const {
  auto terms = query_terms(query, limit);
  if (!terms) return std::unexpected(terms.error());
  if (limit == 0 || terms->empty() || total_tokens_ == 0) return std::vector<SearchHit>{};
  std::vector<QueryList> lists;
  lists.reserve(terms->size());
  for (const auto& t : *terms) {
    const auto* p = postings(t);
    if (!p) return std::vector<SearchHit>{};  // every query term must occur
    lists.push_back({p, static_cast<double>(p->size()), 0.0, 0});
  }
  order_by_rarity(lists);
  double n = static_cast<double>(documents_.size());
  double avgdl = static_cast<double>(total_tokens_) / n;
  for (auto& l : lists) l.idf = bm25_idf(n, l.df);
  return top_hits(walk(lists, avgdl, {}, false), limit);
}

SearchResult<std::vector<SearchHit>> SearchIndex::search_filtered(std::string_view query, size_t limit,
                                                                  std::span<const int64_t> allowed) const {
  if (allowed.size() > kMaxAllowedIds) return input();
  refresh_sorted();
  const std::vector<int64_t>& ids = sorted_ids_;
  // `allowed` is ascending: one comparison when it is as large as the index, else one merge
  // checks every id and sums the subset's tokens.
  if (allowed.size() == ids.size()) {
    if (!std::equal(allowed.begin(), allowed.end(), ids.begin())) return input();
    return search(query, limit);
  }
  uint64_t subset_tokens = 0;
  size_t at = 0;
  for (int64_t id : allowed) {
    while (at < ids.size() && ids[at] < id) ++at;
    if (at == ids.size() || ids[at] != id) return input();
    subset_tokens += sorted_tokens_[at];
  }
  auto terms = query_terms(query, limit);
  if (!terms) return std::unexpected(terms.error());
  if (limit == 0 || terms->empty() || subset_tokens == 0) return std::vector<SearchHit>{};
  std::vector<QueryList> lists;
  lists.reserve(terms->size());
  for (const auto& t : *terms) {
    const auto* p = postings(t);
    if (!p) return std::vector<SearchHit>{};
    size_t df = 0;
    for (const auto& posting : *p) df += contains_sorted(allowed, posting.id);
    if (df == 0) return std::vector<SearchHit>{};
    lists.push_back({p, static_cast<double>(df), 0.0, 0});
  }
  order_by_rarity(lists);
  double n = static_cast<double>(allowed.size());
  double avgdl = static_cast<double>(subset_tokens) / n;
  for (auto& l : lists) l.idf = bm25_idf(n, l.df);
  return top_hits(walk(lists, avgdl, allowed, true), limit);
}

SearchResult<SearchIndex> SearchIndex::from_rows(const QueryResult& result, std::string_view id_column,
                                                 std::span<const std::string> text_columns) {
  const auto* rows = std::get_if<RowsResult>(&result);
  if (!rows) return input();
  if (rows->rows.size() > kMaxAdHocRows || text_columns.empty() || text_columns.size() > kMaxAdHocColumns) return bounds();
  auto column = [&](std::string_view name) -> size_t {
    for (size_t i = 0; i < rows->columns.size(); ++i)
      if (rows->columns[i] == name) return i;
    return SIZE_MAX;
  };
  size_t id_at = column(id_column);
  if (id_at == SIZE_MAX) return input();
  std::vector<size_t> text_at;
  for (const auto& name : text_columns) {
    text_at.push_back(column(name));
    if (text_at.back() == SIZE_MAX) return input();
  }
  SearchIndex index;
  std::string text;
  for (const Row& row : rows->rows) {
    if (id_at >= row.size() || !row[id_at].is_int()) return input();
    int64_t id = row[id_at].as_int();
    if (index.contains(id)) return input();
    text.clear();
    for (size_t at : text_at) {
      std::string_view piece;
      if (at >= row.size()) return input();
      if (row[at].is_text()) {
        piece = row[at].bytes();
      } else if (!row[at].is_null()) {
        return input();
      }
      if (text.size() + piece.size() + 1 > kMaxDocumentBytes) return bounds();
      text.append(piece);
      text.push_back(' ');
    }
    auto added = index.upsert(id, text);
    if (!added) return std::unexpected(added.error());
  }
  return index;
}

}  // namespace qm::search
