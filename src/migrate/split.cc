// Dump splitting; see split.h. A statement's text is kept as a view into the dump until a
// comment inside it forces a copy with the comment replaced, so a dump of plain statements
// is split without copying any of them.
#include "migrate/split.h"

#include "migrate/dump_text.h"

namespace qm::migrate {
namespace {

bool ascii_word_char(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool word_is(std::string_view word, std::string_view upper) {
  if (word.size() != upper.size()) return false;
  for (size_t i = 0; i < word.size(); ++i) {
    char c = word[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - ('a' - 'A'));
    if (c != upper[i]) return false;
  }
  return true;
}

class Splitter {
 public:
  explicit Splitter(std::string_view dump) : s_(dump) {}

  std::expected<SplitDump, std::string> run() {
    const size_t n = s_.size();
    size_t i = 0;
    while (i < n) {
      const auto c = static_cast<unsigned char>(s_[i]);
      if (c >= 0x80) {
        Char ch = char_at(s_, i);
        if (is_word_start(ch.cp))
          i = word(i);
        else
          i += ch.len;
        continue;
      }
      if (ascii_word_char(c) && !(c >= '0' && c <= '9')) {
        i = word(i);
        continue;
      }
      switch (c) {
        case '\'':
        case '"':
        case '`':
        case '[': {
          // Everything after an unclosed quote belongs to it, so the end of the text is
          // reached with the quote open.
          size_t end = skip_quoted(s_, i);
          if (end == std::string_view::npos) return std::unexpected(std::string(kUnterminatedQuoteOrTrigger));
          i = end;
          break;
        }
        case '-':
          if (i + 1 < n && s_[i + 1] == '-') {
            size_t newline = s_.find('\n', i + 2);
            size_t end = newline == std::string_view::npos ? n : newline + 1;
            replace_comment(i, end);
            i = end;
          } else {
            ++i;
          }
          break;
        case '/':
          if (i + 1 < n && s_[i + 1] == '*') {
            size_t close = s_.find("*/", i + 2);
            if (close == std::string_view::npos) return std::unexpected(std::string(kUnterminatedComment));
            replace_comment(i, close + 2);
            i = close + 2;
          } else {
            ++i;
          }
          break;
        case ';':
          if (in_trigger_ && !(body_begun_ && depth_ == 0)) {
            ++i;  // a semicolon inside the trigger body stays in the statement
          } else {
            finish(i);
            seg_start_ = ++i;
          }
          break;
        default:
          ++i;
      }
    }
    if (in_trigger_ && !(body_begun_ && depth_ == 0))
      return std::unexpected(std::string(kUnterminatedQuoteOrTrigger));
    if (!trim(current(n)).empty()) finish(n);
    return std::move(out_);
  }

 private:
  // A word starting at `start`; returns the offset past it.
  size_t word(size_t start) {
    size_t i = start;
    while (i < s_.size()) {
      const auto c = static_cast<unsigned char>(s_[i]);
      if (c < 0x80) {
        if (!ascii_word_char(c)) break;
        ++i;
        continue;
      }
      Char ch = char_at(s_, i);
      if (!is_word_continue(ch.cp)) break;
      i += ch.len;
    }
    // Only the second or third word of a statement can complete CREATE [TEMP] TRIGGER, so
    // the statement's start is examined at most three times.
    if (!in_trigger_ && ++words_ <= 3 && starts_create_trigger(current(i))) in_trigger_ = true;
    if (in_trigger_) {
      std::string_view w = s_.substr(start, i - start);
      if (word_is(w, "BEGIN")) {
        body_begun_ = true;
        ++depth_;
      } else if (word_is(w, "CASE")) {
        if (body_begun_) ++depth_;
      } else if (word_is(w, "END")) {
        if (depth_ > 0) --depth_;
      }
    }
    return i;
  }

  // The current statement's text up to `end`.
  std::string_view current(size_t end) {
    if (!copied_) return s_.substr(seg_start_, end - seg_start_);
    owned_.append(s_.substr(seg_start_, end - seg_start_));
    seg_start_ = end;
    return owned_;
  }

  void replace_comment(size_t start, size_t end) {
    owned_.append(s_.substr(seg_start_, start - seg_start_));
    owned_ += ' ';
    copied_ = true;
    seg_start_ = end;
  }

  // Ends the current statement at `end` (its semicolon or the end of the text).
  void finish(size_t end) {
    if (copied_) {
      current(end);
      out_.storage.push_back(std::move(owned_));
      out_.statements.push_back(out_.storage.back());
      owned_ = std::string();
      copied_ = false;
    } else {
      out_.statements.push_back(s_.substr(seg_start_, end - seg_start_));
    }
    in_trigger_ = false;
    body_begun_ = false;
    depth_ = 0;
    words_ = 0;
  }

  std::string_view s_;
  SplitDump out_;
  size_t seg_start_ = 0;  // first byte of the statement not yet copied into owned_
  std::string owned_;     // the statement so far, once a comment was replaced
  bool copied_ = false;
  bool in_trigger_ = false;
  bool body_begun_ = false;
  uint64_t depth_ = 0;
  uint64_t words_ = 0;
};

}  // namespace

std::expected<SplitDump, std::string> split_statements(std::string_view dump) { return Splitter(dump).run(); }

}  // namespace qm::migrate
