#include "printer/identity_probe.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "fakes/fake_nvsnmp.h"
#include "unit_support.h"
#include "snmp/nvsnmp.h"
#include "snmp/oid.h"

namespace {

using fake_snmp::Agent;
using fake_snmp::O;
using fake_snmp::Oid;
using fake_snmp::Value;

constexpr char kPrinter[] = "10.0.0.7";
const Oid kFamily = O(".1.3.6.1.4.1.808.8.62.1.5");

// A system group as printers have it, followed by more of MIB-II.
Agent SystemAgent(std::optional<Value> uptime, std::optional<Value> object_id) {
  Agent agent;
  agent.table[O(".1.3.6.1.2.1.1.1.0")] = Value::String("Laser printer");
  if (object_id) agent.table[O(".1.3.6.1.2.1.1.2.0")] = *object_id;
  if (uptime) agent.table[O(".1.3.6.1.2.1.1.3.0")] = *uptime;
  agent.table[O(".1.3.6.1.2.1.1.4.0")] = Value::String("admin");
  agent.table[O(".1.3.6.1.2.1.2.1.0")] = Value::Integer(1);
  return agent;
}

class ProbeIdentityTest : public zov::test::FakeSnmpTest {
 protected:
  void TearDown() override {
    FreeOid(family_);
    FakeSnmpTest::TearDown();
  }

  // Starts the outputs at values a probe must overwrite.
  void Probe() {
    uptime_ = 77;
    family_ = nullptr;
    family_count_ = 77;
    ProbeIdentity(kPrinter, &uptime_, &family_, &family_count_);
  }

  void ExpectUnavailable() {
    EXPECT_EQ(uptime_, 0u);
    EXPECT_EQ(family_, nullptr);
    EXPECT_EQ(family_count_, 0u);
  }

  uint32_t uptime_ = 0;
  uint32_t* family_ = nullptr;
  uint32_t family_count_ = 0;
};

// What an answering agent's values give: the uptime, and the family or none,
// from one GETNEXT for both objects, sysUpTime first.
struct Answered {
  const char* name;
  std::optional<Value> uptime, object_id;
  uint32_t expected_uptime;
  bool family;
};
void PrintTo(const Answered& a, std::ostream* os) { *os << a.name; }

class ProbeAnsweredTest : public ProbeIdentityTest, public ::testing::WithParamInterface<Answered> {};

TEST_P(ProbeAnsweredTest, GivesTheUptimeAndFamilyItCan) {
  const Answered& a = GetParam();
  fake_snmp::SetAgent(kPrinter, SystemAgent(a.uptime, a.object_id));
  Probe();
  EXPECT_EQ(uptime_, a.expected_uptime);
  EXPECT_EQ(family_ != nullptr, a.family);
  EXPECT_EQ(Oid(family_, family_ + family_count_), a.family ? kFamily : Oid{});
  EXPECT_EQ(log_.Text(), "");
  const auto requests = fake_snmp::Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].command, kOVsnmpGetNextRequest);
  EXPECT_EQ(requests[0].Oids(), (std::vector<Oid>{O(".1.3.6.1.2.1.1.3"), O(".1.3.6.1.2.1.1.2")}));
  EXPECT_EQ(fake_snmp::Closes().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ProbeAnsweredTest,
    ::testing::Values(
        Answered{"AgentThatAnswersFillsUptimeAndFamily", Value::TimeTicks(8640000), Value::ObjectId(kFamily), 8640000,
                 true},
        Answered{"UptimeWithTheHighBitSetIsKeptUnsigned", Value::TimeTicks(4294967295u), Value::ObjectId(kFamily),
                 4294967295u, true},
        Answered{"UptimeOfZeroStillFillsTheFamily", Value::TimeTicks(0), Value::ObjectId(kFamily), 0, true},
        // The GETNEXT for sysObjectID then answers sysUpTime.0, outside sysObjId.
        Answered{"AgentWithoutSysObjectIdGivesUptimeAlone", Value::TimeTicks(500), std::nullopt, 500, false}),
    [](const auto& info) { return std::string(info.param.name); });

// Every way the probe finds no identity, and the record it leaves.
struct Unavailable {
  const char* name;
  Agent agent;
  void (*fault)();  // scripts a library call to fail, or null
  std::string log;  // "-": not checked
};
void PrintTo(const Unavailable& u, std::ostream* os) { *os << u.name; }

class ProbeUnavailableTest : public ProbeIdentityTest, public ::testing::WithParamInterface<Unavailable> {};

TEST_P(ProbeUnavailableTest, LeavesTheOutputsUnavailable) {
  const Unavailable& u = GetParam();
  fake_snmp::SetAgent(kPrinter, u.agent);
  if (u.fault) u.fault();
  Probe();
  ExpectUnavailable();
  if (u.log != "-") {
    EXPECT_EQ(log_.Text(), u.log);
  }
}

Agent Answering(void (*change)(Agent*)) {
  return fake_snmp::Changed(SystemAgent(Value::TimeTicks(1), Value::ObjectId(kFamily)), change);
}
std::string QueryFailure(const std::string& text) {
  return std::string(kPrinter) + ": Error querying printer\n\t" + text + "\n";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProbeUnavailableTest,
    ::testing::Values(
        Unavailable{"NoAnswerLogsTheLibraryErrorText", Answering([](Agent* a) { a->silent = true; }), nullptr,
                    QueryFailure(OVsnmpErrString(kOVsnmpErrTimeout))},
        Unavailable{"ErrorStatusIsLoggedWithItsText", Answering([](Agent* a) { a->error_status_on[1] = 2; }), nullptr,
                    QueryFailure("noSuchName")},
        Unavailable{"SessionThatCannotOpenIsLoggedLikeNoAnswer", Answering([](Agent*) {}),
                    [] { fake_snmp::Fail(fake_snmp::Call::kOpen, 1, kOVsnmpErrBadPeer); },
                    QueryFailure(OVsnmpErrString(kOVsnmpErrBadPeer))},
        // Silent, so that a request sent half-built would log a timeout instead.
        Unavailable{"RequestThatCannotBeBuiltIsLogged", Answering([](Agent* a) { a->silent = true; }),
                    [] { fake_snmp::Fail(fake_snmp::Call::kAddNullVarBind, 2, kOVsnmpErrNoMemory); },
                    QueryFailure(OVsnmpErrString(kOVsnmpErrNoMemory))},
        Unavailable{"AgentWithoutSysUpTimeStoresNothing",
                    SystemAgent(std::nullopt, Value::ObjectId(kFamily)), nullptr,
                    std::string(kPrinter) + ": Could not find printer SNMP entries.\n"},
        // sysObjectID as a text and an uptime of two bytes: neither is believed.
        Unavailable{"ValuesOfTheWrongTypeAreNotRead",
                    SystemAgent(Value::Raw(kOVsnmpTimeTicks, {1, 2}), Value::String("1.3.6.1.4.1.808.8.62.1")),
                    nullptr, "-"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
