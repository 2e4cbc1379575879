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
#include "http/tls_context.h"
#include "host/json_text.h"
#include "storage/coordinator/coordinator.h"
#include "storage/s3/s3_bucket_check.h"
#include "storage/s3/s3_names.h"
#include "options.h"
#include "serve_startup.h"

namespace parcelmoor::apps {
namespace {

// Where serve listens and how much each client may hold of it.
void AddConnectionOptions(po::options_description& d, HttpServerOptions& s) {
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
       "seconds allowed for each body read and response write (default 30)");
}

// Resumable uploads at /files/.
void AddResumableOptions(po::options_description& d, HttpServerOptions& s) {
  d.add_options()
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
      ("max-unfinished", po::value<int32_t>()->value_name("N")->notifier([&s](int32_t n) {
         if (n < 0) throw po::error("--max-unfinished needs 0 (no cap) or more");
         s.maxUnfinished = n;
       }), "unfinished resumable uploads of all clients together; more creations are answered 503 "
           "(default 1024; 0: no cap)");
}

// Running serve as a service: stopping, logs, metrics, other origins, other instances.
void AddServiceOptions(po::options_description& d, HttpServerOptions& s, std::string& coordinator) {
  d.add_options()
      ("shutdown-timeout", po::value<Seconds>()->value_name("S")->notifier([&s](Seconds v) {
         s.shutdownGrace = v.value;
       }), "on SIGINT or SIGTERM the server stops accepting and answers uploads waiting for a slot 503; "
           "running uploads get this many seconds to finish, then are cut off as if their client had gone "
           "(their files are not kept; resumable uploads keep every byte that came); exit status 0 (default 5)")
      ("coordinator", po::value(&coordinator)->value_name("redis://HOST:PORT[/DB]"),
       "a Redis server that the instances sharing one s3:// --dir claim names through, so that "
       "--on-exists keep-both and refuse hold across them (default: none; one instance alone)")
      ("shutdown-grace", po::value<Seconds>()->value_name("S")->notifier([&s](Seconds v) {
         s.shutdownGrace = v.value;
       }), "the former name of --shutdown-timeout")
      ("log-format", po::value<std::string>()->value_name("text|json")->notifier([&s](const std::string& v) {
         if (v != "text" && v != "json") throw po::error("--log-format takes text or json");
         s.jsonLog = v == "json";
       }), "the request log and server events on standard error: one text line each (the default), or one "
           "JSON object a line")
      ("metrics-bind", po::value(&s.metricsBind)->value_name("ADDRESS:PORT"),
       "serve GET /metrics (the Prometheus text format), /healthz and /readyz on a listener of their own "
       "at this address, e.g. 127.0.0.1:9464 (default: none)")
      ("metrics-token", po::value(&s.metricsToken)->value_name("TOKEN"),
       "serve GET /metrics on the main port too, to requests bearing 'Authorization: Bearer TOKEN' (default: "
       "none; the metrics are then off the main port)")
      ("cors-origin", po::value<std::vector<std::string>>(&s.corsOrigins)->value_name("ORIGIN")->composing(),
       "let pages of this origin (https://app.example.org, repeatable) upload with POST / and to /files/ "
       "from the browser, with credentials; * lets any origin, without credentials (default: none)");
}

po::options_description ServerOptions(HttpServerOptions& s, std::string& coordinator) {
  po::options_description d("Server options");
  AddConnectionOptions(d, s);
  AddResumableOptions(d, s);
  AddServiceOptions(d, s, coordinator);
  return d;
}

struct TlsFiles {
  std::string cert;
  std::string key;
};

po::options_description TlsOptions(TlsFiles& f) {
  po::options_description d("HTTPS options");
  d.add_options()
      ("tls-cert", po::value(&f.cert)->value_name("FILE"),
       "serve HTTPS (TLS 1.2 and 1.3) on the port with this PEM certificate chain, the server's own "
       "certificate first; SIGHUP reads it and --tls-key again for new connections (default: plain HTTP)")
      ("tls-key", po::value(&f.key)->value_name("FILE"), "the PEM private key of --tls-cert");
  return d;
}

std::string UrlFor(const std::string& bind, uint16_t port, bool tls) {
  std::string host = bind;
  if (host == "0.0.0.0") host = "127.0.0.1";
  if (host == "::") host = "::1";
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  return (tls ? "https://" : "http://") + host + ":" + std::to_string(port) + "/";
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

// Connects to the coordinator, when one is named, and sees that it answers;
// says why not, on stderr, when it does not.
bool CoordinatorAnswers(const std::string& url, UploadSettings& upload, const char* invokedAs) {
  const bool objectStore = upload.uploadDirectory && IsS3Url(*upload.uploadDirectory);
  if (url.empty()) {
    if (objectStore) {
      std::fprintf(stderr, "parcelmoor %s: no --coordinator: names are claimed within this instance only; "
                   "several instances on one bucket need one\n", invokedAs);
    }
    return true;
  }
  std::string why;
  if (std::optional<RedisAddress> address = ParseRedisUrl(url, why)) {
    auto coordinator = std::make_shared<Coordinator>(*address);
    why = coordinator->ping();
    upload.s3.coordinator = std::move(coordinator);
  }
  if (why.empty()) return true;
  std::fprintf(stderr, "parcelmoor %s: cannot use --coordinator %s: %s\n", invokedAs, url.c_str(), why.c_str());
  return false;
}

// Whether the object store named by an s3:// upload directory takes this
// server's requests; says why not, on stderr, when it does not.
bool ObjectStoreAnswers(const UploadSettings& upload, const char* invokedAs) {
  if (!upload.uploadDirectory || !IsS3Url(*upload.uploadDirectory)) return true;
  std::string why;
  const std::optional<S3Location> location = ParseS3Url(*upload.uploadDirectory, why);
  if (location) why = CheckBucket(upload.s3, location->bucket);
  if (why.empty()) return true;
  std::fprintf(stderr, "parcelmoor %s: cannot use --dir %s: %s\n", invokedAs, upload.uploadDirectory->c_str(),
               why.c_str());
  return false;
}

}  // namespace

// SIGINT and SIGTERM (and with HTTPS, SIGHUP) are taken by a thread of
// their own (every thread started after this inherits the blocked mask);
// SIGPIPE is of no use to a server whose writes report their own errors.
sigset_t BlockServerSignals(bool tls) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  if (tls) sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return signals;
}

// The first stop signal winds the server down; a second one cuts running
// uploads off at once. SIGHUP reloads the certificate.
void TakeSignals(HttpServer& server, sigset_t signals, std::shared_ptr<httpd::TlsContext> tls) {
  std::thread([&server, signals, tls = std::move(tls)] {
    for (int received = 0; received < 2;) {
      int signal = 0;
      if (sigwait(&signals, &signal) != 0) return;
      if (signal == SIGHUP) {
        std::string failure = tls->Reload();
        if (failure.empty()) server.LogEvent("reload", "SIGHUP, certificate reloaded for new connections");
        else server.LogEvent("reload-failed", "SIGHUP, certificate kept: " + failure, {{"error", JsonString(failure)}});
        continue;
      }
      ++received;
      const char* name = signal == SIGINT ? "SIGINT" : "SIGTERM";
      server.LogEvent("stop", std::string(name) + (received == 1 ? ", stopping" : ", cutting running uploads off"),
                      {{"signal", JsonString(name)}});
      server.Stop();
    }
  }).detach();
}

// The line the tests and operators read first, and its JSON event.
void AnnounceServing(HttpServer& server, const HttpServerOptions& options, uint16_t port, const std::string& capacity) {
  const std::string url = UrlFor(options.bind, port, options.tls != nullptr);
  const std::string policies = DescribePolicies(options, server.metricsPort());
  std::printf("parcelmoor serving %s (%s; %s)\n", url.c_str(), capacity.c_str(), policies.c_str());
  std::fflush(stdout);
  if (options.jsonLog) {
    server.LogEvent("start", "serving " + url,
                    {{"url", JsonString(url)}, {"capacity", JsonString(capacity)}, {"policies", JsonString(policies)}});
  }
}

// Everything serve checks before it listens; false once it told why.
bool ReadyToServe(HttpServerOptions& options, const ForwardSettings& forward, const std::string& coordinatorUrl,
                  const char* invokedAs) {
  std::string error;
  if (!PrepareUploadDirectory(options.upload, error) || !PrepareForwardGroup(forward, options.upload, error)) {
    std::fprintf(stderr, "parcelmoor %s: %s\n", invokedAs, error.c_str());
    return false;
  }
  if (!ObjectStoreAnswers(options.upload, invokedAs)) return false;
  if (!CoordinatorAnswers(coordinatorUrl, options.upload, invokedAs)) return false;
  KeepResumableUploadsLocal(options, invokedAs);
  if (!CheckServeStart(options, error)) {
    std::fprintf(stderr, "parcelmoor %s: %s\n", invokedAs, error.c_str());
    return false;
  }
  return true;
}

int RunServe(int argc, char** argv, const char* invokedAs) {
  HttpServerOptions options;
  std::string coordinatorUrl;
  ApplyServerDefaults(options.upload);
  Command command{invokedAs,
                  "usage: parcelmoor serve [options]\n"
                  "Serves the upload page at http://ADDRESS:PORT/ (https:// with --tls-cert) and stores the files posted to it.",
                  ServerOptions(options, coordinatorUrl), {}, false};
  command.options.add(UploadOptions(options.upload));
  ForwardSettings forward;
  command.options.add(ForwardOptions(forward));
  AuthorizeSettings authorize;
  command.options.add(AuthorizeOptions(authorize));
  TlsFiles tlsFiles;
  command.options.add(TlsOptions(tlsFiles));
  std::string error;
  switch (ParseCommand(command, argc, argv, error)) {
    case Parsed::kHelpShown: return 0;
    case Parsed::kBad: return UsageError(command, error);
    case Parsed::kRun: break;
  }
  try {
    if (!authorize.tokenFile.empty()) options.tokens = std::make_shared<TokenFile>(authorize.tokenFile);
    if (tlsFiles.cert.empty() != tlsFiles.key.empty()) throw std::runtime_error("--tls-cert and --tls-key go together");
    if (!tlsFiles.cert.empty()) options.tls = std::make_shared<httpd::TlsContext>(tlsFiles.cert, tlsFiles.key);
  } catch (const std::runtime_error& e) {
    return UsageError(command, e.what());
  }
  options.authorize = authorize.target;
  options.authorizeTimeout = authorize.timeout;
  options.forward = forward.target;
  options.forwardTimeout = forward.timeout;
  options.bind = NumericAddress(options.bind, error);
  if (options.bind.empty()) return UsageError(command, error);
  if (!ReadyToServe(options, forward, coordinatorUrl, invokedAs)) return 1;

  const sigset_t signals = BlockServerSignals(options.tls != nullptr);
  // What a crashed or killed server left behind goes now, and then hourly
  // (on a thread started after the signals were blocked; an object store's
  // first sweep there too, so that a store slow to answer does not hold the
  // start up).
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
  AnnounceServing(server, options, port, capacity);
  TakeSignals(server, signals, options.tls);
  server.Run();
  server.LogEvent("stopped", "stopped");
  return 0;
}

}  // namespace parcelmoor::apps
