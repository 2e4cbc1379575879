// `parcelmoor serve`: the embedded HTTP server with the upload page.

#include <pthread.h>
#include <signal.h>

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>

#include "commands.h"
#include "http/descriptor_limit.h"
#include "http/http_server.h"
#include "upload_options.h"

namespace parcelmoor::apps {
namespace {

constexpr const char* kServeUsage =
    "usage: parcelmoor serve [options]\n"
    "Serves the upload page at / and stores what is posted to it.\n"
    "  --bind ADDRESS          address to listen on (default 127.0.0.1)\n"
    "  --port N                port to listen on (default 8080; 0 picks a free one)\n"
    "  --max-connections N     open connections; more are answered 503 (default 10000, less when descriptors are few)\n"
    "  --max-uploads N         uploads running at once; more are answered 503 (default 16)\n"
    "  --header-timeout S      seconds allowed for a request header from its first byte (default 10)\n"
    "  --keepalive-timeout S   seconds a kept-alive connection may wait for its next request (default 5)\n"
    "  --min-body-rate N       least average body rate in bytes a second, or the upload is cut (default 1024; 0: none)\n"
    "  --body-rate-window S    seconds of grace, and of each window the body rate is measured over (default 10)\n"
    "  --read-timeout S        seconds allowed for each body read and response write (default 30)\n"
    "  --shutdown-grace S      seconds running uploads get after SIGINT or SIGTERM (default 5)\n"
    "  --forward URL           hand each stored upload to the application at URL (http://HOST:PORT/PATH\n"
    "                          or unix:/SOCKET:/PATH); its answer goes to the client, and an upload\n"
    "                          it refuses is deleted\n"
    "  --forward-timeout S     seconds the application has to answer (default 30; 502/504 after)\n";

int UsageError(const std::string& message) {
  std::fprintf(stderr, "parcelmoor serve: %s\n%s%s", message.c_str(), kServeUsage, kUploadOptionsHelp);
  return 2;
}

std::optional<std::chrono::milliseconds> ParseSeconds(std::optional<std::string_view> text) {
  if (!text) return std::nullopt;
  double seconds = 0;
  auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), seconds);
  if (ec != std::errc() || end != text->data() + text->size() || !(seconds > 0) || seconds > 86400) {
    return std::nullopt;
  }
  return std::chrono::milliseconds(static_cast<int64_t>(std::ceil(seconds * 1000)));
}

// Parses the arguments; returns an exit status when the command must stop.
std::optional<int> ParseArguments(int argc, char** argv, HttpServerOptions& server) {
  UploadOptions upload;
  ArgumentReader args(argc, argv);
  std::string error;
  while (args.Next()) {
    std::string_view name = args.name();
    switch (TakeUploadOption(args, upload, error)) {
      case OptionTaken::kTaken: continue;
      case OptionTaken::kBad: return UsageError(error);
      case OptionTaken::kNotMine: break;
    }
    if (name == "--help" || name == "-h") {
      std::printf("%s%s", kServeUsage, kUploadOptionsHelp);
      return 0;
    } else if (name == "--bind") {
      auto v = args.Value();
      if (!v || v->empty()) return UsageError("--bind needs an address");
      server.bind = std::string(*v);
    } else if (name == "--port") {
      auto v = args.Value();
      auto n = v ? ParseInteger<uint16_t>(*v) : std::nullopt;
      if (!n) return UsageError("--port needs a port number (0 to 65535)");
      server.port = *n;
    } else if (name == "--max-connections") {
      auto v = args.Value();
      auto n = v ? ParseInteger<int32_t>(*v) : std::nullopt;
      if (!n || *n < 1) return UsageError("--max-connections needs a positive number");
      server.maxConnections = *n;
    } else if (name == "--max-uploads") {
      auto v = args.Value();
      auto n = v ? ParseInteger<int32_t>(*v) : std::nullopt;
      if (!n || *n < 1) return UsageError("--max-uploads needs a positive number");
      server.maxUploads = *n;
    } else if (name == "--min-body-rate") {
      auto v = args.Value();
      auto n = v ? ParseInteger<int64_t>(*v) : std::nullopt;
      if (!n || *n < 0) return UsageError("--min-body-rate needs a number of bytes a second (0: none)");
      server.minBodyRate = *n;
    } else if (name == "--forward") {
      auto v = args.Value();
      std::string why;
      server.forward = v ? ForwardTarget::Parse(*v, why) : std::nullopt;
      if (!server.forward) return UsageError("--forward: " + (v ? why : std::string("needs a URL")));
    } else if (name == "--header-timeout" || name == "--read-timeout" || name == "--shutdown-grace" ||
               name == "--keepalive-timeout" || name == "--body-rate-window" || name == "--forward-timeout") {
      auto ms = ParseSeconds(args.Value());
      if (!ms) return UsageError(std::string(name) + " needs a positive number of seconds");
      (name == "--header-timeout"      ? server.headerTimeout
       : name == "--read-timeout"      ? server.ioTimeout
       : name == "--keepalive-timeout" ? server.keepaliveTimeout
       : name == "--body-rate-window"  ? server.bodyRateWindow
       : name == "--forward-timeout"   ? server.forwardTimeout
                                       : server.shutdownGrace) = *ms;
    } else {
      return UsageError("unknown option " + std::string(name));
    }
  }
  server.page = upload.page;
  server.maxRequestSize = upload.maxRequestSize;
  if (!server.page.uploadDirectory) server.page.uploadDirectory = kDefaultUploadDirectory;
  return std::nullopt;
}

std::string UrlFor(const std::string& bind, uint16_t port) {
  std::string host = bind;
  if (host == "0.0.0.0") host = "127.0.0.1";
  if (host == "::") host = "::1";
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  return "http://" + host + ":" + std::to_string(port) + "/";
}

// Raises the open-file limit and fits the connection cap to it. Returns
// what the start-up line says about both.
std::string FitConnectionsToDescriptors(HttpServerOptions& options) {
  DescriptorLimit limit = RaiseDescriptorLimit();
  int32_t requested = options.maxConnections;
  options.maxConnections = ConnectionCap(requested, limit.now, options.maxUploads);
  std::string text = "up to " + std::to_string(options.maxConnections) + " connections";
  if (options.maxConnections < requested) text += " (fewer than " + std::to_string(requested) + ": too few descriptors)";
  text += ", " + std::to_string(options.maxUploads) + " uploads at once; open-file limit ";
  if (limit.now > limit.before) {
    text += "raised from " + std::to_string(limit.before) + " to " + std::to_string(limit.now);
  } else {
    text += std::to_string(limit.now);
    if (!limit.error.empty()) text += " (cannot raise it: " + limit.error + ")";
  }
  return text;
}

}  // namespace

int RunServe(int argc, char** argv) {
  HttpServerOptions options;
  if (auto status = ParseArguments(argc, argv, options)) return *status;
  std::string error;
  if (!EnsureUploadDirectory(*options.page.uploadDirectory, error)) {
    std::fprintf(stderr, "parcelmoor serve: %s\n", error.c_str());
    return 1;
  }

  // SIGINT and SIGTERM are taken by a thread of their own (every thread
  // started from here inherits the blocked mask); SIGPIPE is of no use to a
  // server whose writes report their own errors.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::string capacity = FitConnectionsToDescriptors(options);
  HttpServer server(options);
  uint16_t port = 0;
  try {
    port = server.Listen();
  } catch (const std::runtime_error& e) {
    std::fprintf(stderr, "parcelmoor serve: %s\n", e.what());
    return 1;
  }
  std::printf("parcelmoor serving %s (%s)\n", UrlFor(options.bind, port).c_str(), capacity.c_str());
  std::fflush(stdout);

  std::thread([&server, stopSignals] {
    // The first signal winds the server down; a second one cuts running
    // uploads off at once.
    for (int received = 0; received < 2; ++received) {
      int signal = 0;
      if (sigwait(&stopSignals, &signal) != 0) return;
      std::fprintf(stderr, "parcelmoor serve: %s, stopping\n", signal == SIGINT ? "SIGINT" : "SIGTERM");
      server.Stop();
    }
  }).detach();

  server.Run();
  return 0;
}

}  // namespace parcelmoor::apps
