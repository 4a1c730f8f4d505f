// The plug-in's Windows-only paths, run for real (under Wine in CI): the
// named kernel mutex "vlmIOMutex" shared with other processes, the log path
// with backslashes under NV_DRIVE and its text-mode line ends, and the local
// host name through Winsock 1.1.
#include <winsock.h>
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "entry/nv_service_test.h"
#include "log/shared_log.h"
#include "platform/local_host.h"
#include "unit_support.h"
#include "windows_test_support.h"

namespace {

using wintest::Child;
using wintest::EventName;
using wintest::kWaitLimitMs;
using zov::test::ScratchDir;

std::string ReadBinary(const std::string& path) { return zov::test::ReadFile(path).value_or(""); }

// The plug-in takes the global one, so that a service and a user tool share it.
constexpr char kMutexName[] = "Global\\vlmIOMutex";

// Child modes, run by this executable with "--child MODE ...":
//   hold READY GO FILE  takes the mutex, signals READY, waits for GO, pauses,
//                       appends "child\n" to FILE and releases the mutex
//   abandon READY       takes the mutex, signals READY and exits holding it
//   probe               exits 0 when it can take the mutex, 1 when not
//   log TAG N           writes N records "TAG i\n" through the shared log
//                       (NV_DRIVE is inherited)
int RunChild(int argc, char** argv) {
  const std::string mode = argc > 2 ? argv[2] : "";
  if (mode == "log") {
    if (argc < 5) return 20;
    const int count = std::atoi(argv[4]);
    LogOpen(1);
    for (int i = 0; i < count; ++i) LogText((std::string(argv[3]) + " " + std::to_string(i) + "\n").c_str());
    LogClose();
    return 0;
  }
  HANDLE mutex = CreateMutexA(nullptr, FALSE, kMutexName);
  if (mutex == nullptr) return 10;
  // A probe only needs the time any holder keeps it for one record.
  DWORD wait = WaitForSingleObject(mutex, mode == "probe" ? 5000 : kWaitLimitMs);
  if (mode == "probe") {
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) return 1;
    ReleaseMutex(mutex);
    return 0;
  }
  if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) return 11;
  if (argc < 4) return 12;
  HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[3]);
  if (ready == nullptr) return 13;
  SetEvent(ready);
  if (mode == "abandon") return 0;  // exits holding the mutex
  if (mode != "hold" || argc < 6) return 14;
  // Opened before the go: once let go, the parent's bound runs, and opening
  // a file is slow enough under an emulated Wine to use it up.
  FILE* f = std::fopen(argv[5], "a");
  if (f == nullptr) return 16;
  HANDLE go = OpenEventA(SYNCHRONIZE, FALSE, argv[4]);
  if (go == nullptr || WaitForSingleObject(go, kWaitLimitMs) != WAIT_OBJECT_0) return 15;
  // Gives a writer that ignored the mutex every chance to get in first.
  Sleep(300);
  std::fputs("child\n", f);
  std::fclose(f);
  ReleaseMutex(mutex);
  return 0;
}

HANDLE MakeEvent(const std::string& name) { return CreateEventA(nullptr, TRUE, FALSE, name.c_str()); }

// One call that writes each text as a record; the log file's bytes after it.
std::string WriteRecords(const std::string& file, std::initializer_list<const char*> texts) {
  LogOpen(1);
  for (const char* text : texts) LogText(text);
  LogClose();
  return ReadBinary(file);
}

// Another process holds the mutex while a call logs. Let go within the
// bound, the call waits and writes after it; held past the bound, the call
// ends within it with its status and writes nothing, and the next call's
// record follows a line that counts what was dropped.
TEST(WindowsSharedLog, WaitsForTheMutexHeldByAnotherProcessAtMostTheBound) {
  for (bool past_bound : {false, true}) {
    SCOPED_TRACE(past_bound ? "held past the bound" : "let go within the bound");
    ScratchDir dir;
    const std::string log = dir.NvDriveLog();
    const std::string suffix = past_bound ? "-past" : "-within";
    const std::string ready_name = EventName("ready") + suffix, go_name = EventName("go") + suffix;
    HANDLE ready = MakeEvent(ready_name), go = MakeEvent(go_name);
    ASSERT_TRUE(ready && go);

    Child holder({"--child", "hold", ready_name, go_name, log});
    ASSERT_TRUE(holder.started());
    ASSERT_EQ(WaitForSingleObject(ready, kWaitLimitMs), WAIT_OBJECT_0);
    if (!past_bound) SetEvent(go);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(NvServiceTest(nullptr, "-l"), 0);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, kLogLockBudget + std::chrono::seconds(1));
    std::string expected = "child\r\n";
    if (past_bound) {
      // Wine's timers may end a wait a tick early.
      EXPECT_GE(took, kLogLockBudget - std::chrono::milliseconds(100));
      EXPECT_EQ(ReadBinary(log), "");
      SetEvent(go);
      EXPECT_EQ(NvServiceTest(nullptr, "-l"), 0);  // waits for the holder to let go
      expected += "Dropped 1 log record of process " + std::to_string(GetCurrentProcessId()) +
                  ": the log lock was held elsewhere\r\n";
    }
    EXPECT_EQ(holder.Wait(), 0);
    EXPECT_EQ(ReadBinary(log), expected + "Call with object address\r\n");
    CloseHandle(ready);
    CloseHandle(go);
  }
}

TEST(WindowsSharedLog, MutexAbandonedByADeadHolderCountsAsAcquired) {
  ScratchDir dir;
  const std::string log = dir.NvDriveLog();
  const std::string ready_name = EventName("abandon");
  HANDLE ready = MakeEvent(ready_name);
  ASSERT_TRUE(ready);
  {
    Child dead({"--child", "abandon", ready_name});
    ASSERT_TRUE(dead.started());
    ASSERT_EQ(WaitForSingleObject(ready, kWaitLimitMs), WAIT_OBJECT_0);
    ASSERT_EQ(dead.Wait(), 0);
  }
  EXPECT_EQ(WriteRecords(log, {"after the holder died\n"}), "after the holder died\r\n");

  // The log released what it got from the abandoned wait.
  Child probe({"--child", "probe"});
  ASSERT_TRUE(probe.started());
  EXPECT_EQ(probe.Wait(), 0);
  CloseHandle(ready);
}

// Every line "TAG i" of the file, counted per tag; a line of any other form
// (two records run together, a torn one) is counted under "".
std::map<std::string, int> CountRecords(const std::string& text) {
  std::map<std::string, int> counts;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    const size_t space = line.find(' ');
    const bool whole = !line.empty() && line.back() == '\r' && space != std::string::npos &&
                       line.find_first_not_of("0123456789", space + 1) == line.size() - 1 &&
                       space + 1 < line.size() - 1;
    counts[whole ? line.substr(0, space) : ""]++;
  }
  return counts;
}

TEST(WindowsSharedLog, ProcessesAndThreadsAppendWholeRecords) {
  ScratchDir dir;
  const std::string log = dir.NvDriveLog();  // NV_DRIVE inherited by the children
  constexpr int kRecords = 200;
  LogOpen(1);  // this process keeps the file open while the others write
  std::vector<std::unique_ptr<Child>> children;
  for (const char* tag : {"alpha", "beta"}) {
    children.push_back(std::make_unique<Child>(
        std::vector<std::string>{"--child", "log", tag, std::to_string(kRecords)}));
    ASSERT_TRUE(children.back()->started());
  }
  std::vector<std::thread> threads;
  for (const char* tag : {"t1", "t2"}) {
    threads.emplace_back([tag] {
      for (int i = 0; i < kRecords; ++i) LogText((std::string(tag) + " " + std::to_string(i) + "\n").c_str());
    });
  }
  for (auto& t : threads) t.join();
  for (auto& c : children) EXPECT_EQ(c->Wait(), 0);
  LogClose();
  const std::map<std::string, int> expected = {
      {"alpha", kRecords}, {"beta", kRecords}, {"t1", kRecords}, {"t2", kRecords}};
  EXPECT_EQ(CountRecords(ReadBinary(log)), expected);
}

TEST(WindowsSharedLog, RecordsUseTheTextModeLineEndsOfWindows) {
  ScratchDir dir;
  const std::string log = dir.NvDriveLog();
  LogOpen(1);
  LogText("50%d done\n");
  LogPair("printer-7", "Unable to set printer status - ");
  LogText("no such field\n");
  LogClose();
  EXPECT_EQ(ReadBinary(log),
            "50%d done\r\nprinter-7: Unable to set printer status - no such field\r\n");
}

TEST(WindowsSharedLog, WithoutNvDriveTheFileIsPslogInTheCurrentFolder) {
  ScratchDir dir;  // the current folder, NV_DRIVE unset
  ASSERT_TRUE(dir.ok());
  EXPECT_EQ(WriteRecords(dir.File("pslog.txt"), {"here\n"}), "here\r\n");
}

TEST(WindowsSharedLog, MissingFolderUnderNvDriveLogsNothingAndALaterCallRetries) {
  ScratchDir dir;
  const std::string log = dir.NvDriveLog(false);
  WriteRecords(log, {"lost\n"});
  dir.NvDriveLog();
  EXPECT_FALSE(std::filesystem::exists(log));
  EXPECT_EQ(WriteRecords(log, {"kept\n"}), "kept\r\n");
}

TEST(WindowsSharedLog, PathUnderNvDriveUsesBackslashes) {
  struct Case {
    const char* drive;
    const char* path;  // null: does not fit
  };
  const std::string drive103(103, 'D');
  const std::string drive104(104, 'D');
  const std::string path103 = drive103 + "\\usr\\ov\\log\\vlmpslog.txt";
  const Case cases[] = {
      {"D:", "D:\\usr\\ov\\log\\vlmpslog.txt"},
      {"", "\\usr\\ov\\log\\vlmpslog.txt"},
      {"C:\\nv", "C:\\nv\\usr\\ov\\log\\vlmpslog.txt"},
      {nullptr, "pslog.txt"},
      {drive103.c_str(), path103.c_str()},
      {drive104.c_str(), nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.drive ? c.drive : "(absent)");
    char buffer[kMaxLogPath + 1];
    const bool fits = BuildLogPath(c.drive, buffer, sizeof buffer);
    if (c.path == nullptr) {
      EXPECT_FALSE(fits);
    } else {
      ASSERT_TRUE(fits);
      EXPECT_STREQ(buffer, c.path);
    }
  }
}

TEST(WindowsLocalHost, NameComesFromWinsock) {
  const std::string name = wintest::WinsockHostName();
  ASSERT_FALSE(name.empty());
  SetHostNameSourceForTesting(nullptr);
  char* got = LocalHostName();
  if (name.size() < kHostNameBufferSize) {
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got, name);
  } else {
    // Too long for the 30-byte buffer: a failure, never a truncated name.
    EXPECT_EQ(got, nullptr);
  }
  std::free(got);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--child") == 0) return RunChild(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
