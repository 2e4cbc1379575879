#include "upload_options.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace parcelmoor::apps {
namespace {

std::optional<bool> ParseSwitch(std::string_view text) {
  for (const char* yes : {"1", "true", "yes", "on"}) {
    if (text == yes) return true;
  }
  for (const char* no : {"", "0", "false", "no", "off"}) {
    if (text == no) return false;
  }
  return std::nullopt;
}

}  // namespace

bool ArgumentReader::Next() {
  if (++index_ >= argc_) return false;
  std::string_view arg = argv_[index_];
  attached_.reset();
  size_t eq = arg.find('=');
  if (arg.substr(0, 2) == "--" && eq != std::string_view::npos) {
    name_ = arg.substr(0, eq);
    attached_ = arg.substr(eq + 1);
  } else {
    name_ = arg;
  }
  return true;
}

std::optional<std::string_view> ArgumentReader::Value() {
  if (attached_) return attached_;
  if (index_ + 1 >= argc_) return std::nullopt;
  return std::string_view(argv_[++index_]);
}

OptionTaken TakeUploadOption(ArgumentReader& args, UploadOptions& o, std::string& error) {
  std::string_view name = args.name();
  auto bad = [&](const char* why) {
    error = std::string(name) + " " + why;
    return OptionTaken::kBad;
  };
  if (name == "--delete-max-file" || name == "--keep-partial") {
    if (args.HasAttachedValue()) return bad("takes no value");
    (name == "--delete-max-file" ? o.page.deleteMaxFile : o.page.keepPartial) = true;
    return OptionTaken::kTaken;
  }
  if (name == "--dir") {
    auto v = args.Value();
    if (!v || v->empty()) return bad("needs a directory");
    o.page.uploadDirectory = std::string(*v);
    return OptionTaken::kTaken;
  }
  if (name == "--max-file-size") {
    auto v = args.Value();
    auto n = v ? ParseInteger<int32_t>(*v) : std::nullopt;
    if (!n) return bad("needs a 32-bit integer");
    o.page.maxFileSize = *n;
    return OptionTaken::kTaken;
  }
  if (name == "--max-request-size") {
    auto v = args.Value();
    auto n = v ? ParseInteger<int64_t>(*v) : std::nullopt;
    if (!n || *n < 0) return bad("needs a byte count");
    o.maxRequestSize = *n;
    return OptionTaken::kTaken;
  }
  return OptionTaken::kNotMine;
}

bool ApplyUploadEnvironment(UploadOptions& o, std::string& error) {
  auto env = [](const char* name) -> std::optional<std::string_view> {
    const char* v = std::getenv(name);
    if (v == nullptr) return std::nullopt;
    return std::string_view(v);
  };
  if (auto v = env("PARCELMOOR_DIR"); v && !v->empty()) o.page.uploadDirectory = std::string(*v);
  if (auto v = env("PARCELMOOR_MAX_FILE_SIZE"); v && !v->empty()) {
    auto n = ParseInteger<int32_t>(*v);
    if (!n) {
      error = "PARCELMOOR_MAX_FILE_SIZE needs a 32-bit integer";
      return false;
    }
    o.page.maxFileSize = *n;
  }
  if (auto v = env("PARCELMOOR_MAX_REQUEST_SIZE"); v && !v->empty()) {
    auto n = ParseInteger<int64_t>(*v);
    if (!n || *n < 0) {
      error = "PARCELMOOR_MAX_REQUEST_SIZE needs a byte count";
      return false;
    }
    o.maxRequestSize = *n;
  }
  for (auto [name, flag] : {std::pair{"PARCELMOOR_DELETE_MAX_FILE", &o.page.deleteMaxFile},
                            std::pair{"PARCELMOOR_KEEP_PARTIAL", &o.page.keepPartial}}) {
    if (auto v = env(name)) {
      auto b = ParseSwitch(*v);
      if (!b) {
        error = std::string(name) + " needs 1/0, true/false, yes/no or on/off";
        return false;
      }
      *flag = *b;
    }
  }
  return true;
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
