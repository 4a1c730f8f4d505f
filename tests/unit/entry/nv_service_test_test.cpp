#include "entry/nv_service_test.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>

#include "log/shared_log.h"
#include "snmp/nvsnmp.h"
#include "unit_support.h"

namespace {

int DumpFlag() { return std::atomic_ref<int>(OVsnmpDumpPacket).load(); }

class NvServiceTestTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.ok()); }
  std::string Pslog() const { return dir_.Read("pslog.txt").value_or("<no file>"); }
  // After a balanced call the count is back at 0 and the file closed: a
  // call without l then writes nothing.
  void ExpectLogClosed() {
    LogOpen(0);
    LogText("after the call\n");
    LogClose();
    EXPECT_EQ(Pslog().find("after the call"), std::string::npos);
  }

  zov::test::ScratchDir dir_;
};

TEST_F(NvServiceTestTest, AbsentAddressWithLogFlagWritesItsLineAndReturnsZero) {
  EXPECT_EQ(NvServiceTest(nullptr, "-l"), 0);
  EXPECT_EQ(Pslog(), "Call with object address\n");
  ExpectLogClosed();
}

TEST_F(NvServiceTestTest, AbsentAddressWithoutLogFlagCreatesNoFile) {
  for (const char* options : {static_cast<const char*>(nullptr), "", "l", "  l", "-c 5"}) {
    SCOPED_TRACE(options != nullptr ? options : "(absent)");
    EXPECT_EQ(NvServiceTest(nullptr, options), 0);
    EXPECT_FALSE(std::filesystem::exists(dir_.File("pslog.txt")));
  }
}

TEST_F(NvServiceTestTest, DumpFlagIsSetByDAndClearedByTheNextCallWithoutIt) {
  std::atomic_ref<int>(OVsnmpDumpPacket).store(0);
  EXPECT_EQ(NvServiceTest(nullptr, "-d"), 0);
  EXPECT_EQ(DumpFlag(), 1);
  EXPECT_EQ(NvServiceTest(nullptr, "-l"), 0);
  EXPECT_EQ(DumpFlag(), 0);
  EXPECT_EQ(NvServiceTest(nullptr, "-ld"), 0);
  EXPECT_EQ(DumpFlag(), 1);
  EXPECT_EQ(NvServiceTest(nullptr, nullptr), 0);
  EXPECT_EQ(DumpFlag(), 0);
}

// A printer that never answers: the cycle ends early, and must still have
// counted the call out of the log.
TEST_F(NvServiceTestTest, CallWithAddressCountsItselfOutOfTheLog) {
  EXPECT_EQ(NvServiceTest("silent-printer", "-l -d"), 0);
  EXPECT_EQ(DumpFlag(), 1);
  EXPECT_NE(Pslog(), "<no file>");
  ExpectLogClosed();
  EXPECT_EQ(NvServiceTest("silent-printer", nullptr), 0);
  EXPECT_EQ(DumpFlag(), 0);
}

}  // namespace
