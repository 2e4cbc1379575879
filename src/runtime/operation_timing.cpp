#include "runtime/operation_timing.h"

#include <atomic>

namespace parcelmoor {
namespace {

std::atomic<OperationSink> installed{nullptr};

}  // namespace

void SetOperationSink(OperationSink sink) { installed.store(sink, std::memory_order_release); }

void ReportOperation(const OperationTiming& timing) {
  if (OperationSink sink = installed.load(std::memory_order_acquire)) sink(timing);
}

}  // namespace parcelmoor
