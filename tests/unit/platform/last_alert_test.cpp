// ReadLastAlert / WriteLastAlert against the in-memory object database.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fakes/fake_ovw.h"
#include "unit_support.h"
#include "platform/last_alert.h"

namespace {

using zov::test::LogCapture;

constexpr const char* kPrinter = "printer-07.lab";
constexpr int32_t kHighBitTime = static_cast<int32_t>(0x80000123u);

using Names = std::vector<std::string>;

class LastAlertTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_ovw::Reset();
    ASSERT_TRUE(log_.ok());
  }
  void TearDown() override { fake_ovw::Reset(); }

  // The usual database: the field and the printer's object exist.
  void DefineFieldAndPrinter() {
    fake_ovw::AddField("Other");
    fake_ovw::AddField("VlmLastAlert");
    fake_ovw::AddObject("someone-else");
    fake_ovw::AddObject(kPrinter);
  }

  LogCapture log_;
};

struct ReadCase {
  const char* name;
  bool define_field;
  bool define_object;
  bool store;            // a value is stored
  int32_t stored;
  bool fail_get;         // the library cannot read the value (-1)
  int32_t expected;
  const char* log;
  Names calls;
};

TEST_F(LastAlertTest, ReadGivesTheStoredIdentityOrZeroWithTheRightRecords) {
  const Names full = {"OVwDbFieldNameToFieldId", "OVwDbHostnameToObjectId",
                      "OVwDbGetFieldIntegerValue"};
  const ReadCase cases[] = {
      {"holds 0", true, true, true, 0, false, 0, "", full},
      {"holds 500", true, true, true, 500, false, 500, "", full},
      {"holds -1", true, true, true, -1, false, 0, "", full},
      {"high bit set", true, true, true, kHighBitTime, false, kHighBitTime, "", full},
      {"never set", true, true, false, 0, false, 0, "", full},
      {"unreadable", true, true, true, 500, true, 0, "", full},
      {"no field", false, true, false, 0, false, 0,
       "printer-07.lab: VlmLastAlert field not defined\n", {"OVwDbFieldNameToFieldId"}},
      {"no field nor object", false, false, false, 0, false, 0,
       "printer-07.lab: VlmLastAlert field not defined\n", {"OVwDbFieldNameToFieldId"}},
      {"no object", true, false, false, 0, false, 0, "printer-07.lab: Object not found\n",
       {"OVwDbFieldNameToFieldId", "OVwDbHostnameToObjectId"}},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.name);
    fake_ovw::Reset();
    const size_t logged = log_.Text().size();
    fake_ovw::AddObject("someone-else");
    if (c.define_field) fake_ovw::AddField("VlmLastAlert");
    if (c.define_object) fake_ovw::AddObject(kPrinter);
    if (c.store) fake_ovw::SetValue(kPrinter, "VlmLastAlert", c.stored);
    if (c.fail_get) fake_ovw::FailGet();

    EXPECT_EQ(ReadLastAlert(kPrinter), c.expected);
    EXPECT_EQ(log_.Text().substr(logged), c.log);
    EXPECT_EQ(fake_ovw::CallNames(), c.calls);
  }
}

TEST_F(LastAlertTest, ReadAsksForTheFieldByNameAndTheObjectByTheAddressUnchanged) {
  fake_ovw::AddField("Other");
  OVwFieldId field = fake_ovw::AddField("VlmLastAlert");
  fake_ovw::AddObject("printer-07.LAB");
  OVwObjectId object = fake_ovw::AddObject(kPrinter);
  fake_ovw::SetValue(kPrinter, "VlmLastAlert", 42);

  EXPECT_EQ(ReadLastAlert(kPrinter), 42);
  std::vector<fake_ovw::Call> calls = fake_ovw::Calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].args, Names{"VlmLastAlert"});
  EXPECT_EQ(calls[1].args, Names{kPrinter});
  EXPECT_EQ(calls[2].args, (Names{std::to_string(object), std::to_string(field)}));
}

TEST_F(LastAlertTest, WriteStoresTheValueUnchanged) {
  for (int32_t value : {0, 500, -1, kHighBitTime, INT32_MAX, INT32_MIN}) {
    SCOPED_TRACE(value);
    fake_ovw::Reset();
    DefineFieldAndPrinter();
    fake_ovw::SetValue(kPrinter, "VlmLastAlert", 777);

    WriteLastAlert(kPrinter, value);
    EXPECT_EQ(fake_ovw::Value(kPrinter, "VlmLastAlert"), value);
    EXPECT_EQ(fake_ovw::Value("someone-else", "VlmLastAlert"), std::nullopt);
    EXPECT_EQ(fake_ovw::CallNames(), (Names{"OVwDbFieldNameToFieldId", "OVwDbHostnameToObjectId",
                                            "OVwDbSetFieldIntegerValue"}));
    EXPECT_EQ(fake_ovw::Calls().back().args.back(), std::to_string(value));
  }
  EXPECT_EQ(log_.Text(), "");
}

TEST_F(LastAlertTest, WriteWithoutTheFieldLogsAndNeverLooksForTheObject) {
  fake_ovw::AddObject(kPrinter);
  WriteLastAlert(kPrinter, 500);
  EXPECT_EQ(log_.Text(), "printer-07.lab: VlmLastAlert field not defined\n");
  EXPECT_EQ(fake_ovw::CallNames(), Names{"OVwDbFieldNameToFieldId"});
}

TEST_F(LastAlertTest, WriteWithoutTheObjectLogsAndStoresNothing) {
  fake_ovw::AddField("VlmLastAlert");
  fake_ovw::AddObject("someone-else");
  WriteLastAlert(kPrinter, 500);
  EXPECT_EQ(log_.Text(), "printer-07.lab: Object not found\n");
  EXPECT_EQ(fake_ovw::CallNames(), (Names{"OVwDbFieldNameToFieldId", "OVwDbHostnameToObjectId"}));
  EXPECT_EQ(fake_ovw::Value("someone-else", "VlmLastAlert"), std::nullopt);
}

TEST_F(LastAlertTest, RefusedWriteLogsOneLineEndingInThePlatformsErrorText) {
  struct Case {
    int result;
    int error;
    const char* text;
  };
  for (const Case& c : {Case{-1, kOVwErrReadOnly, "database is read-only"},
                        Case{1, kOVwErrBusy, "database is locked"},
                        Case{kOVwErrFieldType, kOVwErrFieldType, "not an integer field"}}) {
    SCOPED_TRACE(c.text);
    fake_ovw::Reset();
    const size_t logged = log_.Text().size();
    DefineFieldAndPrinter();
    fake_ovw::SetValue(kPrinter, "VlmLastAlert", 777);
    fake_ovw::FailSet(c.result, c.error);
    fake_ovw::SetErrorText(c.error, c.text);

    WriteLastAlert(kPrinter, 500);
    EXPECT_EQ(log_.Text().substr(logged), std::string("printer-07.lab: Unable to set printer status - ") + c.text +
                              ": \n");
    EXPECT_EQ(fake_ovw::Value(kPrinter, "VlmLastAlert"), 777);
    std::vector<fake_ovw::Call> calls = fake_ovw::Calls();
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_EQ(calls[3].name, "OVwError");
    EXPECT_EQ(calls[4].name, "OVwErrorMsg");
    EXPECT_EQ(calls[4].args, Names{std::to_string(c.error)});
  }
}

TEST_F(LastAlertTest, FieldAndObjectAreLookedUpAfreshOnEveryOperation) {
  DefineFieldAndPrinter();
  fake_ovw::SetValue(kPrinter, "VlmLastAlert", 9);
  EXPECT_EQ(ReadLastAlert(kPrinter), 9);
  WriteLastAlert(kPrinter, 10);
  EXPECT_EQ(ReadLastAlert(kPrinter), 10);
  EXPECT_EQ(fake_ovw::CallCount("OVwDbFieldNameToFieldId"), 3);
  EXPECT_EQ(fake_ovw::CallCount("OVwDbHostnameToObjectId"), 3);

  // Once the object can no longer be found, nothing remembered hides that.
  fake_ovw::FailObjectLookup();
  EXPECT_EQ(ReadLastAlert(kPrinter), 0);
  WriteLastAlert(kPrinter, 11);
  EXPECT_EQ(fake_ovw::Value(kPrinter, "VlmLastAlert"), 10);
  EXPECT_EQ(log_.Text(), "printer-07.lab: Object not found\nprinter-07.lab: Object not found\n");
}

TEST_F(LastAlertTest, NeitherOperationStartsTheDatabase) {
  DefineFieldAndPrinter();
  ReadLastAlert(kPrinter);
  WriteLastAlert(kPrinter, 1);
  EXPECT_EQ(fake_ovw::CallCount("OVwDbInit"), 0);
}

}  // namespace
