// The retrieval benchmarks' corpus: 10,000 real paragraphs cut from the plain-text
// documentation installed Debian packages ship (/usr/share/common-licenses, /usr/share/doc/**,
// gzip-compressed files read through zcat), each 40 to 800 bytes and unique, and 1,000 one- and
// two-word queries drawn from them (a fixed seed, so every run and program sees the same ones).
#pragma once

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "core/utf8.h"
#include "search/tokenizer.h"

namespace bench_corpus {

struct Rng {
  uint64_t s = 0x9E3779B97F4A7C15ull;
  uint64_t next() {
    s ^= s << 13, s ^= s >> 7, s ^= s << 17;
    return s;
  }
  size_t below(size_t n) { return static_cast<size_t>(next() % n); }
};

constexpr size_t kDocs = 10000;
constexpr size_t kDims = 384;

inline std::string read_file(const std::filesystem::path& p) {
  if (p.extension() == ".gz") {
    std::string cmd = "zcat -f -- '" + p.string() + "' 2>/dev/null";
    std::string out;
    if (FILE* f = popen(cmd.c_str(), "r")) {
      char buf[65536];
      size_t n;
      while ((n = fread(buf, 1, sizeof buf, f)) > 0 && out.size() < (4u << 20)) out.append(buf, n);
      pclose(f);
    }
    return out;
  }
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Paragraphs: runs of non-blank lines, white space collapsed.
inline std::vector<std::string> load_corpus() {
  std::vector<std::filesystem::path> files;
  for (const char* root : {"/usr/share/common-licenses", "/usr/share/doc"}) {
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(root, ec); it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      if (ec) break;
      if (it->is_symlink() || !it->is_regular_file() || it->file_size() > (2u << 20)) continue;
      auto ext = it->path().extension().string();
      if (ext == ".html" || ext == ".png" || ext == ".pdf" || ext == ".svg" || ext == ".css" || ext == ".js") continue;
      files.push_back(it->path());
    }
  }
  std::sort(files.begin(), files.end());
  std::set<std::string> seen;
  std::vector<std::string> docs;
  for (const auto& f : files) {
    std::string text = read_file(f);
    if (text.find('\0') != std::string::npos || !qm::is_valid_utf8(text)) continue;
    std::string para;
    auto flush = [&] {
      if (para.size() >= 40 && para.size() <= 800 && seen.insert(para).second) docs.push_back(para);
      para.clear();
    };
    size_t pos = 0;
    while (pos < text.size() && docs.size() < kDocs) {
      size_t end = text.find('\n', pos);
      if (end == std::string::npos) end = text.size();
      std::string_view line(text.data() + pos, end - pos);
      pos = end + 1;
      size_t a = line.find_first_not_of(" \t\r");
      if (a == std::string_view::npos || line.substr(a) == ".") {
        flush();
        continue;
      }
      size_t b = line.find_last_not_of(" \t\r");
      if (!para.empty()) para += ' ';
      para.append(line.substr(a, b - a + 1));
    }
    flush();
    if (docs.size() >= kDocs) break;
  }
  return docs;
}

inline std::vector<std::string> make_queries(const std::vector<std::string>& docs, size_t n) {
  Rng rng;
  std::vector<std::string> out;
  while (out.size() < n) {
    auto words = qm::search::tokens(docs[rng.below(docs.size())]);
    std::vector<std::string> plain;
    for (auto& w : words)
      if (w.size() >= 3 && std::all_of(w.begin(), w.end(), [](char c) { return c >= 'a' && c <= 'z'; })) plain.push_back(w);
    if (plain.empty()) continue;
    std::string q = plain[rng.below(plain.size())];
    if (out.size() % 2 == 1 && plain.size() > 1) {
      std::string other = plain[rng.below(plain.size())];
      if (other != q) q += " " + other;
    }
    out.push_back(q);
  }
  return out;
}

}  // namespace bench_corpus
