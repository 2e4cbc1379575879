#include "host/request_log.h"


#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "host/json_text.h"
#include "storage/posix_io.h"

namespace parcelmoor {
namespace {

// Client-supplied text (path, method, failure description) may hold control
// bytes, spaces or quotes; escape them so that one request stays one line
// and its fields stay apart.
std::string Sanitize(std::string_view text, bool quoteSpaces) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F || c == '\\' || c == '"' || (quoteSpaces && c == ' ')) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out.empty() ? "-" : out;
}

std::string UtcTimestamp(std::chrono::system_clock::time_point t) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
  std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms % 1000));
  return buf;
}

}  // namespace

std::string FormatRequestLog(const RequestLogEntry& e) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.3fs", std::chrono::duration<double>(e.duration).count());
  std::string line = UtcTimestamp(e.start) + " " + Sanitize(e.peer, true) + " " + Sanitize(e.method, true) +
                     " " + Sanitize(e.path, true) + " " + (e.status ? std::to_string(e.status) : "-") +
                     " body=" + std::to_string(e.upload.bodyBytes) + " items=" + std::to_string(e.upload.items) +
                     " files=" + std::to_string(e.upload.filesStored) + "/" +
                     std::to_string(e.upload.filesCarried) + " " + seconds;
  if (e.upload.parseFailure) {
    line += " failure=" + std::to_string(e.upload.parseFailure->number) + " \"" +
            Sanitize(e.upload.parseFailure->description, false) + "\"";
  }
  for (const std::string* tail : {&e.upload.outcome, &e.note}) {
    if (tail->empty()) continue;
    line += ' ';
    line += Sanitize(*tail, true);
  }
  line += '\n';
  return line;
}

namespace {

std::string JsonOrNull(std::string_view text) { return text.empty() ? "null" : JsonString(text); }

}  // namespace

std::string FormatRequestLogJson(const RequestLogEntry& e, std::string_view route) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.6f", std::chrono::duration<double>(e.duration).count());
  std::string failure = "null";
  if (e.upload.parseFailure) {
    failure = "{\"number\":" + std::to_string(e.upload.parseFailure->number) +
              ",\"description\":" + JsonString(e.upload.parseFailure->description) + "}";
  }
  return "{\"time\":\"" + UtcTimestamp(e.start) + "\",\"event\":\"request\",\"client\":" + JsonString(e.peer) +
         ",\"method\":" + JsonString(e.method) + ",\"path\":" + JsonString(e.path) +
         ",\"route\":" + JsonString(route) + ",\"status\":" + (e.status ? std::to_string(e.status) : "null") +
         ",\"body\":" + std::to_string(e.upload.bodyBytes) + ",\"items\":" + std::to_string(e.upload.items) +
         ",\"filesStored\":" + std::to_string(e.upload.filesStored) +
         ",\"filesCarried\":" + std::to_string(e.upload.filesCarried) + ",\"seconds\":" + seconds +
         ",\"failure\":" + failure + ",\"outcome\":" + JsonOrNull(e.upload.outcome) +
         ",\"note\":" + JsonOrNull(e.note) + "}\n";
}

std::string FormatLogEvent(bool json, std::string_view event, std::string_view message,
                           const std::vector<std::pair<std::string, std::string>>& fields) {
  if (!json) return "parcelmoor serve: " + std::string(message) + "\n";
  std::string line = "{\"time\":\"" + UtcTimestamp(std::chrono::system_clock::now()) +
                     "\",\"event\":" + JsonString(event) + ",\"message\":" + JsonString(message);
  for (const auto& [name, value] : fields) line += "," + JsonString(name) + ":" + value;
  return line + "}\n";
}

void WriteRequestLog(const RequestLogEntry& entry) {
  // Nowhere to log to: the request itself is not affected.
  WriteAll(STDERR_FILENO, FormatRequestLog(entry));
}

}  // namespace parcelmoor
