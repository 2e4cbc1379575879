#include "http/request_observer.h"

#include "http/background_log.h"

namespace parcelmoor::httpd {

void RequestLogWriter::RequestEnded(const RequestRecord& record) noexcept {
  try {
    log_.Write(log_.json() ? FormatRequestLogJson(record.entry, record.route) : FormatRequestLog(record.entry));
  } catch (...) {
    // Out of memory for a line: the request itself is not affected.
  }
}

}  // namespace parcelmoor::httpd
