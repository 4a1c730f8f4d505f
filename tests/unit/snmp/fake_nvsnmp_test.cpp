// The fake SNMP library is the judge of every ownership test, so its own
// bookkeeping is checked here: what it records, and that it counts leaks and
// double frees rather than hiding them.
#include "fakes/fake_nvsnmp.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "snmp/nvsnmp.h"
#include "snmp/oid.h"

namespace {

using fake_snmp::O;
using fake_snmp::Oid;

uint32_t* Block(const Oid& oid) { return CopyOid(oid.data(), static_cast<uint32_t>(oid.size())); }

class FakeNvsnmpTest : public ::testing::Test {
 protected:
  void SetUp() override { fake_snmp::Reset(); }
};

// What the trap tests cannot see for themselves: an integer is read during
// the add, bytes are copied exactly as long as stated, and a failed send
// still takes the PDU.
TEST_F(FakeNvsnmpTest, TrapIsRecordedDeeplyAndReleasedWhateverTheOutcome) {
  OVsnmpSession* s = OVsnmpOpen(nullptr, "host", 0, -1, 0xFFFF, 0xFFFF, nullptr, nullptr);
  ASSERT_NE(s, nullptr);
  for (int attempt = 1; attempt <= 2; ++attempt) {
    OVsnmpPdu* pdu = OVsnmpCreatePdu(kOVsnmpTrap);
    ASSERT_NE(pdu, nullptr);
    pdu->enterprise = Block(O(".1.3.6.1.4.1.2.6.3"));
    pdu->enterprise_length = 9;
    int32_t number = 7;
    OVsnmpVal value;
    value.integer = &number;
    ASSERT_NE(OVsnmpAddTypedVarBind(pdu, Block(O("1.3.6.1.4.1.2.6.3.1")), 10, kOVsnmpInteger, &value, 1), nullptr);
    number = 8;
    value.string = static_cast<uint8_t*>(std::malloc(3));
    std::memcpy(value.string, "a\0b", 3);
    ASSERT_NE(OVsnmpAddTypedVarBind(pdu, Block(O("1.3.6.1.4.1.2.6.3.2")), 10, kOVsnmpOctetString, &value, 3),
              nullptr);
    if (attempt == 2) fake_snmp::Fail(fake_snmp::Call::kSend, 2);
    EXPECT_EQ(OVsnmpSend(s, pdu), attempt == 1 ? 0 : -1);
  }
  EXPECT_EQ(OVsnmpClose(s), 0);

  const auto sent = fake_snmp::Sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].result, -1);
  EXPECT_EQ(sent[0].enterprise, O(".1.3.6.1.4.1.2.6.3"));
  ASSERT_EQ(sent[0].bindings.size(), 2u);
  EXPECT_EQ(sent[0].bindings[0].AsInteger(), 7);
  EXPECT_EQ(sent[0].bindings[0].val_len, 1u);
  EXPECT_EQ(sent[0].bindings[1].AsString(), std::string("a\0b", 3));
  const auto c = fake_snmp::GetCounts();
  EXPECT_EQ(c.live_pdus + c.live_blocks + c.live_sessions, 0);
}

TEST_F(FakeNvsnmpTest, DoubleFreeAndLeakAreCounted) {
  OVsnmpPdu* kept = OVsnmpCreatePdu(kOVsnmpGetNextRequest);
  OVsnmpPdu* twice = OVsnmpCreatePdu(kOVsnmpGetNextRequest);
  ASSERT_NE(OVsnmpAddNullVarBind(kept, Block(O("1.3")), 2), nullptr);
  OVsnmpFreePdu(twice);
  OVsnmpFreePdu(twice);
  auto c = fake_snmp::GetCounts();
  EXPECT_EQ(c.bad_frees, 1);
  EXPECT_EQ(c.live_pdus, 1);
  EXPECT_EQ(c.live_blocks, 1);
  OVsnmpFreePdu(kept);
  c = fake_snmp::GetCounts();
  EXPECT_EQ(c.live_pdus, 0);
  EXPECT_EQ(c.live_blocks, 0);
}

TEST_F(FakeNvsnmpTest, FailedAddStillTakesTheBlocksAndFreeTakesTheEnterprise) {
  OVsnmpPdu* pdu = OVsnmpCreatePdu(kOVsnmpTrap);
  fake_snmp::Fail(fake_snmp::Call::kAddNullVarBind, 1);
  EXPECT_EQ(OVsnmpAddNullVarBind(pdu, Block(O("1.3")), 2), nullptr);
  EXPECT_EQ(OVsnmpErrno, kOVsnmpErrNoMemory);
  fake_snmp::Fail(fake_snmp::Call::kAddTypedVarBind, 1);
  OVsnmpVal value;
  value.string = static_cast<uint8_t*>(std::malloc(4));
  EXPECT_EQ(OVsnmpAddTypedVarBind(pdu, Block(O("1.3")), 2, kOVsnmpOctetString, &value, 4), nullptr);
  pdu->enterprise = Block(O("1.3.6"));
  OVsnmpFreePdu(pdu);
  const auto freed = fake_snmp::Freed();
  ASSERT_EQ(freed.size(), 1u);
  EXPECT_TRUE(freed[0].had_enterprise);
  EXPECT_EQ(fake_snmp::GetCounts().live_pdus, 0);
}

TEST_F(FakeNvsnmpTest, GetNextFollowsVersionOneSemantics) {
  fake_snmp::Agent agent;
  agent.table[O("1.3.6.1.2.1.1.3.0")] = fake_snmp::Value::TimeTicks(5);
  fake_snmp::SetAgent("p", agent);
  OVsnmpSession* s = OVsnmpOpen(nullptr, "p", -1, -1, 0xFFFF, 0xFFFF, nullptr, nullptr);
  for (const char* asked : {"1.3.6.1.2.1.1.3", "1.3.6.1.2.1.1.3.0"}) {
    OVsnmpPdu* request = OVsnmpCreatePdu(kOVsnmpGetNextRequest);
    OVsnmpAddNullVarBind(request, Block(O(asked)), static_cast<uint32_t>(O(asked).size()));
    OVsnmpPdu* response = OVsnmpBlockingSend(s, request);
    ASSERT_NE(response, nullptr);
    if (O(asked).size() == 8) {
      EXPECT_EQ(response->error_status, 0);
      ASSERT_NE(response->variables, nullptr);
      EXPECT_EQ(Oid(response->variables->oid,
                    response->variables->oid + response->variables->oid_length),
                O("1.3.6.1.2.1.1.3.0"));
      EXPECT_EQ(*response->variables->val.integer, 5);
    } else {
      EXPECT_EQ(response->error_status, 2);  // past the end of the agent
      EXPECT_EQ(response->error_index, 1);
    }
    OVsnmpFreePdu(response);
  }
  OVsnmpClose(s);
  EXPECT_EQ(fake_snmp::GetCounts().live_pdus, 0);
}

}  // namespace
