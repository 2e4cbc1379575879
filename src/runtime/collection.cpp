#include "runtime/collection.h"

#include <functional>

#include "runtime/ascii.h"

namespace parcelmoor {
namespace {
[[noreturn]] void InvalidArgument() {
  RaiseRuntimeError(errnum::kInvalidProcedureCall);
}
size_t HashKey(std::string_view foldedKey) { return std::hash<std::string_view>{}(foldedKey); }
}  // namespace

void Collection::Add(Variant item, std::optional<std::string_view> key) {
  Entry entry;
  entry.value = std::move(item);
  if (key) {
    entry.foldedKey = FoldAscii(*key);
    entry.keyHash = HashKey(entry.foldedKey);
    entry.hasKey = true;
    if (Find(entry.foldedKey, entry.keyHash) != kNoEntry) RaiseRuntimeError(errnum::kDuplicateKey);
  }
  entries_.push_back(std::move(entry));
  if (slots_.empty()) return;
  try {
    if (2 * entries_.size() > slots_.size()) {
      BuildIndex();  // grows, and places the new entry
    } else if (entries_.back().hasKey) {
      IndexEntry(entries_.size() - 1);
    }
  } catch (...) {
    entries_.pop_back();
    slots_.clear();
    throw;
  }
}

size_t Collection::Find(std::string_view foldedKey, size_t hash) const {
  if (slots_.empty() && IndexWanted()) BuildIndex();
  if (slots_.empty()) {
    for (size_t i = 0; i < entries_.size(); ++i) {
      const Entry& e = entries_[i];
      if (e.hasKey && e.keyHash == hash && e.foldedKey == foldedKey) return i;
    }
    return kNoEntry;
  }
  const size_t mask = slots_.size() - 1;
  for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
    const uint32_t number = slots_[slot];
    if (number == 0) return kNoEntry;
    const Entry& e = entries_[number - 1];
    if (e.keyHash == hash && e.foldedKey == foldedKey) return number - 1;
  }
}

void Collection::BuildIndex() const {
  size_t capacity = 2 * kIndexFrom;
  while (capacity < 2 * (entries_.size() + 1)) capacity *= 2;  // room for the next Add
  slots_.assign(capacity, 0);
  for (size_t i = 0; i < entries_.size(); ++i)
    if (entries_[i].hasKey) IndexEntry(i);
}

void Collection::IndexEntry(size_t index) const {
  const size_t mask = slots_.size() - 1;
  size_t slot = entries_[index].keyHash & mask;
  while (slots_[slot] != 0) slot = (slot + 1) & mask;
  slots_[slot] = static_cast<uint32_t>(index + 1);
}

void Collection::UnindexLastEntry() {
  // Entries are indexed in their order, so the last one was placed after all
  // others: no probe for another entry passes its slot, and freeing the slot
  // leaves the index as if the entry had never been added.
  const size_t mask = slots_.size() - 1;
  const auto number = static_cast<uint32_t>(entries_.size());
  size_t slot = entries_.back().keyHash & mask;
  while (slots_[slot] != number) slot = (slot + 1) & mask;
  slots_[slot] = 0;
}

const Variant& Collection::Item(int32_t index) const {
  if (index < 1 || index > Count()) InvalidArgument();
  return entries_[static_cast<size_t>(index - 1)].value;
}

size_t Collection::IndexOf(std::string_view key) const {
  const std::string folded = FoldAscii(key);
  const size_t at = Find(folded, HashKey(folded));
  if (at == kNoEntry) InvalidArgument();
  return at;
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
  const size_t at = static_cast<size_t>(index - 1);
  if (at + 1 == entries_.size()) {
    // The last entry: O(1), the index stays.
    if (!slots_.empty() && entries_.back().hasKey) UnindexLastEntry();
    entries_.pop_back();
    return;
  }
  // Entries behind this one move down by one: the index is rebuilt when next needed.
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(at));
  slots_.clear();
}

void Collection::Remove(const Variant& indexOrKey) {
  if (indexOrKey.isText()) return Remove(static_cast<int32_t>(IndexOf(indexOrKey.text()) + 1));
  Remove(indexOrKey.asInteger());
}

}  // namespace parcelmoor
