// `parcelmoor sweep`, and the sweep serve and cgi run over their upload
// directory: temporaries a crashed writer left behind are removed and logged.

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "commands.h"
#include "options.h"
#include "storage/temporary_files.h"

namespace parcelmoor::apps {

void SweepUploadDirectory(const std::string& directory, const char* who) {
  for (const std::string& path : SweepTemporaries(directory)) {
    std::fprintf(stderr, "parcelmoor %s: removed %s, left by a writer that is gone\n", who, path.c_str());
  }
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
                  "Removes the temporaries in DIR whose writer is gone (a crashed or killed upload),\n"
                  "as serve and cgi do when they start. Files being written are never touched.",
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
