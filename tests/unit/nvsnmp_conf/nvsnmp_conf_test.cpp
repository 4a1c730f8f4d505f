// NVSNMP_CONF as libnvsnmp reads it when a session is opened: a parsed file
// is reused while it stays the same, and any change to it is followed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <cstdlib>
#include <string>

#include "config.h"
#include "snmp/nvsnmp.h"
#include "unit_support.h"

namespace {

// Every variable a test sets, unset before and after it.
constexpr const char* kVariables[] = {"NVSNMP_COMMUNITY", "NVSNMP_PORT",    "NVSNMP_TRAP_PORT", "NVSNMP_TIMEOUT_MS",
                                      "NVSNMP_RETRIES",   "NVSNMP_VERSION", "NVSNMP_PORTX",     "NVSNMP_CONF"};

class ConfFile : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    path_ = dir_.File("nvsnmp.conf");
    for (const char* name : kVariables) unsetenv(name);
    setenv("NVSNMP_CONF", path_.c_str(), 1);
  }
  void TearDown() override {
    for (const char* name : kVariables) unsetenv(name);
  }
  void Write(const std::string& text) {
    // Replaced as an editor replaces it: a new file under the same name.
    const std::string temp = path_ + ".new";
    ASSERT_TRUE(std::ofstream(temp) << text);
    ASSERT_EQ(std::rename(temp.c_str(), path_.c_str()), 0);
  }

  zov::test::ScratchDir dir_;
  std::string path_;
};

TEST_F(ConfFile, ARewrittenFileIsFollowedAtTheNextOpen) {
  Write("lobby-laser peer=127.0.0.1:16101 community=lobby\n");
  nvsnmp::SessionSettings s;
  ASSERT_EQ(nvsnmp::LoadSettings("lobby-laser", &s), 0);
  EXPECT_EQ(s.peer.host, "127.0.0.1");
  EXPECT_EQ(s.peer.port, 16101);
  EXPECT_EQ(s.community, "lobby");
  // Read again with nothing changed: the same answer.
  ASSERT_EQ(nvsnmp::LoadSettings("lobby-laser", &s), 0);
  EXPECT_EQ(s.peer.port, 16101);

  Write("lobby-laser peer=127.0.0.2:16102 community=hall\n");
  ASSERT_EQ(nvsnmp::LoadSettings("lobby-laser", &s), 0);
  EXPECT_EQ(s.peer.host, "127.0.0.2");
  EXPECT_EQ(s.peer.port, 16102);
  EXPECT_EQ(s.community, "hall");
}

TEST_F(ConfFile, AMalformedLineRefusesEveryPrinterUntilMended) {
  Write("good peer=127.0.0.1:16101\nbad port=70000\n");
  nvsnmp::SessionSettings s;
  EXPECT_EQ(nvsnmp::LoadSettings("good", &s), kOVsnmpErrConfig);
  EXPECT_EQ(nvsnmp::LoadSettings("good", &s), kOVsnmpErrConfig);  // also from the cache
  EXPECT_EQ(nvsnmp::LoadSettings("bad", &s), kOVsnmpErrConfig);
  Write("good peer=127.0.0.1:16101\nbad port=7000\n");
  ASSERT_EQ(nvsnmp::LoadSettings("good", &s), 0);
  EXPECT_EQ(s.peer.port, 16101);
}

TEST_F(ConfFile, LinesCombineDefaultUnderNamedFirstLineCounts) {
  Write("# printers\n"
        "default community=site timeout=250 retries=0 version=2c\n"
        "default community=ignored\n"
        "front peer=10.0.0.1 port=1161 community=front\n"
        "front peer=10.0.0.9 community=second-line\n"
        "back peer=[::1]:1162 retries=3 version=1\n");
  struct Case {
    const char* name;
    const char* host;
    int peer_port;
    int agent_port;
    const char* community;
    int timeout_ms;
    int retries;
    bool v2c;
  };
  const Case cases[] = {
      {"front", "10.0.0.1", 0, 1161, "front", 250, 0, true},
      {"back", "::1", 1162, 161, "site", 250, 3, false},
      // A name without a line of its own is its own peer, with the defaults.
      {"127.0.0.5", "127.0.0.5", 0, 161, "site", 250, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    nvsnmp::SessionSettings s;
    ASSERT_EQ(nvsnmp::LoadSettings(c.name, &s), 0);
    EXPECT_EQ(s.peer.host, c.host);
    EXPECT_EQ(s.peer.port, c.peer_port);
    EXPECT_EQ(s.agent_port, c.agent_port);
    EXPECT_EQ(s.community, c.community);
    EXPECT_EQ(s.timeout_ms, c.timeout_ms);
    EXPECT_EQ(s.retries, c.retries);
    EXPECT_EQ(s.v2c, c.v2c);
  }
}

TEST_F(ConfFile, EnvironmentGivesTheDefaultsAndTheFileWinsOverIt) {
  Write("front port=1161\n");
  setenv("NVSNMP_COMMUNITY", "env-community", 1);
  setenv("NVSNMP_PORT", "2161", 1);
  setenv("NVSNMP_TRAP_PORT", "2162", 1);
  setenv("NVSNMP_TIMEOUT_MS", "300", 1);
  setenv("NVSNMP_RETRIES", "4", 1);
  setenv("NVSNMP_VERSION", "2c", 1);
  setenv("NVSNMP_PORTX", "9", 1);  // not a setting, however close
  nvsnmp::SessionSettings s;
  ASSERT_EQ(nvsnmp::LoadSettings("127.0.0.9", &s), 0);
  EXPECT_EQ(s.community, "env-community");
  EXPECT_EQ(s.agent_port, 2161);
  EXPECT_EQ(s.trap_port, 2162);
  EXPECT_EQ(s.timeout_ms, 300);
  EXPECT_EQ(s.retries, 4);
  EXPECT_TRUE(s.v2c);
  ASSERT_EQ(nvsnmp::LoadSettings("front", &s), 0);
  EXPECT_EQ(s.agent_port, 1161);
  EXPECT_EQ(s.trap_port, 2162);

  setenv("NVSNMP_TRAP_PORT", "0", 1);
  EXPECT_EQ(nvsnmp::LoadSettings("front", &s), kOVsnmpErrConfig);
}

TEST_F(ConfFile, ParsedTextAppliesOverWhatTheCallerHeld) {
  nvsnmp::SessionSettings s;
  s.community = "from-environment";
  s.agent_port = 2161;
  ASSERT_EQ(nvsnmp::ApplyConfText("x timeout=5\n", "x", &s), 0);
  EXPECT_EQ(s.community, "from-environment");
  EXPECT_EQ(s.agent_port, 2161);
  EXPECT_EQ(s.timeout_ms, 5);
  EXPECT_EQ(nvsnmp::ApplyConfText("x colour=blue\n", "x", &s), kOVsnmpErrConfig);
  EXPECT_EQ(s.timeout_ms, 5);  // untouched by a refused text
}

}  // namespace
