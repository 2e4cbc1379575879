#pragma once
// The server's metrics in the Prometheus text format (GET /metrics), kept
// in prometheus-cpp's registry. Requests are counted where they end, as the
// second observer of requests (request_observer.h); the slow operations a
// request waits on (scans, object-store requests, the application) come
// through the process's operation sink (runtime/operation_timing.h); the
// running and queued uploads are read from the admission at each scrape.

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>

#include "http/request_observer.h"
#include "runtime/operation_timing.h"

namespace parcelmoor::httpd {

class ServerMetrics final : public RequestObserver {
 public:
  ServerMetrics();
  ~ServerMetrics() override;

  // On the event loop.
  void RequestEnded(const RequestRecord& record) noexcept override;
  // Any thread.
  void OperationEnded(const OperationTiming& timing) noexcept;
  // The text exposition, with the uploads running and queued now.
  std::string Scrape(int running, size_t queued, int64_t resumableExpired);

  // Makes this object the process's operation sink until it is destroyed.
  void InstallOperationSink();

 private:
  struct Operation {
    prometheus::Family<prometheus::Histogram>* durations;
    prometheus::Family<prometheus::Counter>* failures;
  };
  prometheus::Counter& RequestCounter(std::string_view route, std::string_view method, int status);
  // Route labels are the route tables' own literals, so views of them keep.
  using RouteSeries = std::unordered_map<std::string_view, prometheus::Histogram*>;
  prometheus::Histogram& Series(RouteSeries& series, prometheus::Family<prometheus::Histogram>& family,
                                std::string_view route, const prometheus::Histogram::BucketBoundaries& buckets);
  void CountResumable(const RequestRecord& record);

  std::shared_ptr<prometheus::Registry> registry_;
  prometheus::Family<prometheus::Counter>& requests_;
  prometheus::Family<prometheus::Histogram>& durations_;
  prometheus::Counter& bodyBytes_;
  prometheus::Family<prometheus::Histogram>& uploadSizes_;
  prometheus::Counter& filesStored_;
  prometheus::Family<prometheus::Counter>& filesRefused_;
  prometheus::Gauge& running_;
  prometheus::Gauge& queued_;
  prometheus::Counter& slotWaits_;
  prometheus::Histogram& slotWaitSeconds_;
  prometheus::Family<prometheus::Counter>& resumable_;
  std::unordered_map<std::string_view, Operation> operations_;
  // Series already made, so that a request's end costs a lookup here rather
  // than the registry's lock and label map. Event loop only.
  std::unordered_map<std::string, prometheus::Counter*> requestSeries_;
  RouteSeries durationSeries_;
  RouteSeries sizeSeries_;
  std::unordered_map<std::string, prometheus::Counter*> refusedSeries_;
  bool installed_ = false;
};

}  // namespace parcelmoor::httpd
