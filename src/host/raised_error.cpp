#include "host/raised_error.h"

#include <new>
#include <utility>

namespace parcelmoor {

RaisedError::RaisedError(int32_t number, std::string source, std::string description)
    : number_(number), source_(std::move(source)), description_(std::move(description)) {
  what_ = std::to_string(number_) + " (" + source_ + "): " + description_;
}

RaisedError CurrentExceptionAsRaisedError() {
  try {
    throw;
  } catch (const RaisedError& e) {
    return e;
  } catch (const std::bad_alloc&) {
    return RaisedError(errnum::kOutOfMemory, kComponentSource, "Out of memory");
  } catch (...) {
    return RaisedError(errnum::kInternalError, kComponentSource, "Internal error");
  }
}

void Raise(int32_t number, std::string source, std::string description) {
  throw RaisedError(number, std::move(source), std::move(description));
}

}  // namespace parcelmoor
