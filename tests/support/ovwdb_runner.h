// Runs the ovwdb tool and collects its exit code and output.
#ifndef ZOV_TESTS_SUPPORT_OVWDB_RUNNER_H_
#define ZOV_TESTS_SUPPORT_OVWDB_RUNNER_H_

#include <string>
#include <vector>

struct ToolResult {
  int exit_code = -1;  // -1: killed, crashed or could not start
  std::string out;
  std::string err;
};

// ovwdb with args, in cwd when given, with OVW_DB as in this process (or
// unset with unset_db); bounded at 20 s.
ToolResult RunOvwdb(const std::vector<std::string>& args, const std::string& cwd = "",
                    bool unset_db = false);

#endif  // ZOV_TESTS_SUPPORT_OVWDB_RUNNER_H_
