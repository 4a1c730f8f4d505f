#include "support/ovwdb_runner.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "support/agents.h"

ToolResult RunOvwdb(const std::vector<std::string>& args, const std::string& cwd,
                    bool unset_db) {
  zov::test::TempDir io;
  ToolResult result;
  std::string program = zov::test::BuiltProgram("ovwdb");
  std::string out = io.File("out");
  std::string err = io.File("err");
  std::vector<std::string> copy = args;
  std::vector<char*> argv;
  argv.push_back(program.data());
  for (std::string& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    if (unset_db) unsetenv("OVW_DB");
    if (!freopen(out.c_str(), "w", stdout) || !freopen(err.c_str(), "w", stderr)) _exit(126);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  if (pid < 0) return result;
  int status = 0;
  for (int waited = 0; waited < 2000; ++waited) {
    if (waitpid(pid, &status, WNOHANG) == pid) {
      result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      zov::test::ReadFile(out, &result.out);
      zov::test::ReadFile(err, &result.err);
      return result;
    }
    usleep(10000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return result;
}
