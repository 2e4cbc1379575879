// `parcelmoor sweep`, and the sweep serve and cgi run over their upload
// directory: temporaries a crashed writer left behind in the private
// directory are removed and logged. A writer holds a lock from before its
// temporary exists, so a sweep right after a start already finds every
// temporary of a crashed run: there is no grace to wait out. In an object
// store no lock tells a live writer from a gone one: multipart uploads begun
// longer ago than --s3-sweep-grace are aborted.

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "commands.h"
#include "options.h"
#include "storage/s3/s3_names.h"
#include "storage/store_for_location.h"
#include "storage/temporary_files.h"

namespace parcelmoor::apps {

namespace {

void LogRemoved(const std::vector<std::string>& removed, const char* who) {
  for (const std::string& path : removed) {
    std::fprintf(stderr, "parcelmoor %s: removed %s, left by a writer that is gone\n", who, path.c_str());
  }
}

std::vector<std::string> SweepObjectStore(const UploadSettings& settings) {
  const std::shared_ptr<Store> store =
      StoreForLocation(*settings.uploadDirectory, StoreChoice{.onExists = settings.onExists, .s3 = settings.s3});
  std::vector<std::string> removed = store->sweep(*settings.uploadDirectory);
  if (!store->lastFailure().empty()) {
    std::fprintf(stderr, "parcelmoor: the sweep of %s did not finish: %s\n", settings.uploadDirectory->c_str(),
                 store->lastFailure().c_str());
  }
  return removed;
}

// A stamp in the system's temporary directory, per bucket and prefix, says
// when a sweep of it last began: an object store has no private directory
// of this host's to keep one in.
bool ObjectStoreSweepDue(const std::string& directory, std::chrono::seconds interval) {
  const std::string stamp = "/tmp/parcelmoor-sweep-" + std::to_string(std::hash<std::string>{}(directory));
  struct stat st {};
  if (::stat(stamp.c_str(), &st) == 0 && std::time(nullptr) - st.st_mtime < interval.count()) return false;
  if (std::FILE* touched = std::fopen(stamp.c_str(), "w")) std::fclose(touched);
  return true;
}

}  // namespace

void SweepUploadDirectory(const UploadSettings& settings, const char* who) {
  if (IsS3Url(*settings.uploadDirectory)) {
    LogRemoved(SweepObjectStore(settings), who);
    return;
  }
  LogRemoved(SweepTemporaries(*settings.uploadDirectory), who);
}

void SweepUploadDirectoryIfDue(const UploadSettings& settings, std::chrono::seconds interval, const char* who) {
  if (IsS3Url(*settings.uploadDirectory)) {
    if (ObjectStoreSweepDue(*settings.uploadDirectory, interval)) LogRemoved(SweepObjectStore(settings), who);
    return;
  }
  LogRemoved(SweepIfDue(*settings.uploadDirectory, interval), who);
}

void SweepHourly(const UploadSettings& settings) {
  if (!IsS3Url(*settings.uploadDirectory)) SweepUploadDirectory(settings, "serve");
  std::thread([settings] {
    if (IsS3Url(*settings.uploadDirectory)) SweepUploadDirectory(settings, "serve");
    for (;;) {
      std::this_thread::sleep_for(std::chrono::hours(1));
      SweepUploadDirectory(settings, "serve");
    }
  }).detach();
}

int RunSweep(int argc, char** argv) {
  UploadSettings settings;
  po::options_description d("Sweep options");
  d.add_options()("dir", po::value<std::string>()->value_name("DIR")->required()->notifier(
                             [&settings](const std::string& v) { settings.uploadDirectory = v; }),
                  "the upload directory (or s3://BUCKET/PREFIX)");
  d.add(ObjectStoreOptions(settings));
  Command command{"sweep",
                  "usage: parcelmoor sweep --dir DIR\n"
                  "Removes the temporaries in DIR/.parcelmoor whose writer is gone (a crashed or\n"
                  "killed upload), as serve does when it starts and cgi every few minutes. Files being\n"
                  "written, and every file outside DIR/.parcelmoor, are never touched. With an\n"
                  "s3:// DIR, aborts the multipart uploads under the prefix begun longer ago than\n"
                  "--s3-sweep-grace; objects are never touched.",
                  d, {}, false};
  std::string error;
  switch (ParseCommand(command, argc, argv, error)) {
    case Parsed::kHelpShown: return 0;
    case Parsed::kBad: return UsageError(command, error);
    case Parsed::kRun: break;
  }
  if (IsS3Url(*settings.uploadDirectory) && !PrepareUploadDirectory(settings, error)) {
    std::fprintf(stderr, "parcelmoor sweep: %s\n", error.c_str());
    return 1;
  }
  SweepUploadDirectory(settings, "sweep");
  return 0;
}

}  // namespace parcelmoor::apps
