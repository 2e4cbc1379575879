#pragma once
// The errors a host adapter's BinaryRead raises. The body reader clears them
// without reporting them; they only tell it that the body has ended.

#include <string>

#include "runtime/raised_error.h"

namespace parcelmoor::hosterr {

// The scripting runtime's numbers for the same situations.
inline constexpr int32_t kInputPastEndOfFile = 62;
inline constexpr int32_t kDeviceIoError = 57;

// No body byte remains.
[[noreturn]] inline void RaiseEndOfBody() {
  Raise(kInputPastEndOfFile, kComponentSource, "Input past end of file");
}

// The body could not be read: the client has gone, stalled or sent less than
// it announced. `why` says which.
[[noreturn]] inline void RaiseReadFailed(const std::string& why) {
  Raise(kDeviceIoError, kComponentSource, "Device I/O error: " + why);
}

}  // namespace parcelmoor::hosterr
