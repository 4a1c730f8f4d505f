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

using zov::test::LogCapture;

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

class ProbeIdentityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_snmp::Reset();
    ASSERT_TRUE(log_.ok());
  }
  void TearDown() override {
    FreeOid(family_);
    zov::test::ExpectNothingLeaked();
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

  LogCapture log_;
  uint32_t uptime_ = 0;
  uint32_t* family_ = nullptr;
  uint32_t family_count_ = 0;
};

TEST_F(ProbeIdentityTest, AgentThatAnswersFillsUptimeAndFamily) {
  fake_snmp::SetAgent(kPrinter, SystemAgent(Value::TimeTicks(8640000), Value::ObjectId(kFamily)));
  Probe();
  EXPECT_EQ(uptime_, 8640000u);
  ASSERT_NE(family_, nullptr);
  EXPECT_EQ(Oid(family_, family_ + family_count_), kFamily);
  EXPECT_EQ(log_.Text(), "");

  // One GETNEXT for both objects, sysUpTime first.
  const auto requests = fake_snmp::Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].command, kOVsnmpGetNextRequest);
  EXPECT_EQ(requests[0].Oids(), (std::vector<Oid>{O(".1.3.6.1.2.1.1.3"), O(".1.3.6.1.2.1.1.2")}));
  EXPECT_EQ(fake_snmp::Closes().size(), 1u);
}

TEST_F(ProbeIdentityTest, UptimeWithTheHighBitSetIsKeptUnsigned) {
  fake_snmp::SetAgent(kPrinter, SystemAgent(Value::TimeTicks(4294967295u), Value::ObjectId(kFamily)));
  Probe();
  EXPECT_EQ(uptime_, 4294967295u);
}

TEST_F(ProbeIdentityTest, UptimeOfZeroStillFillsTheFamily) {
  fake_snmp::SetAgent(kPrinter, SystemAgent(Value::TimeTicks(0), Value::ObjectId(kFamily)));
  Probe();
  EXPECT_EQ(uptime_, 0u);
  ASSERT_NE(family_, nullptr);
  EXPECT_EQ(family_count_, kFamily.size());
  EXPECT_EQ(log_.Text(), "");
}

TEST_F(ProbeIdentityTest, NoAnswerLogsTheLibraryErrorText) {
  Agent agent = SystemAgent(Value::TimeTicks(1), Value::ObjectId(kFamily));
  agent.silent = true;
  fake_snmp::SetAgent(kPrinter, agent);
  Probe();
  ExpectUnavailable();
  EXPECT_EQ(log_.Text(), std::string(kPrinter) + ": Error querying printer\n\t" +
                             OVsnmpErrString(kOVsnmpErrTimeout) + "\n");
}

TEST_F(ProbeIdentityTest, ErrorStatusIsLoggedWithItsText) {
  Agent agent = SystemAgent(Value::TimeTicks(1), Value::ObjectId(kFamily));
  agent.error_status_on[1] = 2;
  fake_snmp::SetAgent(kPrinter, agent);
  Probe();
  ExpectUnavailable();
  EXPECT_EQ(log_.Text(), std::string(kPrinter) + ": Error querying printer\n\tnoSuchName\n");
}

TEST_F(ProbeIdentityTest, SessionThatCannotOpenIsLoggedLikeNoAnswer) {
  fake_snmp::SetAgent(kPrinter, SystemAgent(Value::TimeTicks(1), Value::ObjectId(kFamily)));
  fake_snmp::Fail(fake_snmp::Call::kOpen, 1, kOVsnmpErrBadPeer);
  Probe();
  ExpectUnavailable();
  EXPECT_EQ(log_.Text(), std::string(kPrinter) + ": Error querying printer\n\t" +
                             OVsnmpErrString(kOVsnmpErrBadPeer) + "\n");
}

TEST_F(ProbeIdentityTest, AgentWithoutSysUpTimeStoresNothing) {
  fake_snmp::SetAgent(kPrinter, SystemAgent(std::nullopt, Value::ObjectId(kFamily)));
  Probe();
  ExpectUnavailable();
  EXPECT_EQ(log_.Text(), std::string(kPrinter) + ": Could not find printer SNMP entries.\n");
}

TEST_F(ProbeIdentityTest, AgentWithoutSysObjectIdGivesUptimeAlone) {
  // The GETNEXT for sysObjectID then answers sysUpTime.0, outside sysObjId.
  fake_snmp::SetAgent(kPrinter, SystemAgent(Value::TimeTicks(500), std::nullopt));
  Probe();
  EXPECT_EQ(uptime_, 500u);
  EXPECT_EQ(family_, nullptr);
  EXPECT_EQ(family_count_, 0u);
  EXPECT_EQ(log_.Text(), "");
}

TEST_F(ProbeIdentityTest, ValuesOfTheWrongTypeAreNotRead) {
  // sysObjectID as a text and an uptime of two bytes: neither is believed.
  fake_snmp::SetAgent(kPrinter, SystemAgent(Value::Raw(kOVsnmpTimeTicks, {1, 2}),
                                            Value::String("1.3.6.1.4.1.808.8.62.1")));
  Probe();
  ExpectUnavailable();
}

TEST_F(ProbeIdentityTest, RequestThatCannotBeBuiltIsLogged) {
  fake_snmp::SetAgent(kPrinter, SystemAgent(Value::TimeTicks(1), Value::ObjectId(kFamily)));
  fake_snmp::Fail(fake_snmp::Call::kAddNullVarBind, 2, kOVsnmpErrNoMemory);
  Probe();
  ExpectUnavailable();
  EXPECT_EQ(log_.Text(), std::string(kPrinter) + ": Error querying printer\n\t" +
                             OVsnmpErrString(kOVsnmpErrNoMemory) + "\n");
  EXPECT_TRUE(fake_snmp::Requests().empty());
}

}  // namespace
