#pragma once
// Test support: the number of the error a call raises, 0 when it raises none.

#include <cstdint>
#include <functional>

#include "runtime/raised_error.h"

namespace parcelmoor::testing {

inline int32_t RaisedNumber(const std::function<void()>& call) {
  try {
    call();
  } catch (const RaisedError& e) {
    return e.number();
  }
  return 0;
}

}  // namespace parcelmoor::testing
