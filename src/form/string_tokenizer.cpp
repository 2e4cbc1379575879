// TEMPORARY: placeholder until the tokenizer lands.
#include "form/string_tokenizer.h"

namespace parcelmoor {
StringTokenizer::StringTokenizer() : colTokens(Collection::Create()) {}
StringTokenizer::~StringTokenizer() = default;
void StringTokenizer::setString(const std::string&, const std::string&) {}
std::string StringTokenizer::getTokenItemByIndex(int32_t) const { return {}; }
void StringTokenizer::clearTokens() {}
}  // namespace parcelmoor
