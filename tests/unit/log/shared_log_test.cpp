#include "log/shared_log.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log_test_support.h"
#include "snmp/nvsnmp.h"

namespace {

using SharedLogTest = LogDirectoryTest;

TEST_F(SharedLogTest, WritesNothingAndCreatesNoFileWhenNoCallAskedForIt) {
  LogOpen(0);
  LogText("text\n");
  LogPair("host", "pair\n");
  LogSnmpError("host", 2, "error");
  LogErrorRecord("host", "error", "text");
  LogClose();
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/pslog.txt"));
}

TEST_F(SharedLogTest, RecordFormsReachTheFileExactly) {
  WriteFile("pslog.txt", "older line\n");
  LogOpen(1);
  LogText("100%d %s %n done\n");
  LogPair("printer-7", "Unable to set printer status - ");
  LogPair("cannot write", "field\n");
  LogSnmpError("printer-7", 2, "GetNext failed");
  LogSnmpError("printer-7", 2, nullptr);
  LogErrorRecord("host", "Trap send failed", "no route");
  LogClose();
  const std::string err = OVsnmpErrString(2);
  EXPECT_EQ(PslogText(),
            "older line\n"
            "100%d %s %n done\n"
            "printer-7: Unable to set printer status - cannot write: field\n"
            "printer-7: GetNext failed\n\t" + err + "\n"
            "printer-7: \n\t" + err + "\n"
            "host: Trap send failed\n\tno route\n");
}

TEST_F(SharedLogTest, SnmpErrorRecordIsCutAt199CharactersAndStillEndsItsLine) {
  const std::string err = OVsnmpErrString(2);
  const size_t fixed = 2 + 2 + 1 + 1 + 1;  // ": ", "ab", "\n", "\t", "\n"
  struct Case {
    size_t subject_length;
    bool whole;
  };
  for (Case c : {Case{kMaxErrorRecord - fixed - err.size(), true},
                 Case{kMaxErrorRecord - fixed - err.size() + 1, false},
                 Case{500, false}}) {
    SCOPED_TRACE(c.subject_length);
    std::filesystem::remove("pslog.txt");
    const std::string subject(c.subject_length, 's');
    const std::string whole = subject + ": ab\n\t" + err + "\n";
    LogOpen(1);
    LogSnmpError(subject.c_str(), 2, "ab");
    LogClose();
    const std::string text = PslogText();
    if (c.whole) {
      EXPECT_EQ(text, whole);
      EXPECT_EQ(text.size(), kMaxErrorRecord);
    } else {
      ASSERT_EQ(text.size(), kMaxErrorRecord);
      EXPECT_EQ(text.back(), '\n');
      EXPECT_EQ(text.substr(0, kMaxErrorRecord - 1), whole.substr(0, kMaxErrorRecord - 1));
    }
  }
}

// Calls that overlap in one process (here on one thread, one after the
// other): the file is opened once, by the first call that wants it, and
// closed by the last call out. Steps: "open 0", "open 1", "close", or the
// text of a record.
TEST_F(SharedLogTest, OverlappingCallsOpenTheFileOnceAndTheLastOutClosesIt) {
  struct Case {
    const char* name;
    std::vector<std::string> steps;
    std::string file;
  };
  const Case cases[] = {
      {"a call without l writes while another has the file open",
       {"open 0", "A before\n", "open 1", "A during\n", "B during\n", "close", "A after B\n",
        "close", "nobody\n"},
       "A during\nB during\nA after B\n"},
      {"the count at one without a file closes nothing; a later call opens it",
       {"open 0", "close", "open 1", "opened later\n", "close", "closed\n"},
       "opened later\n"},
      {"a closed file is opened again, for appending",
       {"open 1", "one\n", "close", "open 1", "two\n", "close"},
       "one\ntwo\n"},
      {"a second call with l while the file is open",
       {"open 1", "first\n", "open 1", "second\n", "close", "third\n", "close"},
       "first\nsecond\nthird\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove("pslog.txt");
    for (const std::string& step : c.steps) {
      if (step == "open 0" || step == "open 1") {
        LogOpen(step == "open 1" ? 1 : 0);
      } else if (step == "close") {
        LogClose();
      } else {
        LogText(step.c_str());
      }
      EXPECT_LE(OpenDescriptors("pslog.txt"), 1) << "after " << step;
    }
    EXPECT_EQ(OpenDescriptors("pslog.txt"), 0) << "left open";
    EXPECT_EQ(PslogText(), c.file);
  }
}

TEST_F(SharedLogTest, MissingDirectoryOpensNothingAndALaterCallTriesAgain) {
  const std::string drive = dir_ + "/drive";
  setenv("NV_DRIVE", drive.c_str(), 1);
  LogOpen(1);
  LogText("lost\n");
  EXPECT_FALSE(std::filesystem::exists(drive));
  std::filesystem::create_directories(drive + "/usr/ov/log");
  LogCall(1, "kept\n");  // the first call is still active: this one opens the file
  LogClose();
  EXPECT_EQ(ReadFile(drive + "/usr/ov/log/vlmpslog.txt").value_or("<none>"), "kept\n");
  EXPECT_FALSE(std::filesystem::exists("pslog.txt"));
}

TEST_F(SharedLogTest, NvDriveNamesTheLogUpTo103CharactersAndNoFileBeyond) {
  // dir_ is a short folder under /tmp: pad it with one directory to the length.
  for (size_t length : {size_t{103}, size_t{104}}) {
    SCOPED_TRACE(length);
    ASSERT_LT(dir_.size() + 1, length);
    const std::string drive = dir_ + "/" + std::string(length - dir_.size() - 1, 'd');
    ASSERT_EQ(drive.size(), length);
    std::filesystem::create_directories(drive + "/usr/ov/log");
    setenv("NV_DRIVE", drive.c_str(), 1);
    LogCall(1, "record\n");
    const std::string path = drive + "/usr/ov/log/vlmpslog.txt";
    if (length == 103) {
      EXPECT_EQ(path.size(), kMaxLogPath);
      EXPECT_EQ(ReadFile(path).value_or("<none>"), "record\n");
    } else {
      EXPECT_FALSE(std::filesystem::exists(path));
      // Nor the file a cut path would have named.
      EXPECT_TRUE(std::filesystem::is_empty(drive + "/usr/ov/log"));
    }
  }
  EXPECT_FALSE(std::filesystem::exists("pslog.txt"));
}

TEST(BuildLogPathTest, FormsThePathFromNvDrive) {
  struct Case {
    const char* drive;
    bool fits;
    std::string path;
  };
  const std::string d103(103, 'x');
  const std::string d104(104, 'x');
  const Case cases[] = {
      {nullptr, true, "pslog.txt"},
      {"", true, "/usr/ov/log/vlmpslog.txt"},
      {"D:", true, "D:/usr/ov/log/vlmpslog.txt"},
      {"/srv/nv", true, "/srv/nv/usr/ov/log/vlmpslog.txt"},
      {"100%d", true, "100%d/usr/ov/log/vlmpslog.txt"},
      {d103.c_str(), true, d103 + "/usr/ov/log/vlmpslog.txt"},
      {d104.c_str(), false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.drive != nullptr ? c.drive : "(absent)");
    char buffer[kMaxLogPath + 1];
    EXPECT_EQ(BuildLogPath(c.drive, buffer, sizeof buffer), c.fits);
    if (c.fits) {
      EXPECT_EQ(std::string(buffer), c.path);
    }
  }
  // The fixed part is 24 characters: 103 + 24 fills the 127 exactly.
  EXPECT_EQ(std::string("/usr/ov/log/vlmpslog.txt").size() + 103, kMaxLogPath);
  char small[8];
  EXPECT_FALSE(BuildLogPath(nullptr, small, sizeof small));
  EXPECT_FALSE(BuildLogPath("D:", nullptr, 0));
}

TEST_F(SharedLogTest, ConcurrentThreadsWriteOnlyWholeRecordsAndLoseNone) {
  constexpr int kThreads = 8;
  constexpr int kRecords = 300;
  // Some records are longer than a stdio buffer, so that they take several
  // writes and would tear if the lock did not hold across them.
  auto record = [](int thread, int n) {
    std::string body(n % 10 == 0 ? 9000 : 20 + (n * 7) % 200, static_cast<char>('a' + thread));
    return "t" + std::to_string(thread) + " r" + std::to_string(n) + " " + body + "\n";
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &record] {
      for (int n = 0; n < kRecords; ++n) {
        // Every call opens and closes: the file is opened and closed under
        // the writers' feet all the time.
        LogOpen(1);
        if (n % 2 == 0) {
          LogText(record(t, n).c_str());
        } else {
          const std::string text = record(t, n);
          const std::string subject = text.substr(0, text.find(' '));
          LogPair(subject.c_str(), text.substr(text.find(' ') + 1).c_str());
        }
        LogClose();
      }
    });
  }
  for (auto& thread : threads) thread.join();

  std::multiset<std::string> expected;
  for (int t = 0; t < kThreads; ++t) {
    for (int n = 0; n < kRecords; ++n) {
      std::string text = record(t, n);
      if (n % 2 != 0) text.replace(text.find(' '), 1, ": ");
      expected.insert(text.substr(0, text.size() - 1));
    }
  }
  std::multiset<std::string> found;
  std::istringstream lines(PslogText());
  for (std::string line; std::getline(lines, line);) found.insert(line);
  EXPECT_EQ(found.size(), expected.size());
  EXPECT_TRUE(found == expected) << "records torn, lost or doubled";
}

}  // namespace
