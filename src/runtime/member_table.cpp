#include "runtime/member_table.h"

#include "runtime/ascii.h"
#include "runtime/collection.h"
#include "runtime/dispatch.h"

namespace parcelmoor {
namespace {

bool ReadsValue(InvokeKind kind) { return kind == InvokeKind::kMethod || kind == InvokeKind::kPropertyGet; }

bool Answers(const MemberSlot& slot, InvokeKind kind) {
  return slot.kind == kind || (ReadsValue(slot.kind) && ReadsValue(kind));
}

}  // namespace

size_t MemberSlot::maxArgs() const {
  size_t n = 0;
  while (n < params.size() && params[n] != ValueType::kNone) ++n;
  return n;
}

void RaiseMemberNotFound() {
  RaiseRuntimeError(errnum::kObjectDoesntSupport);
}

DispId FindMemberId(std::span<const MemberSlot> table, std::string_view name) {
  for (const MemberSlot& slot : table)
    if (EqualsIgnoringAsciiCase(slot.name, name)) return slot.id;
  RaiseMemberNotFound();
}

const MemberSlot& FindSlot(std::span<const MemberSlot> table, DispId id, InvokeKind kind, size_t argCount) {
  const MemberSlot* found = nullptr;
  for (const MemberSlot& slot : table) {
    if (slot.id != id || !Answers(slot, kind)) continue;
    found = &slot;
    if (slot.kind == kind) break;  // an exact kind wins over a method/get stand-in
  }
  if (!found) RaiseMemberNotFound();
  if (argCount < found->minArgs() || argCount > found->maxArgs())
    RaiseRuntimeError(errnum::kWrongArgumentCount);
  return *found;
}

namespace detail {

void RaiseParamTypeMismatch() { RaiseRuntimeError(errnum::kTypeMismatch); }

void RaiseObjectRequired() { RaiseRuntimeError(errnum::kObjectRequired); }

ObjectRef HeldObject(const Variant& arg, bool& isObject) {
  isObject = arg.isObject();
  if (!isObject || arg == Variant(ObjectRef())) return nullptr;  // a reference to nothing
  return arg.asObject();
}

}  // namespace detail
}  // namespace parcelmoor
