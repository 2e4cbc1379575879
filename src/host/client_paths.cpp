#include "host/client_paths.h"

#include <filesystem>
#include <system_error>

#include "storage/local_store.h"
#include "storage/s3/s3_names.h"

namespace parcelmoor {

std::string ClientPathRoot(const UploadSettings& settings) {
  if (!settings.clientPathsRelative || !settings.uploadDirectory) return {};
  const std::string& directory = *settings.uploadDirectory;
  if (IsS3Url(directory)) {
    std::string root = UploadDirectoryPrefix(directory);
    if (!root.ends_with('/')) root += '/';
    return root;
  }
  // The page runner makes records' paths whole the same way: from the
  // working directory, without "." or ".." steps.
  std::error_code noDirectory;
  std::filesystem::path given(directory);
  if (given.is_relative()) given = std::filesystem::current_path(noDirectory) / given;
  if (noDirectory) return {};
  std::string root = given.lexically_normal().string();
  if (!root.ends_with('/')) root += '/';
  return root;
}

std::string ClientPath(std::string_view storedPath, std::string_view root) {
  if (root.empty() || storedPath.empty()) return std::string(storedPath);
  if (storedPath.starts_with(root) && storedPath.size() > root.size()) return std::string(storedPath.substr(root.size()));
  const size_t slash = storedPath.rfind('/');
  return std::string(slash == std::string_view::npos ? storedPath : storedPath.substr(slash + 1));
}

}  // namespace parcelmoor
