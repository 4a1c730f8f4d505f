#include "printer/alert_table.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "fakes/fake_nvsnmp.h"
#include "unit_support.h"
#include "snmp/nvsnmp.h"
#include "snmp/oid.h"
#include "snmp/query_session.h"

namespace {

using zov::test::LogCapture;

using fake_snmp::Agent;
using fake_snmp::Answering;
using fake_snmp::Changed;
using fake_snmp::O;
using fake_snmp::Oid;
using fake_snmp::Value;

constexpr char kPrinter[] = "lobby-laser";
constexpr char kEntry[] = ".1.3.6.1.2.1.43.18.1.1";

using Row = zov::test::AlertRow;
using zov::test::Seen;

Oid Cell(int column, uint32_t index) { return O(zov::test::AlertCell(column, index)); }

// The table alone, and vendor objects after it as real printers have them
// (with SNMPv1 a walk running past the agent's last object fails).
Agent TableAgent(const std::vector<Row>& rows, bool tail = true) {
  Agent agent = zov::test::PrinterAgent({rows, std::nullopt, std::nullopt, tail});
  agent.table[O(".1.3.6.1.2.1.43.18.1.0")] = Value::Integer(0);  // never under a column
  return agent;
}

Row Full(uint32_t index, int32_t severity, const std::string& text, uint32_t time) {
  return Row{index, severity, text, 8, 1, 0, 808, time};
}

std::vector<Seen> Flatten(const AlertRecord* list) {
  bool bad = false;
  std::vector<Seen> out = zov::test::Flatten(list, &bad);
  EXPECT_FALSE(bad) << "description terminator or length wrong";
  return out;
}

class ReadAlertTableTest : public zov::test::FakeSnmpTest {
 protected:
  void TearDown() override {
    FreeAlertList(list_);
    FakeSnmpTest::TearDown();
  }

  std::vector<Seen> Read(const Agent& agent) {
    fake_snmp::SetAgent(kPrinter, agent);
    walk_result_ = -12345;
    list_ = ReadAlertTable(kPrinter, &walk_result_);
    return Flatten(list_);
  }

  std::string Failure(const std::string& text) const {
    return std::string(kPrinter) + ": Error querying printer\n\t" + text + "\n";
  }

  AlertRecord* list_ = nullptr;
  int32_t walk_result_ = 0;
};

TEST_F(ReadAlertTableTest, RowsComeBackInTableOrderWithEveryColumn) {
  const auto seen = Read(TableAgent({Row{1, 4, "Toner low", 11, 1, 0, 1104, 2000},
                                     Row{2, 3, "Paper jam", 13, 2, 7, 1502, 1000},
                                     Row{5, 1, "Ready", 5, 1, 0, 1, 3000}}));
  EXPECT_EQ(seen, (std::vector<Seen>{{1, 4, 11, 1, 0, 1104, "Toner low", 2000},
                                     {2, 3, 13, 2, 7, 1502, "Paper jam", 1000},
                                     {5, 1, 5, 1, 0, 1, "Ready", 3000}}));
  EXPECT_EQ(walk_result_, 0);
  EXPECT_EQ(log_.Text(), "");

  const auto requests = fake_snmp::Requests();
  ASSERT_EQ(requests.size(), 4u);
  std::vector<Oid> columns;  // in the order the reader asks for them
  for (int c : {2, 8, 4, 5, 6, 7, 9}) columns.push_back(O(kEntry + ("." + std::to_string(c))));
  EXPECT_EQ(requests[0].Oids(), columns);
}

TEST_F(ReadAlertTableTest, EmptyTableIsNoListAndNoFailure) {
  EXPECT_TRUE(Read(TableAgent({})).empty());
  EXPECT_EQ(list_, nullptr);
  EXPECT_EQ(walk_result_, 0);
  EXPECT_EQ(log_.Text(), "");
  EXPECT_EQ(fake_snmp::Requests().size(), 1u);
}

// Rows as the agent holds them, and the records read back in table order.
struct Readback {
  const char* name;
  std::vector<Row> rows;
  std::vector<Seen> records;
};
void PrintTo(const Readback& r, std::ostream* os) { *os << r.name; }

class ReadbackTest : public ReadAlertTableTest, public ::testing::WithParamInterface<Readback> {};

TEST_P(ReadbackTest, RecordsAreTheRowsAsFetched) {
  EXPECT_EQ(Read(TableAgent(GetParam().rows)), GetParam().records);
  EXPECT_EQ(walk_result_, 0);
  EXPECT_EQ(log_.Text(), "");
}

const std::string kZeroAndHigh("Toner\0low \xe9\xff", 12);

INSTANTIATE_TEST_SUITE_P(
    Rows, ReadbackTest,
    ::testing::Values(
        // Warnings of group 5, code 1: lowered to other at locations 3 and 4 only.
        Readback{"DowngradeRuleAppliesToFetchedRows",
                 {Row{1, 4, "a", 5, 1, 3, 1, 10}, Row{2, 4, "b", 5, 1, 4, 1, 20}, Row{3, 4, "c", 5, 1, 5, 1, 30},
                  Row{4, 4, "d", 8, 1, 3, 1, 40}},
                 {{1, kSeverityOther, 5, 1, 3, 1, "a", 10}, {2, kSeverityOther, 5, 1, 4, 1, "b", 20},
                  {3, kSeverityWarning, 5, 1, 5, 1, "c", 30}, {4, kSeverityWarning, 8, 1, 3, 1, "d", 40}}},
        Readback{"LastRowLackingColumnsReadsZero",
                 {Full(1, 4, "Toner low", 3000), Row{3, 3, "Paper jam", 13, 1, 0, std::nullopt, std::nullopt}},
                 {{1, 4, 8, 1, 0, 808, "Toner low", 3000}, {3, 3, 13, 1, 0, 0, "Paper jam", 0}}},
        Readback{"DescriptionMissingFromTheOnlyRowIsAbsent",
                 {Row{2, 3, std::nullopt, 13, 1, 0, 1502, std::nullopt}},
                 {{2, 3, 13, 1, 0, 1502, std::nullopt, 0}}},
        // Row 3 lacks code, description and time. Each column is asked for
        // with the OID its previous answer gave, so the code column's answer
        // is row 1's description and the description column's is row 1's
        // time; the lookups find those strays first.
        Readback{"ShorterColumnsSlipIntoTheNextColumnInLockStep",
                 {Full(1, 4, "Toner low", 3000), Row{3, 3, std::nullopt, 13, 1, 0, std::nullopt, std::nullopt}},
                 {{1, 4, 8, 1, 0, 808, "Toner low", 3000}, {3, 3, 13, 1, 0, 0, "Toner low", 3000}}},
        // Flatten also checks each terminator and that a length comes with text.
        Readback{"DescriptionBytesArriveExactly",
                 {Full(1, 4, "", 10), Full(2, 4, kZeroAndHigh, 20)},
                 {{1, 4, 8, 1, 0, 808, "", 10}, {2, 4, 8, 1, 0, 808, kZeroAndHigh, 20}}},
        Readback{"IndexWithTheHighBitSetIsNegative",
                 {Full(5, 4, "Toner low", 100), Full(4294967295u, 3, "Fuser", 200)},
                 {{5, 4, 8, 1, 0, 808, "Toner low", 100}, {-1, 3, 8, 1, 0, 808, "Fuser", 200}}},
        Readback{"TimesNearTwoToTheThirtyTwoStayUnsigned",
                 {Full(1, 4, "a", 2147483648u), Full(2, 4, "b", 4294967295u)},
                 {{1, 4, 8, 1, 0, 808, "a", 2147483648u}, {2, 4, 8, 1, 0, 808, "b", 4294967295u}}}),
    [](const auto& info) { return std::string(info.param.name); });

// A walk that fails: no list, the result, and the record naming it.
struct WalkFailure {
  const char* name;
  Agent agent;
  int32_t result;
  std::string text;
  size_t requests = 0;  // exchanges made; 0: not counted
};
void PrintTo(const WalkFailure& w, std::ostream* os) { *os << w.name; }

class WalkFailureTest : public ReadAlertTableTest, public ::testing::WithParamInterface<WalkFailure> {};

TEST_P(WalkFailureTest, GivesNoListAndIsLogged) {
  const WalkFailure& w = GetParam();
  EXPECT_TRUE(Read(w.agent).empty());
  EXPECT_EQ(walk_result_, w.result);
  EXPECT_EQ(log_.Text(), Failure(w.text));
  if (w.requests > 0) {
    EXPECT_EQ(fake_snmp::Requests().size(), w.requests);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Walks, WalkFailureTest,
    ::testing::Values(
        WalkFailure{"ErrorStatusMidWalkDiscardsTheRows",
                    Changed(TableAgent({Full(1, 4, "a", 10), Full(2, 4, "b", 20)}),
                            [](Agent* a) { a->error_status_on[2] = 2; }),
                    2, "noSuchName"},
        WalkFailure{"TableThatIsTheAgentsLastObjectFails", TableAgent({Full(1, 4, "a", 10)}, false), 2, "noSuchName"},
        WalkFailure{"NoAnswerIsLoggedWithTheLibraryText",
                    Changed(TableAgent({Full(1, 4, "a", 10)}), [](Agent* a) { a->silent = true; }), kOVsnmpErrTimeout,
                    OVsnmpErrString(kOVsnmpErrTimeout)},
        // Each column answers row 1 of the column after it, again and again.
        WalkFailure{"AnswerThatDoesNotAdvanceIsLoggedInWords",
                    Answering([](int, const std::vector<Oid>& request) {
                      fake_snmp::Bindings out;
                      for (size_t i = 0; i < request.size(); ++i) {
                        out.emplace_back(Cell(static_cast<int>(i) + 2, 1), Value::Integer(4));
                      }
                      return out;
                    }),
                    kWalkNotAdvancing, QueryErrorText(kWalkNotAdvancing), 2},
        WalkFailure{"EndlessTableIsCutAtTheRowBound",
                    Answering([](int n, const std::vector<Oid>&) {
                      return fake_snmp::Bindings{{Cell(2, static_cast<uint32_t>(n)), Value::Integer(4)}};
                    }),
                    kWalkTooLong, QueryErrorText(kWalkTooLong)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ReadAlertTableTest, WalkResultMayBeLeftOut) {
  fake_snmp::SetAgent(kPrinter, TableAgent({Full(1, 4, "a", 10)}));
  list_ = ReadAlertTable(kPrinter, nullptr);
  EXPECT_EQ(Flatten(list_).size(), 1u);
}

struct SeverityCase {
  int32_t severity, group, code, location, expected;
};

class AdjustSeverityTest : public ::testing::TestWithParam<SeverityCase> {};

TEST_P(AdjustSeverityTest, LowersOnlyTheGeneralPrinterOtherWarningsAtThreeAndFour) {
  const SeverityCase& c = GetParam();
  AlertRecord record{};
  record.index = 9;
  record.severity = c.severity;
  record.group = c.group;
  record.code = c.code;
  record.location = c.location;
  record.time = 77;
  AdjustSeverity(&record);
  EXPECT_EQ(record.severity, c.expected);
  EXPECT_EQ(record.group, c.group);
  EXPECT_EQ(record.location, c.location);
  EXPECT_EQ(record.index, 9);
  EXPECT_EQ(record.time, 77u);
}

INSTANTIATE_TEST_SUITE_P(Rules, AdjustSeverityTest,
                         ::testing::Values(SeverityCase{4, 5, 1, 3, 1}, SeverityCase{4, 5, 1, 4, 1},
                                           SeverityCase{4, 5, 1, 5, 4}, SeverityCase{4, 5, 1, 2, 4},
                                           SeverityCase{4, 8, 1, 3, 4}, SeverityCase{4, 5, 2, 3, 4},
                                           SeverityCase{3, 5, 1, 3, 3}, SeverityCase{1, 5, 1, 4, 1},
                                           SeverityCase{5, 5, 1, 3, 5}, SeverityCase{4, 5, 2, 4, 4}));

// Null and empty inputs of the free functions: what each gives, and that it
// neither logs nor calls the SNMP library.
struct NullCase {
  const char* name;
  std::string (*call)();
  const char* gives;
};

class NullInputTest : public ::testing::TestWithParam<NullCase> {};

TEST_P(NullInputTest, GivesItsAnswerQuietly) {
  LogCapture log;
  fake_snmp::Reset();
  EXPECT_EQ(GetParam().call(), GetParam().gives);
  EXPECT_EQ(log.Text(), "");
  EXPECT_EQ(fake_snmp::GetCounts().create_pdu_calls + fake_snmp::GetCounts().opens, 0);
  zov::test::ExpectNothingLeaked();
}

std::string Block(uint32_t* block) {
  const std::string what = block == nullptr ? "none" : "block";
  FreeOid(block);
  return what;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, NullInputTest,
    ::testing::Values(
        NullCase{"FreeOidOfNone", [] { FreeOid(nullptr); return std::string("done"); }, "done"},
        NullCase{"FreeAlertListOfNone", [] { FreeAlertList(nullptr); return std::string("done"); }, "done"},
        NullCase{"ParseOidOfNullText", [] {
                   uint32_t n = 9;
                   const std::string block = Block(ParseOid(nullptr, &n));
                   return block + std::to_string(n);
                 },
                 "block0"},
        NullCase{"CopyOidOfNoneWithSubIdentifiers", [] { return Block(CopyOid(nullptr, 3)); }, "none"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
