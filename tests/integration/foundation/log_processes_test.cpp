// The shared log across real processes: the lock file, forked writers, a
// lock holder that dies, one that holds it too long.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "entry/nv_service_test.h"
#include "fakes/fake_nvsnmp.h"
#include "fakes/fake_ovw.h"
#include "log/named_mutex.h"
#include "log/shared_log.h"
#include "platform/local_host.h"
#include "support/agents.h"
#include "unit_support.h"

namespace {

using zov::test::ReadFile;

using zov::test::WaitLimit;

class LogProcessesTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.ok()); }
  std::string Pslog() { return dir_.Read("pslog.txt").value_or("<no file>"); }

  zov::test::ScratchDir dir_;
};

// Waits for a child and reports whether it exited with status 0.
bool ChildSucceeded(pid_t pid) {
  zov::test::ChildProcess child{.pid = pid};
  int status = 0;
  return zov::test::WaitChild(&child, 60000, &status) && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string Record(int process, int n) {
  // Two in five records are larger than a stdio buffer and so reach the
  // file in several writes: only the lock keeps other processes out between
  // them.
  std::string body(n % 5 < 2 ? 12000 : 40 + n % 90, static_cast<char>('A' + process));
  return "p" + std::to_string(process) + " n" + std::to_string(n) + " " + body + "\n";
}

// Where a record is split into subject and message: a subject is cut after
// kMaxLoggedSubject characters.
size_t SubjectLength(const std::string& record) {
  return std::min(record.size() / 2, kMaxLoggedSubject);
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
          const size_t cut = SubjectLength(record);
          LogPair(record.substr(0, cut).c_str(), record.substr(cut).c_str());
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
      if (n % 2 != 0) record.insert(SubjectLength(record), ": ");
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
    _exit(ReadFile(note) == "released" ? 0 : 1);
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

// A call on another thread that has counted itself in with the log file
// open, and stays in until Finish.
class CallKeepingTheLogOpen {
 public:
  CallKeepingTheLogOpen() = default;
  CallKeepingTheLogOpen(const CallKeepingTheLogOpen&) = delete;
  CallKeepingTheLogOpen& operator=(const CallKeepingTheLogOpen&) = delete;
  ~CallKeepingTheLogOpen() { Finish(); }

  // Returns once the call is in.
  void Start() {
    std::promise<void> opened;
    thread_ = std::thread([this, &opened] {
      LogOpen(1);
      opened.set_value();
      done_.get_future().wait();
      LogClose();
    });
    opened.get_future().wait();
  }
  void Finish() {
    if (!thread_.joinable()) return;
    done_.set_value();
    thread_.join();
  }

 private:
  std::promise<void> done_;
  std::thread thread_;
};

// A child forked while a call of the parent has the file open (on the
// forking thread or another) inherits neither that file nor the count nor
// the lock, and logs.
TEST_F(LogProcessesTest, ForkedChildLogsWhileACallOfTheParentHasTheFileOpen) {
  for (bool other_thread : {false, true}) {
    SCOPED_TRACE(other_thread ? "call on another thread" : "call on the forking thread");
    std::filesystem::remove(dir_.File("pslog.txt"));
    CallKeepingTheLogOpen call;
    if (other_thread) {
      call.Start();
    } else {
      LogOpen(1);
    }
    LogText("parent before\n");
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      LogOpen(1);
      LogText("child\n");
      LogClose();
      _exit(0);
    }
    EXPECT_TRUE(ChildSucceeded(pid));
    LogText("parent after\n");
    if (other_thread) {
      call.Finish();
    } else {
      LogClose();
    }
    EXPECT_EQ(Pslog(), "parent before\nchild\nparent after\n");
  }
}

// Another process holding the lock: of another account when the test runs
// as root, with a shared lock, as anyone can take on a file it may only read.
class LockHolder {
 public:
  // Returns once the lock is held; hold_ms < 0 holds it until Release.
  bool Start(const std::string& lock_file, int hold_ms) {
    std::vector<std::string> argv = {
        "flock", "-s", lock_file, "sh", "-c",
        "echo held; " + (hold_ms < 0 ? std::string("read line") : "sleep " + std::to_string(hold_ms / 1000.0)) + "; true"};
    if (geteuid() == 0) argv.insert(argv.begin(), {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
    zov::test::ChildOptions options;
    options.pipe_stdin = true;
    options.pipe_stdout = true;
    std::string why, line;
    return zov::test::StartChild(argv, options, &child_, &why) && zov::test::ReadChildLine(&child_, 5000, &line) &&
           line == "held";
  }
  // Ends the hold (if still held) and the process; true when it did its part.
  bool Release() {
    if (child_.pid <= 0) return false;
    close(child_.stdin_fd);
    child_.stdin_fd = -1;
    int status = 0;
    const bool ok = zov::test::WaitChild(&child_, 10000, &status) && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    zov::test::StopChild(&child_);
    return ok;
  }
  ~LockHolder() { zov::test::StopChild(&child_); }

 private:
  zov::test::ChildProcess child_;
};

// Interrupts a thread with a signal whose handler was installed without
// SA_RESTART, every few milliseconds, for the life of the object.
class Interrupter {
 public:
  explicit Interrupter(bool active) {
    if (!active) return;
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGUSR1, &action, &old_);
    const pthread_t target = pthread_self();
    thread_ = std::thread([this, target] {
      while (!stop_.load()) {
        pthread_kill(target, SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
  }
  ~Interrupter() {
    if (!thread_.joinable()) return;
    stop_.store(true);
    thread_.join();
    sigaction(SIGUSR1, &old_, nullptr);
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
  struct sigaction old_ {};
};

constexpr char kPrinter[] = "lobby-laser";
constexpr char kWriteError[] = "database is read-only";

int PollHostName(char* buffer, size_t size) {
  std::snprintf(buffer, size, "pollhost");
  return 0;
}

// A printer of the family with one new warning alert, whose last-alert field
// cannot be written: the poll writes three records and sends a trap.
void SetUpWarningPrinter() {
  fake_snmp::Reset();
  fake_ovw::Reset();
  fake_ovw::AddField("VlmLastAlert");
  fake_ovw::AddObject(kPrinter);
  fake_ovw::FailSet(-1, kOVwErrReadOnly);
  fake_ovw::SetErrorText(kOVwErrReadOnly, kWriteError);
  fake_snmp::SetAgent(kPrinter, zov::test::PrinterAgent({.rows = {zov::test::Alert(1, 4, 77, "Toner low")}}));
}

std::string DroppedLine(int count) {
  return "Dropped " + std::to_string(count) + " log record" + (count == 1 ? "" : "s") +
         " of process " + std::to_string(getpid()) + ": the log lock was held elsewhere\n";
}

// Another process holds the lock while a call logs. Held past the bound,
// the call still ends within it, with its status, and none of its records
// reaches the file; the next call's first record follows a line that counts
// them. Released within the bound, the call waits and writes; signals that
// interrupt the wait do not end it.
TEST_F(LogProcessesTest, CallWaitsForALockHeldElsewhereAtMostTheBoundInAll) {
  struct Case {
    const char* name;
    bool poll;       // the warning printer; otherwise a call without address
    int hold_ms;     // -1: held until the call has ended
    bool file_open;  // another call of this process keeps the file open
    bool signals;
  };
  const Case cases[] = {
      {"held past the bound", false, -1, false, false},
      {"held past the bound, three records, file open", true, -1, true, false},
      {"released within the bound", true, 300, false, false},
      {"released within the bound, wait interrupted", false, 300, false, true},
  };
  ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);  // the other account finds the lock
  ASSERT_TRUE(EnsureSystemMutex());
  SetHostNameSourceForTesting(PollHostName);
  const std::string options = "-l -w 12";
  const std::string no_address = "Call with object address\n";
  const std::string poll_records = std::string(kPrinter) + ": Unable to set printer status - " +
                                   kWriteError + ": \n" + kPrinter +
                                   ": Generating trap for printer\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(dir_.File("pslog.txt"));
    SetUpWarningPrinter();
    CallKeepingTheLogOpen keeper;
    if (c.file_open) keeper.Start();
    LockHolder holder;
    ASSERT_TRUE(holder.Start(dir_.File(kSystemMutexName), c.hold_ms));
    std::chrono::steady_clock::duration took{};
    auto call = std::async(std::launch::async, [&] {
      Interrupter interrupter(c.signals);
      const auto start = std::chrono::steady_clock::now();
      const int result = NvServiceTest(c.poll ? kPrinter : nullptr, options.c_str());
      took = std::chrono::steady_clock::now() - start;
      return result;
    });
    if (call.wait_for(kLogLockBudget + std::chrono::seconds(10)) != std::future_status::ready) {
      holder.Release();  // or it would wait for ever
      ADD_FAILURE() << "the call waited without bound";
    }
    const int status = call.get();
    EXPECT_EQ(status, c.poll ? 3 : 0);
    if (c.poll) {
      EXPECT_EQ(fake_snmp::Sent().size(), 1u) << "the poll went on and sent its trap";
    }
    EXPECT_LT(took, kLogLockBudget + std::chrono::seconds(1));
    const std::string records = c.poll ? poll_records : no_address;
    if (c.hold_ms >= 0) {
      EXPECT_EQ(Pslog(), records);
    } else {
      EXPECT_GE(took, kLogLockBudget - std::chrono::milliseconds(50));
      EXPECT_EQ(Pslog(), c.file_open ? "" : "<no file>");
    }
    EXPECT_TRUE(holder.Release());
    keeper.Finish();
    EXPECT_EQ(NvServiceTest(nullptr, "-l"), 0);
    const int dropped = c.poll ? 3 : 1;
    EXPECT_EQ(Pslog(), c.hold_ms >= 0 ? records + no_address : DroppedLine(dropped) + no_address);
  }
  SetHostNameSourceForTesting(nullptr);
}

}  // namespace
