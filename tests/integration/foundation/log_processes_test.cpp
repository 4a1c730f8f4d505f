// The shared log across real processes: the lock file, forked writers, a
// lock holder that dies.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "log/named_mutex.h"
#include "log/shared_log.h"
#include "support/agents.h"

namespace {

using zov::test::ReadFile;
using zov::test::TempDir;

class LogProcessesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    old_cwd_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
    unsetenv("NV_DRIVE");
    SetSystemMutexDirectoryForTesting(dir_.path().c_str());
  }
  void TearDown() override {
    SetSystemMutexDirectoryForTesting(nullptr);
    std::filesystem::current_path(old_cwd_);
  }
  std::string Pslog() {
    std::string text;
    return ReadFile(dir_.File("pslog.txt"), &text) ? text : "<no file>";
  }

  TempDir dir_;
  std::filesystem::path old_cwd_;
};

// A deadline for a lock nobody else should hold for long.
std::chrono::steady_clock::time_point WaitLimit() {
  return std::chrono::steady_clock::now() + std::chrono::seconds(10);
}

// Waits for a child and reports whether it exited with status 0.
bool ChildSucceeded(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string Record(int process, int n) {
  // Two in five records are larger than a stdio buffer and so reach the
  // file in several writes: only the lock keeps other processes out between
  // them.
  std::string body(n % 5 < 2 ? 12000 : 40 + n % 90, static_cast<char>('A' + process));
  return "p" + std::to_string(process) + " n" + std::to_string(n) + " " + body + "\n";
}

TEST_F(LogProcessesTest, ForkedWritersLoseNothingAndTearNothing) {
  constexpr int kProcesses = 4;
  constexpr int kRecords = 200;
  // The parent makes its lock before forking: the children must not share it.
  LogOpen(0);
  LogClose();
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (int n = 0; n < kRecords; ++n) {
        LogOpen(1);
        const std::string record = Record(p, n);
        if (n % 2 == 0) {
          LogText(record.c_str());
        } else {
          // Three pieces and so more writes, each a chance to tear.
          const size_t half = record.size() / 2;
          LogPair(record.substr(0, half).c_str(), record.substr(half).c_str());
        }
        LogClose();
      }
      _exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) EXPECT_TRUE(ChildSucceeded(pid));

  std::map<std::string, int> expected;
  for (int p = 0; p < kProcesses; ++p) {
    for (int n = 0; n < kRecords; ++n) {
      std::string record = Record(p, n);
      if (n % 2 != 0) record.insert(record.size() / 2, ": ");
      ++expected[record.substr(0, record.size() - 1)];
    }
  }
  std::map<std::string, int> found;
  std::istringstream lines(Pslog());
  for (std::string line; std::getline(lines, line);) ++found[line];
  EXPECT_EQ(found.size(), expected.size());
  EXPECT_TRUE(found == expected) << "records torn, lost or doubled";
}

// The child blocks in the lock while the parent holds it, and finds the
// parent's note written before the release: it did not share the parent's
// inherited lock.
TEST_F(LogProcessesTest, ForkedChildWaitsForTheParentsLock) {
  ASSERT_TRUE(EnsureSystemMutex());
  ASSERT_EQ(LockSystemMutex(WaitLimit()), kLockTaken);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const std::string note = dir_.File("note");
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(ready[0]);
    if (write(ready[1], "r", 1) != 1) _exit(3);
    if (!EnsureSystemMutex() || LockSystemMutex(WaitLimit()) != kLockTaken) _exit(2);
    std::string text;
    _exit(ReadFile(note, &text) && text == "released" ? 0 : 1);
  }
  close(ready[1]);
  char byte;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  close(ready[0]);
  // Give a child that wrongly shares the lock the chance to get it now.
  usleep(200 * 1000);
  ASSERT_TRUE(zov::test::WriteFile(note, "released"));
  UnlockSystemMutex();
  EXPECT_TRUE(ChildSucceeded(pid));
}

// A process that dies holding the lock releases it; and while no file is
// open the writers never wait for it.
TEST_F(LogProcessesTest, DeadHolderReleasesTheLockAndWritersWithoutFileNeverWait) {
  int held[2];
  ASSERT_EQ(pipe(held), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(held[0]);
    if (!EnsureSystemMutex() || LockSystemMutex(WaitLimit()) != kLockTaken) _exit(2);
    if (write(held[1], "h", 1) != 1) _exit(3);
    pause();  // holds the lock until killed
    _exit(0);
  }
  close(held[1]);
  char byte;
  ASSERT_EQ(read(held[0], &byte, 1), 1);
  close(held[0]);

  // Would hang (and the test time out) if they took the lock.
  LogText("no file\n");
  LogPair("no", "file\n");
  LogSnmpError("no", 2, "file");

  ASSERT_EQ(kill(pid, SIGKILL), 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  LogOpen(1);
  LogText("after the holder died\n");
  LogClose();
  EXPECT_EQ(Pslog(), "after the holder died\n");
}

}  // namespace
