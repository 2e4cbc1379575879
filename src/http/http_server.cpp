// The server's life: listening, accepting, the connection cap, and winding
// down. Connections live in connection.cpp; an upload's thread in
// upload_dispatch.cpp.

#include "http/http_server.h"

#include <sys/resource.h>

#include <algorithm>

#include <stdexcept>

#include <boost/asio/post.hpp>

#include "http/connection.h"
#include "http/descriptor_limit.h"
#include "http/server_core.h"

namespace parcelmoor {
namespace httpd {
namespace {

// After a failed accept (out of descriptors and the like), try again
// shortly rather than in a spin.
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(100);
// Once the grace period is over, cut uploads get this long to end.
constexpr auto kCutWait = std::chrono::seconds(10);
// Uploads that may wait for a slot, per slot; one client may fill as many
// places as there are slots.
constexpr size_t kWaitingPerSlot = 4;

int64_t SoftDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return INT32_MAX;
  return static_cast<int64_t>(limit.rlim_cur);
}

std::shared_ptr<ResumableUploads> MakeResumableUploads(const HttpServerOptions& options) {
  ResumableConfig config{options.upload, options.resumableExpiry, options.maxUnfinishedPerClient,
                         options.maxUnfinished, options.resumableSpool};
  auto store = ResumableUploads::StoreFor(config);
  return std::make_shared<ResumableUploads>(std::move(config), std::move(store));
}

}  // namespace

ServerCore::ServerCore(HttpServerOptions o)
    : options(std::move(o)),
      admission(UploadAdmission::Limits{
          .maxRunning = options.maxUploads,
          .maxPerClient = options.maxUploadsPerClient,
          .maxPerPrefix = options.maxUploadsPerPrefix > 0
                              ? options.maxUploadsPerPrefix
                              : std::max(options.maxUploadsPerClient, options.maxUploads / 4),
          .prefixBitsV4 = options.clientPrefixV4,
          .prefixBitsV6 = options.clientPrefixV6,
          .maxWaiting = kWaitingPerSlot * static_cast<size_t>(options.maxUploads),
          .maxWaitingPerClient = static_cast<size_t>(options.maxUploads),
          .maxWait = options.uploadWait}),
      refusalBudget(RefusalBudget(SoftDescriptorLimit(), options.maxUploads)),
      resumable(options.resumable ? MakeResumableUploads(options) : nullptr),
      log(STDERR_FILENO, options.jsonLog),
      cors{options.corsOrigins},
      metrics(!options.metricsBind.empty() || !options.metricsToken.empty() ? std::make_shared<ServerMetrics>()
                                                                            : nullptr),
      readiness(ReadinessConfig{options.upload.uploadDirectory.value_or(""), options.upload.s3, options.upload.scan,
                                options.readyMinFreeBytes}),
      mainRoutes(Connection::MainRoutes(options, resumable != nullptr)),
      metricsRoutes(Connection::MetricsRoutes()),
      tls(options.tls.get()) {
  observers.Add(std::make_shared<RequestLogWriter>(log));
  if (metrics) {
    observers.Add(metrics);
    metrics->InstallOperationSink();
  }
}

void ServerCore::Accept(tcp::acceptor& on, const RouteTable& routes) {
  on.async_accept([self = shared_from_this(), &on, &routes](beast::error_code ec, tcp::socket socket) {
    if (!on.is_open()) return;
    if (ec) {
      self->setupFailures.Write("cannot accept a connection: " + ec.message());
      // A timer of its own: the two listeners may both be retrying.
      auto retry = std::make_shared<net::steady_timer>(self->ioc, kAcceptRetryDelay);
      retry->async_wait([self, retry, &on, &routes](beast::error_code) {
        if (on.is_open()) self->Accept(on, routes);
      });
      return;
    }
    try {
      self->Admit(std::move(socket), routes);
    } catch (const std::exception& e) {
      // The socket closes with the exception; the server goes on.
      self->setupFailures.Write(std::string("cannot set up a connection: ") + e.what());
    }
    self->Accept(on, routes);
  });
}

void ServerCore::Admit(tcp::socket socket, const RouteTable& routes) {
  if (stopping) return;
  if (connections.size() >= static_cast<size_t>(options.maxConnections)) {
    return RefuseConnection(*this, std::move(socket));
  }
  std::make_shared<Connection>(shared_from_this(), std::move(socket), routes)->Start();
}

UploadAdmission::Verdict ServerCore::AskUploadSlot(const std::shared_ptr<Connection>& conn,
                                                   const std::string& client) {
  const auto id = reinterpret_cast<UploadAdmission::Id>(conn.get());
  const auto verdict = admission.Ask(client, id, UploadAdmission::Clock::now(), stopping);
  if (verdict == UploadAdmission::Verdict::kRun) HoldSlot(id, conn, client);
  if (verdict != UploadAdmission::Verdict::kWait) return verdict;
  conn->QueuedForSlot();
  waitingUploads.emplace(id, conn);
  ArmAdmissionTimer();
  ReclaimSlots();
  return verdict;
}

void ServerCore::HoldSlot(UploadAdmission::Id id, const std::shared_ptr<Connection>& conn, const std::string& client) {
  slotHolders[id] = SlotHolder{conn, client, std::chrono::steady_clock::now(), conn->BytesReceived()};
}

void ServerCore::FreeUploadSlot(const std::string& client, const Connection* conn) {
  slotHolders.erase(reinterpret_cast<UploadAdmission::Id>(conn));
  for (UploadAdmission::Id id : admission.Free(client)) {
    auto found = waitingUploads.find(id);
    if (found == waitingUploads.end()) continue;
    std::shared_ptr<Connection> conn = std::move(found->second);
    waitingUploads.erase(found);
    HoldSlot(id, conn, conn->uploadClient());
    // Started from the loop, not from inside the caller's release.
    net::post(ioc, [conn] { conn->OnSlot(); });
  }
}

// One timer for every wait: waits all last as long, so the first to run
// out is always the oldest.
void ServerCore::ArmAdmissionTimer() {
  if (admissionTimerSet) return;
  auto next = admission.NextDeadline();
  if (!next) return;
  admissionTimerSet = true;
  admissionTimer.expires_at(*next);
  admissionTimer.async_wait([self = shared_from_this()](beast::error_code ec) {
    self->admissionTimerSet = false;
    if (ec) return;
    for (auto [id, verdict] : self->admission.Expire(UploadAdmission::Clock::now())) {
      auto found = self->waitingUploads.find(id);
      if (found == self->waitingUploads.end()) continue;
      std::shared_ptr<Connection> conn = std::move(found->second);
      self->waitingUploads.erase(found);
      conn->OnNoSlot(verdict);
    }
    self->ArmAdmissionTimer();
  });
}

// An upload is judged by its average rate since it took its slot, once it
// has had kReclaimGrace to show it: one that only just started is never
// taken for a slow one.
void ServerCore::ReclaimSlots() {
  if (options.fairUploadRate <= 0 || stopping) return;
  const auto now = std::chrono::steady_clock::now();
  std::erase_if(reclaimedFrom, [now](const auto& entry) { return now - entry.second > kReclaimMemory; });
  std::unordered_set<std::string> slowClients;
  for (const auto& [client, when] : reclaimedFrom) slowClients.insert(client);
  for (;;) {
    std::vector<UploadAdmission::Running> running;
    running.reserve(slotHolders.size());
    for (const auto& [id, holder] : slotHolders) {
      const std::shared_ptr<Connection> conn = holder.conn.lock();
      if (!conn || holder.givingUp) continue;
      std::optional<double> rate;
      const int64_t bytes = conn->BytesReceived();
      const std::chrono::duration<double> ran = now - holder.since;
      if (ran >= kReclaimGrace && bytes >= 0 && holder.bytesAtStart >= 0) {
        rate = static_cast<double>(bytes - holder.bytesAtStart) / ran.count();
      }
      running.push_back({id, holder.client, rate});
    }
    const auto chosen = admission.ChooseToReclaim(running, static_cast<double>(options.fairUploadRate), slowClients);
    if (!chosen) break;
    SlotHolder& holder = slotHolders.at(chosen->from);
    holder.givingUp = true;
    reclaimedFrom[holder.client] = now;
    slowClients.insert(holder.client);
    admission.Promise(chosen->to);
    if (const std::shared_ptr<Connection> conn = holder.conn.lock()) conn->GiveUpSlot();
  }
  // Uploads too young to judge now may be judged in a second.
  if (admission.waiting() == 0 || reclaimTimerSet) return;
  reclaimTimerSet = true;
  reclaimTimer.expires_after(std::chrono::seconds(1));
  reclaimTimer.async_wait([self = shared_from_this()](beast::error_code ec) {
    self->reclaimTimerSet = false;
    if (!ec) self->ReclaimSlots();
  });
}

void ServerCore::RefuseWaitingUploads() {
  reclaimTimer.cancel();
  admission.WithdrawAll();
  auto waiting = std::move(waitingUploads);
  waitingUploads.clear();
  admissionTimer.cancel();
  for (auto& [id, conn] : waiting) conn->OnNoSlot(UploadAdmission::Verdict::kServerFull);
}

void ServerCore::Unregister(Connection* conn) {
  connections.erase(conn);
  // The last one gone: nothing is left to wait for.
  if (stopping && connections.empty()) stopTimer.cancel();
}

void ServerCore::BeginStop() {
  if (++stopCalls > 1) return CutUploads();
  stopping = true;
  beast::error_code ec;
  acceptor.close(ec);
  metricsAcceptor.close(ec);
  // Closing may end connections, which erases them from the set.
  std::vector<std::weak_ptr<Connection>> open;
  for (Connection* conn : connections) open.push_back(conn->weak_from_this());
  for (auto& weak : open) {
    if (auto conn = weak.lock()) conn->OnStop();
  }
  RefuseWaitingUploads();
  if (connections.empty()) return;
  stopTimer.expires_after(options.shutdownGrace);
  stopTimer.async_wait([self = shared_from_this()](beast::error_code waitEc) {
    if (waitEc) return;
    self->CutUploads();
    self->stopTimer.expires_after(kCutWait);
    self->stopTimer.async_wait([self](beast::error_code lastEc) {
      // Uploads still running now hold the loop no longer.
      if (!lastEc) self->ioc.stop();
    });
  });
}

void ServerCore::CutUploads() {
  for (Connection* conn : connections) {
    if (conn->uploading()) conn->Cut();
  }
}

}  // namespace httpd

HttpServer::HttpServer(HttpServerOptions options) : core_(std::make_shared<httpd::ServerCore>(std::move(options))) {}

HttpServer::~HttpServer() = default;

namespace {

void ListenOn(boost::asio::ip::tcp::acceptor& acceptor, const std::string& address, uint16_t port) {
  namespace net = boost::asio;
  try {
    net::ip::tcp::endpoint endpoint(net::ip::make_address(address), port);
    acceptor.open(endpoint.protocol());
    acceptor.set_option(net::socket_base::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen(net::socket_base::max_listen_connections);
  } catch (const boost::system::system_error& e) {
    throw std::runtime_error("cannot listen on " + address + " port " + std::to_string(port) + ": " +
                             e.code().message());
  }
}

}  // namespace

uint16_t HttpServer::Listen() {
  const auto& o = core_->options;
  ListenOn(core_->acceptor, o.bind, o.port);
  if (!o.metricsBind.empty()) {
    // "ADDRESS:PORT", the address in brackets when it is IPv6.
    const size_t colon = o.metricsBind.rfind(':');
    std::string address = o.metricsBind.substr(0, colon);
    if (address.size() > 2 && address.front() == '[') address = address.substr(1, address.size() - 2);
    ListenOn(core_->metricsAcceptor, address, static_cast<uint16_t>(std::stoi(o.metricsBind.substr(colon + 1))));
  }
  return core_->acceptor.local_endpoint().port();
}

uint16_t HttpServer::metricsPort() const {
  if (!core_->metricsAcceptor.is_open()) return 0;
  return core_->metricsAcceptor.local_endpoint().port();
}

void HttpServer::Run() {
  core_->Accept(core_->acceptor, core_->mainRoutes);
  if (core_->metricsAcceptor.is_open()) core_->Accept(core_->metricsAcceptor, core_->metricsRoutes);
  for (;;) {
    try {
      core_->ioc.run();  // until Stop() has closed the acceptor and every connection has ended
      return;
    } catch (const std::exception& e) {
      // A step that threw past its connection's own guard ended that
      // connection only.
      core_->setupFailures.Write(std::string("a connection failed: ") + e.what());
    }
  }
}

void HttpServer::LogEvent(std::string_view event, std::string_view message,
                          const std::vector<std::pair<std::string, std::string>>& fields) {
  core_->log.WriteEvent(event, message, fields);
}

void HttpServer::Stop() {
  boost::asio::post(core_->ioc, [core = core_] { core->BeginStop(); });
}

}  // namespace parcelmoor
