#include "host/request_policy.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/content_type.h"
#include "host/host_part_policy.h"

namespace parcelmoor {
namespace {

constexpr const char* kFormData = "multipart/form-data; boundary=xyz";

struct JudgeCase {
  const char* why;
  RequestHead head;
  int status;  // 0: admitted, the page runs
  int64_t bodyLength = 0;
  const char* allow = nullptr;
  bool headOnly = false;
};

// Every request is settled on its header alone: the page, a refusal that
// reads no body, or an upload admitted with its length and boundary.
TEST(RequestPolicyTest, JudgesOnTheHeaderAlone) {
  UploadSettings settings;
  settings.maxRequestBytes = 1000;
  const JudgeCase cases[] = {
      {"GET shows the page", {"GET", std::nullopt, "", ""}, 200},
      {"HEAD: the page's headers only", {"HEAD", std::nullopt, "", ""}, 200, 0, nullptr, true},
      {"other methods refused", {"PUT", "5", "", kFormData}, 405, 0, "GET, HEAD, POST"},
      {"not multipart", {"POST", "5", "", "application/x-www-form-urlencoded"}, 415},
      {"multipart without a boundary", {"POST", "5", "", "multipart/form-data"}, 415},
      {"no length (chunked)", {"POST", std::nullopt, "", kFormData}, 411},
      {"length not a number", {"POST", "12a", "", kFormData}, 400},
      {"negative length", {"POST", "-1", "", kFormData}, 400},
      {"length past the limit", {"POST", "1001", "", kFormData}, 413},
      {"length at the limit", {"POST", "1000", "", kFormData}, 0, 1000},
      {"empty body", {"POST", "0", "", kFormData}, 0, 0},
  };
  for (const JudgeCase& c : cases) {
    RequestVerdict v = JudgeRequest(c.head, settings);
    EXPECT_EQ(v.answer ? v.answer->status : 0, c.status) << c.why;
    EXPECT_EQ(v.headOnly, c.headOnly) << c.why;
    EXPECT_STREQ(v.allow, c.allow) << c.why;
    if (c.status == 0) {
      EXPECT_EQ(v.bodyLength, c.bodyLength) << c.why;
      EXPECT_EQ(v.boundary, "xyz") << c.why;
    }
  }
}

TEST(RequestPolicyTest, AnswersJsonOnlyWhenAsked) {
  UploadSettings settings;
  RequestHead head{"POST", std::nullopt, "application/json", kFormData};
  RequestVerdict v = JudgeRequest(head, settings);
  EXPECT_TRUE(v.json);
  EXPECT_NE(v.answer->contentType.find("json"), std::string::npos);
  head.accept = "text/html,application/json;q=0.9";
  EXPECT_FALSE(JudgeRequest(head, settings).json);
}

// The page states the limits in force, read from the settings in 64 bits.
TEST(RequestPolicyTest, PageStatesTheLimits) {
  UploadSettings settings;
  settings.maxFileBytes = int64_t{5} << 30;
  settings.deleteOverLimit = true;
  settings.maxFieldBytes = 1 << 20;
  settings.maxRequestBytes = int64_t{6} << 30;
  std::string page = JudgeRequest({"GET", std::nullopt, "", ""}, settings).answer->body;
  for (const char* part : {"files up to 5 GiB (larger ones are refused)", "text fields up to 1 MiB",
                           "at most 6 GiB in all"}) {
    EXPECT_NE(page.find(part), std::string::npos) << part;
  }
}

TEST(RequestPolicyTest, LogNamesTheClientATrustedProxyVouchesFor) {
  UploadSettings settings;
  settings.trustedProxies = {"10.0.0.1", "::1"};
  struct Case {
    const char* peer;
    const char* forwardedFor;
    const char* logged;
  } cases[] = {
      {"10.0.0.1:5000", "1.2.3.4, 5.6.7.8", "5.6.7.8"},  // the proxy's own entry is the last
      {"[::1]:5000", " 9.9.9.9 ", "9.9.9.9"},
      {"10.0.0.2:5000", "1.2.3.4", "10.0.0.2:5000"},     // not trusted: its header is not believed
      {"10.0.0.1:5000", "", "10.0.0.1:5000"},
      {"10.0.0.1", "1.2.3.4", "1.2.3.4"},                // an address without a port
  };
  for (const Case& c : cases) EXPECT_EQ(ClientForLog(c.peer, c.forwardedFor, settings), c.logged) << c.peer;
}

// The host's part policy carries the file limit, in 64 bits, to file parts
// only: a text field is limited by MaxFieldSize alone.
TEST(RequestPolicyTest, PartPolicyLimitsFilesOnly) {
  UploadSettings settings;
  settings.maxFileBytes = (int64_t{1} << 32) + 1;
  settings.deleteOverLimit = true;
  HostPartPolicy policy(settings);
  PartDecision file = policy.decide({.fieldName = "f", .fileName = "a.bin", .namesFile = true});
  EXPECT_EQ(file.action, PartDecision::Action::kStore);
  EXPECT_EQ(file.maxFileBytes, (int64_t{1} << 32) + 1);
  EXPECT_TRUE(file.deleteOverLimit);
  PartDecision field = policy.decide({.fieldName = "note"});
  EXPECT_EQ(field.action, PartDecision::Action::kStore);
  EXPECT_FALSE(field.maxFileBytes);
  EXPECT_FALSE(HostPartPolicy(UploadSettings{}).decide({.fieldName = "f", .namesFile = true}).maxFileBytes);
}

// --allow-types: each list and a type told from content, allowed or not;
// lists that name no usable pattern are refused as the option is read.
TEST(RequestPolicyTest, AllowedTypesMatchWholeTypesOrASubtypeWildcard) {
  struct Case {
    const char* list;
    const char* type;
    bool valid;
    bool allowed;
  };
  const Case cases[] = {
      {"image/png", "image/png", true, true},
      {" Image/PNG , application/pdf", "image/png", true, true},
      {"image/*", "image/gif", true, true},
      {"image/*", "imagex/gif", true, false},
      {"image/png", "image/pngx", true, false},
      {"text/plain", "text/html", true, false},
      {"*/*", "application/x-empty", true, true},
      {"image", "image/png", false, false},
      {"*/png", "image/png", false, false},
      {"image/p*", "image/png", false, false},
      {",", "image/png", false, false},
  };
  for (const Case& c : cases) {
    std::vector<std::string> patterns;
    std::string why;
    EXPECT_EQ(ParseTypePatterns(c.list, patterns, why), c.valid) << c.list;
    if (c.valid) {
      EXPECT_EQ(TypeAllowed(c.type, patterns), c.allowed) << c.list << " " << c.type;
    }
  }
  const uint8_t png[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R',
                         0,    0,   0,   1,   0,    0,    0,    1,    8, 2, 0, 0,  0};
  EXPECT_EQ(SniffMimeType(png), "image/png");
  EXPECT_EQ(SniffMimeType({}), "application/x-empty");
}

// Hidden names are refused only when the settings say so; the file's own
// name decides, not its client path.
TEST(RequestPolicyTest, HiddenNamesAreRefusedWhenSet) {
  UploadSettings settings;
  settings.refuseHiddenNames = true;
  HostPartPolicy policy(settings);
  const PartDecision hidden = policy.decide({.fieldName = "f", .fileName = ".htaccess", .namesFile = true});
  EXPECT_EQ(hidden.action, PartDecision::Action::kRefuse);
  EXPECT_EQ(hidden.refusal, "hidden-name");
  EXPECT_EQ(hidden.status, 422);
  EXPECT_EQ(policy.decide({.fieldName = "f", .fileName = "a.txt", .clientPath = ".dir/a.txt", .namesFile = true})
                .action,
            PartDecision::Action::kStore);
  // ".." is no hidden name: the store refuses it with its own answer.
  EXPECT_EQ(policy.decide({.fieldName = "f", .fileName = "..", .namesFile = true}).action, PartDecision::Action::kStore);
  EXPECT_EQ(HostPartPolicy(UploadSettings{}).decide({.fieldName = "f", .fileName = ".env", .namesFile = true}).action,
            PartDecision::Action::kStore);
}

}  // namespace
}  // namespace parcelmoor
