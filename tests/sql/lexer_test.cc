// Tokens, character positions and lexer errors.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sql/cursor.h"
#include "sql/lexer.h"
#include "sql/parse_helpers.h"

namespace qm::sql {
namespace {

// The debug forms of the tokens, space separated, or "error: <first line>".
std::string lex_debug(std::string_view sql) {
  std::vector<Token> toks;
  auto r = lex(sql, toks);
  if (!r) {
    const std::string& d = r.error().detail;
    return "error: " + d.substr(0, d.find('\n'));
  }
  std::string out;
  for (const auto& t : toks) {
    if (!out.empty()) out += ' ';
    out += token_debug(t);
  }
  return out;
}

std::vector<size_t> positions(std::string_view sql) {
  std::vector<Token> toks;
  EXPECT_TRUE(lex(sql, toks).has_value());
  std::vector<size_t> out;
  for (const auto& t : toks) out.push_back(t.pos);
  return out;
}

// Text and what it lexes to (the tokens' debug forms), or the first line of its error.
constexpr std::pair<const char*, const char*> kLexed[] = {
    {"( ) , = * . ; < <= <> > >= !=", "LParen RParen Comma Eq Star Dot Semicolon Lt Le Ne Gt Ge Ne"},
    {"a<b", "Word(\"a\") Lt Word(\"b\")"},
    {"a ! b", "error: expected `=` after `!` (line 1, column 3)"},
    {"a !", "error: expected `=` after `!` (line 1, column 3)"},
    // Numbers take their minus and stop at the first non-digit.
    {"-0.5", "Dec(-500000)"},
    {"1.2345678", "Dec(1234567)"},
    {"-1.9999999", "Dec(-1999999)"},
    {"5-3", "Int(5) Int(-3)"},
    {"a-1", "Word(\"a\") Int(-1)"},
    {"12abc 1e5 .5", "Int(12) Word(\"abc\") Int(1) Word(\"e5\") Dot Int(5)"},
    {"-9223372036854775808", "Int(-9223372036854775808)"},
    {"9223372036854775807", "Int(9223372036854775807)"},
    {"x 9223372036854775808", "error: invalid integer `9223372036854775808` (line 1, column 3)"},
    {"-9223372036854775809", "error: invalid integer `-9223372036854775809` (line 1, column 1)"},
    {"- 5", "error: expected digits (line 1, column 1)"},
    {"--5", "error: expected digits (line 1, column 1)"},
    {"a 1.", "error: expected digits after `.` (line 1, column 3)"},
    {"007", "Int(7)"},
    {"123456789012345678901234567890123456789012.5", "error: decimal literal out of range (line 1, column 1)"},
    // Strings and quoted identifiers undo doubled closers; identifiers refuse controls, strings not.
    {"'it''s'", "Str(\"it's\")"},
    {"''", "Str(\"\")"},
    {"'a\nb'", "Str(\"a\\nb\")"},
    {"\"a\"\"b\"", "Ident(\"a\\\"b\")"},
    {"`a``b`", "Ident(\"a`b\")"},
    {"[x]]y]", "Ident(\"x]y\")"},
    {"'back\\slash'", "Str(\"back\\\\slash\")"},
    {"x 'abc", "error: unterminated string literal (line 1, column 3)"},
    {"x \"abc", "error: unterminated quoted identifier (line 1, column 3)"},
    {"x [abc]]", "error: unterminated quoted identifier (line 1, column 3)"},
    {"x \"\"", "error: quoted identifiers cannot be empty (line 1, column 3)"},
    {"x \"a\tb\"", "error: quoted identifiers cannot contain control characters (line 1, column 3)"},
    {"x `a\u0085b`", "error: quoted identifiers cannot contain control characters (line 1, column 3)"},
    {"x [a\x7f]", "error: quoted identifiers cannot contain control characters (line 1, column 3)"},
    {"\"a\u00a0b\" 'a\tb'", "Ident(\"a\u00a0b\") Str(\"a\\tb\")"},
    // Words use Unicode letters and numbers (a non-ASCII numeral may start one); Unicode white
    // space separates, zero-width space is neither.
    {"_x1 été Ωmega 名前 x²", "Word(\"_x1\") Word(\"été\") Word(\"Ωmega\") Word(\"名前\") Word(\"x²\")"},
    {"٣x", "Word(\"٣x\")"},
    {"a€", "error: unexpected character `€` (line 1, column 2)"},
    {"a\u00a0b\u2003c\u3000d\u0085e\u2028f\v\fg",
     "Word(\"a\") Word(\"b\") Word(\"c\") Word(\"d\") Word(\"e\") Word(\"f\") Word(\"g\")"},
    {"a\u200bb", "error: unexpected character `\u200b` (line 1, column 2)"},
    {"a -- comment", "error: expected digits (line 1, column 3)"},
    // Invalid UTF-8 is refused, not misread.
    {"SELECT '\xff'", "error: SQL text is not valid UTF-8 (line 1, column 9)"},
    {"é \xc3", "error: SQL text is not valid UTF-8 (line 1, column 3)"},
    {"\xed\xa0\x80", "error: SQL text is not valid UTF-8 (line 1, column 1)"},  // a surrogate
};

TEST(Lexer, EachTextGivesItsTokensOrItsError) {
  for (const auto& [sql, want] : kLexed) EXPECT_EQ(lex_debug(sql), want) << sql;
  // 2^127 millionths: the negative side includes it, the positive side does not.
  const std::string max_int_part = "170141183460469231731687303715884";  // 2^127 / 10^6, truncated
  EXPECT_EQ(lex_debug("-" + max_int_part + ".105728"), "Dec(-170141183460469231731687303715884105728)");
  EXPECT_EQ(lex_debug(max_int_part + ".105727"), "Dec(170141183460469231731687303715884105727)");
  EXPECT_EQ(lex_debug(max_int_part + ".105728"), "error: decimal literal out of range (line 1, column 1)");
  for (char ch : std::string("?+/%#$:^\\]{}|~&@")) {
    std::string sql = std::string("ab ") + ch;
    EXPECT_EQ(lex_debug(sql), "error: unexpected character `" + std::string(1, ch) + "` (line 1, column 4)") << sql;
  }
}

TEST(Lexer, PositionsCountCharactersNotBytes) {
  EXPECT_EQ(positions("SELECT 'é' x"), (std::vector<size_t>{0, 7, 11}));
  EXPECT_EQ(positions("名前 = 'ü''x' \"ß\" 1"), (std::vector<size_t>{0, 3, 5, 12, 16}));
}

TEST(Lexer, ParenthesisDepthLimitIsSixtyFour) {
  std::string ok(64, '(');
  EXPECT_EQ(lex_debug(ok).substr(0, 6), "LParen");
  std::string too_deep(65, '(');
  EXPECT_EQ(lex_debug(too_deep), "error: SQL expression nesting exceeds the 64-level limit (line 1, column 65)");
  // Closing parentheses free depth again; unbalanced closers are not the lexer's business.
  std::string wave;
  for (int i = 0; i < 10; ++i) wave += std::string(60, '(') + std::string(60, ')');
  EXPECT_NE(lex_debug(wave + ")))" + std::string(64, '(')).substr(0, 5), "error");
}

TEST(Lexer, DebugFormEscapesQuotesBackslashesAndControls) {
  Token t;
  t.kind = Tok::Str;
  t.raw = "a\"b\\c\x01\x7f";
  EXPECT_EQ(token_debug(t), "Str(\"a\\\"b\\\\c\\u{1}\\u{7f}\")");
  t.kind = Tok::Dec;
  t.number = 1500000;
  EXPECT_EQ(token_debug(t), "Dec(1500000)");
}

}  // namespace
}  // namespace qm::sql
