#include "http/descriptor_limit.h"

#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace parcelmoor {
namespace {

constexpr int32_t kDefaultConnections = 10'000;
constexpr int64_t kFixedReserve = 32;  // stdio, listener, epoll, eventfd, timers, the log
constexpr int64_t kMaxRefusing = 256;

// Descriptors left for connections and refusals.
int64_t ConnectionDescriptors(int64_t descriptors, int32_t maxUploads) {
  // Two per upload: its file, and one to spare while a file is replaced.
  return std::max<int64_t>(1, descriptors - kFixedReserve - 2 * static_cast<int64_t>(maxUploads));
}

}  // namespace

DescriptorLimit RaiseDescriptorLimit() {
  DescriptorLimit result;
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    result.error = std::strerror(errno);
    return result;
  }
  result.before = result.now = static_cast<int64_t>(limit.rlim_cur);
  if (limit.rlim_cur == limit.rlim_max) return result;
  rlimit raised = limit;
  raised.rlim_cur = limit.rlim_max;
  if (::setrlimit(RLIMIT_NOFILE, &raised) != 0) {
    result.error = std::strerror(errno);
    return result;
  }
  result.now = limit.rlim_max == RLIM_INFINITY ? INT64_MAX : static_cast<int64_t>(limit.rlim_max);
  return result;
}

int64_t RefusalBudget(int64_t descriptors, int32_t maxUploads) {
  return std::min(kMaxRefusing, ConnectionDescriptors(descriptors, maxUploads) / 8);
}

int32_t ConnectionCap(std::optional<int32_t> requested, int64_t descriptors, int32_t maxUploads) {
  int64_t fit = ConnectionDescriptors(descriptors, maxUploads) - RefusalBudget(descriptors, maxUploads);
  int64_t cap = std::min<int64_t>(requested.value_or(kDefaultConnections), fit);
  return static_cast<int32_t>(std::max<int64_t>(1, cap));
}

}  // namespace parcelmoor
