// ZOV_UZAVEZIRU.dll loaded the way the platform loads it (LoadLibrary, then
// NvServiceTest by name) with the fake nvsnmp.dll and libovw.dll beside it:
// its imports, the data items OVsnmpDumpPacket and OVsnmpErrno across the DLL
// boundary, and whole poll cycles.
#include <winsock.h>
#include <windows.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "entry/nv_service_test.h"
#include "fakes/fake_nvsnmp.h"
#include "fakes/fake_ovw.h"
#include "unit_support.h"
#include "windows_test_support.h"

namespace {

using fake_snmp::O;
using fake_snmp::Value;

// The platform's function-pointer type, with the convention named in
// nv_service_test.h.
using ServiceTestFunction = int(NV_CALL*)(const char*, const char*);

constexpr char kPrinter[] = "lobby-laser";
constexpr char kField[] = "VlmLastAlert";

class PluginDll : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    const std::string path = wintest::ModuleDirectory() + "\\ZOV_UZAVEZIRU.dll";
    module_ = LoadLibraryA(path.c_str());
    if (module_ != nullptr) {
      service_test_ = reinterpret_cast<ServiceTestFunction>(
          reinterpret_cast<void*>(GetProcAddress(module_, "NvServiceTest")));
    }
  }
  static void TearDownTestSuite() {
    if (module_ != nullptr) FreeLibrary(module_);
    module_ = nullptr;
  }
  void SetUp() override {
    ASSERT_NE(module_, nullptr) << "LoadLibrary failed: " << GetLastError();
    ASSERT_NE(service_test_, nullptr);
    fake_snmp::Reset();
    fake_ovw::Reset();
    fake_ovw::AddField(kField);
    fake_ovw::AddObject(kPrinter);
  }

  // A printer of the vendor's family with one alert row.
  static fake_snmp::Agent Printer(int32_t severity, int32_t group, int32_t location,
                                  int32_t code, const char* text, uint32_t time) {
    return zov::test::PrinterAgent({{{7, severity, text, group, 1, location, code, time}}, 424242});
  }

  static HMODULE module_;
  static ServiceTestFunction service_test_;
};

HMODULE PluginDll::module_ = nullptr;
ServiceTestFunction PluginDll::service_test_ = nullptr;

TEST_F(PluginDll, ImportsTheFakeLibrariesByTheirPlatformNames) {
  // The plug-in and this test share one instance of each fake.
  EXPECT_NE(GetModuleHandleA("nvsnmp.dll"), nullptr);
  EXPECT_NE(GetModuleHandleA("libovw.dll"), nullptr);
  EXPECT_EQ(GetProcAddress(module_, "RunPollCycle"), nullptr);
  EXPECT_EQ(GetProcAddress(module_, "_NvServiceTest"), nullptr);
}

TEST_F(PluginDll, DumpFlagIsTheLibrarysDataItem) {
  EXPECT_EQ(service_test_(nullptr, "-d"), 0);
  EXPECT_EQ(OVsnmpDumpPacket, 1);
  EXPECT_EQ(service_test_(nullptr, nullptr), 0);
  EXPECT_EQ(OVsnmpDumpPacket, 0);
}

TEST_F(PluginDll, NewWarningIsStoredAndAnnouncedOnce) {
  fake_ovw::SetValue(kPrinter, kField, 17);
  fake_snmp::SetAgent(kPrinter, Printer(4, 8, 1, 13, "Paper low", 5000));

  EXPECT_EQ(service_test_(kPrinter, "-c 9 -w 7 -o 5"), 3);
  EXPECT_EQ(fake_ovw::Value(kPrinter, kField), 5000);
  const std::string host = wintest::WinsockHostName();
  if (host.empty() || host.size() >= 30) {
    GTEST_SKIP() << "local host name unusable for traps: '" << host << "'";
  }
  auto sent = fake_snmp::Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].peer, host);
  EXPECT_EQ(sent[0].generic_type, 6);
  EXPECT_EQ(sent[0].specific_type, 7);
  ASSERT_EQ(sent[0].bindings.size(), 5u);
  EXPECT_EQ(sent[0].bindings[1].AsString(), kPrinter);
  EXPECT_EQ(sent[0].bindings[2].AsString(), "Paper low");

  // Same alert again: the status stays, no second trap.
  EXPECT_EQ(service_test_(kPrinter, "-c 9 -w 7 -o 5"), 3);
  EXPECT_EQ(fake_snmp::Sent().size(), 1u);
  EXPECT_EQ(fake_snmp::GetCounts().live_pdus, 0);
  EXPECT_EQ(fake_snmp::GetCounts().live_sessions, 0);
}

TEST_F(PluginDll, StatusFollowsTheWorstAlert) {
  struct Case {
    int32_t severity, group, location, code;
    int expected;
  };
  const Case cases[] = {
      {3, 8, 1, 13, 4},  // critical
      {4, 8, 1, 13, 3},  // warning
      {4, 5, 3, 1, 2},   // a warning the vendor does not count
      {1, 8, 1, 13, 2},  // other
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.severity * 1000 + c.group * 100 + c.location * 10 + c.code);
    fake_snmp::Reset();
    fake_snmp::SetAgent(kPrinter, Printer(c.severity, c.group, c.location, c.code, "x", 99));
    EXPECT_EQ(service_test_(kPrinter, nullptr), c.expected);
  }
}

TEST_F(PluginDll, ForeignPrinterIsNotPolled) {
  fake_snmp::Agent agent = Printer(3, 8, 1, 13, "Jam", 10);
  agent.table[O(".1.3.6.1.2.1.1.2.0")] = Value::ObjectId(O(".1.3.6.1.4.1.9.1.1"));
  fake_snmp::SetAgent(kPrinter, agent);
  EXPECT_EQ(service_test_(kPrinter, "-c 9"), 0);
  EXPECT_EQ(fake_ovw::CallCount("OVwDbInit"), 0);
  EXPECT_TRUE(fake_snmp::Sent().empty());
}

TEST_F(PluginDll, ErrorNumberIsReadFromTheLibrarysDataItem) {
  // The probe's session fails with noSuchName (2); the record's second line
  // is the library's text for the number the plug-in read from OVsnmpErrno.
  zov::test::ScratchDir dir;
  const std::string log = dir.NvDriveLog();
  fake_snmp::SetAgent(kPrinter, Printer(3, 8, 1, 13, "Jam", 10));
  fake_snmp::Fail(fake_snmp::Call::kOpen, 1, 2);
  EXPECT_EQ(service_test_(kPrinter, "-l"), 0);
  const std::string text = zov::test::ReadFile(log).value_or("");
  EXPECT_NE(text.find(std::string(kPrinter) + ": "), std::string::npos) << text;
  EXPECT_NE(text.find("\r\n\tnoSuchName\r\n"), std::string::npos) << text;
}

}  // namespace
