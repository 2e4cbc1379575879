#pragma once
// The one option parser of the parcelmoor executable, on
// Boost.Program_options. Each command lists its options once, typed and
// bound to the field they set; the same list gives its --help text. An
// option is added in one place: the group that owns it below.

#include <chrono>
#include <memory>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/program_options.hpp>

#include "host/authorization.h"
#include "host/upload_settings.h"
#include "http/upload_forwarder.h"

namespace parcelmoor::apps {

namespace po = boost::program_options;

inline constexpr const char* kDefaultUploadDirectory = "./uploads";

// A byte count: digits with an optional unit K, M, G or T (powers of 1024),
// "100K", "512M", "4G". Negative or malformed values are refused.
struct ByteCount {
  int64_t value = 0;
};
// A positive number of seconds, fractions allowed ("0.5"), at most a day.
struct Seconds {
  std::chrono::milliseconds value{};
};

// Parses a byte count as above; nullopt when malformed.
std::optional<int64_t> ParseByteCount(std::string_view text);

// Program_options reads these types through these overloads.
void validate(boost::any& out, const std::vector<std::string>& values, ByteCount*, int);
void validate(boost::any& out, const std::vector<std::string>& values, Seconds*, int);

// The options of every command that stores uploads: where files go and how
// large they may be.
po::options_description PageOptions(UploadSettings& settings);
// Where the object store is and how files go to it (part of PageOptions).
po::options_description ObjectStoreOptions(UploadSettings& settings);
// PageOptions and the limits a server checks before the component runs.
po::options_description UploadOptions(UploadSettings& settings);

// The limits serve and cgi apply unless told otherwise: memory stays bounded
// whatever a client sends.
inline constexpr int64_t kDefaultMaxFieldSize = 1 << 20;
inline constexpr int64_t kDefaultMaxParts = 10'000;
inline constexpr int64_t kDefaultMaxTotalFieldSize = 10 << 20;
// Room left for the system's logs, the server's own temporaries and the
// uploads already under way when a disk fills up.
inline constexpr int64_t kDefaultMinFreeSpace = 256 << 20;
void ApplyServerDefaults(UploadSettings& settings);

// Where stored uploads are handed on to the user's application.
struct ForwardSettings {
  std::optional<ForwardTarget> target;
  std::chrono::milliseconds timeout{30'000};
  // The group whose members (the application's user) may link or move the
  // files waiting for the decision; empty: none.
  std::string group;
};
po::options_description ForwardOptions(ForwardSettings& settings);
// Shares the upload directory's private directory with settings.group
// (storage/private_group.h), when one is given. False with `error` set when
// the group is unknown or cannot be given, or the directory is an object
// store's. Call after PrepareUploadDirectory.
bool PrepareForwardGroup(const ForwardSettings& settings, const UploadSettings& upload, std::string& error);

// Who may upload, decided before any body byte is read.
struct AuthorizeSettings {
  std::optional<ForwardTarget> target;  // the application asked
  std::chrono::milliseconds timeout{5'000};
  std::string tokenFile;  // empty: no token asked for
};
po::options_description AuthorizeOptions(AuthorizeSettings& settings);
// What `cgi` applies; null when neither the application nor a token file
// is set. Throws std::runtime_error when the token file cannot be read.
std::shared_ptr<const Authorization> MakeAuthorization(const AuthorizeSettings& settings);

// One command's options and help.
struct Command {
  // "serve", shown in messages as "parcelmoor serve"; empty when the
  // command was chosen without being named.
  std::string name;
  std::string synopsis;  // the usage line and what the command does
  po::options_description options;
  po::positional_options_description positional;
  // Options may also come from PARCELMOOR_<NAME> environment variables
  // (--max-file-size: PARCELMOOR_MAX_FILE_SIZE); the command line wins.
  bool fromEnvironment = false;
};

enum class Parsed { kRun, kHelpShown, kBad };

// Parses the arguments after the command's name into the bound fields.
// --help prints the help on standard output (kHelpShown); a bad option sets
// `error` (kBad).
Parsed ParseCommand(Command& command, int argc, char** argv, std::string& error);

// The help text: synopsis and options.
std::string HelpText(const Command& command);

// Prints "parcelmoor NAME: error" and a pointer to --help on standard error;
// returns exit status 2.
int UsageError(const Command& command, const std::string& error);

// Makes the upload directory ready (the default when none was given): a
// local one as EnsureUploadDirectory does; an s3:// one checked, with the
// credentials read from the environment and options that need files on disk
// (--scan) refused. False with `error` set when it cannot be used.
bool PrepareUploadDirectory(UploadSettings& settings, std::string& error);

// Creates the upload directory when missing. False with `error` set when it
// cannot be created or is not a directory.
bool EnsureUploadDirectory(const std::string& dir, std::string& error);

}  // namespace parcelmoor::apps
