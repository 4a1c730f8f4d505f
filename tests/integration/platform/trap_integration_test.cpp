// The alert trap through the real SNMP library, received by snmptrapd on the
// address the local host name resolves to.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "log/shared_log.h"
#include "unit_support.h"
#include "platform/alert_trap.h"
#include "platform/local_host.h"
#include "snmp/nvsnmp.h"
#include "support/agents.h"
#include "support/poll_rig.h"

namespace {

using zov::test::LogCapture;

using zov::test::TrapValueBytes;
using zov::test::TrapReceiver;
using zov::test::TrapRecord;

constexpr const char* kEnterprise = ".1.3.6.1.4.1.2.6.3";

// snmptrapd on the address the local host name resolves to, and the SNMP
// library's trap port set to it.
struct Receiver : zov::test::SuiteReadiness {
  TrapReceiver receiver;
  std::unique_ptr<zov::test::ScopedEnv> port;
  static void Prepare(Receiver* s) {
    s->skip = !s->receiver.Start(&s->why);
    if (!s->skip) {
      s->port = std::make_unique<zov::test::ScopedEnv>("NVSNMP_TRAP_PORT", std::to_string(s->receiver.port()).c_str());
    }
  }
};

class TrapIntegrationTest : public zov::test::AgentSuite<Receiver> {
 protected:
  void SetUp() override {
    AgentSuite::SetUp();
    if (IsSkipped()) return;
    receiver_ = &state_->receiver;
    host_ = LocalHostName();
    ASSERT_NE(host_, nullptr);
    ASSERT_EQ(std::string(host_), receiver_->host_name());
  }
  void TearDown() override { std::free(host_); }

  TrapReceiver* receiver_ = nullptr;
  char* host_ = nullptr;
};

struct TrapCase {
  const char* name;
  const char* address;
  int32_t trap;
  std::string description;
};

class TrapContentTest : public TrapIntegrationTest, public ::testing::WithParamInterface<TrapCase> {};

// Sent as given, with no record logged: zero and high bytes and a negative
// trap number unchanged.
TEST_P(TrapContentTest, TrapCarriesTheEnterpriseFieldsAndFiveBindings) {
  const TrapCase& c = GetParam();
  LogCapture log;
  ASSERT_TRUE(log.ok());
  const size_t before = receiver_->WaitForTraps(0, 0).size();
  EXPECT_EQ(SendAlertTrap(c.address, host_, c.trap, reinterpret_cast<const uint8_t*>(c.description.data()),
                          static_cast<uint32_t>(c.description.size())),
            0);
  const std::vector<TrapRecord> traps = receiver_->WaitForTraps(before + 1, 10000);
  ASSERT_EQ(traps.size(), before + 1) << "no trap arrived";
  const TrapRecord& r = traps[before];
  SCOPED_TRACE(r.raw);
  EXPECT_EQ(r.enterprise, kEnterprise);
  EXPECT_EQ(r.agent, "0.0.0.0");
  EXPECT_EQ(r.generic, 6);
  EXPECT_EQ(r.specific, c.trap);
  ASSERT_EQ(r.bindings.size(), 5u);
  for (int n = 2; n <= 6; ++n) {
    EXPECT_EQ(r.bindings[n - 2].oid, std::string(kEnterprise) + ".1.1." + std::to_string(n) + ".0");
  }
  EXPECT_EQ(r.bindings[0].type, "INTEGER");
  EXPECT_EQ(r.bindings[0].value, "6");
  EXPECT_EQ(TrapValueBytes(r.bindings[1]), c.address);
  EXPECT_EQ(TrapValueBytes(r.bindings[2]), c.description);
  EXPECT_EQ(TrapValueBytes(r.bindings[3]), "Velam");
  EXPECT_EQ(TrapValueBytes(r.bindings[4]), "openview");
  EXPECT_EQ(log.Text(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Traps, TrapContentTest,
    ::testing::Values(TrapCase{"Plain", "10.20.30.40", 17, "Paper jam in tray 2"},
                      TrapCase{"EmptyDescription", "lobby-laser", 3, ""},
                      TrapCase{"ZeroAndHighBytes", "lobby-laser", 4, std::string("\0Jam\0\x80\xC3\xA9\xFF\x7F", 10)},
                      TrapCase{"NegativeTrapNumber", "lobby-laser", -5, "Cover open"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TrapIntegrationTest, UnknownPeerIsLoggedWithTheHostAsSubject) {
  LogCapture log;
  ASSERT_TRUE(log.ok());
  const char* nowhere = "no-such-host.invalid";
  const uint8_t description[] = {'x'};
  int32_t result = SendAlertTrap("lobby-laser", nowhere, 17, description, 1);
  EXPECT_NE(result, 0);
  std::string text = log.Text();
  // The library may refuse the name when the session opens or when it sends.
  bool at_open = text.rfind(std::string(nowhere) + ": Error creating trap session\n\t", 0) == 0;
  bool at_send = text.rfind(std::string(nowhere) + ": Error sending trap\n\t", 0) == 0;
  EXPECT_TRUE(at_open || at_send) << text;
}

// The highest descriptor open in this process.
int HighestDescriptor() {
  int highest = 2;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    highest = std::max(highest, std::atoi(entry.path().filename().c_str()));
  }
  return highest;
}

// With no descriptor left, the trap session cannot have its socket: that
// fails at the session's open, as with the platform's library, and the log
// says so, not that sending failed.
TEST_F(TrapIntegrationTest, SessionWithoutADescriptorLeftFailsAtItsOpen) {
  LogCapture log;
  ASSERT_TRUE(log.ok());
  const char* host = "127.0.0.1";  // a name would need descriptors to resolve
  const int limit = HighestDescriptor() + 16;
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    LogOpen(1);  // the child's own file and lock, while descriptors remain
    rlimit lowered{static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
    rlimit current{};
    if (getrlimit(RLIMIT_NOFILE, &current) == 0 && current.rlim_cur < lowered.rlim_cur) {
      lowered = current;
    }
    if (setrlimit(RLIMIT_NOFILE, &lowered) != 0) _exit(10);
    while (dup(0) >= 0) {
    }
    if (errno != EMFILE) _exit(11);
    const uint8_t description[] = {'x'};
    const int32_t result = SendAlertTrap("lobby-laser", host, 17, description, 1);
    LogClose();
    _exit(result == kOVsnmpErrSessionOpen ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "exit " << WEXITSTATUS(status);
  EXPECT_EQ(log.Text(), std::string(host) + ": Error creating trap session\n\t" +
                            OVsnmpErrString(kOVsnmpErrSessionOpen) + "\n");
}

}  // namespace
