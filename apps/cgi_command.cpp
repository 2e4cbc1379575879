// `parcelmoor cgi`: answers one CGI/1.1 request. Also chosen when a web
// server runs the program with GATEWAY_INTERFACE set.

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

#include "commands.h"
#include "host/cgi_host.h"
#include "options.h"

namespace parcelmoor::apps {
namespace {

// How often a run of cgi sweeps the upload directory at most.
constexpr std::chrono::seconds kCgiSweepInterval = std::chrono::minutes(5);

std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void OnStopSignal(int) { stopRequested.store(true); }

// A CGI program cannot answer a usage error with an exit status alone: the
// web server would report a broken script. Say what is wrong on both sides.
int ConfigurationError(const std::string& message) {
  std::fprintf(stderr, "parcelmoor cgi: %s\n", message.c_str());
  std::printf("Status: 500 Internal Server Error\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n"
              "parcelmoor is not configured correctly; see the server's error log.\n");
  std::fflush(stdout);
  return 1;
}

}  // namespace

int RunCgi(int argc, char** argv, const char* invokedAs) {
  CgiOptions options;
  ApplyServerDefaults(options.upload);
  Command command{invokedAs,
                  "usage: parcelmoor cgi [options]\n"
                  "Answers one CGI/1.1 request: GET shows the upload page, POST stores the upload.\n"
                  "Every option can also be set in the environment: --max-file-size as\n"
                  "PARCELMOOR_MAX_FILE_SIZE=100M, --keep-partial as PARCELMOOR_KEEP_PARTIAL=yes,\n"
                  "--forward as PARCELMOOR_FORWARD=URL, --authorize as PARCELMOOR_AUTHORIZE=URL, and\n"
                  "so on (an option given on the command line wins).",
                  UploadOptions(options.upload), {}, true};
  ForwardSettings forward;
  command.options.add(ForwardOptions(forward));
  AuthorizeSettings authorize;
  command.options.add(AuthorizeOptions(authorize));
  std::string error;
  switch (ParseCommand(command, argc, argv, error)) {
    case Parsed::kHelpShown: return 0;
    case Parsed::kBad: return ConfigurationError(error);
    case Parsed::kRun: break;
  }
  try {
    options.authorization = MakeAuthorization(authorize);
  } catch (const std::runtime_error& e) {
    return ConfigurationError(e.what());
  }
  if (forward.target) {
    options.handoff = [target = *forward.target, timeout = forward.timeout](const HandoffRequest& r) {
      return CallApplication(target, r, timeout);
    };
  }
  if (!PrepareUploadDirectory(options.upload, error) || !PrepareForwardGroup(forward, options.upload, error)) {
    return ConfigurationError(error);
  }
  // A sweep costs a directory listing: only an upload pays for it, and only
  // every few minutes.
  if (const char* method = std::getenv("REQUEST_METHOD"); method != nullptr && std::string_view(method) == "POST") {
    SweepUploadDirectoryIfDue(options.upload, kCgiSweepInterval, "cgi");
  }

  signal(SIGPIPE, SIG_IGN);
  // A web server whose client has gone stops its CGI program with SIGTERM
  // (or SIGINT/SIGHUP): the upload then ends as for a lost client, so the
  // all-or-none rule still removes its files. No SA_RESTART: a blocked read
  // must return.
  struct sigaction stop {};
  stop.sa_handler = OnStopSignal;
  sigemptyset(&stop.sa_mask);
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &stop, nullptr);

  options.stopRequested = &stopRequested;
  AnswerCgiRequest([](const char* name) { return static_cast<const char*>(std::getenv(name)); }, STDIN_FILENO,
                   STDOUT_FILENO, options);
  return 0;
}

}  // namespace parcelmoor::apps
