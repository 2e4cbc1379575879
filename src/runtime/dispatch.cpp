#include "runtime/dispatch.h"

#include <new>

namespace parcelmoor {
namespace {

void Require(const ObjectRef& object) {
  if (!object) RaiseRuntimeError(errnum::kObjectNotSet);
}

}  // namespace

void RaiseCurrentException() {
  try {
    throw;
  } catch (const RaisedError&) {
    throw;
  } catch (...) {
    throw CurrentExceptionAsRaisedError();
  }
}

DispId GetIDOfName(const ObjectRef& object, std::string_view name) {
  return AtBoundary([&] {
    Require(object);
    return object->GetIDOfName(name);
  });
}

Variant Invoke(const ObjectRef& object, DispId id, InvokeKind kind, std::vector<Variant> args) {
  return AtBoundary([&] {
    Require(object);
    return object->Invoke(id, kind, args);
  });
}

Variant CallByName(const ObjectRef& object, std::string_view name, InvokeKind kind, std::vector<Variant> args) {
  return AtBoundary([&] {
    Require(object);
    DispId id = object->GetIDOfName(name);
    return object->Invoke(id, kind, args);
  });
}

void ReleaseObject(ObjectRef& ref) {
  if (!ref) return;
  ObjectRef held = std::move(ref);
  // Other holders (a collection, another variable) keep the object alive:
  // only the last reference runs the final-release step.
  if (held.use_count() != 1) return;
  AtBoundary([&] { held->OnFinalRelease(); });
}

}  // namespace parcelmoor
