// The full-text tokenizer, shared by documents and queries: split at every character that is
// neither Alphabetic nor numeric (Nd, Nl, No), drop pieces of 0 or more than 128 bytes
// (measured before case mapping; a long piece is dropped whole), and lower-case the rest
// with the full Unicode mapping (multi-character mappings and final sigma). No stop words,
// no stemming; tokens come in text order, repeats included. Bytes that are not valid UTF-8
// separate like any other non-alphanumeric character.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qm::search {

inline constexpr size_t kMaxTokenBytes = 128;

std::vector<std::string> tokens(std::string_view text);

// The allocation-light form for the index's hot paths: every token is appended to `arena`
// and its [offset, end) range to `ranges`; both are cleared first.
struct TokenRange {
  size_t begin;
  size_t end;
};
void tokenize_into(std::string_view text, std::string& arena, std::vector<TokenRange>& ranges);

}  // namespace qm::search
