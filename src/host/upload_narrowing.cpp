#include "host/upload_narrowing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <optional>
#include <vector>

#include "runtime/file_descriptor.h"
#include "storage/s3/s3_names.h"
#include "storage/temporary_files.h"

namespace parcelmoor {
namespace {

std::optional<int64_t> ParseBytes(std::string_view text) {
  int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || text[0] == '-' || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Lowers `limit` to the header's value; false when the value is malformed.
bool Lower(std::optional<int64_t>& limit, std::string_view value) {
  std::optional<int64_t> given = ParseBytes(value);
  if (!given) return false;
  if (!limit || *given < *limit) limit = *given;
  return true;
}

}  // namespace

namespace {

// The steps of a relative path, empty and "." ones dropped; nullopt when
// one is ".." or names a private folder, whose files (temporaries, the
// resumable uploads' state) no upload may write among.
std::optional<std::vector<std::string>> StepsOf(std::string_view relative) {
  std::vector<std::string> steps;
  while (!relative.empty()) {
    size_t slash = relative.find('/');
    std::string step(relative.substr(0, slash));
    relative = slash == std::string_view::npos ? std::string_view() : relative.substr(slash + 1);
    if (step == ".." || step == kPrivateDirectoryName) return std::nullopt;
    if (!step.empty() && step != ".") steps.push_back(std::move(step));
  }
  return steps;
}

}  // namespace

std::string MakeSubdirectory(const std::string& base, std::string_view relative, std::string& why) {
  if (!relative.empty() && relative.front() == '/') {
    why = "an absolute directory";
    return {};
  }
  // Every step is checked before the first is created.
  std::optional<std::vector<std::string>> steps = StepsOf(relative);
  if (!steps) {
    why = "a directory with '..' or the private folder";
    return {};
  }
  // An object store has no directories to create: the steps join its prefix.
  if (IsS3Url(base)) {
    std::string prefix = base;
    while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
    for (const std::string& step : *steps) prefix += "/" + step;
    return prefix;
  }
  FileDescriptor dir(::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) {
    why = "the upload directory cannot be opened: " + std::string(std::strerror(errno));
    return {};
  }
  std::string path = base;
  for (const std::string& step : *steps) {
    path += "/" + step;
    if (::mkdirat(dir.get(), step.c_str(), 0755) != 0 && errno != EEXIST) {
      why = "cannot create " + path + ": " + std::strerror(errno);
      return {};
    }
    // O_NOFOLLOW: a link anywhere on the way could lead out of the upload
    // directory, so it is refused rather than followed.
    int next = ::openat(dir.get(), step.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) {
      why = path + (errno == ELOOP || errno == ENOTDIR ? " is a link or not a directory"
                                                       : ": " + std::string(std::strerror(errno)));
      return {};
    }
    dir.reset(next);
  }
  return path;
}

bool StillBelow(const std::string& base, const std::string& narrowed, std::string& why) {
  if (narrowed == base || IsS3Url(base)) return true;
  if (!narrowed.starts_with(base + "/")) {
    why = narrowed + " is not below " + base;
    return false;
  }
  // Made again when missing, as at the decision; refused when a link is met.
  return !MakeSubdirectory(base, std::string_view(narrowed).substr(base.size() + 1), why).empty();
}

bool NarrowLimits(const std::vector<std::pair<std::string, std::string>>& headers, UploadSettings& settings,
                  std::string& why) {
  for (const auto& [name, value] : headers) {
    if (name == "parcelmoor-max-file-size" && !Lower(settings.maxFileBytes, value)) {
      why = "Parcelmoor-Max-File-Size is not a number of bytes";
      return false;
    }
    if (name == "parcelmoor-max-request-size" && !Lower(settings.maxRequestBytes, value)) {
      why = "Parcelmoor-Max-Request-Size is not a number of bytes";
      return false;
    }
  }
  return true;
}

bool NarrowDirectory(const std::vector<std::pair<std::string, std::string>>& headers, UploadSettings& settings,
                     std::string& why) {
  for (const auto& [name, value] : headers) {
    if (name != "parcelmoor-directory") continue;
    std::string dir = MakeSubdirectory(settings.uploadDirectory.value_or("."), value, why);
    if (dir.empty()) return false;
    settings.uploadDirectory = std::move(dir);
  }
  return true;
}

}  // namespace parcelmoor
