#pragma once
// How an authorizing application narrows one upload: the headers of its 2xx
// answer may put the files in a subdirectory of the upload directory and
// lower the size limits, for this request alone. They can never widen what
// the operator configured: a directory outside the upload directory, or a
// limit above the configured one, is not possible through them.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/upload_settings.h"

namespace parcelmoor {

// `settings` narrowed by the answer's headers (lower-case names):
//   parcelmoor-max-file-size      bytes; only lowers maxFileBytes
//   parcelmoor-max-request-size   bytes; only lowers maxRequestBytes
// False with `why` set (for the log) when a size is not a decimal number.
bool NarrowLimits(const std::vector<std::pair<std::string, std::string>>& headers, UploadSettings& settings,
                  std::string& why);

// `settings` narrowed by a parcelmoor-directory header: a relative path
// below the upload directory, created when missing. False with `why` set
// when it has a ".." step, is absolute, passes a symbolic link or cannot be
// created; then nothing has been created.
bool NarrowDirectory(const std::vector<std::pair<std::string, std::string>>& headers, UploadSettings& settings,
                     std::string& why);

// Makes `relative` (below the directory `base`) exist as directories, never
// following a symbolic link on the way, and returns "base/relative" with
// empty and "." steps dropped. Empty with `why` set when `relative` is
// absolute, has a ".." step, passes a link or cannot be created.
std::string MakeSubdirectory(const std::string& base, std::string_view relative, std::string& why);

// Walks again, just before its files are committed, to a directory that
// NarrowDirectory made from `base` some time ago (a resumable upload's,
// days perhaps): true when `narrowed` is `base` itself or still lies below
// it through directories alone; false with `why` when a step has since been
// swapped for a link (or removed), so that nothing follows it out of `base`.
bool StillBelow(const std::string& base, const std::string& narrowed, std::string& why);

}  // namespace parcelmoor
