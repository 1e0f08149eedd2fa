#include <gtest/gtest.h>

#include "db/exec/like.h"

namespace qm::db {
namespace {

TEST(Like, WildcardsOnAscii) {
  EXPECT_TRUE(like_match("xyz", "x%"));
  EXPECT_TRUE(like_match("xyz", "%z"));
  EXPECT_TRUE(like_match("xyz", "_y_"));
  EXPECT_TRUE(like_match("xyz", "%%y%%"));
  EXPECT_TRUE(like_match("", "%"));
  EXPECT_FALSE(like_match("", "_"));
  EXPECT_TRUE(like_match("", ""));
  EXPECT_FALSE(like_match("a", ""));
  EXPECT_TRUE(like_match("%xy", "%y"));
  EXPECT_FALSE(like_match("XYZ", "xyz"));
  EXPECT_FALSE(like_match("xyz", "xy"));
  EXPECT_FALSE(like_match("xy", "xyz"));
  EXPECT_TRUE(like_match("abcbcd", "a%bcd"));  // needs backtracking past a first false match
  EXPECT_TRUE(like_match("aaa", "%a%a%a%"));
  EXPECT_FALSE(like_match("aa", "%a%a%a%"));
}

// Two- and three-byte characters are covered through SQL; these are the four-byte and partial ones.
TEST(Like, UnderscoreIsOneCharacterNotOneByte) {
  EXPECT_TRUE(like_match("a😀b", "a_b"));
  EXPECT_TRUE(like_match("😀😀x", "%_x"));
  EXPECT_FALSE(like_match("é", "e"));
  // A pattern character that is a prefix of a text character's bytes does not match it.
  EXPECT_FALSE(like_match("\xC3\xA9", "\xC3"));
}

TEST(Like, MalformedUtf8NeverReadsPastTheEnd) {
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
