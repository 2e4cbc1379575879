// The multipart parser alone: each body of the table is pushed whole, split
// at every offset into two pieces, and in pieces of every size from 1 byte,
// and must give the same events every time (content pieces merged, as their
// number depends on the cut). A refused body stops at the same event however
// it is cut.

#include "multipart/multipart_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace parcelmoor {
namespace {

// Writes every event as text; adjacent content pieces become one "data".
class Recorder : public MultipartConsumer {
 public:
  std::string log;
  // Stops the parser at the n-th content piece (0: never).
  int stopAtContent = 0;
  MultipartParser* parser = nullptr;

  void OnPartBegin() override { Add("begin"); }
  void OnDisposition(std::string_view line) override { Add("disp " + std::string(line)); }
  void OnContentType(std::string_view value) override { Add("type [" + std::string(value) + "]"); }
  void OnHeadersComplete() override { Add("headers"); }
  void OnContent(std::span<const uint8_t> bytes) override {
    if (bytes.empty()) Add("EMPTY CONTENT PIECE");
    const std::string text(bytes.begin(), bytes.end());
    if (inData_) {
      log.insert(log.size() - 1, Escaped(text));
    } else {
      Add("data \"" + Escaped(text) + "\"");
      inData_ = true;
    }
    if (stopAtContent > 0 && --stopAtContent == 0) parser->Stop();
  }
  void OnPartEnd() override { Add("end"); }
  void OnBodyEnd() override { Add("close"); }

 private:
  void Add(const std::string& event) {
    inData_ = false;
    log += (log.empty() ? "" : "|") + event;
  }
  static std::string Escaped(const std::string& s) {
    std::string out;
    for (char c : s) out += c == '\r' ? std::string("\\r") : c == '\n' ? std::string("\\n") : std::string(1, c);
    return out;
  }
  bool inData_ = false;
};

const char* RefusalText(MultipartRefusal refusal) {
  switch (refusal) {
    case MultipartRefusal::kNone:
      return "";
    case MultipartRefusal::kNoDelimiterLine:
      return "|refused no delimiter line";
    case MultipartRefusal::kDelimiterLineTooLong:
      return "|refused delimiter line too long";
    case MultipartRefusal::kHeaderLineTooLong:
      return "|refused header line too long";
  }
  return "?";
}

// Pushes `body` in the given piece sizes (the last repeated); returns the
// log with the refusal, if any, and checks what Put says it took.
std::string Push(const std::string& body, const std::vector<size_t>& pieces) {
  Recorder recorder;
  MultipartParser parser(recorder);
  const auto* bytes = reinterpret_cast<const uint8_t*>(body.data());
  size_t at = 0;
  for (size_t i = 0; at < body.size(); ++i) {
    const size_t n = std::min(pieces[std::min(i, pieces.size() - 1)], body.size() - at);
    const size_t taken = parser.Put({bytes + at, n});
    if (parser.refusal() == MultipartRefusal::kNone && taken != n) return "took " + std::to_string(taken);
    at += n;
  }
  return recorder.log + RefusalText(parser.refusal());
}

const std::string kDelim = "--XyZ";
std::string Field(const std::string& name, const std::string& value) {
  return kDelim + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n";
}
std::string DispEvent(const std::string& name) { return "disp Content-Disposition: form-data; name=\"" + name + "\""; }

struct Case {
  const char* why;
  std::string body;
  std::string events;
};

std::vector<Case> Cases() {
  const std::string close = kDelim + "--\r\n";
  const std::string fieldA = "begin|" + DispEvent("a") + "|headers";
  return {
      {"two fields", Field("a", "1") + Field("b", "2") + close,
       fieldA + "|data \"1\"|end|begin|" + DispEvent("b") + "|headers|data \"2\"|end|close"},
      {"a file with its type; the value is trimmed",
       kDelim + "\r\nContent-Disposition: form-data; name=\"f\"; filename=\"x\"\r\ncontent-TYPE: \t image/png ;q \r\n\r\n"
           "\x89PNG\r\n\r\n" + close,
       "begin|disp Content-Disposition: form-data; name=\"f\"; filename=\"x\"|type [image/png ;q]|headers|"
       "data \"\x89PNG\\r\\n\"|end|close"},
      {"CR runs, lone CR and LF and delimiter-like lines are content",
       Field("a", "\r\r\n\n--XyZ-\r\n--Xy\r\n-XyZ\r\nx--XyZ\r\n--XyZ\n..\r") + close,
       fieldA + "|data \"\\r\\r\\n\\n--XyZ-\\r\\n--Xy\\r\\n-XyZ\\r\\nx--XyZ\\r\\n--XyZ\\n..\\r\"|end|close"},
      {"an empty part: its delimiter follows the blank line at once",
       kDelim + "\r\nContent-Disposition: form-data; name=\"e\"\r\n\r\n" + close,
       "begin|" + DispEvent("e") + "|headers|end|close"},
      {"a part with only a Content-Type still has content",
       kDelim + "\r\nContent-Type: text/plain\r\n\r\nabc\r\n" + close,
       "begin|type [text/plain]|headers|data \"abc\"|end|close"},
      {"without either header the blank line starts nothing and lines stay headers",
       kDelim + "\r\nX-Other: 1\r\n\r\nContent-Disposition: form-data; name=\"late\"\r\n\r\nv\r\n" + close,
       "begin|" + DispEvent("late") + "|headers|data \"v\"|end|close"},
      {"header names fold case and must be followed by something",
       kDelim + "\r\ncontent-disposition\r\nCONTENT-DISPOSITION: x\r\ncontent-type\r\n\r\n" + close,
       "begin|disp CONTENT-DISPOSITION: x|headers|end|close"},
      {"two bytes more than the delimiter close it, whatever they are", Field("a", "1") + kDelim + "zz\r\n",
       fieldA + "|data \"1\"|end|close"},
      {"lines after the close delimiter are read as headers",
       Field("a", "1") + close + "Content-Disposition: form-data; name=\"p\"\r\n\r\nq\r\n" + kDelim + "\r\n",
       fieldA + "|data \"1\"|end|close|" + DispEvent("p") + "|headers|data \"q\"|end|begin"},
      {"a delimiter line ending in CR", "--a\r\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n--a\r--\r\n",
       fieldA + "|data \"1\"|end|close"},
      {"a delimiter line of 1024 bytes is taken",
       std::string(1024, '-') + "\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n" + std::string(1026, '-') +
           "\r\n",
       fieldA + "|data \"1\"|end|close"},
      {"a header line of 2048 bytes is taken",
       kDelim + "\r\nX: " + std::string(2045, 'h') + "\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n" + close,
       fieldA + "|data \"1\"|end|close"},
      {"an empty first line is refused", "\r\n" + Field("a", "1"), "|refused no delimiter line"},
      {"a first line of 1025 bytes is refused", std::string(1025, '-') + "\r\n" + Field("a", "1"),
       "|refused delimiter line too long"},
      {"a header line of 2049 bytes is refused after what came before it",
       Field("a", "1") + kDelim + "\r\nX: " + std::string(2046, 'h') + "\r\n\r\n" + close,
       fieldA + "|data \"1\"|end|begin|refused header line too long"},
  };
}

TEST(MultipartParserTest, EveryCutGivesTheSameEvents) {
  for (const Case& c : Cases()) {
    ASSERT_EQ(Push(c.body, {c.body.size()}), c.events) << c.why << ", whole";
    const size_t longest = c.body.size() < 200 ? c.body.size() : 70;
    for (size_t n = 1; n < longest; ++n) ASSERT_EQ(Push(c.body, {n}), c.events) << c.why << ", pieces of " << n;
    for (size_t at = 1; at < c.body.size(); ++at) {
      ASSERT_EQ(Push(c.body, {at, c.body.size()}), c.events) << c.why << ", split at " << at;
    }
  }
}

// A consumer that stops the parser (a limit) gets no further event; Put says
// how far it got and takes nothing after.
TEST(MultipartParserTest, StopEndsTheEventsWhereTheConsumerAsked) {
  const std::string body = Field("a", "first") + Field("b", "second") + kDelim + "--\r\n";
  Recorder recorder;
  MultipartParser parser(recorder);
  recorder.parser = &parser;
  recorder.stopAtContent = 1;
  const auto* bytes = reinterpret_cast<const uint8_t*>(body.data());
  const size_t taken = parser.Put({bytes, body.size()});
  EXPECT_TRUE(parser.stopped());
  EXPECT_EQ(recorder.log, "begin|" + DispEvent("a") + "|headers|data \"first\"");
  EXPECT_LT(taken, body.size());
  EXPECT_GE(taken, Field("a", "first").size() - 2 - 2);
  EXPECT_EQ(parser.Put({bytes + taken, body.size() - taken}), 0u);
  EXPECT_EQ(parser.refusal(), MultipartRefusal::kNone);
}

}  // namespace
}  // namespace parcelmoor
