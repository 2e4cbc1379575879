#include "host/request_log.h"

#include <gtest/gtest.h>

namespace parcelmoor {
namespace {

TEST(RequestLogTest, OneLineWithEveryFieldAndClientTextEscaped) {
  RequestLogEntry e;
  e.start = std::chrono::system_clock::time_point(std::chrono::milliseconds(1'800'000'000'123));
  e.peer = "127.0.0.1:40312";
  e.method = "POST";
  e.path = "/a b\r\nforged 200";
  e.status = 200;
  e.upload.bodyBytes = 1048576;
  e.upload.items = 3;
  e.upload.filesStored = 2;
  e.upload.filesCarried = 3;
  e.duration = std::chrono::milliseconds(42);
  e.upload.parseFailure = ErrorReport{-2147221001, "qelt_parcelmoor", "No File uploaded for \"f\"\n"};
  e.note = "client-gone";
  EXPECT_EQ(FormatRequestLog(e),
            "2027-01-15T08:00:00.123Z 127.0.0.1:40312 POST /a\\x20b\\x0d\\x0aforged\\x20200 200 body=1048576 "
            "items=3 files=2/3 0.042s failure=-2147221001 \"No File uploaded for \\x22f\\x22\\x0a\" client-gone\n");
}

TEST(RequestLogTest, UnansweredRequestShowsADash) {
  RequestLogEntry e;
  e.method = "-";
  std::string line = FormatRequestLog(e);
  EXPECT_NE(line.find(" - - - body=0 items=0 files=0/0 0.000s\n"), std::string::npos) << line;
}

}  // namespace
}  // namespace parcelmoor
