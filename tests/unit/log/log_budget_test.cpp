// A call's wait for the log lock is one budget for all its records, not one
// per record.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "log/named_mutex.h"
#include "log/shared_log.h"
#include "log_test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

// Another process that holds the lock file for hold_ms from the moment
// Hold returns; -1 when it could not be started.
pid_t Hold(const std::string& lock_file, int hold_ms) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    close(ready[0]);
    int fd = open(lock_file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || flock(fd, LOCK_SH) != 0 || write(ready[1], "h", 1) != 1) _exit(2);
    usleep(static_cast<useconds_t>(hold_ms) * 1000);
    _exit(0);
  }
  close(ready[1]);
  char byte = 0;
  const bool held = pid > 0 && read(ready[0], &byte, 1) == 1;
  close(ready[0]);
  return held ? pid : -1;
}

bool Reaped(pid_t pid) {
  int status = 0;
  return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

using LogBudgetTest = LogDirectoryTest;

// Held 1.5 s, let go, held 1.5 s again: the first record waits 1.5 s and is
// written, the second waits what is left of 2 s and is dropped. A budget
// per record would make the call wait 3 s.
TEST_F(LogBudgetTest, TwoWaitsOfOneCallShareItsTwoSeconds) {
  ASSERT_EQ(kLogLockBudget, std::chrono::milliseconds(2000));
  ASSERT_TRUE(EnsureSystemMutex());
  const std::string lock_file = dir_ + "/" + kSystemMutexName;
  LogOpen(1);  // opens the file before anyone holds the lock

  pid_t first = Hold(lock_file, 1500);
  ASSERT_GT(first, 0);
  Clock::time_point start = Clock::now();
  LogText("first\n");
  Clock::duration waited = Clock::now() - start;
  EXPECT_TRUE(Reaped(first));

  pid_t second = Hold(lock_file, 1500);
  ASSERT_GT(second, 0);
  start = Clock::now();
  LogText("second\n");
  waited += Clock::now() - start;
  LogClose();
  EXPECT_TRUE(Reaped(second));

  EXPECT_GE(waited, std::chrono::milliseconds(1950));
  EXPECT_LT(waited, std::chrono::milliseconds(2400)) << "each record waited on a budget of its own";
  // The next call says what was dropped.
  LogCall(1, "next\n");
  EXPECT_EQ(PslogText(), "first\nDropped 1 log record of process " + std::to_string(getpid()) +
                             ": the log lock was held elsewhere\nnext\n");
}

}  // namespace
