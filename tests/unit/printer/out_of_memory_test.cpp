// The probe and the reader when an object of their own cannot be allocated:
// each is logged, nothing is sent half-built, nothing leaks. A record or a
// description the reader cannot allocate fails the walk: a shorter list would
// read as that alert gone, and a poll would report "normal" and clear
// VlmLastAlert, so that the next good poll traps the same alert again.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "entry/nv_service_test.h"
#include "failing_alloc.h"
#include "fakes/fake_nvsnmp.h"
#include "fakes/fake_ovw.h"
#include "printer/alert_table.h"
#include "printer/identity_probe.h"
#include "snmp/oid.h"
#include "snmp/query_session.h"
#include "unit_support.h"

namespace {

using failing_alloc::kCalloc;
using failing_alloc::kNew;

constexpr char kPrinter[] = "10.9.8.7";
constexpr char kField[] = "VlmLastAlert";
constexpr int kRows = 2;

class AllocationTest : public zov::test::FakeSnmpTest {
 protected:
  // A vendor printer with kRows warnings of every column, times 501 and 502;
  // the field holds an earlier alert.
  void SetUp() override {
    FakeSnmpTest::SetUp();
    zov::test::Printer printer{{}, 100, ".1.3.6.1.4.1.808.8.62.1.1"};
    for (uint32_t i = 1; i <= kRows; ++i) printer.rows.push_back({i, kSeverityWarning, "Toner low", 8, 8, 8, 8, 500 + i});
    fake_snmp::SetAgent(kPrinter, zov::test::PrinterAgent(printer));
    fake_ovw::Reset();
    fake_ovw::AddField(kField);
    fake_ovw::AddObject(kPrinter);
    fake_ovw::SetValue(kPrinter, kField, 777);
  }
  void TearDown() override {
    failing_alloc::FailNth(kNew, 0);
    failing_alloc::FailNth(kCalloc, 0);
    FakeSnmpTest::TearDown();
  }
};

TEST_F(AllocationTest, ReaderAndProbeMakeTheAllocationsTheRowsAssume) {
  failing_alloc::FailNth(kNew, 0);
  failing_alloc::FailNth(kCalloc, 0);
  int32_t walk_result = -1;
  AlertRecord* list = ReadAlertTable(kPrinter, &walk_result);
  EXPECT_EQ(walk_result, kQueryOk);
  EXPECT_EQ(failing_alloc::Count(kNew), 7 + 1 + kRows);
  EXPECT_EQ(failing_alloc::Count(kCalloc), 2 * kRows);
  int records = 0;
  for (const AlertRecord* r = list; r != nullptr; r = r->next) ++records;
  EXPECT_EQ(records, kRows);
  FreeAlertList(list);

  uint32_t uptime = 0, count = 0;
  uint32_t* family = nullptr;
  failing_alloc::FailNth(kNew, 0);
  ProbeIdentity(kPrinter, &uptime, &family, &count);
  EXPECT_EQ(failing_alloc::Count(kNew), 4);
  FreeOid(family);
}

// Which stage runs short of which allocation, and whether that is before a
// session is opened ("Out of memory" alone) or during the walk.
struct Shortage {
  const char* stage;  // Probe, Reader or Poll
  failing_alloc::Kind kind;
  int n;
  bool before_session;
  int requests = -1;  // exchanges made first; -1: not counted
};
std::string Name(const Shortage& s) { return s.stage + std::string(s.kind == kNew ? "New" : "Calloc") + std::to_string(s.n); }
void PrintTo(const Shortage& s, std::ostream* os) { *os << Name(s); }

std::vector<Shortage> Shortages() {
  std::vector<Shortage> rows;
  // The probe's nothrow allocations: two variables, the session, the row.
  for (int n = 1; n <= 4; ++n) rows.push_back({"Probe", kNew, n, n <= 3});
  // The reader's: seven variables, the session, then one per row.
  for (int n = 1; n <= 10; ++n) rows.push_back({"Reader", kNew, n, n <= 8, n <= 8 ? -1 : n - 8});
  // The reader's callocs, each row's record then its description; the whole
  // poll ends not completed and the field keeps the alert it had.
  for (int n = 1; n <= 2 * kRows; ++n) rows.push_back({"Reader", kCalloc, n, false});
  for (int n = 1; n <= 2 * kRows; ++n) rows.push_back({"Poll", kCalloc, n, false});
  return rows;
}

class OutOfMemoryTest : public AllocationTest, public ::testing::WithParamInterface<Shortage> {};

TEST_P(OutOfMemoryTest, IsLoggedAndLeavesNoResult) {
  const Shortage& s = GetParam();
  failing_alloc::FailNth(s.kind, s.n);
  const std::string stage = s.stage;
  if (stage == "Probe") {
    uint32_t uptime = 9, count = 9;
    uint32_t* family = nullptr;
    ProbeIdentity(kPrinter, &uptime, &family, &count);
    EXPECT_EQ(uptime, 0u);
    EXPECT_EQ(family, nullptr);
    EXPECT_EQ(count, 0u);
  } else if (stage == "Reader") {
    int32_t walk_result = kQueryOk;
    AlertRecord* list = ReadAlertTable(kPrinter, &walk_result);
    EXPECT_EQ(list, nullptr);
    FreeAlertList(list);
    EXPECT_EQ(walk_result, s.before_session ? kQueryOutOfMemory : kWalkOutOfMemory);
  } else {
    EXPECT_EQ(NvServiceTest(kPrinter, "-l -c 11 -w 12 -o 13"), 0);
    EXPECT_EQ(fake_ovw::Value(kPrinter, kField), 777);
    EXPECT_TRUE(fake_snmp::Sent().empty());
  }
  const std::string subject = std::string(kPrinter) + ": ";
  if (s.before_session) {
    EXPECT_EQ(log_.Text(), subject + "Out of memory\n");
    EXPECT_TRUE(fake_snmp::Opens().empty());
  } else {
    EXPECT_EQ(log_.Text(), subject + "Error querying printer\n\t" + QueryErrorText(kWalkOutOfMemory) + "\n");
  }
  if (s.requests >= 0) {
    EXPECT_EQ(static_cast<int>(fake_snmp::Requests().size()), s.requests);
  }
}

INSTANTIATE_TEST_SUITE_P(NthAllocation, OutOfMemoryTest, ::testing::ValuesIn(Shortages()),
                         [](const auto& info) { return Name(info.param); });

}  // namespace
