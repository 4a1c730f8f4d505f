#include "log/named_mutex.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>

#include "log/shared_log.h"
#include "log_test_support.h"

namespace {

using NamedMutexTest = LogDirectoryTest;

TEST_F(NamedMutexTest, LockFileIsAPlainFileEveryUserCanOpen) {
  const mode_t old_mask = umask(077);  // must not keep other users out
  const bool created = EnsureSystemMutex();
  umask(old_mask);
  ASSERT_TRUE(created);
  struct stat st;
  ASSERT_EQ(lstat((dir_ + "/vlmIOMutex").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0444u);
  ASSERT_EQ(LockSystemMutex(WaitLimit()), kLockTaken);
  UnlockSystemMutex();
}

TEST_F(NamedMutexTest, ExistingLockFileIsOpenedNotReplaced) {
  WriteFile(dir_ + "/vlmIOMutex", "");
  chmod((dir_ + "/vlmIOMutex").c_str(), 0444);
  struct stat before;
  ASSERT_EQ(stat((dir_ + "/vlmIOMutex").c_str(), &before), 0);
  ASSERT_TRUE(EnsureSystemMutex());
  struct stat after;
  ASSERT_EQ(stat((dir_ + "/vlmIOMutex").c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
}

// A link or a FIFO planted under the lock's name is refused (the FIFO would
// otherwise block the open for ever); once it is gone, the next attempt
// creates the lock, and the log works again.
TEST_F(NamedMutexTest, PlantedLinkOrFifoIsRefusedAndTheNextLogOpenTriesAgain) {
  const std::string lock = dir_ + "/vlmIOMutex";
  const std::string target = dir_ + "/target";
  WriteFile(target, "");
  for (bool fifo : {false, true}) {
    SCOPED_TRACE(fifo ? "fifo" : "symlink");
    if (fifo) {
      ASSERT_EQ(mkfifo(lock.c_str(), 0666), 0);
    } else {
      ASSERT_EQ(symlink(target.c_str(), lock.c_str()), 0);
    }
    EXPECT_FALSE(EnsureSystemMutex());
    EXPECT_EQ(LockSystemMutex(WaitLimit()), kLockUnavailable);

    LogCall(1, "unguarded\n");  // no lock: the call logs nothing
    EXPECT_FALSE(std::filesystem::exists("pslog.txt"));

    ASSERT_EQ(unlink(lock.c_str()), 0);
    LogCall(1, "guarded\n");
    EXPECT_EQ(PslogText(), "guarded\n");
    std::filesystem::remove("pslog.txt");
    SetSystemMutexDirectoryForTesting(dir_.c_str());  // drop it for the next round
    std::filesystem::remove(lock);
  }
}

TEST_F(NamedMutexTest, MissingLockDirectoryCountsCallsButLogsNothing) {
  SetSystemMutexDirectoryForTesting((dir_ + "/missing").c_str());
  LogOpen(0);
  LogOpen(1);
  LogText("lost\n");
  EXPECT_FALSE(std::filesystem::exists("pslog.txt"));
  std::filesystem::create_directories(dir_ + "/missing");
  LogCall(1, "kept\n");  // third call in: creates the lock and opens the file
  LogClose();
  LogText("still open\n");  // the first call is still counted in
  LogClose();
  LogText("closed\n");
  EXPECT_EQ(PslogText(), "kept\nstill open\n");
}

// Another process writing its log holds the lock; a poll of this one that
// asked for no log must not wait for it, while one that opens the file must.
// (flock locks belong to an open file description, so a second descriptor
// here stands for the other process.)
TEST_F(NamedMutexTest, CallsThatOpenNoFileNeverWaitForTheSystemWideLock) {
  ASSERT_TRUE(EnsureSystemMutex());
  const int other = open((dir_ + "/vlmIOMutex").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(other, 0);
  ASSERT_EQ(flock(other, LOCK_EX), 0);
  auto release = [other] {
    flock(other, LOCK_UN);
    close(other);
  };

  auto no_log = std::async(std::launch::async, [] {
    LogCall(0, "dropped\n");
  });
  if (no_log.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    release();
    no_log.wait();
    FAIL() << "a call without a log waited for the other process's lock";
  }

  auto with_log = std::async(std::launch::async, [] {
    LogCall(1, "kept\n");
  });
  EXPECT_EQ(with_log.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
  release();
  with_log.wait();
  EXPECT_EQ(PslogText(), "kept\n");
}

}  // namespace
