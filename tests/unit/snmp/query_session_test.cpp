#include "snmp/query_session.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fakes/fake_nvsnmp.h"
#include "snmp/nvsnmp.h"
#include "snmp/oid.h"
#include "unit_support.h"

namespace {

using fake_snmp::Agent;
using fake_snmp::Answering;
using fake_snmp::Bindings;
using fake_snmp::Changed;
using fake_snmp::O;
using fake_snmp::Oid;
using fake_snmp::Value;

constexpr char kPeer[] = "printer-1";
constexpr char kTable[] = ".1.3.6.1.2.1.43.18.1";
constexpr char kSeverity[] = ".1.3.6.1.2.1.43.18.1.1.2";
constexpr char kGroup[] = ".1.3.6.1.2.1.43.18.1.1.4";
constexpr char kDesc[] = ".1.3.6.1.2.1.43.18.1.1.8";

Oid Cell(const char* column, uint32_t index) {
  Oid oid = O(column);
  oid.push_back(1);
  oid.push_back(index);
  return oid;
}

// The severity column (and unless severity_only the description column) of
// an alert table with these indexes, and unless last an enterprise object
// after the table, as real printers have.
Agent AlertAgent(const std::vector<uint32_t>& indexes, bool severity_only = false, bool last = false) {
  Agent agent;
  for (uint32_t i : indexes) {
    agent.table[Cell(kSeverity, i)] = Value::Integer(static_cast<int32_t>(i) + 100);
    if (!severity_only) agent.table[Cell(kDesc, i)] = Value::String("alert " + std::to_string(i));
  }
  if (last) return agent;
  agent.table[O(".1.3.6.1.2.1.43.18.2.1.0")] = Value::Integer(0);
  agent.table[O(".1.3.6.1.4.1.808.1.1.0")] = Value::Integer(1);
  return agent;
}

// Row indexes as SeekRow visits them: newest first.
std::vector<int32_t> Indexes(QuerySession& session) {
  std::vector<int32_t> out;
  for (int32_t end = session.SeekRow(false); end == 0; end = session.SeekRow(true)) {
    int32_t index = -1;
    EXPECT_EQ(session.GetRowIndex(&index), kQueryOk);
    out.push_back(index);
  }
  return out;
}

class QuerySessionTest : public ::testing::Test {
 protected:
  void SetUp() override { fake_snmp::Reset(); }

  void TearDown() override {
    session_.reset();
    zov::test::ExpectNothingLeaked();
  }

  // A session over scope with one variable per (name, OID text).
  void Make(const char* scope, const std::vector<std::pair<const char*, const char*>>& vars) {
    uint32_t count = 0;
    uint32_t* block = ParseOid(scope, &count);
    session_ = std::make_unique<QuerySession>(block, count);
    for (const auto& [name, oid] : vars) ASSERT_EQ(session_->AddVariable(new QueryVariable(name, 2, oid)), kQueryOk);
  }

  void MakeAlertSession() { Make(kTable, {{"severity", kSeverity}, {"desc", kDesc}}); }

  // One row whose cells are given, for the Get operations to read.
  void Serve(Bindings cells, const std::vector<std::pair<const char*, const char*>>& vars = {
                                 {"severity", kSeverity}, {"group", kGroup}, {"desc", kDesc}}) {
    Make(kTable, vars);
    fake_snmp::SetAgent(kPeer, Answering([cells](int, const std::vector<Oid>&) { return cells; }));
    ASSERT_EQ(session_->Run(kPeer, false, false), kQueryOk);
    ASSERT_EQ(session_->SeekRow(false), 0);
  }

  std::unique_ptr<QuerySession> session_;
};

TEST_F(QuerySessionTest, EleventhVariableIsRefusedAndStaysTheCallers) {
  Make(kTable, {});
  for (int i = 0; i < kMaxQueryVariables; ++i) {
    EXPECT_EQ(session_->AddVariable(new QueryVariable("v", 2, kSeverity)), kQueryOk);
  }
  auto eleventh = std::make_unique<QueryVariable>("v11", 2, kDesc);
  EXPECT_EQ(session_->AddVariable(eleventh.get()), kQueryTooManyVariables);

  fake_snmp::SetAgent(kPeer, AlertAgent({1}));
  EXPECT_EQ(session_->Run(kPeer, false, false), kQueryOk);
  ASSERT_EQ(fake_snmp::Requests().size(), 1u);
  EXPECT_EQ(fake_snmp::Requests()[0].bindings.size(), 10u);
}

TEST_F(QuerySessionTest, AbsentOrIncompleteVariableNeverReachesASlot) {
  Make(kTable, {});
  EXPECT_EQ(session_->AddVariable(nullptr), kQueryTooManyVariables);
  auto nameless = std::make_unique<QueryVariable>(nullptr, 2, kSeverity);
  EXPECT_FALSE(nameless->Complete());
  EXPECT_EQ(session_->AddVariable(nameless.get()), kQueryTooManyVariables);
  EXPECT_EQ(session_->AddVariable(new QueryVariable("severity", 2, kSeverity)), kQueryOk);

  fake_snmp::SetAgent(kPeer, AlertAgent({4}));
  EXPECT_EQ(session_->Run(kPeer, false, false), kQueryOk);
  EXPECT_EQ(fake_snmp::Requests()[0].Oids(), std::vector<Oid>{O(kSeverity)});
}

TEST_F(QuerySessionTest, SingleGetNextStoresOneRowAndClosesTheSession) {
  Make(".1.3.6.1.2.1", {{"sysUpTime", ".1.3.6.1.2.1.1.3"}, {"sysObjId", ".1.3.6.1.2.1.1.2"}});
  Agent agent;
  agent.table[O(".1.3.6.1.2.1.1.2.0")] = Value::ObjectId(O(".1.3.6.1.4.1.808.8.62.1.5"));
  agent.table[O(".1.3.6.1.2.1.1.3.0")] = Value::TimeTicks(123456);
  fake_snmp::SetAgent(kPeer, agent);

  EXPECT_EQ(session_->Run(kPeer, false, false), kQueryOk);
  EXPECT_EQ(session_->RowCount(), 1);

  // No community, the library's retries and interval, its ports.
  EXPECT_EQ(fake_snmp::Opens(), (std::vector<fake_snmp::OpenRecord>{{false, "", kPeer, -1, -1, 0xFFFF, 0xFFFF}}));
  EXPECT_EQ(fake_snmp::Closes(), std::vector<std::string>{kPeer});

  const auto requests = fake_snmp::Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].command, kOVsnmpGetNextRequest);
  EXPECT_EQ(requests[0].Oids(), (std::vector<Oid>{O(".1.3.6.1.2.1.1.3"), O(".1.3.6.1.2.1.1.2")}));
  for (const auto& b : requests[0].bindings) EXPECT_EQ(b.type, kOVsnmpNull);

  ASSERT_EQ(session_->SeekRow(false), 0);
  int32_t type = 0;
  int32_t ticks = 0;
  EXPECT_EQ(session_->GetInteger("sysUpTime", &type, &ticks), kQueryOk);
  EXPECT_EQ(type, kOVsnmpTimeTicks);
  EXPECT_EQ(ticks, 123456);
  uint32_t* family = nullptr;
  uint32_t count = 0;
  EXPECT_EQ(session_->GetOid("sysObjId", &type, &family, &count), kQueryOk);
  EXPECT_EQ(type, kOVsnmpObjectId);
  EXPECT_EQ(Oid(family, family + count), O(".1.3.6.1.4.1.808.8.62.1.5"));
  FreeOid(family);
}

TEST_F(QuerySessionTest, KeepOpenLeavesTheSessionToTheDestructor) {
  MakeAlertSession();
  fake_snmp::SetAgent(kPeer, AlertAgent({1}));
  EXPECT_EQ(session_->Run(kPeer, false, true), kQueryOk);
  EXPECT_TRUE(fake_snmp::Closes().empty());
  session_.reset();
  EXPECT_EQ(fake_snmp::Closes(), std::vector<std::string>{kPeer});
}

TEST_F(QuerySessionTest, SingleGetNextOutsideTheFirstVariableStoresNothing) {
  Make(".1.3.6.1.2.1", {{"sysUpTime", ".1.3.6.1.2.1.1.3"}, {"sysObjId", ".1.3.6.1.2.1.1.2"}});
  Agent agent;  // no sysUpTime: the next object is sysContact
  agent.table[O(".1.3.6.1.2.1.1.2.0")] = Value::ObjectId(O(".1.3.6.1.4.1.808"));
  agent.table[O(".1.3.6.1.2.1.1.4.0")] = Value::String("admin");
  fake_snmp::SetAgent(kPeer, agent);
  EXPECT_EQ(session_->Run(kPeer, false, false), kQueryOk);
  EXPECT_EQ(session_->RowCount(), 0);
  EXPECT_EQ(session_->SeekRow(false), 1);
}

TEST_F(QuerySessionTest, WalkOfThreeRowsTakesFourExchangesAndKeepsNewestFirst) {
  MakeAlertSession();
  fake_snmp::SetAgent(kPeer, AlertAgent({1, 2, 5}));
  EXPECT_EQ(session_->Run(kPeer, true, false), kQueryOk);
  EXPECT_EQ(session_->RowCount(), 3);

  const auto requests = fake_snmp::Requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0].Oids(), (std::vector<Oid>{O(kSeverity), O(kDesc)}));
  // Each request repeats the previous answer's OIDs, so the columns advance
  // together.
  EXPECT_EQ(requests[1].Oids(), (std::vector<Oid>{Cell(kSeverity, 1), Cell(kDesc, 1)}));
  EXPECT_EQ(requests[2].Oids(), (std::vector<Oid>{Cell(kSeverity, 2), Cell(kDesc, 2)}));
  EXPECT_EQ(requests[3].Oids(), (std::vector<Oid>{Cell(kSeverity, 5), Cell(kDesc, 5)}));

  EXPECT_EQ(Indexes(*session_), (std::vector<int32_t>{5, 2, 1}));
  EXPECT_EQ(session_->SeekRow(true), 1);
  EXPECT_EQ(session_->SeekRow(true), 1);

  ASSERT_EQ(session_->SeekRow(false), 0);
  int32_t type = 0;
  uint8_t* text = nullptr;
  uint32_t length = 0;
  EXPECT_EQ(session_->GetString("desc", &type, &text, &length), kQueryOk);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(text), length), "alert 5");
  EXPECT_EQ(text[length], 0);
  std::free(text);
}

// How a walk ends: the result, the rows kept (newest first), and where
// stated the exchanges made and the requests released after a failed one.
struct WalkEnd {
  const char* name;
  Agent (*agent)();
  bool severity_only;              // one column instead of severity and description
  std::optional<int32_t> result;   // none: any failure
  std::vector<int32_t> rows;
  int requests = -1;               // -1: not counted
  int freed = -1;
};
void PrintTo(const WalkEnd& w, std::ostream* os) { *os << w.name; }

class QuerySessionWalkEndTest : public QuerySessionTest, public ::testing::WithParamInterface<WalkEnd> {};

TEST_P(QuerySessionWalkEndTest, ResultRowsAndExchanges) {
  const WalkEnd& w = GetParam();
  fake_snmp::SetAgent(kPeer, w.agent());
  if (w.severity_only) {
    Make(kTable, {{"severity", kSeverity}});
  } else {
    MakeAlertSession();
  }
  const int32_t result = session_->Run(kPeer, true, false);
  if (w.result) {
    EXPECT_EQ(result, *w.result);
  } else {
    EXPECT_NE(result, kQueryOk);
  }
  EXPECT_EQ(session_->RowCount(), static_cast<int32_t>(w.rows.size()));
  EXPECT_EQ(Indexes(*session_), w.rows);
  if (w.requests >= 0) {
    EXPECT_EQ(fake_snmp::GetCounts().blocking_sends, w.requests);
  }
  if (w.freed >= 0) {
    const auto freed = fake_snmp::Freed();
    ASSERT_EQ(freed.size(), static_cast<size_t>(w.freed));
    for (const auto& pdu : freed) EXPECT_EQ(pdu.command, kOVsnmpGetNextRequest);
  }
  EXPECT_EQ(fake_snmp::Closes().size(), 1u);
  if (w.result == kWalkNotAdvancing || w.result == kWalkTooLong) {
    EXPECT_NE(QueryErrorText(*w.result), nullptr);
  }
}

Agent WithFault(std::vector<uint32_t> rows, void (*fault)(Agent*)) { return Changed(AlertAgent(rows), fault); }

std::vector<int32_t> Descending(int32_t from) {
  std::vector<int32_t> out;
  for (int32_t i = from; i >= 1; --i) out.push_back(i);
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Walks, QuerySessionWalkEndTest,
    ::testing::Values(
        WalkEnd{"EmptyTableEndsAtTheFirstAnswer", [] { return AlertAgent({}); }, false, kQueryOk, {}, 1},
        // SNMPv1: the description column runs past the end of the agent's MIB.
        WalkEnd{"TableThatIsTheAgentsLastObjectEndsWithNoSuchName", [] { return AlertAgent({1}, false, true); },
                false, 2, {1}},
        WalkEnd{"ErrorStatusOnTheSecondExchangeKeepsTheFirstRow",
                [] { return WithFault({1, 2, 3}, [](Agent* a) { a->error_status_on[2] = 2; }); }, false, 2, {1}, 2},
        // Error statuses that look like the walk's own end codes are still failures.
        WalkEnd{"ErrorStatusLikeEndOfWalkIsNotSuccess",
                [] { return WithFault({1, 2}, [](Agent* a) { a->error_status_on[2] = kEndOfWalk; }); }, false,
                kOVsnmpErrBadResponse, {1}, 2},
        WalkEnd{"ErrorStatusLikeNotAdvancingIsNotSuccess",
                [] { return WithFault({1, 2}, [](Agent* a) { a->error_status_on[2] = kWalkNotAdvancing; }); }, false,
                kOVsnmpErrBadResponse, {1}, 2},
        WalkEnd{"NegativeErrorStatusIsNotSuccess",
                [] { return WithFault({1, 2}, [](Agent* a) { a->error_status_on[2] = -3; }); }, false,
                kOVsnmpErrBadResponse, {1}, 2},
        WalkEnd{"NoAnswerReturnsTheLibraryErrorAndReleasesTheRequest",
                [] { return WithFault({1}, [](Agent* a) { a->silent = true; }); }, false, kOVsnmpErrTimeout, {}, 1,
                1},
        WalkEnd{"SilenceOnTheThirdExchangeKeepsTwoRows",
                [] { return WithFault({1, 2, 3}, [](Agent* a) { a->silent_on.insert(3); }); }, false,
                kOVsnmpErrTimeout, {2, 1}},
        WalkEnd{"ErrorSixHandsTheRequestBackToTheLibraryOnce",
                [] { return WithFault({1}, [](Agent* a) { a->silent = true, a->silence_errno = 6; }); }, false, 6, {},
                1, 1},
        WalkEnd{"AgentNotAnsweringWithoutAReasonIsStillAFailure",
                [] { return WithFault({1}, [](Agent* a) { a->silent = true, a->silence_errno = 0; }); }, false,
                std::nullopt, {}},
        WalkEnd{"AnswerThatRepeatsThePreviousOneEndsTheWalk",
                [] {
                  return Answering([](int, const std::vector<Oid>&) {
                    return Bindings{{Cell(kSeverity, 1), Value::Integer(3)}, {Cell(kDesc, 1), Value::String("x")}};
                  });
                },
                false, kWalkNotAdvancing, {1}, 2},
        // Rows 5, 6, then back to 2: still inside the column, but behind.
        WalkEnd{"AnswerThatGoesBackwardsEndsTheWalk",
                [] {
                  return Answering([](int n, const std::vector<Oid>&) {
                    const uint32_t index = n == 1 ? 5 : n == 2 ? 6 : 2;
                    return Bindings{{Cell(kSeverity, index), Value::Integer(3)}};
                  });
                },
                false, kWalkNotAdvancing, {6, 5}},
        WalkEnd{"AdvanceIsJudgedUnsigned", [] { return AlertAgent({7, 0x80000001u}, true); }, true, kQueryOk,
                {INT32_MIN + 1, 7}},
        WalkEnd{"EndlessTableStopsAfterTheRowBound",
                [] {
                  return Answering([](int n, const std::vector<Oid>&) {
                    return Bindings{{Cell(kSeverity, static_cast<uint32_t>(n)), Value::Integer(4)}};
                  });
                },
                true, kWalkTooLong, Descending(kMaxWalkRows + 1), kMaxWalkRows + 1},
        WalkEnd{"TableOfExactlyTheRowBoundIsWalkedWhole",
                [] {
                  std::vector<uint32_t> all;
                  for (uint32_t i = 1; i <= kMaxWalkRows; ++i) all.push_back(i);
                  return AlertAgent(all, true);
                },
                true, kQueryOk, Descending(kMaxWalkRows)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(QuerySessionTest, OpenFailureReturnsTheLibraryErrorAndClosesNothing) {
  MakeAlertSession();
  Agent agent = AlertAgent({1});
  agent.refuse_open = true;
  agent.open_errno = kOVsnmpErrBadPeer;
  fake_snmp::SetAgent(kPeer, agent);
  EXPECT_EQ(session_->Run(kPeer, true, false), kOVsnmpErrBadPeer);
  EXPECT_EQ(session_->RowCount(), 0);
  EXPECT_TRUE(fake_snmp::Requests().empty());
  session_.reset();
  EXPECT_EQ(fake_snmp::GetCounts().closes, 0);
}

// Each library call failing at each point of a three-row walk: the result is
// the library's error, the rows before it stay, nothing leaks.
struct CallFailure {
  const char* what;
  fake_snmp::Call call;
  int n;
  int32_t rows;
};

class QuerySessionCallFailureTest : public QuerySessionTest,
                                    public ::testing::WithParamInterface<CallFailure> {};

TEST_P(QuerySessionCallFailureTest, ReturnsTheErrorAndKeepsEarlierRows) {
  const CallFailure& f = GetParam();
  MakeAlertSession();
  fake_snmp::SetAgent(kPeer, AlertAgent({1, 2, 3}));
  fake_snmp::Fail(f.call, f.n, -42);
  EXPECT_EQ(session_->Run(kPeer, true, false), -42) << f.what;
  EXPECT_EQ(session_->RowCount(), f.rows) << f.what;
  EXPECT_EQ(fake_snmp::Closes().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, QuerySessionCallFailureTest,
    ::testing::Values(
        CallFailure{"first CreatePdu", fake_snmp::Call::kCreatePdu, 1, 0},
        CallFailure{"third CreatePdu", fake_snmp::Call::kCreatePdu, 3, 2},
        CallFailure{"first add", fake_snmp::Call::kAddNullVarBind, 1, 0},
        CallFailure{"second add of the first request", fake_snmp::Call::kAddNullVarBind, 2, 0},
        CallFailure{"second add of the second request", fake_snmp::Call::kAddNullVarBind, 4, 1}),
    [](const auto& info) { return std::to_string(info.index); });

TEST_F(QuerySessionTest, GetOperationsBeforeSeekRowFindNothing) {
  MakeAlertSession();
  fake_snmp::SetAgent(kPeer, AlertAgent({1}));
  ASSERT_EQ(session_->Run(kPeer, true, false), kQueryOk);
  int32_t type = -7;
  int32_t value = -7;
  uint8_t* bytes = nullptr;
  uint32_t length = 99;
  uint32_t* oid = nullptr;
  int32_t index = -7;
  EXPECT_EQ(session_->GetInteger("severity", &type, &value), kQueryNotFound);
  EXPECT_EQ(session_->GetString("desc", &type, &bytes, &length), kQueryNotFound);
  EXPECT_EQ(session_->GetOid("desc", &type, &oid, &length), kQueryNotFound);
  EXPECT_EQ(session_->GetRowIndex(&index), kQueryNotFound);
  EXPECT_EQ(type, -7);
  EXPECT_EQ(value, -7);
  EXPECT_EQ(length, 99u);
  EXPECT_EQ(index, -7);
}

class QuerySessionValueTest : public QuerySessionTest {
 protected:
  // Not found, and the value untouched; the type as the lookup left it (none: not checked).
  void ExpectNoInteger(const char* name, std::optional<int32_t> type_after = std::nullopt) {
    int32_t type = -7;
    int32_t value = -7;
    EXPECT_EQ(session_->GetInteger(name, &type, &value), kQueryNotFound) << name;
    EXPECT_EQ(type, type_after.value_or(type)) << name;
    EXPECT_EQ(value, -7) << name;
  }
};

TEST_F(QuerySessionValueTest, IntegerOfANameNoVariableHasOrOfAMissingBinding) {
  Serve({{Cell(kSeverity, 1), Value::Integer(3)}});
  for (const char* name : {"nosuch", "group", "Severity"}) ExpectNoInteger(name, -7);
}

TEST_F(QuerySessionValueTest, IntegerNeverReadsBeyondAShortOrAbsentValue) {
  Serve({{Cell(kSeverity, 1), Value::Raw(kOVsnmpInteger, {1, 2})},
         {Cell(kGroup, 1), Value::Absent(kOVsnmpInteger)},
         {Cell(kDesc, 1), Value::String("abcd")}});
  ExpectNoInteger("severity", kOVsnmpInteger);
  ExpectNoInteger("group", kOVsnmpInteger);
  int32_t type = 0;
  int32_t value = -7;
  // No type check: four bytes of a string read as an integer.
  EXPECT_EQ(session_->GetInteger("desc", &type, &value), kQueryOk);
  EXPECT_EQ(type, kOVsnmpOctetString);
  int32_t expected = 0;
  std::memcpy(&expected, "abcd", 4);
  EXPECT_EQ(value, expected);
}

// Zero bytes are a present, empty text; zero and high bytes are kept. Either
// way a terminator follows.
TEST_F(QuerySessionValueTest, StringKeepsItsBytesEvenNoneAndATerminator) {
  for (const std::string& raw : {std::string(), std::string("Off\0line\xff\x80", 10)}) {
    SCOPED_TRACE(raw.size());
    Serve({{Cell(kSeverity, 1), Value::Integer(3)}, {Cell(kDesc, 1), Value::String(raw)}});
    int32_t type = 0;
    uint8_t* bytes = nullptr;
    uint32_t length = 99;
    EXPECT_EQ(session_->GetString("desc", &type, &bytes, &length), kQueryOk);
    EXPECT_EQ(type, kOVsnmpOctetString);
    ASSERT_NE(bytes, nullptr);
    ASSERT_EQ(length, raw.size());
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), length), raw);
    EXPECT_EQ(bytes[length], 0);
    std::free(bytes);
  }
}

TEST_F(QuerySessionValueTest, OidOfAValueOfAnotherTypeIsNotRead) {
  Serve({{Cell(kSeverity, 1), Value::Integer(3)}, {Cell(kDesc, 1), Value::String("12345678")}});
  int32_t type = 0;
  uint32_t* oid = nullptr;
  uint32_t count = 99;
  EXPECT_EQ(session_->GetOid("desc", &type, &oid, &count), kQueryNotFound);
  EXPECT_EQ(type, kOVsnmpOctetString);
  EXPECT_EQ(oid, nullptr);
  EXPECT_EQ(count, 99u);
}

TEST_F(QuerySessionValueTest, StrayBindingOfAnEndedColumnIsNotFoundUnderIt) {
  // The group column has ended: its binding fell into the description column.
  Serve({{Cell(kSeverity, 3), Value::Integer(3)}, {Cell(kDesc, 1), Value::String("d")}});
  ExpectNoInteger("group");
}

TEST_F(QuerySessionTest, FirstVariableOfANameDecides) {
  Serve({{Cell(kSeverity, 1), Value::Integer(3)}, {Cell(kDesc, 1), Value::String("t")}},
        {{"x", kSeverity}, {"x", kDesc}});
  int32_t type = 0;
  int32_t value = 0;
  EXPECT_EQ(session_->GetInteger("x", &type, &value), kQueryOk);
  EXPECT_EQ(type, kOVsnmpInteger);
  EXPECT_EQ(value, 3);
}

TEST_F(QuerySessionTest, RowIndexIsTheLastSubIdentifierOfTheFirstBinding) {
  Serve({{Cell(kSeverity, 7), Value::Integer(3)}}, {{"severity", kSeverity}});
  int32_t index = 0;
  EXPECT_EQ(session_->GetRowIndex(&index), kQueryOk);
  EXPECT_EQ(index, 7);
}

TEST_F(QuerySessionTest, SessionThatNeverRanReleasesEverythingAndClosesNothing) {
  MakeAlertSession();
  session_.reset();
  const fake_snmp::Counts c = fake_snmp::GetCounts();
  EXPECT_EQ(c.opens, 0);
  EXPECT_EQ(c.closes, 0);
}

TEST_F(QuerySessionTest, SessionsInSeveralThreadsDoNotMix) {
  constexpr int kThreads = 4;
  for (int t = 0; t < kThreads; ++t) {
    std::vector<uint32_t> indexes;
    for (int i = 0; i <= t; ++i) indexes.push_back(static_cast<uint32_t>(10 * t + i + 1));
    fake_snmp::SetAgent("printer-" + std::to_string(t), AlertAgent(indexes));
  }
  std::vector<std::vector<int32_t>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &seen] {
      for (int round = 0; round < 20; ++round) {
        uint32_t count = 0;
        uint32_t* scope = ParseOid(kTable, &count);
        QuerySession session(scope, count);
        session.AddVariable(new QueryVariable("severity", 2, kSeverity));
        const std::string peer = "printer-" + std::to_string(t);
        const int32_t r = session.Run(peer.c_str(), true, false);
        if (r != kQueryOk) {
          seen[t] = {-1000 - r};
          return;
        }
        seen[t] = Indexes(session);
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) {
    std::vector<int32_t> expected;
    for (int i = t; i >= 0; --i) expected.push_back(10 * t + i + 1);
    EXPECT_EQ(seen[t], expected) << "thread " << t;
  }
}

// What one session may cost its host: the bytes it holds of an agent's
// answers, the time a walk may go on, and nothing left behind when the
// library cannot make a PDU at the end.
// A table that never ends, each row with a description of description_bytes;
// pause before each answer.
Agent EndlessAgent(size_t description_bytes, std::chrono::milliseconds pause) {
  return Answering([description_bytes, pause](int n, const std::vector<Oid>&) {
    if (pause.count() > 0) std::this_thread::sleep_for(pause);
    const auto index = static_cast<uint32_t>(n);
    return Bindings{{Cell(kSeverity, index), Value::Integer(4)},
                    {Cell(kDesc, index), Value::String(std::string(description_bytes, 'd'))}};
  });
}

class QuerySessionBoundsTest : public QuerySessionTest {
 protected:
  void SetUp() override {
    QuerySessionTest::SetUp();
    Make(kTable, {});
    ASSERT_EQ(session_->AddVariable(new QueryVariable("severity", 2, kSeverity)), kQueryOk);
    ASSERT_EQ(session_->AddVariable(new QueryVariable("desc", 4, kDesc)), kQueryOk);
  }
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
  fake_snmp::SetAgent(kPeer, AlertAgent({1, 2, 3}));
  EXPECT_EQ(session_->Run(kPeer, true, false), kQueryOk);
  EXPECT_EQ(session_->RowCount(), 3);
  const int made = fake_snmp::GetCounts().create_pdu_calls;
  for (int n = made + 1; n <= made + 3; ++n) fake_snmp::Fail(fake_snmp::Call::kCreatePdu, n);
}

}  // namespace
