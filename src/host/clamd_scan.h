#pragma once
// A virus scanner daemon (clamd) asked about one file at a time with its
// INSTREAM command: the file is read in 64 KiB chunks and sent as
// length-prefixed chunks, so neither side holds it whole. Every call (one
// connection per file) is bounded by the target's timeout; a scanner that
// cannot be reached, is too slow or answers an error gives no verdict, and
// the caller must then keep nothing it meant to scan.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace parcelmoor {

struct ClamdTarget {
  std::string unixPath;  // set for clamd:unix:PATH
  std::string host;      // set with port for clamd:tcp:HOST:PORT
  std::string port;
  // The most one scan (connect, send, answer) may take.
  std::chrono::milliseconds timeout{30000};

  // "clamd:unix:PATH" or "clamd:tcp:HOST:PORT" (HOST may be [v6]); nullopt
  // with `why` otherwise.
  static std::optional<ClamdTarget> Parse(std::string_view text, std::string& why);
  // How the target was given, for messages.
  std::string describe() const;
};

struct ScanVerdict {
  enum class Kind { kClean, kInfected, kNoVerdict };
  Kind kind = Kind::kNoVerdict;
  // kInfected: the signature's name; kNoVerdict: why there is none.
  std::string detail;
};

// Sends the file at `path` to the scanner and reads its verdict.
ScanVerdict ScanFileWithClamd(const ClamdTarget& target, const std::string& path);

// Whether the scanner answers PING within `timeout` (and the target's own);
// false with `why` otherwise. For readiness checks and the start-up.
bool PingClamd(const ClamdTarget& target, std::chrono::milliseconds timeout, std::string& why);

}  // namespace parcelmoor
