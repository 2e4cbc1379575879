#pragma once
// Timings of the slow operations a request waits on (a scan, an object-store
// request, a call to the application), reported where each one happens and
// read by whoever the process installs: `serve` feeds its metrics from it.
// With nothing installed a report costs one atomic load.

#include <chrono>
#include <string_view>

namespace parcelmoor {

struct OperationTiming {
  std::string_view kind;       // "scan", "object_store_request", "authorize", "forward"
  std::string_view operation;  // the kind's own word: "PUT", "HEAD", ...; may be empty
  std::chrono::steady_clock::duration took{};
  bool failed = false;
};

// Called from any thread, for every report; must not throw.
using OperationSink = void (*)(const OperationTiming&) noexcept;

// Installs the process's sink (nullptr removes it).
void SetOperationSink(OperationSink sink);
void ReportOperation(const OperationTiming& timing);

// Measures from its construction to Done(), and reports as `kind`.
class OperationTimer {
 public:
  explicit OperationTimer(std::string_view kind) : kind_(kind), start_(std::chrono::steady_clock::now()) {}
  void Done(std::string_view operation, bool failed) const {
    ReportOperation({kind_, operation, std::chrono::steady_clock::now() - start_, failed});
  }

 private:
  std::string_view kind_;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace parcelmoor
