#include "runtime/collection.h"

namespace parcelmoor {
namespace {
[[noreturn]] void InvalidArgument() {
  RaiseRuntimeError(errnum::kInvalidProcedureCall);
}
char FoldChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
}  // namespace

std::string FoldAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = FoldChar(c);
  return out;
}

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldChar(a[i]) != FoldChar(b[i])) return false;
  return true;
}

void Collection::Add(Variant item, std::optional<std::string_view> key) {
  const std::string* foldedKey = nullptr;
  if (key) {
    auto [at, inserted] = byKey_.try_emplace(FoldAscii(*key), entries_.size());
    if (!inserted) {
      RaiseRuntimeError(errnum::kDuplicateKey);
    }
    foldedKey = &at->first;
  }
  try {
    entries_.push_back(Entry{std::move(item), foldedKey});
  } catch (...) {
    if (foldedKey) byKey_.erase(*foldedKey);
    throw;
  }
}

const Variant& Collection::Item(int32_t index) const {
  if (index < 1 || index > Count()) InvalidArgument();
  return entries_[static_cast<size_t>(index - 1)].value;
}

size_t Collection::IndexOf(std::string_view key) const {
  auto it = byKey_.find(FoldAscii(key));
  if (it == byKey_.end()) InvalidArgument();
  return it->second;
}

const Variant& Collection::Item(std::string_view key) const { return entries_[IndexOf(key)].value; }

const Variant& Collection::Item(const Variant& indexOrKey) const {
  if (indexOrKey.isText()) return Item(std::string_view(indexOrKey.text()));
  if (indexOrKey.isInteger() || indexOrKey.isBoolean()) return Item(indexOrKey.asInteger());
  if (indexOrKey.isObject()) {
    // An object passed as index stands for its default value (a form item's
    // value is not a key or a number).
    RaiseRuntimeError(errnum::kTypeMismatch);
  }
  InvalidArgument();
}

void Collection::Remove(int32_t index) {
  if (index < 1 || index > Count()) InvalidArgument();
  size_t at = static_cast<size_t>(index - 1);
  if (const std::string* key = entries_[at].foldedKey) byKey_.erase(byKey_.find(*key));
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(at));
  // Entries behind the removed one moved down by one; removing the last is O(1).
  for (size_t i = at; i < entries_.size(); ++i)
    if (const std::string* key = entries_[i].foldedKey) byKey_.find(*key)->second = i;
}

void Collection::Remove(const Variant& indexOrKey) {
  if (indexOrKey.isText()) return Remove(static_cast<int32_t>(IndexOf(indexOrKey.text()) + 1));
  Remove(indexOrKey.asInteger());
}

}  // namespace parcelmoor
