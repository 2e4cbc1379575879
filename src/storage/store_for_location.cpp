#include "storage/store_for_location.h"

#include "runtime/ascii.h"
#include "storage/s3/s3_names.h"
#include "storage/s3/s3_store.h"

namespace parcelmoor {

std::shared_ptr<Store> StoreForLocation(const std::string& directory, const StoreChoice& choice) {
  if (IsS3Url(directory)) {
    std::string why;
    if (const std::optional<S3Location> location = ParseS3Url(directory, why)) {
      return std::make_shared<S3Store>(location->bucket, S3StoreOptions{choice.s3, choice.onExists});
    }
  }
  return std::make_shared<LocalStore>(LocalStoreOptions{.sync = choice.sync, .onExists = choice.onExists});
}

std::shared_ptr<ResumableStore> ResumableStoreForLocation(const std::string& directory, const std::string& spool,
                                                          const LocalResumableOptions& options) {
  std::string root = spool;
  if (root.empty()) {
    std::string component(TrimAscii(directory, " "));
    if (!component.empty() && component.back() != '\\') component += '\\';
    root = DirectoryOf(UploadDirectoryPrefix(component) + "x");
  }
  return std::make_shared<LocalResumableStore>(root, options);
}

}  // namespace parcelmoor
