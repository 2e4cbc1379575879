#pragma once
// The free-space reserve of serve and cgi (--min-free-space): an upload or a
// resumable upload's creation whose announced length would leave the disk
// with less free space than the reserve is refused with 507 before any
// body byte is read. A full disk otherwise fails an upload only once it is
// mostly sent, and takes the room the system's own logs and the other
// uploads under way need.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "host/page_answer.h"
#include "host/upload_settings.h"

namespace parcelmoor {

// Bytes free to an unprivileged writer on the file system holding
// `directory` (statvfs' f_bavail); none when it cannot be told (a missing
// directory, an object store).
std::optional<int64_t> FreeBytes(const std::string& directory);

// The refusal (507, `json` or HTML) of a body of `length` bytes that would
// leave less than settings.minFreeBytes free where `directory` is (the
// upload directory when empty); none when it fits, when no reserve is set,
// or when the free space cannot be told.
std::optional<PageAnswer> FreeSpaceRefusal(const UploadSettings& settings, int64_t length, bool json,
                                           const std::string& directory = {});

// The same for a resumable upload's creation (`method` POST with an
// `uploadLength` header; other requests pass): its bytes wait in `spool`
// (the upload directory when empty) and then go to the upload directory.
// A tus answer (507).
std::optional<PageAnswer> CreationFreeSpaceRefusal(const UploadSettings& settings, std::string_view method,
                                                   std::string_view uploadLength, const std::string& spool);

}  // namespace parcelmoor
