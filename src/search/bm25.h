// The BM25 arithmetic of full-text ranking (k1 = 1.2, b = 0.75, +1.0 inside the logarithm),
// written in the one grouping every score is computed in so results are reproducible bit
// for bit.
#pragma once

#include <cmath>

namespace qm::search {

inline double bm25_idf(double n, double df) { return std::log(((n - df) + 0.5) / (df + 0.5) + 1.0); }

inline double bm25_term(double idf, double tf, double dl, double avgdl) {
  return ((idf * tf) * 2.2) / ((((dl * 0.75) / avgdl) + 0.25) * 1.2 + tf);
}

}  // namespace qm::search
