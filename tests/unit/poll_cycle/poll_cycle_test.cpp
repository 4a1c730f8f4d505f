// Whole polls through NvServiceTest against the in-memory SNMP library and
// object database: status, the last-alert field's course, traps and records.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "entry/nv_service_test.h"
#include "entry/poll_cycle.h"
#include "fakes/fake_nvsnmp.h"
#include "fakes/fake_ovw.h"
#include "unit_support.h"
#include "platform/local_host.h"

namespace {

using ::testing::HasSubstr;
using fake_snmp::Agent;
using fake_snmp::Value;

constexpr char kPrinter[] = "lobby-laser";
constexpr char kOptions[] = "-l -c 11 -w 12 -o 13";
constexpr char kField[] = "VlmLastAlert";

// An alert with every other column set.
struct Alert {
  uint32_t index;
  int32_t severity;
  uint32_t time;
  std::optional<std::string> description = "Paper jam";
};

Agent Printer(const std::vector<Alert>& alerts, uint32_t uptime = 4242,
              const char* family = zov::test::kSupportedFamily, bool vendor_tail = true) {
  zov::test::Printer printer{{}, uptime, family, vendor_tail};
  for (const Alert& a : alerts) printer.rows.push_back(zov::test::Alert(a.index, a.severity, a.time, a.description));
  return zov::test::PrinterAgent(printer);
}

std::vector<uint32_t> recorded_pauses;
void RecordPause(uint32_t milliseconds) { recorded_pauses.push_back(milliseconds); }

int HostName(char* buffer, size_t size) {
  std::snprintf(buffer, size, "pollhost");
  return 0;
}
int NoHostName(char*, size_t) { return -1; }

class PollCycleTest : public zov::test::FakeSnmpTest {
 protected:
  void SetUp() override {
    FakeSnmpTest::SetUp();
    fake_ovw::Reset();
    fake_ovw::AddField(kField);
    fake_ovw::AddObject(kPrinter);
    recorded_pauses.clear();
    SetRetryPauseForTesting(RecordPause);
    SetHostNameSourceForTesting(HostName);
  }
  void TearDown() override {
    SetRetryPauseForTesting(nullptr);
    SetHostNameSourceForTesting(nullptr);
    FakeSnmpTest::TearDown();
  }

  static int Poll(const char* options = kOptions) { return NvServiceTest(kPrinter, options); }
  static std::optional<int32_t> Field() { return fake_ovw::Value(kPrinter, kField); }
  static std::vector<int32_t> TrapNumbers() {
    std::vector<int32_t> numbers;
    for (const fake_snmp::SentPdu& trap : fake_snmp::Sent()) numbers.push_back(trap.specific_type);
    return numbers;
  }
  static int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }
};

// The poll cycle's course over its cases: alerts served, the identity
// stored before the poll, and what the poll must leave behind.
struct Case {
  const char* name;
  std::vector<Alert> alerts;
  std::optional<int32_t> previous;  // none: never written
  int status;
  std::optional<int32_t> field_after;
  std::vector<int32_t> traps;
  bool announced;  // "Generating trap for printer" logged
  const char* options = kOptions;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class PollCycleCaseTest : public PollCycleTest, public ::testing::WithParamInterface<Case> {};

TEST_P(PollCycleCaseTest, StatusFieldTrapsAndRecords) {
  const Case& c = GetParam();
  fake_snmp::SetAgent(kPrinter, Printer(c.alerts));
  if (c.previous) fake_ovw::SetValue(kPrinter, kField, *c.previous);

  EXPECT_EQ(Poll(c.options), c.status);
  EXPECT_EQ(Field(), c.field_after);
  EXPECT_EQ(TrapNumbers(), c.traps);
  EXPECT_EQ(Count(log_.Text(), std::string(kPrinter) + ": Generating trap for printer\n"),
            c.announced ? 1 : 0)
      << log_.Text();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PollCycleCaseTest,
    ::testing::Values(
        Case{"NoAlertsNothingRecorded", {}, std::nullopt, 2, std::nullopt, {}, false},
        Case{"NoAlertsClearsTheField", {}, 777, 2, 0, {}, false},
        Case{"NewWarningIsStoredAndTrapped", {{1, 4, 500}}, 0, 3, 500, {12}, true},
        Case{"SameWarningAgainIsQuiet", {{1, 4, 500}}, 500, 3, 500, {}, false},
        Case{"UntimedCriticalAlreadyRecorded", {{2, 4, 0}, {7, 3, 0}}, 7, 4, 7, {}, false},
        Case{"UntimedCriticalNewIndex", {{2, 4, 0}, {7, 3, 0}}, 3, 4, 7, {11}, true},
        Case{"CriticalTrapNumberZeroStillStoresAndAnnounces", {{7, 3, 0}}, 3, 4, 7, {}, true,
             "-l -w 12 -o 13"},
        Case{"ReportedAlertWithoutDescriptionIsAnnouncedButNotTrapped", {{1, 4, 100, std::nullopt}}, std::nullopt, 3,
             100, {}, true},
        Case{"OtherSeverityUsesTheOtherNumber", {{5, 1, 90}}, 0, 2, 90, {13}, true},
        Case{"OfflineCriticalNotNewestReportsNewest",
             {{1, 4, 100}, {2, 3, 50, "Offline"}, {3, 1, 200}}, 0, 4, 200, {13}, true},
        Case{"RealCriticalIsReportedBeforeNewerAlerts",
             {{1, 4, 100}, {2, 3, 50}, {3, 1, 200}}, 0, 4, 50, {11}, true},
        // The identity of an untimed critical reported among timed alerts is
        // its index; compared as such it is announced once, not every poll.
        Case{"UntimedCriticalAmongTimedAlreadyRecorded", {{1, 4, 500}, {2, 3, 0}}, 2, 4, 2, {},
             false},
        Case{"UntimedCriticalAmongTimedIsNew", {{1, 4, 500}, {2, 3, 0}}, 0, 4, 2, {11}, true},
        Case{"TimeWithHighBitSet", {{1, 4, 0x80000001u}}, 0, 3, static_cast<int32_t>(0x80000001u),
             {12}, true}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST_F(PollCycleTest, AnUntimedCriticalAmongTimedAlertsIsTrappedOnce) {
  fake_snmp::SetAgent(kPrinter, Printer({{1, 4, 500}, {2, 3, 0}}));
  EXPECT_EQ(Poll(), 4);
  EXPECT_EQ(Poll(), 4);
  EXPECT_EQ(Poll(), 4);
  EXPECT_EQ(Field(), 2);
  EXPECT_EQ(TrapNumbers(), std::vector<int32_t>{11});
}

TEST_F(PollCycleTest, FieldFollowsTheAlertsOverSeveralPolls) {
  struct Step {
    std::vector<Alert> alerts;
    int status;
    int32_t field;
    size_t traps_so_far;
  };
  const std::vector<Step> steps = {
      {{{1, 4, 500}}, 3, 500, 1},
      {{{1, 4, 500}}, 3, 500, 1},
      {{{1, 4, 500}, {2, 4, 900}}, 3, 900, 2},
      {{{1, 4, 500}, {2, 3, 950}}, 4, 950, 3},
      {{}, 2, 0, 3},
      {{}, 2, 0, 3},
      {{{1, 4, 500}}, 3, 500, 4},
  };
  for (size_t i = 0; i < steps.size(); ++i) {
    fake_snmp::SetAgent(kPrinter, Printer(steps[i].alerts));
    EXPECT_EQ(Poll(), steps[i].status) << "poll " << i;
    EXPECT_EQ(Field(), steps[i].field) << "poll " << i;
    EXPECT_EQ(fake_snmp::Sent().size(), steps[i].traps_so_far) << "poll " << i;
  }
}

TEST_F(PollCycleTest, TrapCarriesTheReportedAlert) {
  fake_snmp::SetAgent(kPrinter, Printer({{1, 4, 100, "Toner low"}, {2, 3, 50, "Door open"}}));
  EXPECT_EQ(Poll(), 4);
  std::vector<fake_snmp::SentPdu> sent = fake_snmp::Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].peer, "pollhost");
  EXPECT_EQ(sent[0].specific_type, 11);
  ASSERT_EQ(sent[0].bindings.size(), 5u);
  EXPECT_EQ(sent[0].bindings[1].AsString(), kPrinter);
  EXPECT_EQ(sent[0].bindings[2].AsString(), "Door open");
}

TEST_F(PollCycleTest, NoLocalHostNameMeansNoTrapButTheSameStatusAndField) {
  SetHostNameSourceForTesting(NoHostName);
  fake_snmp::SetAgent(kPrinter, Printer({{1, 4, 100}}));
  EXPECT_EQ(Poll(), 3);
  EXPECT_EQ(Field(), 100);
  EXPECT_TRUE(fake_snmp::Sent().empty());
  EXPECT_THAT(log_.Text(), HasSubstr("gethostname failed. Cannot determine local hostname.\n"));
}

TEST_F(PollCycleTest, AFailedTrapIsNotRetriedOnTheNextPoll) {
  fake_snmp::SetAgent(kPrinter, Printer({{1, 4, 100}}));
  fake_snmp::Fail(fake_snmp::Call::kSend, 1);
  EXPECT_EQ(Poll(), 3);
  EXPECT_EQ(Field(), 100);  // written before the send
  EXPECT_THAT(log_.Text(), HasSubstr("pollhost: Error sending trap\n\t"));
  EXPECT_EQ(Poll(), 3);
  EXPECT_EQ(fake_snmp::GetCounts().sends, 1);
}

TEST_F(PollCycleTest, MissingFieldMakesEveryPollAChange) {
  fake_ovw::Reset();
  fake_ovw::AddObject(kPrinter);
  fake_snmp::SetAgent(kPrinter, Printer({{1, 4, 100}}));
  EXPECT_EQ(Poll(), 3);
  EXPECT_EQ(Poll(), 3);
  EXPECT_EQ(TrapNumbers(), (std::vector<int32_t>{12, 12}));
  // Read and write both report it, on each poll.
  EXPECT_EQ(Count(log_.Text(), std::string(kPrinter) + ": VlmLastAlert field not defined\n"), 4);
}

TEST_F(PollCycleTest, RefusedWriteIsLoggedAsOneLineAndTheStatusStands) {
  fake_ovw::FailSet(-1, kOVwErrReadOnly);
  fake_ovw::SetErrorText(kOVwErrReadOnly, "database is read-only");
  fake_snmp::SetAgent(kPrinter, Printer({{1, 3, 100}}));
  EXPECT_EQ(Poll(), 4);
  EXPECT_THAT(log_.Text(), HasSubstr("lobby-laser: Unable to set printer status - database is read-only: \n"));
}

// Every way a poll ends without completing, with the record it leaves.
struct Refusal {
  const char* name;
  Agent agent;
  const char* record;
};

void PrintTo(const Refusal& r, std::ostream* os) { *os << r.name; }

class PollCycleRefusalTest : public PollCycleTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(PollCycleRefusalTest, EndsWithStatusZeroLeavingFieldAndTrapsAlone) {
  const Refusal& r = GetParam();
  fake_ovw::SetValue(kPrinter, kField, 321);
  fake_snmp::SetAgent(kPrinter, r.agent);
  EXPECT_EQ(Poll(), 0);
  EXPECT_EQ(Field(), 321);
  EXPECT_TRUE(fake_snmp::Sent().empty());
  EXPECT_THAT(log_.Text(), HasSubstr(r.record));
}

using fake_snmp::Changed;
constexpr char kQueryFailed[] = "lobby-laser: Error querying printer\n\t";
constexpr char kOtherFamily[] = "lobby-laser: Printer is not of the supported family\n";

INSTANTIATE_TEST_SUITE_P(
    Refusals, PollCycleRefusalTest,
    ::testing::Values(
        Refusal{"NoAnswer", Changed(Printer({}), [](Agent* a) { a->silent = true; }), kQueryFailed},
        Refusal{"UptimeZero", Printer({{1, 4, 100}}, 0),
                "lobby-laser: Unable to get sysUpTime or printer ID from printer\n"},
        Refusal{"ForeignVendor", Printer({{1, 4, 100}}, 4242, ".1.3.6.1.4.1.11.2.3.9.1"), kOtherFamily},
        Refusal{"VendorEnterpriseOnly", Printer({{1, 4, 100}}, 4242, ".1.3.6.1.4.1.808.8"), kOtherFamily},
        // The vendor's own subtree beside the family: only the tenth sub-identifier differs.
        Refusal{"VendorOutsideTheFamily", Printer({{1, 4, 100}}, 4242, ".1.3.6.1.4.1.808.8.62.2.1"), kOtherFamily},
        // The probe is request 1, the first row 2.
        Refusal{"WalkErrorStatus", Changed(Printer({{1, 4, 100}}), [](Agent* a) { a->error_status_on[3] = 5; }),
                kQueryFailed},
        Refusal{"WalkSilentMidway",
                Changed(Printer({{1, 4, 100}, {2, 4, 200}}), [](Agent* a) { a->silent_on = {3, 4, 5}; }), kQueryFailed},
        Refusal{"TableLastInAgent", Printer({{1, 4, 100}}, 4242, zov::test::kSupportedFamily, false), kQueryFailed}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

TEST_F(PollCycleTest, NoAddressIsRefusedWithoutTouchingAnything) {
  EXPECT_EQ(NvServiceTest(nullptr, "-l"), 0);
  EXPECT_EQ(log_.Text(), "Call with object address\n");
  EXPECT_TRUE(fake_snmp::Opens().empty());
  EXPECT_TRUE(fake_ovw::Calls().empty());
}

TEST_F(PollCycleTest, DatabaseThatNeverStartsGivesUpAfterTenPauses) {
  fake_ovw::FailInit(10, -1, kOVwErrOpen);
  fake_ovw::SetErrorText(kOVwErrOpen, "cannot open the object database");
  fake_snmp::SetAgent(kPrinter, Printer({{1, 4, 100}}));
  EXPECT_EQ(Poll(), 0);
  EXPECT_EQ(fake_ovw::CallCount("OVwDbInit"), 10);
  ASSERT_EQ(recorded_pauses.size(), 10u);
  for (uint32_t ms : recorded_pauses) {
    EXPECT_GE(ms, 1000u);
    EXPECT_LE(ms, 10900u);
    EXPECT_EQ(ms % 100, 0u);
  }
  EXPECT_EQ(log_.Text(), "OVwDbInit failed: cannot open the object database\n");
  EXPECT_EQ(fake_ovw::CallCount("OVwDbSetFieldIntegerValue"), 0);
  EXPECT_TRUE(fake_snmp::Sent().empty());
}

TEST_F(PollCycleTest, DatabaseThatStartsAtTheFourthAttemptContinues) {
  fake_ovw::FailInit(3);
  fake_snmp::SetAgent(kPrinter, Printer({{1, 4, 100}}));
  EXPECT_EQ(Poll(), 3);
  EXPECT_EQ(recorded_pauses.size(), 3u);
  EXPECT_EQ(Field(), 100);
}

TEST_F(PollCycleTest, OverlongDatabaseErrorTextIsCutKeepingTheLineEnd) {
  fake_ovw::FailInit(10, -1, kOVwErrOpen);
  fake_ovw::SetErrorText(kOVwErrOpen, std::string(300, 'x'));
  fake_snmp::SetAgent(kPrinter, Printer({{1, 4, 100}}));
  EXPECT_EQ(Poll(), 0);
  const std::string text = log_.Text();
  EXPECT_EQ(text.size(), 99u);
  EXPECT_EQ(text.rfind("OVwDbInit failed: xxx", 0), 0u);
  EXPECT_EQ(text.back(), '\n');
}

TEST_F(PollCycleTest, PausesAreDrawnNotFixed) {
  fake_ovw::FailInit(10);
  fake_snmp::SetAgent(kPrinter, Printer({}));
  Poll();
  ASSERT_EQ(recorded_pauses.size(), 10u);
  bool varied = false;
  for (uint32_t ms : recorded_pauses) varied = varied || ms != recorded_pauses[0];
  EXPECT_TRUE(varied);
}

}  // namespace
