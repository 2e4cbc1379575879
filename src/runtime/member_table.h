#pragma once
// Member tables: the binding surface of each script-visible class. One row per
// member and kind, in interface order, with its dispatch identifier, the types
// its arguments are taken as and the type of its result. Lookup by name
// ignores ASCII letter case.

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "runtime/dispatch.h"
#include "runtime/object.h"
#include "runtime/variant.h"

namespace parcelmoor {

// What crosses the boundary in an argument or result.
enum class ValueType : uint8_t {
  kNone,              // no value (no argument in this position; no result)
  kInteger,           // 32-bit signed
  kBoolean,           // -1 or 0, or the value as passed
  kText,
  kCollection,        // object reference to a Collection
  kScriptingContext,  // object reference to the page's scripting context
  kAny,               // any variant, kept as it is
};

struct MemberSlot {
  std::string_view name;
  InvokeKind kind;
  DispId id;
  std::array<ValueType, 2> params;  // kNone after the last parameter
  uint8_t optionalParams;           // trailing parameters a caller may leave out
  ValueType result;

  size_t maxArgs() const;
  size_t minArgs() const { return maxArgs() - optionalParams; }
};

// The tables of the three classes a script can reach.
std::span<const MemberSlot> UploadFileMembers();
std::span<const MemberSlot> FormItemMembers();
std::span<const MemberSlot> CollectionMembers();

// Identifier of the member called `name`. Raises 438 when there is none.
DispId FindMemberId(std::span<const MemberSlot> table, std::string_view name);

// The row answering a call of member `id` as `kind` with `argCount`
// arguments. A method also answers a property get and a property get a method
// call, since a script reading a value may send either. Raises 438 when no row
// has `id` or none answers `kind`, 450 when `argCount` does not fit the row.
const MemberSlot& FindSlot(std::span<const MemberSlot> table, DispId id, InvokeKind kind, size_t argCount);

// An object parameter: empty, null and a missing object give none (the member
// decides what none means); an object of another class or a value that is
// not an object raises 13.
template <class T>
std::shared_ptr<T> ObjectParam(const Variant& arg);

// The value of a put by reference: a missing object gives none; an object of
// another class raises 13; a value that is not an object raises 424.
template <class T>
std::shared_ptr<T> ObjectToAssign(const Variant& arg);

// Raises 438: the member table has no row for this call.
[[noreturn]] void RaiseMemberNotFound();

}  // namespace parcelmoor

namespace parcelmoor {

namespace detail {
[[noreturn]] void RaiseParamTypeMismatch();
[[noreturn]] void RaiseObjectRequired();
// The object held by `arg`, none for a missing one; `isObject` says whether
// `arg` held an object reference at all.
ObjectRef HeldObject(const Variant& arg, bool& isObject);
}  // namespace detail

template <class T>
std::shared_ptr<T> ObjectParam(const Variant& arg) {
  if (arg.isEmpty() || arg.isNull()) return nullptr;
  bool isObject = false;
  ObjectRef held = detail::HeldObject(arg, isObject);
  if (!isObject) detail::RaiseParamTypeMismatch();
  if (!held) return nullptr;
  auto typed = std::dynamic_pointer_cast<T>(held);
  if (!typed) detail::RaiseParamTypeMismatch();
  return typed;
}

template <class T>
std::shared_ptr<T> ObjectToAssign(const Variant& arg) {
  bool isObject = false;
  ObjectRef held = detail::HeldObject(arg, isObject);
  if (!isObject) detail::RaiseObjectRequired();
  if (!held) return nullptr;
  auto typed = std::dynamic_pointer_cast<T>(held);
  if (!typed) detail::RaiseParamTypeMismatch();
  return typed;
}

}  // namespace parcelmoor
