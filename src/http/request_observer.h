#pragma once
// The one place a request's end is told: every request the server answers,
// refuses or loses, whatever path it took, reaches each observer once, on
// the event loop, with the log line's fields. The request log is the first
// observer; the metrics are the second.

#include <chrono>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "host/request_log.h"

namespace parcelmoor::httpd {

struct RequestRecord {
  const RequestLogEntry& entry;
  // The route's label (routes.h): "/", "/files/", "/healthz", ...; "-" when
  // no request line was read.
  std::string_view route;
  // How long the request waited for an upload slot, when it waited.
  std::optional<std::chrono::steady_clock::duration> slotWait;
};

class RequestObserver {
 public:
  virtual ~RequestObserver() = default;
  // On the event loop; must not throw.
  virtual void RequestEnded(const RequestRecord& record) noexcept = 0;
};

class RequestObservers {
 public:
  void Add(std::shared_ptr<RequestObserver> observer) { observers_.push_back(std::move(observer)); }
  void RequestEnded(const RequestRecord& record) const noexcept {
    for (const auto& o : observers_) o->RequestEnded(record);
  }

 private:
  std::vector<std::shared_ptr<RequestObserver>> observers_;
};

}  // namespace parcelmoor::httpd

namespace parcelmoor {
class BackgroundLog;
}

namespace parcelmoor::httpd {

// The first observer: one log line per request, text or JSON.
class RequestLogWriter final : public RequestObserver {
 public:
  explicit RequestLogWriter(BackgroundLog& log) : log_(log) {}
  void RequestEnded(const RequestRecord& record) noexcept override;

 private:
  BackgroundLog& log_;
};

}  // namespace parcelmoor::httpd
