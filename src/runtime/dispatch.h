#pragma once
// The automation boundary: late-bound calls by name or dispatch identifier on
// any script-visible object, and the release of a script's reference. Every
// raised error reaches the caller with its number, source and description
// unchanged; any other C++ exception leaves as the raised error that
// CurrentExceptionAsRaisedError (runtime/raised_error.h) makes of it.

#include <string_view>
#include <utility>
#include <vector>

#include "runtime/object.h"
#include "runtime/raised_error.h"
#include "runtime/variant.h"

namespace parcelmoor {


// Dispatch identifier of a class's default member.
inline constexpr DispId kDispIdValue = 0;

// Dispatch identifier of `name` on `object` (ASCII letter case ignored).
// Raises 438 for a name the object does not have, 91 when `object` is none.
DispId GetIDOfName(const ObjectRef& object, std::string_view name);

// Calls member `id` of `object` as `kind` with `args` in call order and returns
// its result (empty for members without one). By-reference arguments are never
// written back. Raises 438 for an identifier or kind the object does not
// answer, 450 for a wrong number of arguments, 13 for an argument of the wrong
// type, 91 when `object` is none, and whatever the member raises.
Variant Invoke(const ObjectRef& object, DispId id, InvokeKind kind, std::vector<Variant> args = {});

// GetIDOfName followed by Invoke.
Variant CallByName(const ObjectRef& object, std::string_view name, InvokeKind kind,
                   std::vector<Variant> args = {});

// Drops the script's reference `ref` (left empty). When it was the last one,
// the object's final-release step runs first (an upload object's termination)
// and its raised error goes to the caller; the reference is dropped either way.
void ReleaseObject(ObjectRef& ref);

// Throws CurrentExceptionAsRaisedError() of the exception being handled.
// REQUIRES: called inside a catch handler.
[[noreturn]] void RaiseCurrentException();

// Runs `call` at the boundary: what it raises leaves as a raised error only.
template <class F>
decltype(auto) AtBoundary(F&& call) {
  try {
    return std::forward<F>(call)();
  } catch (...) {
    RaiseCurrentException();
  }
}

}  // namespace parcelmoor
