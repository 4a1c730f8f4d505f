// A child forked while the log file is open closes the FILE it inherited:
// it does not merely forget it, which would leave a descriptor open in every
// child.
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "log/shared_log.h"
#include "log_test_support.h"

namespace {

// Forks a child that checks it holds no descriptor on `log`, logs through
// a file of its own and, while that is open, does the same for `more`
// further generations. The child's exit status: 0; 1 an inherited
// descriptor was left open; 2 it could not open its own; 3 a later
// generation failed.
int ForkGeneration(const std::string& log, int more) {
  pid_t pid = fork();
  if (pid < 0) return 4;
  if (pid == 0) {
    if (OpenDescriptors(log) != 0) _exit(1);
    LogOpen(1);
    LogText("child\n");
    if (OpenDescriptors(log) != 1) _exit(2);
    const int next = more > 0 ? ForkGeneration(log, more - 1) : 0;
    LogClose();
    _exit(next == 0 ? 0 : 3);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return 5;
  return WEXITSTATUS(status);
}

using LogForkTest = LogDirectoryTest;

TEST_F(LogForkTest, ChildClosesTheInheritedFileAndOpensItsOwn) {
  const std::string log = dir_ + "/pslog.txt";
  LogOpen(1);
  LogText("parent\n");
  ASSERT_EQ(OpenDescriptors(log), 1);
  EXPECT_EQ(ForkGeneration(log, 2), 0) << "1: an inherited descriptor was left open";
  EXPECT_EQ(OpenDescriptors(log), 1);
  LogClose();
  EXPECT_EQ(OpenDescriptors(log), 0);
  EXPECT_EQ(PslogText(), "parent\nchild\nchild\nchild\n");
}

}  // namespace
