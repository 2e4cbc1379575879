#pragma once
// The scripting runtime's ordered collection: entries numbered from 1, Add
// (optionally under a key), Item by number or key, Count, Remove by number.
// Keys compare without regard to ASCII letter case; key look-up is O(1), and
// removing the last entry is O(1). A collection of a few entries keeps no
// key index: it is built when a key is looked for among more.

#include <optional>
#include <string>
#include <string_view>
#include <cstdint>
#include <vector>

#include "runtime/object.h"
#include "runtime/variant.h"

namespace parcelmoor {

class Collection : public Object {
 public:
  static std::shared_ptr<Collection> Create() { return std::make_shared<Collection>(); }

  // Appends `item`. A key already present raises 457 and adds nothing.
  void Add(Variant item, std::optional<std::string_view> key = std::nullopt);
  // Entry by number (1..Count) or by key; anything else raises 5.
  const Variant& Item(int32_t index) const;
  const Variant& Item(std::string_view key) const;
  // Number or key as a script passes it: an integer (or Boolean) is a number,
  // text is a key.
  const Variant& Item(const Variant& indexOrKey) const;
  int32_t Count() const { return static_cast<int32_t>(entries_.size()); }
  // Removes entry `index` (1..Count) and closes the gap; otherwise raises 5.
  void Remove(int32_t index);
  void Remove(const Variant& indexOrKey);

  // Mutable access to the last entry, for in-place appends. REQUIRES: Count() > 0.
  Variant& Last() { return entries_.back().value; }

  // Late-bound calls through the member table.
  DispId GetIDOfName(std::string_view name) override;
  Variant Invoke(DispId id, InvokeKind kind, std::vector<Variant>& args) override;

 private:
  struct Entry {
    Variant value;
    std::string foldedKey;  // meaningful only when hasKey
    size_t keyHash = 0;
    bool hasKey = false;
  };
  static constexpr size_t kNoEntry = SIZE_MAX;
  // 0-based index of the entry under `foldedKey`, or kNoEntry.
  size_t Find(std::string_view foldedKey, size_t hash) const;
  size_t IndexOf(std::string_view key) const;  // 0-based; raises 5 when absent
  // The key index: open addressing with linear probing over entry numbers
  // (index + 1; 0 marks a free slot), at most half full, entries placed in
  // their order. Empty until entries_ holds kIndexFrom entries; dropped when
  // an entry other than the last is removed, and rebuilt from entries_ when
  // next needed.
  static constexpr size_t kIndexFrom = 8;
  bool IndexWanted() const { return entries_.size() >= kIndexFrom; }
  void BuildIndex() const;
  void IndexEntry(size_t index) const;  // REQUIRES: a free slot
  void UnindexLastEntry();

  std::vector<Entry> entries_;
  mutable std::vector<uint32_t> slots_;  // derived from entries_, built on demand
};

}  // namespace parcelmoor
