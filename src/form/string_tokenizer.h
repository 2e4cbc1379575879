#pragma once
// Splits one text at every occurrence of a one-character delimiter and holds
// the pieces for reading by number. One tokenizer serves several splits in a
// row; each setString replaces what the previous one left.

#include <cstdint>
#include <memory>
#include <string>

#include "runtime/collection.h"

namespace parcelmoor {

class StringTokenizer {
 public:
  StringTokenizer();
  ~StringTokenizer();

  // Drops all tokens, then splits `strRecord` at `cDelimiter`. An empty record,
  // or a delimiter that is not exactly one character, leaves no token. The
  // piece after a final delimiter is dropped.
  void setString(const std::string& strRecord, const std::string& cDelimiter);
  int32_t countTokens() const { return lTokenCount; }
  // Token `lIndex`, REQUIRES: 1 <= lIndex <= countTokens() (else raises 5).
  std::string getTokenItemByIndex(int32_t lIndex) const;

 private:
  void clearTokens();

  int32_t lTokenCount = 0;
  std::shared_ptr<Collection> colTokens;
};

}  // namespace parcelmoor
