#pragma once
// The one error type that crosses the component's boundaries: a raised error
// carrying a number, a source text and a description text.

#include <cstdint>
#include <exception>
#include <string>

namespace parcelmoor {

class RaisedError : public std::exception {
 public:
  RaisedError(int32_t number, std::string source, std::string description);

  int32_t number() const { return number_; }
  const std::string& source() const { return source_; }
  const std::string& description() const { return description_; }
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  int32_t number_;
  std::string source_;
  std::string description_;
  std::string what_;
};

[[noreturn]] void Raise(int32_t number, std::string source, std::string description);

// The exception being handled as a raised error: a raised error unchanged,
// std::bad_alloc as 7 "Out of memory", anything else as 51 "Internal error".
// The one place where other C++ exceptions become raised errors.
// REQUIRES: called inside a catch handler.
RaisedError CurrentExceptionAsRaisedError();

// Raises one of the scripting runtime's errors (the errnum numbers below
// from 5 to 457) with its usual text and the component's source.
[[noreturn]] void RaiseRuntimeError(int32_t number);

// Source text used for errors the component raises without a source of its own
// and for the scripting runtime's own errors.
inline constexpr const char* kComponentSource = "qelt_parcelmoor";

// The scripting runtime's usual numbers. The upload component's own numbers
// are in upload/upload_errors.h.
namespace errnum {
inline constexpr int32_t kInvalidProcedureCall = 5;
inline constexpr int32_t kOverflow = 6;
inline constexpr int32_t kOutOfMemory = 7;
inline constexpr int32_t kInternalError = 51;
inline constexpr int32_t kTypeMismatch = 13;
inline constexpr int32_t kObjectNotSet = 91;
inline constexpr int32_t kInvalidUseOfNull = 94;
inline constexpr int32_t kObjectDoesntSupport = 438;
inline constexpr int32_t kWrongArgumentCount = 450;
inline constexpr int32_t kObjectRequired = 424;
inline constexpr int32_t kCannotCreateObject = 429;
inline constexpr int32_t kDuplicateKey = 457;
}  // namespace errnum

}  // namespace parcelmoor
