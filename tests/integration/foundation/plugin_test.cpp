// The built plug-in and the runner: what the platform and a user meet.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "entry/nv_service_test.h"
#include "support/agents.h"
#include "support/poll_rig.h"

namespace {

using zov::test::Lines;
using zov::test::ProgramResult;
using zov::test::ReadFile;
using zov::test::RunProgram;
using zov::test::TempDir;
using zov::test::WriteFile;

using ServiceTestFunction = int (*)(const char*, const char*);

class PluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    unsetenv("NV_DRIVE");
  }
  std::string Pslog() { return dir_.Read("pslog.txt").value_or("<no file>"); }
  ProgramResult Runner(std::vector<std::string> args, const std::vector<std::string>& env = {}) {
    args.insert(args.begin(), ZOV_RUNNER_FILE);
    return RunProgram(args, dir_.path(), env);
  }

  TempDir dir_;
};

TEST_F(PluginTest, ExportsExactlyNvServiceTest) {
  const ProgramResult nm = RunProgram({"nm", "-D", "--defined-only", ZOV_PLUGIN_FILE});
  ASSERT_EQ(nm.exit_code, 0) << nm.err;
  std::set<std::string> names;
  for (const std::string& line : Lines(nm.out)) {
    std::istringstream fields(line);
    std::string address, type, name;
    if (fields >> address >> type >> name) names.insert(name);
  }
  EXPECT_EQ(names, std::set<std::string>{"NvServiceTest"});
}

TEST_F(PluginTest, RunnerWithoutAddressAppendsItsLineAndReportsStatusZero) {
  ASSERT_TRUE(WriteFile(dir_.File("pslog.txt"), "earlier record\n"));
  ProgramResult run = Runner({"--no-address", "--options", "-l"});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_TRUE(std::regex_match(run.out, std::regex("- 0 not-completed [0-9]+\\.[0-9]\n"))) << run.out;
  EXPECT_EQ(Pslog(), "earlier record\nCall with object address\n");
  EXPECT_NE(run.err.find("calls: 1"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("not-completed: 1"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("p99 ms:"), std::string::npos) << run.err;
}

TEST_F(PluginTest, RunnerWithoutOptionsPassesNoneAndOpensNoLog) {
  ProgramResult run = Runner({"--no-address"});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(Pslog(), "<no file>");
}

TEST_F(PluginTest, RunnerRepeatsOnThreadsAndPrintsJson) {
  ProgramResult run =
      Runner({"--no-address", "--json", "--threads", "4", "--repeat", "3", "--options=-l"});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  const std::regex object(
      "\\{\"address\":null,\"status\":0,\"meaning\":\"not-completed\",\"ms\":[0-9.]+,\"round\":([0-9]+)\\}");
  std::set<std::string> rounds;
  for (const std::string& line : Lines(run.out)) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, object)) << line;
    rounds.insert(match[1]);
  }
  EXPECT_EQ(rounds, (std::set<std::string>{"1", "2", "3"}));
  EXPECT_EQ(Pslog(), "Call with object address\nCall with object address\nCall with object address\n");
  EXPECT_NE(run.err.find("calls: 3"), std::string::npos) << run.err;
}

// Printers that never answer (a closed loopback port): every call is made,
// in file order, and reports not-completed.
TEST_F(PluginTest, RunnerReadsPrintersFileAndPollsEachInOrder) {
  ASSERT_TRUE(WriteFile(dir_.File("printers"),
                        "# lab printers\n127.0.0.1\n\n  localhost   # the same one\n::1\n"));
  const int port = zov::test::FreeUdpPort();
  ASSERT_NE(port, 0);
  const std::vector<std::string> env = {"NVSNMP_PORT=" + std::to_string(port),
                                        "NVSNMP_TIMEOUT_MS=100", "NVSNMP_RETRIES=0",
                                        "OVW_DB=" + dir_.File("ovw.db")};
  ProgramResult run = Runner({"--printers", "printers", "extra-printer.invalid"}, env);
  EXPECT_EQ(run.exit_code, 0) << run.err;
  std::vector<std::string> addresses;
  for (const std::string& line : Lines(run.out)) {
    std::istringstream fields(line);
    std::string address, status, meaning;
    fields >> address >> status >> meaning;
    EXPECT_EQ(status + " " + meaning, "0 not-completed") << line;
    addresses.push_back(address);
  }
  EXPECT_EQ(addresses, (std::vector<std::string>{"127.0.0.1", "localhost", "::1",
                                                 "extra-printer.invalid"}));
}

TEST_F(PluginTest, RunnerExitCodes) {
  struct Case {
    std::vector<std::string> args;
    int exit_code;
  };
  const Case cases[] = {
      {{"--help"}, 0},
      {{}, 2},
      {{"--bogus", "x"}, 2},
      {{"--repeat", "0", "x"}, 2},
      {{"--repeat", "many", "x"}, 2},
      {{"--threads", "-1", "x"}, 2},
      {{"--interval", "-1", "x"}, 2},
      {{"--interval", "nan", "x"}, 2},
      {{"--json=yes", "x"}, 2},
      {{"--printers", "/nonexistent/printers"}, 2},
      {{"--options"}, 2},
      {{"--plugin", "/nonexistent/ZOV_UZAVEZIRU.so", "--no-address"}, 1},
      {{"--plugin", "/bin/sh", "--no-address"}, 1},
  };
  for (const Case& c : cases) {
    std::string shown;
    for (const std::string& arg : c.args) shown += arg + " ";
    SCOPED_TRACE(shown);
    ProgramResult run = Runner(c.args);
    EXPECT_EQ(run.exit_code, c.exit_code) << run.err;
    if (c.exit_code != 0) {
      EXPECT_EQ(run.out, "");
      EXPECT_NE(run.err, "");
    }
  }
  ProgramResult help = Runner({"--help"});
  EXPECT_NE(help.out.find("Usage: nvservicetest"), std::string::npos);
  EXPECT_NE(help.out.find("--threads N"), std::string::npos);
  ProgramResult version = Runner({"--version"});
  EXPECT_EQ(version.exit_code, 0) << version.err;
  EXPECT_EQ(version.out, "nvservicetest (ZOV_UZAVEZIRU) " ZOV_VERSION "\n");
}

class LoadedPluginTest : public PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    old_cwd_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
    handle_ = dlopen(ZOV_PLUGIN_FILE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
    call_ = reinterpret_cast<ServiceTestFunction>(dlsym(handle_, "NvServiceTest"));
    ASSERT_NE(call_, nullptr);
  }
  void TearDown() override { std::filesystem::current_path(old_cwd_); }

  void* handle_ = nullptr;
  ServiceTestFunction call_ = nullptr;
  std::filesystem::path old_cwd_;
};

TEST_F(LoadedPluginTest, DumpFlagOfTheSnmpLibraryIsSetByDAndResetByTheNextCall) {
  // Not the plug-in's symbol: found in the SNMP library it depends on.
  auto* dump = static_cast<int*>(dlsym(handle_, "OVsnmpDumpPacket"));
  ASSERT_NE(dump, nullptr);
  EXPECT_EQ(call_(nullptr, "-d"), 0);
  EXPECT_EQ(std::atomic_ref<int>(*dump).load(), 1);
  EXPECT_EQ(call_(nullptr, "-c 3"), 0);
  EXPECT_EQ(std::atomic_ref<int>(*dump).load(), 0);
}

// Several processes, each with a thread that asks for the log and one that
// does not, all through the plug-in into one file.
TEST_F(LoadedPluginTest, ProcessesAndThreadsShareTheLogWithoutLosingOrTearing) {
  constexpr int kProcesses = 4;
  constexpr int kCalls = 150;
  call_(nullptr, nullptr);  // the parent has its lock before forking
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      std::atomic<int> failures{0};
      std::thread quiet([&] {
        for (int i = 0; i < kCalls; ++i) failures += call_(nullptr, nullptr) != 0;
      });
      for (int i = 0; i < kCalls; ++i) failures += call_(nullptr, "-l") != 0;
      quiet.join();
      _exit(failures == 0 ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const std::vector<std::string> lines = Lines(Pslog());
  // Every call with l is there; calls without it only while a file was open.
  EXPECT_GE(lines.size(), static_cast<size_t>(kProcesses * kCalls));
  EXPECT_LE(lines.size(), static_cast<size_t>(2 * kProcesses * kCalls));
  for (const std::string& line : lines) ASSERT_EQ(line, "Call with object address");
}

}  // namespace
