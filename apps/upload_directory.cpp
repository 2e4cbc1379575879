// Making the upload directory usable before anything is served or stored:
// a local one created, an object store's location and credentials checked,
// the private folder shared with the application's group.
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "options.h"
#include "storage/private_group.h"
#include "storage/s3/s3_names.h"

namespace parcelmoor::apps {

bool PrepareObjectStore(UploadSettings& s, std::string& error) {
  std::string why;
  if (!ParseS3Url(*s.uploadDirectory, why)) {
    error = "--dir " + *s.uploadDirectory + ": " + why;
    return false;
  }
  // The scanner reads each file where it waits, and an object store's
  // files wait in no place it could open.
  if (s.scan) {
    error = "--scan needs the files on disk before they are stored; it cannot be used with an s3:// --dir";
    return false;
  }
  auto variable = [](const char* name) {
    const char* value = std::getenv(name);
    return std::string(value != nullptr ? value : "");
  };
  s.s3.credentials = {variable("AWS_ACCESS_KEY_ID"), variable("AWS_SECRET_ACCESS_KEY"), variable("AWS_SESSION_TOKEN")};
  if (s.s3.credentials.accessKey.empty() || s.s3.credentials.secretKey.empty()) {
    error = "an s3:// --dir needs AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY in the environment";
    return false;
  }
  return true;
}

bool PrepareUploadDirectory(UploadSettings& settings, std::string& error) {
  if (!settings.uploadDirectory) settings.uploadDirectory = kDefaultUploadDirectory;
  if (IsS3Url(*settings.uploadDirectory)) return PrepareObjectStore(settings, error);
  return EnsureUploadDirectory(*settings.uploadDirectory, error);
}

bool PrepareForwardGroup(const ForwardSettings& settings, const UploadSettings& upload, std::string& error) {
  if (settings.group.empty()) return true;
  const std::string& dir = upload.uploadDirectory.value_or(kDefaultUploadDirectory);
  if (IsS3Url(dir)) {
    error = "--forward-group needs the files on disk; it cannot be used with an s3:// --dir";
    return false;
  }
  const std::optional<gid_t> group = GroupNamed(settings.group);
  if (!group) {
    error = "--forward-group: there is no group " + settings.group;
    return false;
  }
  return SharePrivateDirectoryWith(dir, *group, error);
}

bool EnsureUploadDirectory(const std::string& dir, std::string& error) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec || !std::filesystem::is_directory(dir, ec)) {
    error = "cannot use upload directory " + dir + (ec ? ": " + ec.message() : ": not a directory");
    return false;
  }
  return true;
}

}  // namespace parcelmoor::apps
