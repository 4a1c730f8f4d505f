// What one session may cost its host: the bytes it holds of an agent's
// answers, the time a walk may go on, and nothing left behind when the
// library cannot make a PDU at the end.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fakes/fake_nvsnmp.h"
#include "snmp/oid.h"
#include "snmp/query_session.h"
#include "unit_support.h"

namespace {

using fake_snmp::Agent;
using fake_snmp::O;
using fake_snmp::Oid;
using fake_snmp::Response;
using fake_snmp::Value;

constexpr char kPeer[] = "printer-1";
constexpr char kTable[] = ".1.3.6.1.2.1.43.18.1";
constexpr char kSeverity[] = ".1.3.6.1.2.1.43.18.1.1.2";
constexpr char kDesc[] = ".1.3.6.1.2.1.43.18.1.1.8";

Oid Cell(const char* column, uint32_t index) {
  Oid oid = O(column);
  oid.push_back(1);
  oid.push_back(index);
  return oid;
}

// A table that never ends, each row with a description of description_bytes;
// pause before each answer.
Agent EndlessAgent(size_t description_bytes, std::chrono::milliseconds pause) {
  Agent agent;
  agent.responder = [description_bytes, pause](int n, const std::vector<Oid>&) {
    if (pause.count() > 0) std::this_thread::sleep_for(pause);
    Response r;
    const auto index = static_cast<uint32_t>(n);
    r.bindings = {{Cell(kSeverity, index), Value::Integer(4)},
                  {Cell(kDesc, index), Value::String(std::string(description_bytes, 'd'))}};
    return std::optional<Response>(r);
  };
  return agent;
}

class QuerySessionBoundsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_snmp::Reset();
    uint32_t count = 0;
    uint32_t* scope = ParseOid(kTable, &count);
    session_ = std::make_unique<QuerySession>(scope, count);
    ASSERT_EQ(session_->AddVariable(new QueryVariable("severity", 2, kSeverity)), kQueryOk);
    ASSERT_EQ(session_->AddVariable(new QueryVariable("desc", 4, kDesc)), kQueryOk);
  }

  void TearDown() override {
    session_.reset();
    zov::test::ExpectNothingLeaked();
  }

  std::unique_ptr<QuerySession> session_;
};

// Huge values end the walk once the answers hold the bound, long before the
// row limit; the rows stored so far are released with the session.
TEST_F(QuerySessionBoundsTest, EndlessTableOfHugeValuesStopsAtTheByteBound) {
  constexpr size_t kDescription = 30000;
  fake_snmp::SetAgent(kPeer, EndlessAgent(kDescription, std::chrono::milliseconds(0)));
  EXPECT_EQ(session_->Run(kPeer, true, false), kWalkTooLarge);
  const size_t rows_in_bound = kMaxWalkBytes / kDescription;
  // The answer that crosses the bound is the last one asked for.
  EXPECT_EQ(static_cast<size_t>(session_->RowCount()), rows_in_bound + 1);
  EXPECT_EQ(fake_snmp::Requests().size(), rows_in_bound + 1);
  EXPECT_NE(QueryErrorText(kWalkTooLarge), nullptr);
}

// A walk that would go on for ever, slowly: no exchange starts once the
// deadline has passed. The fake answers at once but after a pause, as a
// printer answering just inside the timeout would.
TEST_F(QuerySessionBoundsTest, NoExchangeStartsAfterTheDeadline) {
  fake_snmp::SetAgent(kPeer, EndlessAgent(10, std::chrono::milliseconds(20)));
  const auto start = QueryClock::now();
  session_->SetDeadline(start + std::chrono::milliseconds(300));
  EXPECT_EQ(session_->Run(kPeer, true, false), kQueryPastDeadline);
  const auto exchanges = fake_snmp::Requests().size();
  EXPECT_GE(exchanges, 1u);
  // Each exchange took at least 20 ms, so at most 15 fit before the
  // deadline and one more may have started just before it.
  EXPECT_LE(exchanges, 16u);
  EXPECT_EQ(static_cast<size_t>(session_->RowCount()), exchanges);
  EXPECT_NE(QueryErrorText(kQueryPastDeadline), nullptr);
}

TEST_F(QuerySessionBoundsTest, DeadlineAlreadyPastSendsNothing) {
  fake_snmp::SetAgent(kPeer, EndlessAgent(10, std::chrono::milliseconds(0)));
  session_->SetDeadline(QueryClock::now() - std::chrono::seconds(1));
  EXPECT_EQ(session_->Run(kPeer, true, false), kQueryPastDeadline);
  EXPECT_TRUE(fake_snmp::Requests().empty());
  EXPECT_EQ(session_->RowCount(), 0);
  EXPECT_EQ(fake_snmp::Closes().size(), 1u);
}

// Releasing the stored rows must not depend on the library making a new
// PDU: when it cannot, the rows' bindings would stay behind (TearDown
// counts them).
TEST_F(QuerySessionBoundsTest, RowsAreReleasedWhenTheLibraryCannotMakeAPdu) {
  Agent agent;
  for (uint32_t i = 1; i <= 3; ++i) {
    agent.table[Cell(kSeverity, i)] = Value::Integer(4);
    agent.table[Cell(kDesc, i)] = Value::String("alert");
  }
  agent.table[O(".1.3.6.1.4.1.808.1.1.0")] = Value::Integer(1);  // the walk ends inside the agent
  fake_snmp::SetAgent(kPeer, agent);
  EXPECT_EQ(session_->Run(kPeer, true, false), kQueryOk);
  EXPECT_EQ(session_->RowCount(), 3);
  const int made = fake_snmp::GetCounts().create_pdu_calls;
  for (int n = made + 1; n <= made + 3; ++n) fake_snmp::Fail(fake_snmp::Call::kCreatePdu, n);
}

}  // namespace
