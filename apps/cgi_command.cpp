// `parcelmoor cgi`: answers one CGI/1.1 request. Also chosen when a web
// server runs the program with GATEWAY_INTERFACE set.

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "commands.h"
#include "host/cgi_host.h"
#include "http/upload_forwarder.h"
#include "upload_options.h"

namespace parcelmoor::apps {
namespace {

std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void OnStopSignal(int) { stopRequested.store(true); }

constexpr const char* kCgiUsage =
    "usage: parcelmoor cgi [options]\n"
    "Answers one CGI/1.1 request: GET shows the upload page, POST stores the upload.\n"
    "Each option can also come from the environment: PARCELMOOR_DIR, PARCELMOOR_MAX_FILE_SIZE,\n"
    "PARCELMOOR_DELETE_MAX_FILE, PARCELMOOR_KEEP_PARTIAL, PARCELMOOR_MAX_REQUEST_SIZE\n"
    "(an option given on the command line wins).\n"
    "PARCELMOOR_FORWARD=URL hands each stored upload to the application at URL (as serve --forward),\n"
    "PARCELMOOR_FORWARD_TIMEOUT=S gives it S seconds to answer (default 30).\n";

// A CGI program cannot answer a usage error with an exit status alone: the
// web server would report a broken script. Say what is wrong on both sides.
int ConfigurationError(const std::string& message) {
  std::fprintf(stderr, "parcelmoor cgi: %s\n", message.c_str());
  std::printf("Status: 500 Internal Server Error\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n"
              "parcelmoor is not configured correctly; see the server's error log.\n");
  std::fflush(stdout);
  return 1;
}

// PARCELMOOR_FORWARD and PARCELMOOR_FORWARD_TIMEOUT; false with `error`
// set when either is malformed.
bool ApplyForwardEnvironment(CgiOptions& options, std::string& error) {
  const char* url = std::getenv("PARCELMOOR_FORWARD");
  if (!url || !*url) return true;
  std::string why;
  auto target = ForwardTarget::Parse(url, why);
  if (!target) {
    error = "PARCELMOOR_FORWARD: " + why;
    return false;
  }
  std::chrono::milliseconds timeout{30'000};
  if (const char* text = std::getenv("PARCELMOOR_FORWARD_TIMEOUT"); text && *text) {
    char* end = nullptr;
    double seconds = std::strtod(text, &end);
    if (*end || !(seconds > 0) || seconds > 86400) {
      error = "PARCELMOOR_FORWARD_TIMEOUT needs a positive number of seconds";
      return false;
    }
    timeout = std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
  }
  options.handoff = [target = *target, timeout](const HandoffRequest& r) {
    return CallApplication(target, r, timeout);
  };
  return true;
}

}  // namespace

int RunCgi(int argc, char** argv) {
  UploadOptions upload;
  std::string error;
  if (!ApplyUploadEnvironment(upload, error)) return ConfigurationError(error);
  ArgumentReader args(argc, argv);
  while (args.Next()) {
    if (args.name() == "--help" || args.name() == "-h") {
      std::printf("%s%s", kCgiUsage, kUploadOptionsHelp);
      return 0;
    }
    switch (TakeUploadOption(args, upload, error)) {
      case OptionTaken::kTaken: continue;
      case OptionTaken::kBad: return ConfigurationError(error);
      case OptionTaken::kNotMine: return ConfigurationError("unknown option " + std::string(args.name()));
    }
  }
  if (!upload.page.uploadDirectory) upload.page.uploadDirectory = kDefaultUploadDirectory;
  if (!EnsureUploadDirectory(*upload.page.uploadDirectory, error)) return ConfigurationError(error);

  signal(SIGPIPE, SIG_IGN);
  // A web server whose client has gone stops its CGI program with SIGTERM
  // (or SIGINT/SIGHUP): the upload then ends as for a lost client, so the
  // all-or-none rule still removes its files. No SA_RESTART: a blocked read
  // must return.
  struct sigaction stop {};
  stop.sa_handler = OnStopSignal;
  sigemptyset(&stop.sa_mask);
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &stop, nullptr);

  CgiOptions options{upload.page, upload.maxRequestSize, &stopRequested, {}};
  if (!ApplyForwardEnvironment(options, error)) return ConfigurationError(error);
  AnswerCgiRequest([](const char* name) { return static_cast<const char*>(std::getenv(name)); }, STDIN_FILENO,
                   STDOUT_FILENO, options);
  return 0;
}

}  // namespace parcelmoor::apps
