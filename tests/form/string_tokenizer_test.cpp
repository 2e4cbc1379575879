#include "form/string_tokenizer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/raised_error.h"

namespace parcelmoor {
namespace {

std::vector<std::string> TokensOf(const StringTokenizer& tokenizer) {
  std::vector<std::string> tokens;
  for (int32_t i = 1; i <= tokenizer.countTokens(); ++i) tokens.push_back(tokenizer.getTokenItemByIndex(i));
  return tokens;
}

struct SplitCase {
  const char* why;
  std::string record;
  std::string delimiter;
  std::vector<std::string> tokens;
  QuoteRule quotes = QuoteRule::kPlain;
};

TEST(StringTokenizerTest, SplitsRecords) {
  const SplitCase cases[] = {
      {"pieces between delimiters", "a;b;c", ";", {"a", "b", "c"}},
      {"no delimiter gives the whole record", "abc", ";", {"abc"}},
      {"leading delimiter gives an empty first token", ";abc", ";", {"", "abc"}},
      {"piece after a final delimiter is dropped", "abc;", ";", {"abc"}},
      {"adjacent delimiters give an empty token", "a;;b", ";", {"a", "", "b"}},
      {"only the very last empty piece is dropped", "a;;", ";", {"a", ""}},
      {"delimiter alone", ";", ";", {""}},
      {"two delimiters alone", ";;", ";", {"", ""}},
      {"backslash path", "C:\\dir\\a.txt", "\\", {"C:", "dir", "a.txt"}},
      {"backslash path ending in a directory", "C:\\dir\\", "\\", {"C:", "dir"}},
      {"slash path", "dir/sub/a.txt", "/", {"dir", "sub", "a.txt"}},
      {"other delimiters are plain text", "a/b\\c", "\\", {"a/b", "c"}},
      {"bytes beyond ASCII kept as they are", "\xc3\xa9;\xff\xfe", ";", {"\xc3\xa9", "\xff\xfe"}},
      {"empty record", "", ";", {}},
      {"empty delimiter", "abc", "", {}},
      {"two-character delimiter", "a;;b", ";;", {}},
      {"plain rule splits inside quotes", "f; filename=\"a;b\"", ";", {"f", " filename=\"a", "b\""}},
      {"delimiter inside quotes is text", "f; filename=\"a;b.txt\"", ";", {"f", " filename=\"a;b.txt\""},
       QuoteRule::kQuotesHoldDelimiter},
      {"backslash escapes no quote", "n=\"a\\\";b\";c", ";", {"n=\"a\\\"", "b\";c"},
       QuoteRule::kQuotesHoldDelimiter},
      {"unclosed quote holds the rest", "a;\"b;c", ";", {"a", "\"b;c"}, QuoteRule::kQuotesHoldDelimiter},
      {"final delimiter still dropped", "a;\"b\";", ";", {"a", "\"b\""}, QuoteRule::kQuotesHoldDelimiter},
  };
  for (const auto& c : cases) {
    StringTokenizer tokenizer;
    tokenizer.setString(c.record, c.delimiter, c.quotes);
    EXPECT_EQ(tokenizer.countTokens(), static_cast<int32_t>(c.tokens.size())) << c.why;
    EXPECT_EQ(TokensOf(tokenizer), c.tokens) << c.why;
  }
}

TEST(StringTokenizerTest, EachSplitReplacesThePreviousTokens) {
  StringTokenizer tokenizer;
  tokenizer.setString("a;b;c;d", ";");
  tokenizer.setString("x;y", ";");
  EXPECT_EQ(TokensOf(tokenizer), (std::vector<std::string>{"x", "y"}));

  tokenizer.setString("abc", "");
  EXPECT_EQ(tokenizer.countTokens(), 0);
  EXPECT_THROW(tokenizer.getTokenItemByIndex(1), RaisedError);

  tokenizer.setString("p\\q", "\\");
  EXPECT_EQ(TokensOf(tokenizer), (std::vector<std::string>{"p", "q"}));
}

TEST(StringTokenizerTest, NumbersOutsideTheTokensRaise) {
  StringTokenizer tokenizer;
  tokenizer.setString("a;b", ";");
  for (int32_t index : {0, -1, 3}) {
    try {
      tokenizer.getTokenItemByIndex(index);
      ADD_FAILURE() << "index " << index << " accepted";
    } catch (const RaisedError& e) {
      EXPECT_EQ(e.number(), errnum::kInvalidProcedureCall) << index;
    }
  }
}

}  // namespace
}  // namespace parcelmoor
