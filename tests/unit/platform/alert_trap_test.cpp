// SendAlertTrap and its binding steps against the in-memory SNMP library.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fakes/fake_nvsnmp.h"
#include "unit_support.h"
#include "platform/alert_trap.h"

namespace {

using fake_snmp::O;

constexpr const char* kPrinter = "10.20.30.40";  // 11 characters
constexpr const char* kHost = "pollhost";

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

int32_t Send(int32_t trap, const std::vector<uint8_t>& description) {
  return SendAlertTrap(kPrinter, kHost, trap, description.data(),
                       static_cast<uint32_t>(description.size()));
}

// From a fresh library (refusing the n-th binding, if given): the one trap a
// successful send leaves, and nothing leaked.
fake_snmp::SentPdu SendOne(int32_t trap, const uint8_t* description, uint32_t length, int refused = 0) {
  fake_snmp::Reset();
  if (refused > 0) fake_snmp::Fail(fake_snmp::Call::kAddTypedVarBind, refused);
  EXPECT_EQ(SendAlertTrap(kPrinter, kHost, trap, description, length), 0);
  zov::test::ExpectNothingLeaked();
  const std::vector<fake_snmp::SentPdu> sent = fake_snmp::Sent();
  EXPECT_EQ(sent.size(), 1u);
  return sent.empty() ? fake_snmp::SentPdu{} : sent[0];
}

std::string SnmpErrorRecord(const char* message, int error) {
  return std::string(kHost) + ": " + message + "\n\t" + OVsnmpErrString(error) + "\n";
}

using AlertTrapTest = zov::test::FakeSnmpTest;

TEST_F(AlertTrapTest, OpensTheTrapSessionToTheHostWithTheTrapArguments) {
  EXPECT_EQ(Send(17, Bytes("Paper jam")), 0);

  // No community, no retries, the library's interval and ports.
  EXPECT_EQ(fake_snmp::Opens(), (std::vector<fake_snmp::OpenRecord>{{false, "", kHost, 0, -1, 0xFFFF, 0xFFFF}}));
  EXPECT_EQ(fake_snmp::Closes(), std::vector<std::string>{kHost});
  EXPECT_EQ(log_.Text(), "");
}

TEST_F(AlertTrapTest, SendsOneTrapPduWithTheEnterpriseFieldsAndFiveBindingsInOrder) {
  const fake_snmp::SentPdu trap = SendOne(17, reinterpret_cast<const uint8_t*>("Paper jam"), 9);
  EXPECT_EQ(trap.peer, kHost);
  EXPECT_EQ(trap.command, 164);
  EXPECT_FALSE(trap.blocking);
  ASSERT_TRUE(trap.has_enterprise);
  EXPECT_EQ(trap.enterprise, O(".1.3.6.1.4.1.2.6.3"));
  EXPECT_EQ(trap.agent_addr, 0u);
  EXPECT_EQ(trap.generic_type, 6);
  EXPECT_EQ(trap.specific_type, 17);
  EXPECT_EQ(trap.time_stamp, 0u);

  ASSERT_EQ(trap.bindings.size(), 5u);
  const fake_snmp::BindingRecord& status = trap.bindings[0];
  EXPECT_EQ(status.oid, O(".1.3.6.1.4.1.2.6.3.1.1.2.0"));
  EXPECT_EQ(status.oid.size(), 13u);
  EXPECT_EQ(status.type, kOVsnmpInteger);
  EXPECT_EQ(status.AsInteger(), 6);
  EXPECT_EQ(status.val_len, 1u);
  // Columns 3 to 6: the printer, the description, and two fixed texts.
  const std::string texts[] = {kPrinter, "Paper jam", "Velam", "openview"};
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(texts[i]);
    const fake_snmp::BindingRecord& b = trap.bindings[i + 1];
    EXPECT_EQ(b.oid, O(".1.3.6.1.4.1.2.6.3.1.1." + std::to_string(i + 3) + ".0"));
    EXPECT_EQ(b.type, kOVsnmpOctetString);
    EXPECT_TRUE(b.value_present);
    EXPECT_EQ(b.val_len, texts[i].size());
    EXPECT_EQ(b.AsString(), texts[i]);
  }
}

TEST_F(AlertTrapTest, DescriptionIsSentByteForByteWithItsLengthOnly) {
  struct Case {
    const char* name;
    std::vector<uint8_t> buffer;
    uint32_t length;
  };
  const Case cases[] = {
      {"empty", {}, 0},
      {"empty but present", {'x'}, 0},
      {"zero bytes and bytes above 127", {0x00, 'A', 0x80, 0xFF, 0x00, 0xC3, 0xA9, 0x00}, 8},
      {"no terminating zero beyond the length", {'a', 'b', 'c', 'd', 'e', 'f', 0}, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fake_snmp::SentPdu trap = SendOne(3, c.buffer.data(), c.length);
    ASSERT_EQ(trap.bindings.size(), 5u);
    const fake_snmp::BindingRecord& d = trap.bindings[2];
    EXPECT_EQ(d.oid, O(".1.3.6.1.4.1.2.6.3.1.1.4.0"));
    EXPECT_EQ(d.type, kOVsnmpOctetString);
    EXPECT_EQ(d.val_len, c.length);
    EXPECT_TRUE(d.value_present);
    EXPECT_EQ(d.value, std::vector<uint8_t>(c.buffer.begin(), c.buffer.begin() + c.length));
  }
}

TEST_F(AlertTrapTest, TrapNumberIsTheSpecificTypeUnchanged) {
  for (int32_t trap : {1, 17, -5, INT32_MAX, INT32_MIN}) {
    SCOPED_TRACE(trap);
    const fake_snmp::SentPdu sent = SendOne(trap, reinterpret_cast<const uint8_t*>("x"), 1);
    EXPECT_EQ(sent.specific_type, trap);
    EXPECT_EQ(sent.generic_type, 6);
  }
}

// A library call that fails: its record names the host, and the steps after
// it are not taken; the session, once open, is closed.
struct Failure {
  const char* name;
  fake_snmp::Call call;
  int error;
  const char* record;
  bool opened;
};
void PrintTo(const Failure& f, std::ostream* os) { *os << f.name; }

class AlertTrapFailureTest : public AlertTrapTest, public ::testing::WithParamInterface<Failure> {};

TEST_P(AlertTrapFailureTest, IsLoggedReturnedAndTheSessionClosed) {
  const Failure& f = GetParam();
  fake_snmp::Fail(f.call, 1, f.error);
  EXPECT_EQ(Send(17, Bytes("Paper jam")), f.error);
  EXPECT_EQ(log_.Text(), SnmpErrorRecord(f.record, f.error));
  EXPECT_EQ(fake_snmp::Closes(), f.opened ? std::vector<std::string>{kHost} : std::vector<std::string>{});
  const fake_snmp::Counts c = fake_snmp::GetCounts();
  EXPECT_EQ(c.create_pdu_calls, f.opened ? 1 : 0);
  EXPECT_EQ(c.add_typed_calls, f.call == fake_snmp::Call::kSend ? 5 : 0);
  EXPECT_EQ(c.sends, f.call == fake_snmp::Call::kSend ? 1 : 0);
  // A PDU handed to the library is the library's: never released here.
  EXPECT_TRUE(fake_snmp::Freed().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Calls, AlertTrapFailureTest,
    ::testing::Values(
        Failure{"SessionThatCannotBeOpened", fake_snmp::Call::kOpen, kOVsnmpErrBadPeer, "Error creating trap session",
                false},
        Failure{"PduThatCannotBeCreated", fake_snmp::Call::kCreatePdu, kOVsnmpErrNoMemory, "Error creating trap PDU",
                true},
        Failure{"FailedSend", fake_snmp::Call::kSend, kOVsnmpErrSend, "Error sending trap", true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AlertTrapTest, RefusedBindingIsLeftOutAndTheTrapStillSent) {
  for (int refused = 1; refused <= 5; ++refused) {
    SCOPED_TRACE(refused);
    std::vector<fake_snmp::Oid> expected;
    for (int n = 2; n <= 6; ++n) {
      if (n - 1 != refused) expected.push_back(O(".1.3.6.1.4.1.2.6.3.1.1." + std::to_string(n) + ".0"));
    }
    EXPECT_EQ(SendOne(17, reinterpret_cast<const uint8_t*>("Paper jam"), 9, refused).Oids(), expected);
  }
  EXPECT_EQ(log_.Text(), "");
}

TEST_F(AlertTrapTest, BindingStepsHandOverFreshBlocksOfExactLength) {
  OVsnmpPdu* pdu = OVsnmpCreatePdu(kOVsnmpTrap);
  ASSERT_NE(pdu, nullptr);
  const uint8_t text[] = {'a', 'b', 'c', 'd'};
  AddIntegerBinding(pdu, ".1.3.6.1.4.1.2.6.3.1.1.2.0", -42);
  AddStringBinding(pdu, ".1.3.6.1.4.1.2.6.3.1.1.3.0", text, 3);
  AddStringBinding(pdu, ".1.3.6.1.4.1.2.6.3.1.1.4.0", text, 0);

  OVsnmpVarBind* integer = pdu->variables;
  ASSERT_NE(integer, nullptr);
  EXPECT_EQ(integer->oid_length, 13u);
  EXPECT_EQ(integer->type, kOVsnmpInteger);
  EXPECT_EQ(integer->val_len, 1u);
  ASSERT_NE(integer->val.integer, nullptr);
  EXPECT_EQ(*integer->val.integer, -42);

  OVsnmpVarBind* string = integer->next_variable;
  ASSERT_NE(string, nullptr);
  EXPECT_EQ(string->oid_length, 13u);
  EXPECT_EQ(string->oid[12], 0u);
  EXPECT_EQ(string->oid[11], 3u);
  EXPECT_EQ(string->type, kOVsnmpOctetString);
  EXPECT_EQ(string->val_len, 3u);
  ASSERT_NE(string->val.string, nullptr);
  EXPECT_NE(string->val.string, text);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(string->val.string), 3), "abc");

  OVsnmpVarBind* empty = string->next_variable;
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->val_len, 0u);
  EXPECT_NE(empty->val.string, nullptr);  // a block is handed over even when empty
  EXPECT_EQ(empty->next_variable, nullptr);

  OVsnmpFreePdu(pdu);
}

TEST_F(AlertTrapTest, StringBindingWithoutBytesButWithALengthIsLeftOut) {
  OVsnmpPdu* pdu = OVsnmpCreatePdu(kOVsnmpTrap);
  ASSERT_NE(pdu, nullptr);
  AddStringBinding(pdu, ".1.3.6.1.4.1.2.6.3.1.1.4.0", nullptr, 5);
  EXPECT_EQ(pdu->variables, nullptr);
  EXPECT_EQ(fake_snmp::GetCounts().add_typed_calls, 0);
  OVsnmpFreePdu(pdu);
}

}  // namespace
