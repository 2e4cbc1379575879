// The admission rules: who runs, who waits, who is refused and why, and who
// gets a freed slot.

#include "http/upload_admission.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace parcelmoor::httpd {
namespace {

using Verdict = UploadAdmission::Verdict;
using namespace std::chrono_literals;

const UploadAdmission::Clock::time_point kT0{};

TEST(UploadAdmission, AsksAreRunWaitedOrRefusedByTheLimits) {
  // Two slots, one per client, three waiting places, two per client.
  const UploadAdmission::Limits limits{
      .maxRunning = 2, .maxPerClient = 1, .maxWaiting = 3, .maxWaitingPerClient = 2, .maxWait = 5s};
  struct Step {
    const char* client;
    Verdict expected;
  };
  const std::vector<Step> steps = {
      {"a", Verdict::kRun},         // a's slot
      {"a", Verdict::kWait},        // a is at its cap: waits
      {"a", Verdict::kWait},        // a's second waiting place
      {"a", Verdict::kClientFull},  // a may not wait a third time: its own cap stops it
      {"b", Verdict::kRun},         // the server's last slot
      {"c", Verdict::kWait},        // the last waiting place
      {"d", Verdict::kServerFull},  // queue full, and d runs nothing: the server is full
  };
  UploadAdmission admission(limits);
  UploadAdmission::Id id = 0;
  for (const Step& s : steps) {
    SCOPED_TRACE(testing::Message() << "upload " << id << " of " << s.client);
    EXPECT_EQ(admission.Ask(s.client, id++, kT0), s.expected);
  }
  EXPECT_EQ(admission.running(), 2);
  EXPECT_EQ(admission.waiting(), 3u);
  // a's slot frees: a's first waiter (1) takes it, not c (5), although a
  // slot of the server's is what freed.
  EXPECT_EQ(admission.Free("a"), std::vector<UploadAdmission::Id>{1});
  // b's slot frees: a is at its cap again, so c, behind a's waiter, runs.
  EXPECT_EQ(admission.Free("b"), std::vector<UploadAdmission::Id>{5});
  // Nothing frees for a's last waiter in time: refused as a client at its cap.
  EXPECT_EQ(admission.NextDeadline(), kT0 + 5s);
  EXPECT_TRUE(admission.Expire(kT0 + 4s).empty());
  const auto expired = admission.Expire(kT0 + 5s);
  ASSERT_EQ(expired.size(), 1u);
  EXPECT_EQ(expired[0], std::make_pair(UploadAdmission::Id{2}, Verdict::kClientFull));
  EXPECT_FALSE(admission.NextDeadline());
  // A stopping server refuses, and what waited is handed back.
  EXPECT_EQ(admission.Ask("e", 7, kT0, true), Verdict::kServerFull);
  EXPECT_EQ(admission.Ask("a", 8, kT0), Verdict::kWait);
  EXPECT_EQ(admission.WithdrawAll(), std::vector<UploadAdmission::Id>{8});
  EXPECT_EQ(admission.waiting(), 0u);
}

// Fifty clients behind one address, four slots each: all run in turn,
// none refused, and no more than four at once.
TEST(UploadAdmission, ABurstFromOneAddressWaitsItsTurnInsteadOfBeingRefused) {
  UploadAdmission admission(UploadAdmission::Limits{});
  std::vector<UploadAdmission::Id> started;
  for (UploadAdmission::Id id = 0; id < 50; ++id) {
    const Verdict v = admission.Ask("127.0.0.1", id, kT0);
    ASSERT_NE(v, Verdict::kClientFull);
    ASSERT_NE(v, Verdict::kServerFull);
    if (v == Verdict::kRun) started.push_back(id);
  }
  EXPECT_EQ(started.size(), 4u);
  for (size_t next = 0; next < started.size() && started.size() < 50; ++next) {
    for (UploadAdmission::Id id : admission.Free("127.0.0.1")) started.push_back(id);
    EXPECT_LE(admission.running(), 4);
  }
  EXPECT_EQ(started.size(), 50u);
  for (UploadAdmission::Id k = 0; k < 50; ++k) EXPECT_EQ(started[k], k) << "in arrival order";
}

}  // namespace
}  // namespace parcelmoor::httpd
