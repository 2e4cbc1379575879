#pragma once
// Command-line options that `serve` and `cgi` share: where uploads go and
// how large they may be.

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "host/page_runner.h"

namespace parcelmoor::apps {

inline constexpr const char* kDefaultUploadDirectory = "./uploads";

struct UploadOptions {
  PageSettings page;
  std::optional<int64_t> maxRequestSize;
};

inline constexpr const char* kUploadOptionsHelp =
    "  --dir DIR               upload directory, created when missing (default ./uploads)\n"
    "  --max-file-size N       size limit of each file in bytes (MaxFileSize)\n"
    "  --delete-max-file       delete files over the limit (DeleteMaxFile)\n"
    "  --keep-partial          keep the files of an incomplete upload (UploadAllFilesOrNone false)\n"
    "  --max-request-size N    refuse request bodies over N bytes with 413, before reading them\n";

template <class Int>
std::optional<Int> ParseInteger(std::string_view text) {
  Int value{};
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

// Reads the arguments one option at a time: "--name value" and
// "--name=value" alike.
class ArgumentReader {
 public:
  ArgumentReader(int argc, char** argv) : argc_(argc), argv_(argv) {}

  // Moves to the next argument; false when none is left.
  bool Next();
  // The option's name ("--port"), without an attached "=value".
  std::string_view name() const { return name_; }
  // The option's value, from "=value" or the next argument; nullopt when
  // there is none.
  std::optional<std::string_view> Value();
  // True when a flag was given a value ("--keep-partial=1").
  bool HasAttachedValue() const { return attached_.has_value(); }

 private:
  int argc_;
  char** argv_;
  int index_ = -1;
  std::string_view name_;
  std::optional<std::string_view> attached_;
};

enum class OptionTaken { kNotMine, kTaken, kBad };

// Applies the option at `args` when it is one of the shared ones; on kBad
// `error` says why.
OptionTaken TakeUploadOption(ArgumentReader& args, UploadOptions& options, std::string& error);

// Applies PARCELMOOR_DIR, PARCELMOOR_MAX_FILE_SIZE, PARCELMOOR_DELETE_MAX_FILE,
// PARCELMOOR_KEEP_PARTIAL and PARCELMOOR_MAX_REQUEST_SIZE from the
// environment. False with `error` set when one is malformed.
bool ApplyUploadEnvironment(UploadOptions& options, std::string& error);

// Creates the upload directory when missing. False with `error` set when it
// cannot be created or is not a directory.
bool EnsureUploadDirectory(const std::string& dir, std::string& error);

}  // namespace parcelmoor::apps
