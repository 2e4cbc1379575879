#pragma once
// What an answer to a client says of where a file went. A client learns the
// name its file was stored under (under keep-both, "x (1).txt"; with a
// narrowed directory, "alice/x.txt"), never where the upload directory is on
// the server: that is for the application's hand-off report, `store` and C
// hosts, which open the files.

#include <string>
#include <string_view>

#include "host/upload_settings.h"

namespace parcelmoor {

// The stored paths' common start under `settings` as a client is told it:
// the upload directory from the root, as the page runner tells records'
// paths, with a trailing '/'. Empty when the settings keep full paths
// (clientPathsRelative off) or no directory is set.
std::string ClientPathRoot(const UploadSettings& settings);

// `storedPath` as a client is told it: relative to `root`; the last step
// alone when it lies elsewhere. `root` empty: unchanged.
std::string ClientPath(std::string_view storedPath, std::string_view root);

}  // namespace parcelmoor
