#include "form/string_tokenizer.h"

namespace parcelmoor {

StringTokenizer::StringTokenizer() : colTokens(Collection::Create()) {}

StringTokenizer::~StringTokenizer() { clearTokens(); }

void StringTokenizer::setString(const std::string& strRecord, const std::string& cDelimiter) {
  clearTokens();
  if (strRecord.empty() || cDelimiter.size() != 1) return;

  // Letter case plays no part for the delimiters in use (";", "\", "/"), so a
  // plain byte search finds the same positions as a case-blind one.
  const char delimiter = cDelimiter[0];
  size_t start = 0;
  for (;;) {
    size_t found = strRecord.find(delimiter, start);
    if (found == std::string::npos) {
      colTokens->Add(Variant(strRecord.substr(start)));
      break;
    }
    colTokens->Add(Variant(strRecord.substr(start, found - start)));
    // The piece after a final delimiter is dropped.
    if (found + 1 == strRecord.size()) break;
    start = found + 1;
  }
  lTokenCount = colTokens->Count();
}

std::string StringTokenizer::getTokenItemByIndex(int32_t lIndex) const {
  return colTokens->Item(lIndex).asText();
}

void StringTokenizer::clearTokens() {
  // From the last entry to the first: each removal is then O(1).
  while (lTokenCount > 0) {
    colTokens->Remove(lTokenCount);
    --lTokenCount;
  }
  lTokenCount = 0;
}

}  // namespace parcelmoor
