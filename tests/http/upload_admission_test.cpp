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

// Addresses sharing a prefix share its cap; a waiter takes a slot back only
// from uploads whose end would let it run, the slowest below the fair rate,
// and the freed slot is its own.
TEST(UploadAdmission, PrefixesShareACapAndWaitersReclaimTheSlowestBlockingSlot) {
  const UploadAdmission::Limits limits{.maxRunning = 4, .maxPerClient = 2, .maxPerPrefix = 3, .maxWaiting = 8,
                                       .maxWaitingPerClient = 8, .maxWait = 5s};
  UploadAdmission admission(limits);
  EXPECT_EQ(admission.PrefixOf("192.0.2.77"), "192.0.2.0/24");
  EXPECT_EQ(admission.PrefixOf("::ffff:192.0.2.77"), "192.0.2.0/24");
  EXPECT_EQ(admission.PrefixOf("2001:db8:1:2:aa::1"), "2001:db8:1:2::/64");
  EXPECT_EQ(admission.PrefixOf("not an address"), "not an address");
  // Three uploads of one /64 run; its fourth waits although the server has
  // a slot left.
  EXPECT_EQ(admission.Ask("2001:db8::1", 1, kT0), Verdict::kRun);
  EXPECT_EQ(admission.Ask("2001:db8::1", 2, kT0), Verdict::kRun);
  EXPECT_EQ(admission.Ask("2001:db8::2", 3, kT0), Verdict::kRun);
  EXPECT_EQ(admission.Ask("2001:db8::3", 4, kT0), Verdict::kWait);
  using Running = std::vector<UploadAdmission::Running>;
  const Running prefixOnly = {{1, "2001:db8::1", 100.0}, {2, "2001:db8::1", 5.0}, {3, "2001:db8::2", std::nullopt}};
  struct Case {
    const char* why;
    Running running;
    double fairRate;
    std::optional<UploadAdmission::Id> from;
  };
  const Case cases[] = {
      {"the slowest of the waiter's prefix", prefixOnly, 1000.0, 2},
      {"none below the fair rate", prefixOnly, 1.0, std::nullopt},
      {"one too young to judge is never chosen", {{3, "2001:db8::2", std::nullopt}}, 1000.0, std::nullopt},
      {"a slower upload of another prefix would not help", {{1, "2001:db8::1", 50.0}, {9, "192.0.2.1", 1.0}},
       1000.0, 1},
      {"a waiter whose own address trickles takes nothing", {{1, "2001:db8::3", 5.0}, {2, "2001:db8::1", 1.0}},
       1000.0, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    const auto chosen = admission.ChooseToReclaim(c.running, c.fairRate);
    EXPECT_EQ(chosen ? std::optional(chosen->from) : std::nullopt, c.from);
    if (chosen) {
      EXPECT_EQ(chosen->to, UploadAdmission::Id{4});
    }
  }
  // Nor does one whose address was lately made to give a slot up.
  EXPECT_FALSE(admission.ChooseToReclaim(prefixOnly, 1000.0, {"2001:db8::3"}));
  // The server full: a waiter of another prefix may take any slot back, and
  // gets the slot freed for it before the waiter ahead of it.
  EXPECT_EQ(admission.Ask("192.0.2.1", 5, kT0), Verdict::kRun);
  admission.Promise(4);
  EXPECT_FALSE(admission.ChooseToReclaim(prefixOnly, 1000.0));  // its slot is coming already
  EXPECT_EQ(admission.Ask("198.51.100.1", 6, kT0), Verdict::kWait);
  EXPECT_EQ(admission.Ask("203.0.113.1", 7, kT0), Verdict::kWait);
  const Running all = {{1, "2001:db8::1", 900.0}, {2, "2001:db8::1", 800.0}, {3, "2001:db8::2", 700.0},
                       {5, "192.0.2.1", 10.0}};
  const auto chosen = admission.ChooseToReclaim(all, 1000.0);  // 4 is promised already: 6 is next
  ASSERT_TRUE(chosen);
  EXPECT_EQ(chosen->from, UploadAdmission::Id{5});
  EXPECT_EQ(chosen->to, UploadAdmission::Id{6});
  admission.Promise(7);
  EXPECT_EQ(admission.Free("192.0.2.1"), std::vector<UploadAdmission::Id>{7});
  // A waiter at its own address's cap holds its share: it takes nothing back.
  UploadAdmission own(limits);
  EXPECT_EQ(own.Ask("192.0.2.1", 1, kT0), Verdict::kRun);
  EXPECT_EQ(own.Ask("192.0.2.1", 2, kT0), Verdict::kRun);
  EXPECT_EQ(own.Ask("192.0.2.1", 3, kT0), Verdict::kWait);
  EXPECT_FALSE(own.ChooseToReclaim({{1, "192.0.2.1", 1.0}, {2, "192.0.2.1", 1.0}}, 1000.0));
}

}  // namespace
}  // namespace parcelmoor::httpd
