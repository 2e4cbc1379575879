#pragma once
// Every error the upload component raises of its own, with its number, source
// and text, and one function that raises each. The scripting runtime's errors
// (5, 7, 13, 91, ...) stay with the runtime (runtime/raised_error.h); the
// hosts' end-of-body errors stay with the hosts. Numbers a script may see
// never change once released; a new one is appended.

#include <cstdint>
#include <string>

#include "runtime/raised_error.h"

namespace parcelmoor::uploaderr {

// storeUploadedFiles was called while UploadDirectory is empty.
inline constexpr int32_t kDirectoryEmpty = -2147221003;  // 0x800401F5
// A file part's header names an empty (or all-space) file name.
inline constexpr int32_t kNoFileUploaded = -2147221001;  // 0x800401F7
// The body's first line is empty: there is no delimiter to split it at.
inline constexpr int32_t kNoDelimiterLine = -2147221000;  // 0x800401F8
// The body's first line, the delimiter line, is longer than 1,024 bytes.
inline constexpr int32_t kDelimiterLineTooLong = -2147220999;  // 0x800401F9
// A line among a part's headers is longer than 2,048 bytes.
inline constexpr int32_t kHeaderLineTooLong = -2147220998;  // 0x800401FA
// The file of a file part could not be opened (the system's code follows).
inline constexpr int32_t kOpenFileFailed = -20;  // 0xFFFFFFEC
// A write to the file of a file part failed or came up short.
inline constexpr int32_t kFileIo = 15001;  // 0x3A99
// A plain field's value is longer than MaxFieldSize.
inline constexpr int32_t kFieldTooLarge = -2147220997;  // 0x800401FB
// The body has more parts than MaxParts.
inline constexpr int32_t kTooManyParts = -2147220996;  // 0x800401FC

inline constexpr const char* kNoDelimiterLineText =
    "The request body does not begin with a delimiter line: its first line is empty.";
inline constexpr const char* kDelimiterLineTooLongText =
    "The delimiter line of the request body is longer than 1024 bytes.";
inline constexpr const char* kHeaderLineTooLongText = "A header line of the request body is longer than 2048 bytes.";
inline constexpr const char* kOpenFileSource = "OpenFile";
inline constexpr const char* kFileIoSource = "File I/O Error";
// What a failure to store a file part says in front of its own text.
inline constexpr const char* kStoringPrefix = "The following error coccured while storing uploaded file ";

[[noreturn]] inline void RaiseDirectoryEmpty() {
  Raise(kDirectoryEmpty, "qeltUpload.dll",
        "Directory Cannot be empty. Please set directory using setUploadDirectory function.");
}
[[noreturn]] inline void RaiseNoFileUploaded(const std::string& itemName) {
  Raise(kNoFileUploaded, kComponentSource, "No File uploaded for " + itemName);
}
[[noreturn]] inline void RaiseNoDelimiterLine() { Raise(kNoDelimiterLine, kComponentSource, kNoDelimiterLineText); }
[[noreturn]] inline void RaiseDelimiterLineTooLong() {
  Raise(kDelimiterLineTooLong, kComponentSource, kDelimiterLineTooLongText);
}
[[noreturn]] inline void RaiseHeaderLineTooLong() {
  Raise(kHeaderLineTooLong, kComponentSource, kHeaderLineTooLongText);
}
// `systemCode` is the Windows code for the failed open.
inline RaisedError OpenFileFailed(uint32_t systemCode) {
  return RaisedError(kOpenFileFailed, kOpenFileSource, "CreateFile failed. GetLastError=" + std::to_string(systemCode));
}
inline RaisedError FileIoFailed(uint32_t systemCode) {
  return RaisedError(kFileIo, kFileIoSource, "file i/o. GetLastError returned --> " + std::to_string(systemCode));
}
// A finished file that could not get its final name.
inline RaisedError CommitFailed(uint32_t systemCode) {
  return RaisedError(kFileIo, kFileIoSource, "MoveFileEx failed. GetLastError=" + std::to_string(systemCode));
}
[[noreturn]] inline void RaiseOpenFileFailed(uint32_t systemCode) { throw OpenFileFailed(systemCode); }
[[noreturn]] inline void RaiseFileIo(uint32_t systemCode) { throw FileIoFailed(systemCode); }
[[noreturn]] inline void RaiseFieldTooLarge(int32_t limit) {
  Raise(kFieldTooLarge, kComponentSource,
        "A field's value is longer than MaxFieldSize allows (" + std::to_string(limit) + " bytes).");
}
[[noreturn]] inline void RaiseTooManyParts(int32_t limit) {
  Raise(kTooManyParts, kComponentSource,
        "The request body has more parts than MaxParts allows (" + std::to_string(limit) + ").");
}
// Raises `cause` again with its number and source, its text prefixed to say
// that storing a file part failed.
[[noreturn]] inline void RaiseStoringFailed(const RaisedError& cause) {
  Raise(cause.number(), cause.source(), kStoringPrefix + cause.description());
}

// The plain fields' values together are longer than MaxTotalFieldSize.
inline constexpr int32_t kFieldsTooLarge = -2147220995;  // 0x800401FD
[[noreturn]] inline void RaiseFieldsTooLarge(int64_t limit) {
  Raise(kFieldsTooLarge, kComponentSource,
        "The request body's fields are longer together than MaxTotalFieldSize allows (" + std::to_string(limit) +
            " bytes).");
}

}  // namespace parcelmoor::uploaderr
