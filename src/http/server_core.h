#pragma once
// What the server and its connections share: the event loop, the listening
// socket, the open connections and the running uploads. Used on the
// event-loop thread only, except where a member says otherwise.

#include <unistd.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "host/tus/resumable_uploads.h"
#include "http/http_server.h"
#include "http/cors.h"
#include "http/log_throttle.h"
#include "http/readiness.h"
#include "http/request_observer.h"
#include "http/routes.h"
#include "http/server_metrics.h"
#include "http/tls_context.h"
#include "http/upload_admission.h"
#include "http/upload_threads.h"

namespace parcelmoor::httpd {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;

class Connection;

// Threads kept waiting for the next upload once theirs ended.
inline constexpr size_t kIdleUploadThreads = 16;
// How long an upload runs before its rate may make it give its slot up.
inline constexpr std::chrono::seconds kReclaimGrace{2};
// How long a client that gave a slot up takes none back itself.
inline constexpr std::chrono::seconds kReclaimMemory{30};

struct ServerCore : std::enable_shared_from_this<ServerCore> {
  explicit ServerCore(HttpServerOptions o);

  // Accepts connections on `on` until it is closed, serving them with
  // `routes`.
  void Accept(tcp::acceptor& on, const RouteTable& routes);
  // Serves an accepted socket, or refuses it when the connections are at
  // their cap.
  void Admit(tcp::socket socket, const RouteTable& routes);
  // A request ended: every observer hears of it (the log, the metrics).
  void RequestEnded(const RequestRecord& record) const { observers.RequestEnded(record); }
  // The first call stops accepting, closes connections that wait for a
  // request and starts the grace period; a later one cuts uploads off.
  void BeginStop();
  // Ends the body reads of every running upload.
  void CutUploads();
  // Refuses every upload still waiting for a slot (the server is stopping).
  void RefuseWaitingUploads();

  // A connection's start and end.
  void Register(Connection* conn) { connections.insert(conn); }
  void Unregister(Connection* conn);

  // Upload slots (see upload_admission.h): kRun takes one for `conn`;
  // kWait keeps `conn` alive until a slot frees (Connection::OnSlot) or its
  // wait runs out (Connection::OnNoSlot); otherwise it is refused now.
  UploadAdmission::Verdict AskUploadSlot(const std::shared_ptr<Connection>& conn, const std::string& client);
  // A running upload of `client` (on `conn`) ends: its slot goes to the
  // next waiter.
  void FreeUploadSlot(const std::string& client, const Connection* conn);
  // Waiting uploads take slots back from running uploads too slow to be
  // fair (UploadAdmission::ChooseToReclaim); while any wait, looked at
  // again every second.
  void ReclaimSlots();
  // Sets the timer for the first wait to run out, unless it is set.
  void ArmAdmissionTimer();

  const HttpServerOptions options;
  net::io_context ioc{1};
  tcp::acceptor acceptor{ioc};
  tcp::acceptor metricsAcceptor{ioc};  // open with --metrics-bind
  net::steady_timer stopTimer{ioc};
  std::unordered_set<Connection*> connections;
  UploadAdmission admission;
  // The uploads waiting for a slot, kept alive here: no operation of their
  // own is pending while they wait.
  std::unordered_map<UploadAdmission::Id, std::shared_ptr<Connection>> waitingUploads;
  net::steady_timer admissionTimer{ioc};
  // Any thread.
  UploadThreads uploadThreads{kIdleUploadThreads, std::chrono::seconds(10)};
  bool admissionTimerSet = false;
  // The running uploads' slots, with what their rate is measured from.
  struct SlotHolder {
    std::weak_ptr<Connection> conn;
    std::string client;
    std::chrono::steady_clock::time_point since;
    int64_t bytesAtStart = -1;
    bool givingUp = false;  // told to give its slot up; not yet freed
  };
  std::unordered_map<UploadAdmission::Id, SlotHolder> slotHolders;
  // Clients made to give a slot up, and when: for a while they take none
  // back themselves, so that slots taken back do not pass from one
  // trickling client to the next.
  std::unordered_map<std::string, std::chrono::steady_clock::time_point> reclaimedFrom;
  net::steady_timer reclaimTimer{ioc};
  bool reclaimTimerSet = false;
  void HoldSlot(UploadAdmission::Id id, const std::shared_ptr<Connection>& conn, const std::string& client);
  int refusing = 0;           // 503 answers to refused connections in flight
  const int64_t refusalBudget;  // the most of them at once
  bool stopping = false;
  int stopCalls = 0;
  // Null with --no-resumable. Used from any thread.
  const std::shared_ptr<ResumableUploads> resumable;
  BackgroundLog log;                // request log lines and server messages
  LogThrottle setupFailures{log};    // any thread
  const CorsPolicy cors;
  // Null without metrics.
  const std::shared_ptr<ServerMetrics> metrics;
  RequestObservers observers;
  Readiness readiness;
  // What the main port and the metrics listener answer.
  const RouteTable mainRoutes;
  const RouteTable metricsRoutes;
  TlsContext* const tls;  // options.tls
};

// "127.0.0.1:40312", "[::1]:40312"
std::string FormatEndpoint(const tcp::endpoint& ep);

// Answers 503 to a connection over the cap, on the event loop, within the
// refusal budget; beyond it the socket is just closed.
void RefuseConnection(ServerCore& core, tcp::socket socket);

}  // namespace parcelmoor::httpd
