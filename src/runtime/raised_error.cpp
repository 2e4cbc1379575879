#include "runtime/raised_error.h"

#include <new>
#include <utility>

namespace parcelmoor {

RaisedError::RaisedError(int32_t number, std::string source, std::string description)
    : number_(number), source_(std::move(source)), description_(std::move(description)) {
  what_ = std::to_string(number_) + " (" + source_ + "): " + description_;
}

namespace {

// The runtime's errors the component raises, each with its usual text; an
// enumerator added without a text is a -Wswitch warning.
enum class RuntimeError : int32_t {
  kInvalidProcedureCall = errnum::kInvalidProcedureCall,
  kOverflow = errnum::kOverflow,
  kOutOfMemory = errnum::kOutOfMemory,
  kTypeMismatch = errnum::kTypeMismatch,
  kInternalError = errnum::kInternalError,
  kObjectNotSet = errnum::kObjectNotSet,
  kInvalidUseOfNull = errnum::kInvalidUseOfNull,
  kObjectRequired = errnum::kObjectRequired,
  kCannotCreateObject = errnum::kCannotCreateObject,
  kObjectDoesntSupport = errnum::kObjectDoesntSupport,
  kWrongArgumentCount = errnum::kWrongArgumentCount,
  kDuplicateKey = errnum::kDuplicateKey,
};

const char* RuntimeErrorText(RuntimeError error) {
  switch (error) {
    case RuntimeError::kInvalidProcedureCall: return "Invalid procedure call or argument";
    case RuntimeError::kOverflow: return "Overflow";
    case RuntimeError::kOutOfMemory: return "Out of memory";
    case RuntimeError::kTypeMismatch: return "Type mismatch";
    case RuntimeError::kInternalError: return "Internal error";
    case RuntimeError::kObjectNotSet: return "Object variable or With block variable not set";
    case RuntimeError::kInvalidUseOfNull: return "Invalid use of Null";
    case RuntimeError::kObjectRequired: return "Object required";
    case RuntimeError::kCannotCreateObject: return "ActiveX component can't create object";
    case RuntimeError::kObjectDoesntSupport: return "Object doesn't support this property or method";
    case RuntimeError::kWrongArgumentCount: return "Wrong number of arguments or invalid property assignment";
    case RuntimeError::kDuplicateKey: return "This key is already associated with an element of this collection";
  }
  return "Application-defined or object-defined error";
}

}  // namespace

RaisedError CurrentExceptionAsRaisedError() {
  try {
    throw;
  } catch (const RaisedError& e) {
    return e;
  } catch (const std::bad_alloc&) {
    return RaisedError(errnum::kOutOfMemory, kComponentSource, RuntimeErrorText(RuntimeError::kOutOfMemory));
  } catch (...) {
    return RaisedError(errnum::kInternalError, kComponentSource, RuntimeErrorText(RuntimeError::kInternalError));
  }
}

void RaiseRuntimeError(int32_t number) {
  throw RaisedError(number, kComponentSource, RuntimeErrorText(static_cast<RuntimeError>(number)));
}

void Raise(int32_t number, std::string source, std::string description) {
  throw RaisedError(number, std::move(source), std::move(description));
}

}  // namespace parcelmoor
