// Member table of the scripting runtime's Collection and its dispatch.
#include "runtime/collection.h"
#include "runtime/member_table.h"

namespace parcelmoor {
namespace {

constexpr DispId kItem = kDispIdValue;
constexpr DispId kAdd = 1;
constexpr DispId kCount = 2;
constexpr DispId kRemove = 3;

using enum ValueType;
using K = InvokeKind;

// Item is the default member: col("key") and col(1) read an entry.
constexpr MemberSlot kMembers[] = {
    {"Item", K::kMethod, kItem, {kAny}, 0, kAny},
    {"Add", K::kMethod, kAdd, {kAny, kText}, 1, kNone},
    {"Count", K::kMethod, kCount, {}, 0, kInteger},
    {"Remove", K::kMethod, kRemove, {kAny}, 0, kNone},
};

}  // namespace

std::span<const MemberSlot> CollectionMembers() { return kMembers; }

DispId Collection::GetIDOfName(std::string_view name) { return FindMemberId(kMembers, name); }

Variant Collection::Invoke(DispId id, InvokeKind kind, std::vector<Variant>& args) {
  FindSlot(kMembers, id, kind, args.size());
  switch (id) {
    case kItem:
      return Item(args[0]);
    case kAdd:
      // An empty key stands for a key left out: a variant has no "missing"
      // value of its own. Arguments are the caller's: copied, never moved.
      if (args.size() == 2 && !args[1].isEmpty()) {
        std::string key = args[1].asText();
        Add(args[0], key);
      } else {
        Add(args[0]);
      }
      return {};
    case kCount:
      return Count();
    case kRemove:
      Remove(args[0]);
      return {};
  }
  RaiseMemberNotFound();
}

}  // namespace parcelmoor
