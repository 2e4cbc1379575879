#include "http/server_metrics.h"

#include <atomic>
#include <sstream>

#include <prometheus/text_serializer.h>

namespace parcelmoor::httpd {
namespace {

using prometheus::Histogram;

const Histogram::BucketBoundaries kSecondsBuckets{0.001, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5,
                                                   1,     2.5,   5,    10,    30,   60,  300};
const Histogram::BucketBoundaries kSizeBuckets{1024,     16384,     65536,     262144,     1 << 20,
                                               4 << 20,  16 << 20,  64 << 20,  256 << 20, 1 << 30,
                                               4.0 * (1 << 30), 16.0 * (1 << 30)};
constexpr std::string_view kOperationKinds[] = {"scan", "object_store_request", "authorize", "forward"};

std::atomic<ServerMetrics*> sinkTarget{nullptr};

void Sink(const OperationTiming& timing) noexcept {
  if (ServerMetrics* m = sinkTarget.load(std::memory_order_acquire)) m->OperationEnded(timing);
}

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

ServerMetrics::ServerMetrics()
    : registry_(std::make_shared<prometheus::Registry>()),
      requests_(prometheus::BuildCounter()
                    .Name("parcelmoor_requests_total")
                    .Help("Requests answered or ended, by route, method and status (\"none\": no answer was sent)")
                    .Register(*registry_)),
      durations_(prometheus::BuildHistogram()
                     .Name("parcelmoor_request_duration_seconds")
                     .Help("Time from a request's first header byte to its end, by route")
                     .Register(*registry_)),
      bodyBytes_(prometheus::BuildCounter()
                     .Name("parcelmoor_request_body_received_bytes_total")
                     .Help("Request body bytes read from clients")
                     .Register(*registry_)
                     .Add({})),
      uploadSizes_(prometheus::BuildHistogram()
                       .Name("parcelmoor_upload_size_bytes")
                       .Help("Body bytes of each upload request (POST / and the resumable requests with bytes)")
                       .Register(*registry_)),
      filesStored_(prometheus::BuildCounter()
                       .Name("parcelmoor_files_stored_total")
                       .Help("Files kept once their upload ended")
                       .Register(*registry_)
                       .Add({})),
      filesRefused_(prometheus::BuildCounter()
                        .Name("parcelmoor_files_refused_total")
                        .Help("Files an upload carried but did not keep, by the upload's outcome or note")
                        .Register(*registry_)),
      running_(prometheus::BuildGauge()
                   .Name("parcelmoor_uploads_running")
                   .Help("Uploads holding a slot")
                   .Register(*registry_)
                   .Add({})),
      queued_(prometheus::BuildGauge()
                  .Name("parcelmoor_uploads_queued")
                  .Help("Uploads waiting for a slot, their bodies unread")
                  .Register(*registry_)
                  .Add({})),
      slotWaits_(prometheus::BuildCounter()
                     .Name("parcelmoor_upload_slot_waits_total")
                     .Help("Uploads that waited for a slot")
                     .Register(*registry_)
                     .Add({})),
      slotWaitSeconds_(prometheus::BuildHistogram()
                           .Name("parcelmoor_upload_slot_wait_seconds")
                           .Help("How long uploads that waited for a slot waited")
                           .Register(*registry_)
                           .Add({}, kSecondsBuckets)),
      resumable_(prometheus::BuildCounter()
                     .Name("parcelmoor_resumable_uploads_total")
                     .Help("Resumable uploads by event: created, finished, terminated")
                     .Register(*registry_)) {
  for (std::string_view kind : kOperationKinds) {
    std::string name = "parcelmoor_" + std::string(kind);
    auto& durations = prometheus::BuildHistogram()
                          .Name(name + "_duration_seconds")
                          .Help("Time taken by each " + std::string(kind) + " call, by operation")
                          .Register(*registry_);
    auto& failures = prometheus::BuildCounter()
                         .Name(name + "_failures_total")
                         .Help("Failed " + std::string(kind) + " calls, by operation")
                         .Register(*registry_);
    operations_.emplace(kind, Operation{&durations, &failures});
  }
  for (const char* event : {"created", "finished", "terminated", "expired"}) resumable_.Add({{"event", event}});
}

ServerMetrics::~ServerMetrics() {
  // Another server of the process may have taken the sink since.
  ServerMetrics* self = this;
  if (installed_ && sinkTarget.compare_exchange_strong(self, nullptr)) SetOperationSink(nullptr);
}

void ServerMetrics::InstallOperationSink() {
  installed_ = true;
  sinkTarget.store(this, std::memory_order_release);
  SetOperationSink(&Sink);
}

prometheus::Counter& ServerMetrics::RequestCounter(std::string_view route, std::string_view method, int status) {
  std::string statusText = status ? std::to_string(status) : "none";
  std::string key = std::string(route) + '\n' + std::string(method) + '\n' + statusText;
  auto found = requestSeries_.find(key);
  if (found != requestSeries_.end()) return *found->second;
  auto& counter = requests_.Add({{"route", std::string(route)}, {"method", std::string(method)}, {"status", statusText}});
  requestSeries_.emplace(std::move(key), &counter);
  return counter;
}

prometheus::Histogram& ServerMetrics::Series(RouteSeries& series, prometheus::Family<prometheus::Histogram>& family,
                                             std::string_view route, const prometheus::Histogram::BucketBoundaries& buckets) {
  auto found = series.find(route);
  if (found != series.end()) return *found->second;
  auto& histogram = family.Add({{"route", std::string(route)}}, buckets);
  series.emplace(route, &histogram);
  return histogram;
}

void ServerMetrics::CountResumable(const RequestRecord& r) {
  const auto& e = r.entry;
  const char* event = nullptr;
  if (e.method == "POST" && e.status == 201) event = "created";
  if (e.method == "DELETE" && e.status == 204) event = "terminated";
  // A request that brought the last byte carries the upload's record.
  if ((e.method == "PATCH" || e.method == "POST") && e.upload.filesCarried > 0 && e.status / 100 == 2) {
    if (event) resumable_.Add({{"event", event}}).Increment();
    event = "finished";
  }
  if (event) resumable_.Add({{"event", event}}).Increment();
}

void ServerMetrics::RequestEnded(const RequestRecord& r) noexcept {
  try {
    const auto& e = r.entry;
    // Methods are the client's words: only the ones served get a series.
    static constexpr std::string_view kKnown[] = {"GET", "HEAD", "POST", "PATCH", "DELETE", "OPTIONS", "PUT", "-"};
    std::string_view method = "other";
    for (std::string_view m : kKnown) {
      if (e.method == m) method = m;
    }
    RequestCounter(r.route, method, e.status).Increment();
    Series(durationSeries_, durations_, r.route, kSecondsBuckets).Observe(Seconds(e.duration));
    bodyBytes_.Increment(static_cast<double>(e.upload.bodyBytes));
    const bool carriesBytes = e.method == "POST" || e.method == "PATCH";
    if (carriesBytes && (r.route == "/" || r.route == "/files/") && e.upload.bodyBytes > 0) {
      Series(sizeSeries_, uploadSizes_, r.route, kSizeBuckets).Observe(static_cast<double>(e.upload.bodyBytes));
    }
    filesStored_.Increment(e.upload.filesStored);
    if (e.upload.filesCarried > e.upload.filesStored) {
      std::string reason = !e.upload.outcome.empty() ? e.upload.outcome : !e.note.empty() ? e.note : "other";
      reason = reason.substr(0, reason.find(':'));  // "internal-error:..." carries text
      auto found = refusedSeries_.find(reason);
      if (found == refusedSeries_.end()) {
        found = refusedSeries_.emplace(reason, &filesRefused_.Add({{"reason", reason}})).first;
      }
      found->second->Increment(static_cast<double>(e.upload.filesCarried - e.upload.filesStored));
    }
    if (r.slotWait) {
      slotWaits_.Increment();
      slotWaitSeconds_.Observe(Seconds(*r.slotWait));
    }
    if (r.route == "/files/") CountResumable(r);
  } catch (...) {
    // A metric that cannot be counted (out of memory) is left out.
  }
}

void ServerMetrics::OperationEnded(const OperationTiming& t) noexcept {
  try {
    auto found = operations_.find(t.kind);
    if (found == operations_.end()) return;
    prometheus::Labels labels{{"operation", t.operation.empty() ? std::string(t.kind) : std::string(t.operation)}};
    found->second.durations->Add(labels, kSecondsBuckets).Observe(Seconds(t.took));
    auto& failures = found->second.failures->Add(labels);
    if (t.failed) failures.Increment();
  } catch (...) {
  }
}

std::string ServerMetrics::Scrape(int running, size_t queued, int64_t resumableExpired) {
  running_.Set(running);
  queued_.Set(static_cast<double>(queued));
  // Expiry happens in a sweep, not in a request: the count is read here.
  prometheus::Counter& expired = resumable_.Add({{"event", "expired"}});
  if (static_cast<double>(resumableExpired) > expired.Value()) {
    expired.Increment(static_cast<double>(resumableExpired) - expired.Value());
  }
  std::ostringstream out;
  prometheus::TextSerializer().Serialize(out, registry_->Collect());
  return out.str();
}

}  // namespace parcelmoor::httpd
