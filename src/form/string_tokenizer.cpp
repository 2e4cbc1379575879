#include "form/string_tokenizer.h"

#include "runtime/raised_error.h"

namespace parcelmoor {

void StringTokenizer::setString(std::string_view strRecord, std::string_view cDelimiter) {
  tokens_.clear();
  record_.clear();
  if (strRecord.empty() || cDelimiter.size() != 1) return;

  // Letter case plays no part for the delimiters in use (";", "\", "/"), so a
  // plain byte search finds the same positions as a case-blind one.
  record_.assign(strRecord);
  tokens_.reserve(4);  // a Content-Disposition line has two or three pieces
  const std::string_view record(record_);
  const char delimiter = cDelimiter[0];
  size_t start = 0;
  for (;;) {
    size_t found = record.find(delimiter, start);
    if (found == std::string_view::npos) {
      tokens_.push_back(record.substr(start));
      break;
    }
    tokens_.push_back(record.substr(start, found - start));
    // The piece after a final delimiter is dropped.
    if (found + 1 == record.size()) break;
    start = found + 1;
  }
}

std::string_view StringTokenizer::token(int32_t lIndex) const {
  if (lIndex < 1 || lIndex > countTokens()) RaiseRuntimeError(errnum::kInvalidProcedureCall);
  return tokens_[static_cast<size_t>(lIndex - 1)];
}

}  // namespace parcelmoor
