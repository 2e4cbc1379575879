// `parcelmoor sweep`, and the sweep serve and cgi run over their upload
// directory: temporaries a crashed writer left behind in the private
// directory are removed and logged. A writer holds a lock from before its
// temporary exists, so a sweep right after a start already finds every
// temporary of a crashed run: there is no grace to wait out.

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "commands.h"
#include "options.h"
#include "storage/temporary_files.h"

namespace parcelmoor::apps {

namespace {

void LogRemoved(const std::vector<std::string>& removed, const char* who) {
  for (const std::string& path : removed) {
    std::fprintf(stderr, "parcelmoor %s: removed %s, left by a writer that is gone\n", who, path.c_str());
  }
}

}  // namespace

void SweepUploadDirectory(const std::string& directory, const char* who) {
  LogRemoved(SweepTemporaries(directory), who);
}

void SweepUploadDirectoryIfDue(const std::string& directory, std::chrono::seconds interval, const char* who) {
  LogRemoved(SweepIfDue(directory, interval), who);
}

void SweepHourly(const std::string& directory) {
  std::thread([directory] {
    for (;;) {
      std::this_thread::sleep_for(std::chrono::hours(1));
      SweepUploadDirectory(directory, "serve");
    }
  }).detach();
}

int RunSweep(int argc, char** argv) {
  std::string directory;
  po::options_description d("Sweep options");
  d.add_options()("dir", po::value(&directory)->value_name("DIR")->required(), "the upload directory");
  Command command{"sweep",
                  "usage: parcelmoor sweep --dir DIR\n"
                  "Removes the temporaries in DIR/.parcelmoor whose writer is gone (a crashed or\n"
                  "killed upload), as serve does when it starts and cgi every few minutes. Files being\n"
                  "written, and every file outside DIR/.parcelmoor, are never touched.",
                  d, {}, false};
  std::string error;
  switch (ParseCommand(command, argc, argv, error)) {
    case Parsed::kHelpShown: return 0;
    case Parsed::kBad: return UsageError(command, error);
    case Parsed::kRun: break;
  }
  SweepUploadDirectory(directory, "sweep");
  return 0;
}

}  // namespace parcelmoor::apps
