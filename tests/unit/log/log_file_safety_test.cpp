// What another account can plant at the log path, and what an address can
// carry into a record: the log writes only into a regular file of its own,
// no call waits on a file that does not drain, and an address never starts a
// record of its own nor fills the file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "log/shared_log.h"
#include "log_test_support.h"

namespace {

using LogFileSafetyTest = LogDirectoryTest;

// Runs body in a child process (its id in *child) and waits for it at most
// limit. Returns true when the child ended by itself with status 0; a child
// that hangs is killed. A call blocked for good must not take the test
// binary with it.
bool RunsToTheEndWithin(std::chrono::milliseconds limit, void (*body)(), pid_t* child = nullptr) {
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    body();
    _exit(0);
  }
  if (child != nullptr) *child = pid;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// More than a pipe holds (64 KiB), from one call, while another thread's
// call that does not ask for the log comes and goes.
void LogALotWhileAnotherCallComesAndGoes() {
  std::thread writer([] {
    LogOpen(1);
    const std::string record(1000, 'r');
    for (int i = 0; i < 200; ++i) LogPair("printer", (record + "\n").c_str());
    LogClose();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  LogOpen(0);
  LogClose();
  writer.join();
}

TEST_F(LogFileSafetyTest, FifoAtTheLogPathIsNotWrittenAndBlocksNoCall) {
  ASSERT_EQ(mkfifo("pslog.txt", 0600), 0);
  // A reader that never reads: a writer that opened the FIFO fills it and
  // then blocks.
  const int reader = open("pslog.txt", O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  // The writes are refused at once; 5 s is far beyond what they take.
  EXPECT_TRUE(RunsToTheEndWithin(std::chrono::seconds(5), LogALotWhileAnotherCallComesAndGoes))
      << "a call blocked on the FIFO";
  char byte;
  EXPECT_EQ(read(reader, &byte, 1), 0) << "records were written into the FIFO";
  close(reader);
}

// A file that refuses part of a record (here: the file size limit) loses
// that record, and says so in the next one, which starts on a line of its
// own; the call goes on logging.
constexpr rlim_t kFileLimit = 100;

TEST_F(LogFileSafetyTest, RecordTheFileRefusesIsCountedAndTheNextStartsANewLine) {
  pid_t pid = 0;
  ASSERT_TRUE(RunsToTheEndWithin(std::chrono::seconds(10), [] {
    signal(SIGXFSZ, SIG_IGN);  // a refused write, not a killed process
    rlimit limit{kFileLimit, RLIM_INFINITY};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(2);
    LogOpen(1);
    LogPair("printer", (std::string(200, 'x') + "\n").c_str());
    limit.rlim_cur = RLIM_INFINITY;
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(3);
    LogText("after\n");
    LogClose();
  }, &pid));
  const std::string cut = ("printer: " + std::string(200, 'x')).substr(0, kFileLimit);
  EXPECT_EQ(PslogText(), cut + "\nDropped 1 log record of process " + std::to_string(pid) +
                             ": the log file could not be written in time\nafter\n");
}

struct LinkCase {
  const char* name;
  bool target_exists;
};

class LogLinkTest : public LogDirectoryTest, public ::testing::WithParamInterface<LinkCase> {};

TEST_P(LogLinkTest, SymbolicLinkAtTheLogPathIsNotFollowed) {
  const std::string target = dir_ + "/elsewhere.txt";
  if (GetParam().target_exists) WriteFile(target, "someone else's file\n");
  ASSERT_EQ(symlink(target.c_str(), "pslog.txt"), 0);
  LogOpen(1);
  LogPair("printer", "Generating trap for printer\n");
  LogClose();
  if (GetParam().target_exists) {
    EXPECT_EQ(ReadFile(target), "someone else's file\n");
  } else {
    EXPECT_FALSE(std::filesystem::exists(target)) << "the link's target was created";
  }
  // Still the link, left as it was.
  EXPECT_TRUE(std::filesystem::is_symlink(dir_ + "/pslog.txt"));
}

INSTANTIATE_TEST_SUITE_P(Targets, LogLinkTest,
                         ::testing::Values(LinkCase{"ToAFile", true}, LinkCase{"Dangling", false}),
                         [](const auto& info) { return std::string(info.param.name); });

struct SubjectCase {
  const char* name;
  std::string subject;
  std::string written;
};

class LogSubjectTest : public LogDirectoryTest, public ::testing::WithParamInterface<SubjectCase> {};

// Every form that carries a subject writes it the same way; the messages
// themselves stay as they are.
TEST_P(LogSubjectTest, AddressIsEscapedAndCutInEveryRecordForm) {
  const SubjectCase& c = GetParam();
  LogOpen(1);
  LogPair(c.subject.c_str(), "Generating trap for printer\n");
  LogErrorRecord(c.subject.c_str(), "Error querying printer", "genErr");
  LogClose();
  std::string error_record = c.written + ": Error querying printer\n\tgenErr\n";
  if (error_record.size() > kMaxErrorRecord) {
    error_record.resize(kMaxErrorRecord);
    error_record.back() = '\n';
  }
  const std::string expected = c.written + ": Generating trap for printer\n" + error_record;
  const std::string text = PslogText();
  // Compared whole, shown in part: a failing megabyte would drown the output.
  EXPECT_TRUE(text == expected) << "written (" << text.size() << " bytes): "
                                << text.substr(0, 300) << "\nexpected (" << expected.size()
                                << " bytes): " << expected.substr(0, 300);
}

const std::string kKiB(kMaxLoggedSubject, 'a');

INSTANTIATE_TEST_SUITE_P(
    Subjects, LogSubjectTest,
    ::testing::Values(
        SubjectCase{"Plain", "10.1.2.3", "10.1.2.3"},
        // The address tries to write a whole record of its own.
        SubjectCase{"ForgedNewline", "x\nlobby-laser: Generating trap for printer\nx",
                    "x\\nlobby-laser: Generating trap for printer\\nx"},
        SubjectCase{"OtherControls", std::string("a\rb\tc\x1b[2Jd\x7f\\e"),
                    "a\\rb\\tc\\x1b[2Jd\\x7f\\\\e"},
        SubjectCase{"ExactlyTheBound", kKiB, kKiB},
        SubjectCase{"OneBeyondTheBound", kKiB + "b", kKiB + "[...]"},
        // An escape that would straddle the bound is left out whole.
        SubjectCase{"EscapeAtTheBound", kKiB.substr(1) + "\n", kKiB.substr(1) + "[...]"},
        SubjectCase{"Megabyte", std::string(1 << 20, 'm'),
                    std::string(kMaxLoggedSubject, 'm') + "[...]"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
