// The probe and the reader when an object of their own cannot be allocated:
// each is logged, nothing is sent half-built, nothing leaks.
#include <gtest/gtest.h>

#include <string>

#include "failing_new.h"
#include "fakes/fake_nvsnmp.h"
#include "printer/alert_table.h"
#include "printer/identity_probe.h"
#include "unit_support.h"
#include "snmp/oid.h"
#include "snmp/query_session.h"

namespace {

using zov::test::LogCapture;

using fake_snmp::Agent;
using Row = zov::test::AlertRow;

constexpr char kPrinter[] = "10.9.8.7";

// Two rows whose every column is present.
Agent PrinterAgent() {
  return zov::test::PrinterAgent({{Row{1, 4, "x", 4, 4, 4, 4, 4}, Row{2, 4, "x", 4, 4, 4, 4, 4}}, 100,
                                  ".1.3.6.1.4.1.808.8.62.1.1"});
}

class OutOfMemoryTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    fake_snmp::Reset();
    fake_snmp::SetAgent(kPrinter, PrinterAgent());
    ASSERT_TRUE(log_.ok());
  }
  void TearDown() override {
    failing_new::FailNth(0);
    zov::test::ExpectNothingLeaked();
  }

  std::string Failure(const char* text) const {
    return std::string(kPrinter) + ": Error querying printer\n\t" + text + "\n";
  }

  LogCapture log_;
};

// Allocations of the probe, in order: two variables, the session, the row.
using ProbeOutOfMemoryTest = OutOfMemoryTest;
using ReaderOutOfMemoryTest = OutOfMemoryTest;

TEST_P(ProbeOutOfMemoryTest, LogsAndLeavesTheOutputsUnavailable) {
  const int n = GetParam();
  failing_new::FailNth(n);
  uint32_t uptime = 9;
  uint32_t* family = nullptr;
  uint32_t count = 9;
  ProbeIdentity(kPrinter, &uptime, &family, &count);
  EXPECT_EQ(uptime, 0u);
  EXPECT_EQ(family, nullptr);
  EXPECT_EQ(count, 0u);
  if (n <= 3) {
    EXPECT_EQ(log_.Text(), std::string(kPrinter) + ": Out of memory\n");
    EXPECT_TRUE(fake_snmp::Opens().empty());
  } else {
    EXPECT_EQ(log_.Text(), Failure(QueryErrorText(kWalkOutOfMemory)));
  }
}

// Allocations of the reader: seven variables, the session, then one per row.
TEST_P(ReaderOutOfMemoryTest, LogsAndReturnsNoList) {
  const int n = GetParam();
  failing_new::FailNth(n);
  int32_t walk_result = -1;
  AlertRecord* list = ReadAlertTable(kPrinter, &walk_result);
  EXPECT_EQ(list, nullptr);
  FreeAlertList(list);
  if (n <= 8) {
    EXPECT_EQ(walk_result, kQueryOutOfMemory);
    EXPECT_EQ(log_.Text(), std::string(kPrinter) + ": Out of memory\n");
    EXPECT_TRUE(fake_snmp::Opens().empty());
  } else {
    EXPECT_EQ(walk_result, kWalkOutOfMemory);
    EXPECT_EQ(log_.Text(), Failure(QueryErrorText(kWalkOutOfMemory)));
    EXPECT_EQ(static_cast<int>(fake_snmp::Requests().size()), n - 8);
  }
}

INSTANTIATE_TEST_SUITE_P(NthAllocation, ProbeOutOfMemoryTest, ::testing::Range(1, 5));
INSTANTIATE_TEST_SUITE_P(NthAllocation, ReaderOutOfMemoryTest, ::testing::Range(1, 11));

TEST(FailingNew, ReaderMakesTheAllocationsTheTestsAssume) {
  fake_snmp::Reset();
  fake_snmp::SetAgent(kPrinter, PrinterAgent());
  failing_new::FailNth(0);
  int32_t walk_result = -1;
  AlertRecord* list = ReadAlertTable(kPrinter, &walk_result);
  EXPECT_EQ(failing_new::Count(), 7 + 1 + 2);
  FreeAlertList(list);
  uint32_t uptime = 0;
  uint32_t* family = nullptr;
  uint32_t count = 0;
  failing_new::FailNth(0);
  ProbeIdentity(kPrinter, &uptime, &family, &count);
  EXPECT_EQ(failing_new::Count(), 4);
  FreeOid(family);
}

}  // namespace
