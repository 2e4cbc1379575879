#include "host/free_space.h"

#include <sys/statvfs.h>

#include <charconv>

#include "host/tus/resumable_answers.h"
#include "storage/s3/s3_names.h"

namespace parcelmoor {

std::optional<int64_t> FreeBytes(const std::string& directory) {
  if (directory.empty() || IsS3Url(directory)) return std::nullopt;
  struct statvfs fs {};
  if (::statvfs(directory.c_str(), &fs) != 0) return std::nullopt;
  const unsigned __int128 bytes = static_cast<unsigned __int128>(fs.f_bavail) * fs.f_frsize;
  return bytes > INT64_MAX ? INT64_MAX : static_cast<int64_t>(bytes);
}

std::optional<PageAnswer> FreeSpaceRefusal(const UploadSettings& settings, int64_t length, bool json,
                                           const std::string& directory) {
  if (settings.minFreeBytes <= 0) return std::nullopt;
  const std::string& where = directory.empty() ? settings.uploadDirectory.value_or("") : directory;
  const std::optional<int64_t> free = FreeBytes(where);
  // A directory that cannot be looked at is the upload's own failure to
  // tell, with its own reason.
  if (!free || *free - length >= settings.minFreeBytes) return std::nullopt;
  return AnswerRefusal(507, "The server has too little free disk space for an upload of this size; try a "
                            "smaller one, or later.", json);
}

std::optional<PageAnswer> CreationFreeSpaceRefusal(const UploadSettings& settings, std::string_view method,
                                                   std::string_view uploadLength, const std::string& spool) {
  int64_t length = 0;
  const auto [end, ec] = std::from_chars(uploadLength.data(), uploadLength.data() + uploadLength.size(), length);
  // A length that is no count is the resumable code's to refuse.
  if (method != "POST" || uploadLength.empty() || ec != std::errc() || end != uploadLength.data() + uploadLength.size()) {
    return std::nullopt;
  }
  const bool full = FreeSpaceRefusal(settings, length, false).has_value() ||
                    (!spool.empty() && FreeSpaceRefusal(settings, length, false, spool).has_value());
  if (!full) return std::nullopt;
  return TusAnswer(507, "The server has too little free disk space for an upload of this size.");
}

}  // namespace parcelmoor
