// Faults around a poll that is otherwise sound: the object database locked
// by another process beyond its busy timeout, read-only, or removed while
// polls go on; the log directory missing and then created; NV_DRIVE at and
// past its limit; no trap receiver; a local host name that does not resolve;
// the agent's port closed. The poll goes on or ends with the record the
// system gives, within the time the system allows.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/agents.h"
#include "support/poll_rig.h"

namespace {

namespace fs = std::filesystem;
using zov::test::FaultAgent;
using zov::test::NvsnmpConfLine;
using zov::test::ScopedEnv;
using zov::test::TimedMs;

constexpr int kTimeoutMs = 300;
constexpr int kRetries = 1;
constexpr int kSlackMs = 3000;
// libovw waits this long for a lock before a write gives up.
constexpr int kBusyTimeoutMs = 5000;
constexpr char kOptions[] = "-l -c 11 -w 12 -o 13";
const std::string kTrapLine = ": Generating trap for printer\n";

// One fault agent serving a plain warning (status 3, identity 5400).
struct Faults : zov::test::SuiteState {
  FaultAgent agent;

  static void Prepare(Faults* s, zov::test::PollWay way) {
    const std::string table = std::string(ZOV_TEST_DATA_DIR) + "/warning-toner-low.snmprec";
    if (!s->agent.Start({"--table", table}, &s->why)) return;
    // No trap receiver anywhere in this suite: traps go to a closed port.
    s->rig.Start({way, kTimeoutMs, kRetries, zov::test::FreeUdpPort()}, &s->why);
  }
};

// Each test has a database and a log of its own.
class PollFaultTest : public zov::test::PollSuite<Faults, true> {
 protected:
  // The printers, in the database, all reaching the fault agent.
  void Prepare(const std::vector<std::string>& names) {
    std::vector<NvsnmpConfLine> lines;
    for (const std::string& name : names) lines.push_back({.name = name, .peer = state_->agent.endpoint()});
    ASSERT_TRUE(Rig().Route(lines));
    std::string why;
    ASSERT_TRUE(Rig().AddPrinters(names, &why)) << why;
  }
  static int Poll(const char* name) { return Rig().Poll(name, kOptions); }
  static std::string Here(const std::string& name) { return Rig().Here(name); }
};

TEST_F(PollFaultTest, DatabaseLockedLongerThanTheBusyTimeoutFailsTheWriteOnly) {
  Prepare({"locked"});
  zov::test::ChildOptions options;
  options.pipe_stdin = true;
  options.pipe_stdout = true;
  zov::test::ChildProcess sqlite;
  std::string why;
  if (!zov::test::StartChild({"sqlite3", Here("ovw.db")}, options, &sqlite, &why)) {
    GTEST_SKIP() << "no sqlite3 command: " << why;
  }
  const std::string begin = "BEGIN EXCLUSIVE;\nSELECT 'locked';\n";
  ASSERT_EQ(write(sqlite.stdin_fd, begin.data(), begin.size()), static_cast<ssize_t>(begin.size()));
  std::string line;
  ASSERT_TRUE(zov::test::ReadChildLine(&sqlite, 5000, &line));
  ASSERT_EQ(line, "locked");

  int status = -1;
  const double ms = TimedMs([&] { status = Poll("locked"); });
  // The status and the announcement do not depend on the write.
  EXPECT_EQ(status, 3);
  EXPECT_EQ(Rig().Log(),
            "locked: Unable to set printer status - Object database is locked: \n"
            "locked" + kTrapLine);
  EXPECT_GE(ms, kBusyTimeoutMs * 0.95);
  EXPECT_LE(ms, kBusyTimeoutMs + kSlackMs);
  zov::test::StopChild(&sqlite);

  // Lock gone: the next poll stores the identity.
  EXPECT_EQ(Poll("locked"), 3);
  EXPECT_EQ(Rig().Field("locked"), 5400);
}

TEST_F(PollFaultTest, ReadOnlyDatabaseFailsTheWriteAndThePollGoesOn) {
  Prepare({"read-only"});
  // As root, file modes do not stop a writer; SQLite's read-only open does.
  ScopedEnv ro("OVW_DB", ("file:" + Here("ovw.db") + "?mode=ro").c_str());
  int status = -1;
  const double ms = TimedMs([&] { status = Poll("read-only"); });
  EXPECT_EQ(status, 3);
  EXPECT_EQ(Rig().Log(),
            "read-only: Unable to set printer status - Object database is read-only: \n"
            "read-only" + kTrapLine);
  EXPECT_LE(ms, kSlackMs);
}

TEST_F(PollFaultTest, DatabaseRemovedBetweenPollsLeavesThePollsGoingOn) {
  Prepare({"removed"});
  EXPECT_EQ(Poll("removed"), 3);
  for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(Here(std::string("ovw.db") + suffix));
  // The connection this thread holds may still reach the removed file, or a
  // new empty database without the field is made; either way the poll gives
  // the printer's status and never blocks.
  for (int i = 0; i < 3; ++i) {
    int status = -1;
    const double ms = TimedMs([&] { status = Poll("removed"); });
    EXPECT_EQ(status, 3);
    EXPECT_LE(ms, kSlackMs);
  }
  // In a fresh thread the database is opened again: made anew, without the
  // field, so the previous identity reads as 0 and is announced again.
  const size_t before = Rig().LogSize();
  int status = -1;
  std::thread([&] { status = Poll("removed"); }).join();
  EXPECT_EQ(status, 3);
  EXPECT_TRUE(fs::exists(Here("ovw.db")));
  const std::string records = Rig().Log(before);
  EXPECT_NE(records.find("removed: VlmLastAlert field not defined\n"), std::string::npos) << records;
  EXPECT_NE(records.find("removed" + kTrapLine), std::string::npos) << records;
}

TEST_F(PollFaultTest, MissingLogDirectoryDropsRecordsUntilItExists) {
  Prepare({"log-dir-a", "log-dir-b"});
  const std::string drive = Here("drive");
  ScopedEnv nv_drive("NV_DRIVE", drive.c_str());
  EXPECT_EQ(Poll("log-dir-a"), 3);
  EXPECT_FALSE(fs::exists(drive));
  fs::create_directories(drive + "/usr/ov/log");
  EXPECT_EQ(Poll("log-dir-b"), 3);
  EXPECT_EQ(zov::test::ReadFrom(drive + "/usr/ov/log/vlmpslog.txt", 0), "log-dir-b" + kTrapLine);
  EXPECT_FALSE(fs::exists(Here("pslog.txt")));
}

TEST_F(PollFaultTest, DriveOf103CharactersIsUsedAnd104IsRefused) {
  Prepare({"drive-103", "drive-104"});
  for (size_t length : {103u, 104u}) {
    std::string drive = Here("d");
    ASSERT_LT(drive.size(), length);
    drive += std::string(length - drive.size(), 'x');
    fs::create_directories(drive + "/usr/ov/log");
    ScopedEnv nv_drive("NV_DRIVE", drive.c_str());
    const std::string name = "drive-" + std::to_string(length);
    EXPECT_EQ(Poll(name.c_str()), 3);
    const std::string path = drive + "/usr/ov/log/vlmpslog.txt";
    if (length == 103) {
      EXPECT_EQ(path.size(), 127u);
      EXPECT_EQ(zov::test::ReadFrom(path, 0), name + kTrapLine);
    } else {
      // No log at all rather than a shortened path naming another file.
      EXPECT_TRUE(fs::is_empty(drive + "/usr/ov/log"));
    }
  }
  EXPECT_FALSE(fs::exists(Here("pslog.txt")));
}

TEST_F(PollFaultTest, ClosedAgentPortEndsAsATimeoutInBoundedTime) {
  Prepare({"closed-port"});
  ASSERT_TRUE(Rig().Route({{.name = "closed-port", .peer = "127.0.0.1:" + std::to_string(zov::test::FreeUdpPort())}}));
  int status = -1;
  const double ms = TimedMs([&] { status = Poll("closed-port"); });
  EXPECT_EQ(status, 0);
  const std::string log = Rig().Log();
  EXPECT_EQ(log.rfind("closed-port: Error querying printer\n\t", 0), 0u) << log;
  EXPECT_NE(log.find("closed-port: Unable to get sysUpTime or printer ID from printer\n"), std::string::npos)
      << log;
  EXPECT_LE(ms, kTimeoutMs * (kRetries + 1) + kSlackMs);
}

// The local host name is the trap's destination; one that does not resolve
// gives the trap session's error record and leaves the status alone. Needs a
// private UTS namespace (root, unshare).
TEST_F(PollFaultTest, UnresolvableLocalHostNameLosesOnlyTheTrap) {
  Prepare({"no-host"});
  const std::string host = "zov-unresolvable-h7";
  const zov::test::ProgramResult run = zov::test::RunProgram(
      {"unshare", "--uts", "sh", "-c", "hostname " + host + " || exit 97; exec \"$0\" \"$@\"",
       zov::test::RunnerFile(), "--plugin", zov::test::PluginFile(), "--options", kOptions, "no-host"},
      "", {}, 30000);
  ASSERT_NE(run.exit_code, -1) << "the runner did not end: " << run.err;
  if (run.exit_code != 0) GTEST_SKIP() << "cannot set a host name in a private namespace: " << run.out << run.err;
  EXPECT_EQ(run.out.rfind("no-host 3 warning ", 0), 0u) << run.out;
  const std::string log = Rig().Log();
  EXPECT_EQ(log.rfind("no-host" + kTrapLine + host + ": Error creating trap session\n\t", 0), 0u) << log;
  EXPECT_EQ(Rig().Field("no-host"), 5400);
}

}  // namespace
