// Every recording of tests/data served by snmpsim, probed and walked through
// the real SNMP library, against what tests/data states of it: the identity
// in the recording itself, the records in records.expected, the worst and the
// reported alert in polls.expected.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "printer/alert_evaluation.h"
#include "printer/alert_table.h"
#include "printer/identity_probe.h"
#include "snmp/nvsnmp.h"
#include "snmp/oid.h"
#include "support/agents.h"
#include "support/poll_rig.h"
#include "support/printer_table.h"
#include "unit_support.h"

namespace {

using zov::test::LogCapture;
using zov::test::OidText;
using zov::test::PollsExpected;

std::vector<PollsExpected> Expected() {
  return zov::test::ReadPollsExpected(ZOV_TEST_DATA_DIR "/polls.expected");
}

// sysUpTime and sysObjectID as the recording holds them.
struct Identity {
  std::optional<uint32_t> uptime;
  std::string family = "-";
};

Identity Recorded(const std::string& name) {
  Identity id;
  std::ifstream in(ZOV_TEST_DATA_DIR "/" + name + ".snmprec");
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("1.3.6.1.2.1.1.3.0|67|")) id.uptime = static_cast<uint32_t>(std::stoul(line.substr(21)));
    if (line.starts_with("1.3.6.1.2.1.1.2.0|6|")) id.family = "." + line.substr(20);
  }
  return id;
}

std::string IndexOf(const AlertRecord* r) { return r == nullptr ? "-" : std::to_string(r->index); }

// snmpsim serving the recordings, each printer name reaching it with its own
// community.
struct Recordings : zov::test::SuiteReadiness {
  zov::test::TempDir files;
  zov::test::SnmpsimAgent agent;
  std::unique_ptr<zov::test::ScopedEnv> conf;

  static void Prepare(Recordings* s) {
    if (!s->agent.Start(ZOV_TEST_DATA_DIR, "empty-table", &s->why)) {
      s->why = "snmpsim: " + s->why;
      s->skip = true;
      return;
    }
    std::vector<zov::test::NvsnmpConfLine> lines;
    for (const PollsExpected& e : Expected()) {
      lines.push_back({e.recording, s->agent.endpoint(), e.recording, 0, 3000, 1, "1"});
    }
    zov::test::WriteNvsnmpConf(s->files.File("nvsnmp.conf"), lines);
    s->conf = std::make_unique<zov::test::ScopedEnv>("NVSNMP_CONF", s->files.File("nvsnmp.conf").c_str());
  }
};

class RecordingTest : public zov::test::AgentSuite<Recordings, ::testing::TestWithParam<PollsExpected>> {
 protected:
  void SetUp() override {
    AgentSuite::SetUp();
    if (!IsSkipped()) {
      ASSERT_TRUE(log_.ok());
    }
  }
  LogCapture log_;
};

TEST_P(RecordingTest, ProbeAndReaderGiveWhatTheDataStates) {
  const PollsExpected& want = GetParam();
  const std::string& name = want.recording;
  const auto records = zov::test::ReadRecordsExpected(ZOV_TEST_DATA_DIR "/records.expected");

  uint32_t uptime = 77;
  uint32_t* family = nullptr;
  uint32_t family_count = 77;
  ProbeIdentity(name.c_str(), &uptime, &family, &family_count);
  const std::string log = log_.Text();
  const Identity id = Recorded(name);
  if (!id.uptime) {
    EXPECT_EQ(uptime, 0u);
    EXPECT_EQ(family, nullptr);
    EXPECT_EQ(log, name + ": Could not find printer SNMP entries.\n");
  } else {
    EXPECT_EQ(uptime, *id.uptime);
    EXPECT_EQ(OidText(family, family_count), id.family);
    EXPECT_EQ(log, "");
  }
  FreeOid(family);

  int32_t walk_result = -12345;
  AlertRecord* list = ReadAlertTable(name.c_str(), &walk_result);
  const std::string walk_log = log_.Text().substr(log.size());
  const auto stated = records.find(name);
  const zov::test::RecordsExpected none;
  const zov::test::RecordsExpected& expected = stated == records.end() ? none : stated->second;
  if (expected.walk_fails) {
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(walk_result, 2) << "noSuchName";
    EXPECT_EQ(walk_log, name + ": Error querying printer\n\t" + OVsnmpErrString(2) + "\n");
  } else {
    EXPECT_EQ(walk_result, 0);
    EXPECT_EQ(walk_log, "");
    if (!expected.apart) {
      EXPECT_EQ(zov::test::Flatten(list), expected.records);
    }
    EXPECT_EQ(IndexOf(SelectWorstAlert(list)), want.worst) << "worst alert";
    EXPECT_EQ(IndexOf(SelectReportedAlert(list)), want.reported) << "reported alert";
  }
  FreeAlertList(list);
}

INSTANTIATE_TEST_SUITE_P(Recordings, RecordingTest, ::testing::ValuesIn(Expected()),
                         [](const auto& info) {
                           std::string id = info.param.recording;
                           std::replace(id.begin(), id.end(), '-', '_');
                           return id;
                         });

// What the tables leave out: the thousand rows, and a printer no recording serves.
using SpotCheck = RecordingTest;

TEST_F(SpotCheck, ThousandRowsInTableOrder) {
  int32_t walk_result = -1;
  AlertRecord* list = ReadAlertTable("table-1000-rows", &walk_result);
  const auto got = zov::test::Flatten(list);
  FreeAlertList(list);
  ASSERT_EQ(got.size(), 1000u);
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].index, static_cast<int32_t>(i + 1));
    EXPECT_EQ(got[i].time, 100000u + i + 1);
  }
  EXPECT_EQ(got[249].description, "Tray 1 empty");
  EXPECT_EQ(got[249].severity, kSeverityWarning);
}

TEST_F(SpotCheck, UnknownPrinterIsLoggedAsAFailedQuery) {
  uint32_t uptime = 5;
  uint32_t* family = nullptr;
  uint32_t count = 5;
  // Not in the configuration: the name itself is the peer, and it resolves
  // nowhere (the .invalid domain never does).
  ProbeIdentity("no-such-printer.invalid", &uptime, &family, &count);
  EXPECT_EQ(uptime, 0u);
  EXPECT_EQ(family, nullptr);
  const std::string log = log_.Text();
  EXPECT_EQ(log.rfind("no-such-printer.invalid: Error querying printer\n\t", 0), 0u) << log;
}

}  // namespace
