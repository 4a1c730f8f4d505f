// The ovwdb admin tool: each command, its output and its exit code.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/agents.h"

namespace {

using zov::test::ProgramResult;
using zov::test::RunOvwdb;
using zov::test::TempDir;

class OvwdbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    db_ = dir_.File("admin.db");
  }
  ProgramResult Run(std::vector<std::string> args) {
    args.insert(args.begin(), {"--db", db_});
    return RunOvwdb(args);
  }

  TempDir dir_;
  std::string db_;
};

TEST_F(OvwdbTest, DefinesFieldsAddsObjectsSetsGetsAndDumps) {
  EXPECT_EQ(Run({"create-field", "VlmLastAlert"}).exit_code, 0);
  EXPECT_EQ(Run({"create-field", "VlmLastAlert", "integer"}).exit_code, 0);  // again: fine
  EXPECT_EQ(Run({"create-field", "Location", "string"}).exit_code, 0);
  EXPECT_EQ(Run({"add-object", "lobby-laser"}).exit_code, 0);
  EXPECT_EQ(Run({"add-object", "lobby-laser"}).exit_code, 0);  // again: fine
  EXPECT_EQ(Run({"add-object", "10.1.2.3"}).exit_code, 0);
  EXPECT_EQ(Run({"add-object", "idle"}).exit_code, 0);

  struct Set {
    const char* host;
    const char* field;
    const char* value;
    const char* read_back;
  };
  for (const Set& s : {Set{"lobby-laser", "VlmLastAlert", "500", "500\n"},
                       Set{"lobby-laser", "VlmLastAlert", "-1", "-1\n"},
                       Set{"10.1.2.3", "VlmLastAlert", "4294967295", "-1\n"},
                       Set{"10.1.2.3", "VlmLastAlert", "-2147483648", "-2147483648\n"},
                       Set{"10.1.2.3", "VlmLastAlert", "2147483648", "-2147483648\n"},
                       Set{"lobby-laser", "Location", "Main hall, 2nd floor", "Main hall, 2nd floor\n"}}) {
    SCOPED_TRACE(std::string(s.host) + " " + s.value);
    ProgramResult set = Run({"set", s.host, s.field, s.value});
    EXPECT_EQ(set.exit_code, 0) << set.err;
    ProgramResult get = Run({"get", s.host, s.field});
    EXPECT_EQ(get.exit_code, 0) << get.err;
    EXPECT_EQ(get.out, s.read_back);
  }
  ProgramResult dump = Run({"dump"});
  EXPECT_EQ(dump.exit_code, 0);
  EXPECT_EQ(dump.out,
            "lobby-laser Location=Main hall, 2nd floor VlmLastAlert=-1\n"
            "10.1.2.3 VlmLastAlert=-2147483648\n"
            "idle\n");
}

TEST_F(OvwdbTest, MissingFieldObjectOrValueExitsOneWithAMessage) {
  ASSERT_EQ(Run({"create-field", "VlmLastAlert"}).exit_code, 0);
  ASSERT_EQ(Run({"add-object", "lobby-laser"}).exit_code, 0);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"get", "lobby-laser", "NoSuchField"},
        std::vector<std::string>{"get", "nobody", "VlmLastAlert"},
        std::vector<std::string>{"get", "lobby-laser", "VlmLastAlert"},  // never set
        std::vector<std::string>{"set", "nobody", "VlmLastAlert", "1"},
        std::vector<std::string>{"set", "lobby-laser", "NoSuchField", "1"}}) {
    SCOPED_TRACE(args[0] + " " + args[1] + " " + args[2]);
    ProgramResult r = Run(args);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err, "");
  }
  // A field redefined with another type is not silently changed.
  ProgramResult retyped = Run({"create-field", "VlmLastAlert", "string"});
  EXPECT_EQ(retyped.exit_code, 1);
  EXPECT_NE(retyped.err, "");
}

TEST_F(OvwdbTest, BadArgumentsExitTwoWithTheUsage) {
  ASSERT_EQ(Run({"create-field", "VlmLastAlert"}).exit_code, 0);
  ASSERT_EQ(Run({"add-object", "lobby-laser"}).exit_code, 0);
  for (const std::vector<std::string>& args : {
           std::vector<std::string>{},
           std::vector<std::string>{"frobnicate"},
           std::vector<std::string>{"create-field"},
           std::vector<std::string>{"create-field", "X", "float"},
           std::vector<std::string>{"create-field", "X", "integer", "extra"},
           std::vector<std::string>{"add-object"},
           std::vector<std::string>{"add-object", ""},
           std::vector<std::string>{"get", "lobby-laser"},
           std::vector<std::string>{"set", "lobby-laser", "VlmLastAlert"},
           std::vector<std::string>{"set", "lobby-laser", "VlmLastAlert", "12abc"},
           std::vector<std::string>{"set", "lobby-laser", "VlmLastAlert", " 12"},
           std::vector<std::string>{"set", "lobby-laser", "VlmLastAlert", "+12"},
           std::vector<std::string>{"set", "lobby-laser", "VlmLastAlert", "4294967296"},
           std::vector<std::string>{"set", "lobby-laser", "VlmLastAlert", "-2147483649"},
           std::vector<std::string>{"dump", "extra"},
       }) {
    std::string shown;
    for (const std::string& a : args) shown += a + " ";
    SCOPED_TRACE(shown);
    ProgramResult r = Run(args);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("usage: ovwdb"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(RunOvwdb({"--db"}).exit_code, 2);
  // Nothing was stored by the refused set.
  EXPECT_EQ(Run({"get", "lobby-laser", "VlmLastAlert"}).exit_code, 1);
}

TEST_F(OvwdbTest, VersionIsTheProjectsAndOpensNoDatabase) {
  ProgramResult version = RunOvwdb({"--version"}, dir_.path(), {"OVW_DB"});
  EXPECT_EQ(version.exit_code, 0) << version.err;
  EXPECT_EQ(version.out, "ovwdb (ZOV_UZAVEZIRU) " ZOV_VERSION "\n");
  EXPECT_FALSE(std::filesystem::exists(dir_.File("ovw.db")));
}

TEST_F(OvwdbTest, DatabaseIsOvwDbOrOvwDbInTheCurrentDirectory) {
  ProgramResult here = RunOvwdb({"add-object", "in-cwd"}, dir_.path(), {"OVW_DB"});
  EXPECT_EQ(here.exit_code, 0) << here.err;
  EXPECT_TRUE(std::filesystem::exists(dir_.File("ovw.db")));

  zov::test::ScopedEnv env("OVW_DB", dir_.File("from-env.db").c_str());
  ProgramResult from_env = RunOvwdb({"add-object", "in-env"});
  EXPECT_EQ(from_env.exit_code, 0) << from_env.err;
  EXPECT_EQ(RunOvwdb({"dump"}).out, "in-env\n");
  EXPECT_EQ(RunOvwdb({"--db", dir_.File("ovw.db"), "dump"}).out, "in-cwd\n");
}

TEST_F(OvwdbTest, UnopenableDatabaseExitsOne) {
  ProgramResult r = RunOvwdb({"--db", dir_.File("missing/dir/x.db"), "dump"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err, "");
  ASSERT_TRUE(zov::test::WriteFile(dir_.File("garbage.db"), std::string(4096, 'x')));
  ProgramResult garbage = RunOvwdb({"--db", dir_.File("garbage.db"), "dump"});
  EXPECT_EQ(garbage.exit_code, 1);
  EXPECT_NE(garbage.err, "");
}

}  // namespace
