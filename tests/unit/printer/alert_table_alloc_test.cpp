// A record or a description the reader cannot allocate fails the walk: a
// shorter list would read as that alert gone, and a poll would report
// "normal" and clear VlmLastAlert, so that the next good poll traps the same
// alert again.
#include <gtest/gtest.h>

#include <string>

#include "entry/nv_service_test.h"
#include "failing_calloc.h"
#include "fakes/fake_nvsnmp.h"
#include "fakes/fake_ovw.h"
#include "printer/alert_table.h"
#include "snmp/query_session.h"
#include "unit_support.h"

namespace {

using zov::test::LogCapture;

using fake_snmp::Agent;

constexpr char kPrinter[] = "10.9.8.7";
constexpr char kField[] = "VlmLastAlert";
constexpr int kRows = 2;
// Each row: its record, then its description.
constexpr int kReaderCallocs = 2 * kRows;

// A vendor printer with kRows warnings, indexes 1 and 2, times 501 and 502.
Agent PrinterAgent() {
  zov::test::Printer printer{{}, 100, ".1.3.6.1.4.1.808.8.62.1.1"};
  for (uint32_t i = 1; i <= static_cast<uint32_t>(kRows); ++i) {
    printer.rows.push_back({i, kSeverityWarning, "Toner low", 8, 8, 8, 8, 500 + i});
  }
  return zov::test::PrinterAgent(printer);
}

class ReaderCallocTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    fake_snmp::Reset();
    fake_snmp::SetAgent(kPrinter, PrinterAgent());
    ASSERT_TRUE(log_.ok());
  }
  void TearDown() override {
    failing_calloc::FailNth(0);
    zov::test::ExpectNothingLeaked();
  }

  const std::string kOutOfMemory = std::string(kPrinter) + ": Error querying printer\n\t" +
                                   QueryErrorText(kWalkOutOfMemory) + "\n";
  LogCapture log_;
};

TEST(FailingCalloc, ReaderMakesTheCallocsTheTestsAssume) {
  fake_snmp::Reset();
  fake_snmp::SetAgent(kPrinter, PrinterAgent());
  failing_calloc::FailNth(0);
  int32_t walk_result = -1;
  AlertRecord* list = ReadAlertTable(kPrinter, &walk_result);
  EXPECT_EQ(walk_result, kQueryOk);
  EXPECT_EQ(failing_calloc::Count(), kReaderCallocs);
  int records = 0;
  for (const AlertRecord* r = list; r != nullptr; r = r->next) ++records;
  EXPECT_EQ(records, kRows);
  FreeAlertList(list);
}

TEST_P(ReaderCallocTest, FailsTheWalkInsteadOfReturningAShorterList) {
  failing_calloc::FailNth(GetParam());
  int32_t walk_result = kQueryOk;
  AlertRecord* list = ReadAlertTable(kPrinter, &walk_result);
  EXPECT_EQ(list, nullptr);
  FreeAlertList(list);
  EXPECT_EQ(walk_result, kWalkOutOfMemory);
  EXPECT_EQ(log_.Text(), kOutOfMemory);
}

// The whole poll: not completed, and the field keeps the alert it had.
TEST_P(ReaderCallocTest, PollEndsNotCompletedAndKeepsTheField) {
  fake_ovw::Reset();
  fake_ovw::AddField(kField);
  fake_ovw::AddObject(kPrinter);
  fake_ovw::SetValue(kPrinter, kField, 777);
  failing_calloc::FailNth(GetParam());
  EXPECT_EQ(NvServiceTest(kPrinter, "-l -c 11 -w 12 -o 13"), 0);
  EXPECT_EQ(fake_ovw::Value(kPrinter, kField), 777);
  EXPECT_TRUE(fake_snmp::Sent().empty());
  EXPECT_EQ(log_.Text(), kOutOfMemory);
}

INSTANTIATE_TEST_SUITE_P(NthCalloc, ReaderCallocTest, ::testing::Range(1, kReaderCallocs + 1));

}  // namespace
