// What every unit suite shares (library zov_unit_support):
//   ReadFile, TempDir    support/files.h
//   ScratchDir           a TempDir as the private working folder for the test's life: current directory,
//                        home of the lock file, NV_DRIVE unset (or naming it); all restored and removed afterwards
//   LogCapture           a ScratchDir with the shared log open on pslog.txt, read back with Text()
//   ExpectNothingLeaked  every session, PDU and block of the fake SNMP library released, none twice
//   FakeSnmpTest         a fixture: the fake SNMP library reset, the log captured in log_, nothing leaked
//   PrinterAgent         a fake agent serving a Printer (support/printer_table.h)
//   WaitLimit            a deadline for a lock nobody else should hold for long
#ifndef ZOV_TESTS_UNIT_SUPPORT_UNIT_SUPPORT_H_
#define ZOV_TESTS_UNIT_SUPPORT_UNIT_SUPPORT_H_

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

#include "fakes/fake_nvsnmp.h"
#include "support/files.h"
#include "support/printer_table.h"

namespace zov::test {

class ScratchDir : public TempDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  bool ok() const { return ok_; }
  // Points NV_DRIVE at this folder, with (or without) the log's folder under
  // it; gives the log file's path.
  std::string NvDriveLog(bool make_folder = true);

 private:
  bool ok_ = false;
  std::optional<std::string> old_drive_;
  std::string old_cwd_;
};

class LogCapture : public ScratchDir {
 public:
  LogCapture();
  ~LogCapture();
  bool ok() const { return open_ && Read("pslog.txt").has_value(); }
  std::string Text() const { return Read("pslog.txt").value_or(""); }

 private:
  bool open_ = false;
};

// Inline, so that a suite on the real SNMP library can use the rest without the fakes.
inline void ExpectNothingLeaked() {
  const fake_snmp::Counts c = fake_snmp::GetCounts();
  EXPECT_EQ(c.live_sessions, 0) << "library session left open";
  EXPECT_EQ(c.live_pdus, 0) << "PDUs leaked";
  EXPECT_EQ(c.live_blocks, 0) << "OID or value blocks leaked";
  EXPECT_EQ(c.bad_frees, 0) << "PDU freed twice";
  EXPECT_EQ(c.bad_closes, 0) << "session closed twice";
  EXPECT_EQ(c.bad_sends, 0) << "send of a PDU or session not live";
}

class FakeSnmpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_snmp::Reset();
    ASSERT_TRUE(log_.ok());
  }
  void TearDown() override { ExpectNothingLeaked(); }

  LogCapture log_;
};

inline fake_snmp::Agent PrinterAgent(const Printer& printer) {
  using fake_snmp::Value;
  fake_snmp::Agent agent;
  for (const Cell& c : PrinterCells(printer)) {
    Value& v = agent.table[OidOf(c.oid)];
    if (c.tag == 2) v = Value::Integer(std::stoi(c.value));
    if (c.tag == 4) v = Value::String(c.value);
    if (c.tag == 6) v = Value::ObjectId(OidOf(c.value));
    if (c.tag == 67) v = Value::TimeTicks(static_cast<uint32_t>(std::stoul(c.value)));
  }
  return agent;
}

inline std::chrono::steady_clock::time_point WaitLimit() {
  return std::chrono::steady_clock::now() + std::chrono::seconds(10);
}

}  // namespace zov::test

#endif  // ZOV_TESTS_UNIT_SUPPORT_UNIT_SUPPORT_H_
