#include "form/string_tokenizer.h"

#include "runtime/raised_error.h"

namespace parcelmoor {

size_t FindDelimiter(std::string_view record, char delimiter, size_t start, QuoteRule quotes) {
  if (quotes == QuoteRule::kPlain) return record.find(delimiter, start);
  bool quoted = false;
  for (size_t i = start; i < record.size(); ++i) {
    if (record[i] == '"') quoted = !quoted;
    if (record[i] == delimiter && !quoted) return i;
  }
  return std::string_view::npos;
}

void StringTokenizer::setString(std::string_view strRecord, std::string_view cDelimiter, QuoteRule quotes) {
  tokens_.clear();
  record_.clear();
  if (strRecord.empty() || cDelimiter.size() != 1) return;

  // Letter case plays no part for the delimiters in use (";", "\", "/"), so a
  // plain byte search finds the same positions as a case-blind one.
  record_.assign(strRecord);
  tokens_.reserve(4);  // a Content-Disposition line has two or three pieces
  ForEachPiece(record_, cDelimiter[0], [this](std::string_view piece) { tokens_.push_back(piece); }, quotes);
}

std::string_view StringTokenizer::token(int32_t lIndex) const {
  if (lIndex < 1 || lIndex > countTokens()) RaiseRuntimeError(errnum::kInvalidProcedureCall);
  return tokens_[static_cast<size_t>(lIndex - 1)];
}

}  // namespace parcelmoor
