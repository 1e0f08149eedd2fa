#include <gtest/gtest.h>

#include "query/eval/like.h"

namespace qm::db {
namespace {

// Whole characters of valid text are stated by the golden scripts; these are the byte
// sequences no SQL text can hold.
TEST(Like, MalformedUtf8NeverReadsPastTheEnd) {
  // A pattern character that is a prefix of a text character's bytes does not match it.
  EXPECT_FALSE(like_match("\xC3\xA9", "\xC3"));
  EXPECT_TRUE(like_match("a\xE6", "a_"));
  EXPECT_FALSE(like_match("\xF0\x9F", "_"));
  EXPECT_TRUE(like_match("\xF0\x9F", "%"));
  EXPECT_TRUE(like_match("\x80\x80", "__"));
}

TEST(Like, PathologicalPatternStaysBounded) {
  std::string text(2000, 'a');
  std::string pattern;
  for (int i = 0; i < 50; ++i) pattern += "%a";
  pattern += "b";
  EXPECT_FALSE(like_match(text, pattern));
}

}  // namespace
}  // namespace qm::db
