#pragma once
// Base of every object a script can hold: reference counted through
// std::shared_ptr, and reachable by late-bound calls (member name or dispatch
// identifier). Classes without a member table answer every call with 438.

#include <atomic>
#include <cstdint>
#include <string_view>
#include <vector>

#include "runtime/raised_error.h"
#include "runtime/variant.h"

namespace parcelmoor {

enum class InvokeKind : int32_t {
  kMethod = 1,
  kPropertyGet = 2,
  kPropertyPut = 4,
  kPropertyPutRef = 8,
};

using DispId = int32_t;

class Object : public std::enable_shared_from_this<Object> {
 public:
  Object();
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;
  virtual ~Object();

  // Dispatch identifier of a member, its name compared without regard to
  // ASCII letter case. Raises 438 for an unknown name.
  virtual DispId GetIDOfName(std::string_view name);
  // Calls a member by identifier. `args` are in call order; by-reference
  // arguments are never written back. Raises 438 for an unknown identifier.
  virtual Variant Invoke(DispId id, InvokeKind kind, std::vector<Variant>& args);
  // Runs when the last script reference is released through the dispatch
  // layer; may raise. Default: nothing.
  virtual void OnFinalRelease() {}

  // Number of objects alive in the process (for DllCanUnloadNow).
  static int64_t LiveObjects();

 private:
  static std::atomic<int64_t> live_;
};

// Casts an object variant to the class T; a missing object raises 91, an
// object of another class raises 13.
template <class T>
std::shared_ptr<T> ObjectAs(const Variant& v) {
  auto typed = std::dynamic_pointer_cast<T>(v.asObject());
  if (!typed) RaiseRuntimeError(errnum::kTypeMismatch);
  return typed;
}

}  // namespace parcelmoor
