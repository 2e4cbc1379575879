// `parcelmoor serve`: the embedded HTTP server with the upload page.

#include <netdb.h>
#include <pthread.h>
#include <sys/socket.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>

#include "commands.h"
#include "http/descriptor_limit.h"
#include "http/http_server.h"
#include "storage/s3_names.h"
#include "options.h"

namespace parcelmoor::apps {
namespace {

po::options_description ServerOptions(HttpServerOptions& s) {
  po::options_description d("Server options");
  d.add_options()
      ("bind", po::value(&s.bind)->value_name("ADDRESS"),
       "address or name to listen on: 127.0.0.1 (the default), localhost, ::1, 0.0.0.0 or :: for every interface")
      ("port", po::value(&s.port)->value_name("N"), "port to listen on (default 8080; 0 picks a free one)")
      ("max-connections", po::value<int32_t>()->value_name("N")->notifier([&s](int32_t n) {
         if (n < 1) throw po::error("--max-connections needs at least 1");
         s.maxConnections = n;
       }), "open connections; more are answered 503 (default 10000, less when descriptors are few)")
      ("max-uploads", po::value<int32_t>()->value_name("N")->notifier([&s](int32_t n) {
         if (n < 1) throw po::error("--max-uploads needs at least 1");
         s.maxUploads = n;
       }), "uploads running at once; more wait up to 5 seconds for a slot, then are answered 503 (default 64)")
      ("max-uploads-per-client", po::value<int32_t>()->value_name("N")->notifier([&s](int32_t n) {
         if (n < 1) throw po::error("--max-uploads-per-client needs at least 1");
         s.maxUploadsPerClient = n;
       }), "uploads running at once for one client address; more wait up to 5 seconds, then are answered 429 (default 4)")
      ("max-uploads-per-prefix", po::value<int32_t>()->value_name("N")->notifier([&s](int32_t n) {
         if (n < 1) throw po::error("--max-uploads-per-prefix needs at least 1");
         s.maxUploadsPerPrefix = n;
       }), "uploads running at once for the addresses of one prefix (see --client-prefix-v4 and -v6); more "
           "wait, then are answered 429 (default: a quarter of --max-uploads, at least --max-uploads-per-client)")
      ("client-prefix-v4", po::value<int32_t>()->value_name("BITS")->notifier([&s](int32_t n) {
         if (n < 1 || n > 32) throw po::error("--client-prefix-v4 needs 1 to 32");
         s.clientPrefixV4 = n;
       }), "leading bits of an IPv4 address that --max-uploads-per-prefix counts together (default 24)")
      ("client-prefix-v6", po::value<int32_t>()->value_name("BITS")->notifier([&s](int32_t n) {
         if (n < 1 || n > 128) throw po::error("--client-prefix-v6 needs 1 to 128");
         s.clientPrefixV6 = n;
       }), "leading bits of an IPv6 address that --max-uploads-per-prefix counts together (default 64)")
      ("fair-upload-rate", po::value<ByteCount>()->value_name("SIZE")->notifier([&s](ByteCount v) {
         s.fairUploadRate = v.value;
       }), "when uploads wait and every slot that would let them run is held, the running upload furthest "
           "below this rate (bytes a second since it started, after 2 seconds) gives its slot up with 408 "
           "and keeps no file (default 32K; 0: never)")
      ("header-timeout", po::value<Seconds>()->value_name("S")->notifier([&s](Seconds v) {
         s.headerTimeout = v.value;
       }), "seconds allowed for a request header from its first byte (default 10)")
      ("keepalive-timeout", po::value<Seconds>()->value_name("S")->notifier([&s](Seconds v) {
         s.keepaliveTimeout = v.value;
       }), "seconds a kept-alive connection may wait for its next request (default 5)")
      ("min-body-rate", po::value<ByteCount>()->value_name("SIZE")->notifier([&s](ByteCount v) {
         s.minBodyRate = v.value;
       }), "least average body rate in bytes a second, or the upload is cut (default 1024; 0: none)")
      ("body-rate-window", po::value<Seconds>()->value_name("S")->notifier([&s](Seconds v) {
         s.bodyRateWindow = v.value;
       }), "seconds of grace, and of each window the body rate is measured over (default 10)")
      ("read-timeout", po::value<Seconds>()->value_name("S")->notifier([&s](Seconds v) { s.ioTimeout = v.value; }),
       "seconds allowed for each body read and response write (default 30)")
      ("no-resumable", po::bool_switch()->notifier([&s](bool off) { s.resumable = s.resumable && !off; }),
       "take no resumable uploads at /files/ (the tus protocol; on by default)")
      ("resumable-expiry", po::value<Seconds>()->value_name("S")->notifier([&s](Seconds v) {
         if (v.value < std::chrono::seconds(1)) throw po::error("--resumable-expiry needs at least 1 second");
         s.resumableExpiry = std::chrono::duration_cast<std::chrono::seconds>(v.value);
       }), "seconds an unfinished resumable upload is kept after its last bytes, and a finished one's "
           "report (default 86400)")
      ("resumable-dir", po::value<std::string>()->value_name("DIR")->notifier([&s](const std::string& dir) {
         s.resumableSpool = dir;
       }), "local directory where unfinished resumable uploads wait (default: the upload directory); "
           "with an s3:// --dir, resumable uploads are off unless it is given")
      ("max-unfinished-per-client", po::value<int32_t>()->value_name("N")->notifier([&s](int32_t n) {
         if (n < 1) throw po::error("--max-unfinished-per-client needs at least 1");
         s.maxUnfinishedPerClient = n;
       }), "unfinished resumable uploads one client address may hold; more are answered 429 (default 16)")
      ("shutdown-grace", po::value<Seconds>()->value_name("S")->notifier([&s](Seconds v) {
         s.shutdownGrace = v.value;
       }), "seconds running uploads get after SIGINT or SIGTERM (default 5)");
  return d;
}

std::string UrlFor(const std::string& bind, uint16_t port) {
  std::string host = bind;
  if (host == "0.0.0.0") host = "127.0.0.1";
  if (host == "::") host = "::1";
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  return "http://" + host + ":" + std::to_string(port) + "/";
}

// The address to listen on as a numeric literal: an IPv4 or IPv6 literal as
// given (brackets around IPv6 allowed), a name such as "localhost" resolved
// to its first address. Empty with `error` set when the name does not resolve.
std::string NumericAddress(std::string bind, std::string& error) {
  if (bind.size() > 2 && bind.front() == '[' && bind.back() == ']') bind = bind.substr(1, bind.size() - 2);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (int rc = ::getaddrinfo(bind.c_str(), nullptr, &hints, &found); rc != 0) {
    error = "cannot resolve --bind " + bind + ": " + ::gai_strerror(rc);
    return {};
  }
  char host[NI_MAXHOST] = "";
  int rc = ::getnameinfo(found->ai_addr, found->ai_addrlen, host, sizeof host, nullptr, 0, NI_NUMERICHOST);
  ::freeaddrinfo(found);
  if (rc != 0) {
    error = "cannot resolve --bind " + bind + ": " + ::gai_strerror(rc);
    return {};
  }
  return host;
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

// An object store has no place for the bytes of an upload that is not
// finished: they wait on a local disk the operator names, or not at all.
void KeepResumableUploadsLocal(HttpServerOptions& options, const char* invokedAs) {
  if (!options.resumable || !options.resumableSpool.empty() || !options.upload.uploadDirectory ||
      !IsS3Url(*options.upload.uploadDirectory)) {
    return;
  }
  options.resumable = false;
  std::fprintf(stderr, "parcelmoor %s: resumable uploads are off: the upload directory is an object store "
               "(give --resumable-dir DIR to let them wait on a local disk)\n", invokedAs);
}

}  // namespace

int RunServe(int argc, char** argv, const char* invokedAs) {
  HttpServerOptions options;
  ApplyServerDefaults(options.upload);
  Command command{invokedAs,
                  "usage: parcelmoor serve [options]\n"
                  "Serves the upload page at http://ADDRESS:PORT/ and stores the files posted to it.",
                  ServerOptions(options), {}, false};
  command.options.add(UploadOptions(options.upload));
  ForwardSettings forward;
  command.options.add(ForwardOptions(forward));
  AuthorizeSettings authorize;
  command.options.add(AuthorizeOptions(authorize));
  std::string error;
  switch (ParseCommand(command, argc, argv, error)) {
    case Parsed::kHelpShown: return 0;
    case Parsed::kBad: return UsageError(command, error);
    case Parsed::kRun: break;
  }
  try {
    if (!authorize.tokenFile.empty()) options.tokens = std::make_shared<TokenFile>(authorize.tokenFile);
  } catch (const std::runtime_error& e) {
    return UsageError(command, e.what());
  }
  options.authorize = authorize.target;
  options.authorizeTimeout = authorize.timeout;
  options.forward = forward.target;
  options.forwardTimeout = forward.timeout;
  options.bind = NumericAddress(options.bind, error);
  if (options.bind.empty()) return UsageError(command, error);
  if (!PrepareUploadDirectory(options.upload, error) || !PrepareForwardGroup(forward, options.upload, error)) {
    std::fprintf(stderr, "parcelmoor %s: %s\n", invokedAs, error.c_str());
    return 1;
  }
  KeepResumableUploadsLocal(options, invokedAs);

  // SIGINT and SIGTERM are taken by a thread of their own (every thread
  // started from here inherits the blocked mask); SIGPIPE is of no use to a
  // server whose writes report their own errors.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  // What a crashed or killed server left behind goes now, and then hourly
  // (on a thread started after the stop signals were blocked; an object
  // store's first sweep there too, so that a store slow to answer does not
  // hold the start up).
  SweepHourly(options.upload);

  std::string capacity = FitConnectionsToDescriptors(options);
  HttpServer server(options);
  uint16_t port = 0;
  try {
    port = server.Listen();
  } catch (const std::runtime_error& e) {
    std::fprintf(stderr, "parcelmoor %s: %s\n", invokedAs, e.what());
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
