#pragma once
// The scripting runtime's ordered collection: entries numbered from 1, Add
// (optionally under a key), Item by number or key, Count, Remove by number.
// Keys compare without regard to ASCII letter case; key look-up is O(1), and
// removing the last entry is O(1).

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
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
    // The folded key as stored in byKey_ (whose nodes never move), or none.
    const std::string* foldedKey = nullptr;
  };
  size_t IndexOf(std::string_view key) const;  // 0-based; raises 5 when absent

  std::vector<Entry> entries_;
  std::unordered_map<std::string, size_t> byKey_;  // folded key -> 0-based index
};

// ASCII-only letter-case folding, as every key and name comparison here uses.
std::string FoldAscii(std::string_view s);
bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b);

}  // namespace parcelmoor
