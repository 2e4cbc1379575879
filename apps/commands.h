#pragma once
// The subcommands of the parcelmoor executable. Each takes the arguments after
// its own name and returns the process exit status. `invokedAs` is the name
// messages use: the command's, or "" when it was chosen without being named.

#include <chrono>
#include <string>

#include "host/upload_settings.h"

namespace parcelmoor::apps {

int RunStore(int argc, char** argv);
int RunServe(int argc, char** argv, const char* invokedAs);
int RunCgi(int argc, char** argv, const char* invokedAs);
int RunSweep(int argc, char** argv);

// Removes what writers that are gone left in the settings' upload directory
// (temporaries in a local one; multipart uploads older than the grace in an
// object store), logging each on standard error as command `who`.
void SweepUploadDirectory(const UploadSettings& settings, const char* who);
// As SweepUploadDirectory, when no sweep of the directory began in the last
// `interval` (for a host that runs once per request).
void SweepUploadDirectoryIfDue(const UploadSettings& settings, std::chrono::seconds interval, const char* who);
// Runs SweepUploadDirectory now (an object store's on the thread below) and
// then every hour on a thread of its own, for the rest of the process.
void SweepHourly(const UploadSettings& settings);

}  // namespace parcelmoor::apps
