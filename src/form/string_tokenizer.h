#pragma once
// Splits one text at every occurrence of a one-character delimiter and holds
// the pieces for reading by number. One tokenizer serves several splits in a
// row; each setString replaces what the previous one left.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace parcelmoor {

// How double quotes in a record are read.
enum class QuoteRule {
  kPlain,                // a quote is an ordinary character
  kQuotesHoldDelimiter,  // each '"' toggles "inside quotes"; a delimiter inside is text
};

// The first `delimiter` at or after `start`, outside quotes under
// kQuotesHoldDelimiter (the record is read from its start, so `start` must
// not be inside quotes); npos when there is none.
size_t FindDelimiter(std::string_view record, char delimiter, size_t start, QuoteRule quotes);

// Calls onPiece(std::string_view) for every piece of `record` cut at
// `delimiter`, in order: none for an empty record, and none for the piece
// after a final delimiter. Under kQuotesHoldDelimiter a delimiter between a
// quote and the next one belongs to the piece (a backslash escapes nothing):
// `a="x;y";b` gives `a="x;y"` and `b`.
template <class OnPiece>
void ForEachPiece(std::string_view record, char delimiter, OnPiece&& onPiece, QuoteRule quotes = QuoteRule::kPlain) {
  if (record.empty()) return;
  size_t start = 0;
  for (;;) {
    const size_t found = FindDelimiter(record, delimiter, start, quotes);
    if (found == std::string_view::npos) {
      onPiece(record.substr(start));
      return;
    }
    onPiece(record.substr(start, found - start));
    if (found + 1 == record.size()) return;
    start = found + 1;
  }
}

class StringTokenizer {
 public:
  StringTokenizer() = default;
  // The tokens point into the tokenizer's own copy of the record.
  StringTokenizer(const StringTokenizer&) = delete;
  StringTokenizer& operator=(const StringTokenizer&) = delete;

  // Drops all tokens, then splits `strRecord` at `cDelimiter`. An empty record,
  // or a delimiter that is not exactly one character, leaves no token. The
  // piece after a final delimiter is dropped; quotes as in ForEachPiece.
  void setString(std::string_view strRecord, std::string_view cDelimiter, QuoteRule quotes = QuoteRule::kPlain);
  int32_t countTokens() const { return static_cast<int32_t>(tokens_.size()); }
  // Token `lIndex`, REQUIRES: 1 <= lIndex <= countTokens() (else raises 5).
  std::string getTokenItemByIndex(int32_t lIndex) const { return std::string(token(lIndex)); }
  // The same without a copy; valid until the next setString.
  std::string_view token(int32_t lIndex) const;

 private:
  std::string record_;
  std::vector<std::string_view> tokens_;  // into record_
};

}  // namespace parcelmoor
