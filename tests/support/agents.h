// Helpers for tests that run against real processes on loopback: child
// processes, temporary directories, snmpsim, snmptrapd, the project's fault
// agent, NVSNMP_CONF files and environment settings.
//
// Every wait is bounded. Every helper that starts a process stops it in its
// destructor (SIGTERM, then SIGKILL after a bounded wait), so a failing test
// leaves nothing running. Start functions return false and fill `why` with a
// reason a test can print (GTEST_SKIP() << why, or FAIL() << why).
#ifndef ZOV_TESTS_SUPPORT_AGENTS_H_
#define ZOV_TESTS_SUPPORT_AGENTS_H_

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "support/files.h"

namespace zov::test {

// ---- child processes ----

struct ChildOptions {
  std::string stdout_file;       // stdout appended here (stderr too unless stderr_file); empty: /dev/null
  bool pipe_stdout = false;      // stdout readable through ChildProcess::stdout_fd instead
  std::string stderr_file;       // stderr written here; empty: with stdout, or /dev/null when piped
  bool pipe_stdin = false;       // stdin a pipe kept open until StopChild (test_agent exits on EOF)
  std::vector<std::string> env;  // "NAME=VALUE" set, or "NAME" removed, in the inherited environment
  std::string cwd;               // empty: this process's
};

struct ChildProcess {
  pid_t pid = -1;
  int stdout_fd = -1;  // read end when pipe_stdout
  int stdin_fd = -1;   // write end when pipe_stdin
};

// Starts argv[0] (searched on PATH) with the arguments. False on failure.
bool StartChild(const std::vector<std::string>& argv, const ChildOptions& options, ChildProcess* child,
                std::string* why);
// One line of the child's piped stdout (without the newline), waiting at most
// timeout_ms. False on timeout or end of file.
bool ReadChildLine(ChildProcess* child, int timeout_ms, std::string* line);
// Waits up to timeout_ms for the child to exit by itself; true with its
// wait status when it did.
bool WaitChild(ChildProcess* child, int timeout_ms, int* status);
// SIGTERM, a bounded wait (timeout_ms), then SIGKILL; closes the pipes.
// Safe to call twice.
void StopChild(ChildProcess* child, int timeout_ms = 2000);

// A program run to its end (killed after timeout_ms): exit code, -1 when it
// did not exit by itself, and what it wrote to each stream.
struct ProgramResult {
  int exit_code = -1;
  std::string out;
  std::string err;
};
ProgramResult RunProgram(const std::vector<std::string>& argv, const std::string& cwd = "",
                         const std::vector<std::string>& env = {}, int timeout_ms = 20000);
// Programs run at the same time, each with its own env (when given), all
// ended within timeout_ms: their results in order.
std::vector<ProgramResult> RunPrograms(const std::vector<std::vector<std::string>>& argvs,
                                       const std::vector<std::vector<std::string>>& envs, int timeout_ms);
// The built ovwdb tool, with OVW_DB as in this process unless env says otherwise.
ProgramResult RunOvwdb(const std::vector<std::string>& args, const std::string& cwd = "",
                       const std::vector<std::string>& env = {});

// Asks done() every few milliseconds until it is true or timeout_ms passed;
// its last answer.
bool WaitUntil(int timeout_ms, const std::function<bool()>& done);

// ---- environment (files: support/files.h) ----


// Sets (or, with unset, removes) an environment variable for the life of the
// object and restores the previous value afterwards. Set before starting
// threads: setenv is not thread-safe.
struct ScopedEnv {
  explicit ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::string old_;
  bool had_old_ = false;
};

// One line of an NVSNMP_CONF file: NAME key=value ... Empty fields are left out.
struct NvsnmpConfLine {
  std::string name = {};  // the address exactly as the caller passes it, or "default"
  std::string peer = {};  // host, host:port or [IPv6]:port
  std::string community = {};
  int port = 0;         // 0: not set
  int timeout_ms = 0;   // 0: not set
  int retries = -1;     // -1: not set
  std::string version = {};  // "1" or "2c"
};
bool WriteNvsnmpConf(const std::string& path, const std::vector<NvsnmpConfLine>& lines);

// A UDP port on an IPv4 loopback address that was free a moment ago. 0 on failure.
int FreeUdpPort(const char* address = "127.0.0.1");

// ---- agents ----

// What each agent below is: a process of its own with a private directory,
// on a UDP port of a loopback address, stopped with the object.
struct AgentProcess {
  AgentProcess() = default;
  ~AgentProcess() { Stop(); }
  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;

  void Stop() { StopChild(&child_); }
  int port() const { return port_; }
  const std::string& address() const { return address_; }
  std::string endpoint() const { return address_ + ":" + std::to_string(port_); }

 protected:
  TempDir dir_;
  ChildProcess child_;
  int port_ = 0;
  std::string address_ = "127.0.0.1";
};

// snmpsimd 0.4.5 serving the *.snmprec files of a data directory (copied into
// a private directory). A recording is chosen by community: the file name
// without .snmprec. Start waits (bounded) until a GET with probe_community
// is answered.
struct SnmpsimAgent : AgentProcess {
  bool Start(const std::string& data_dir, const std::string& probe_community, std::string* why);
  // The private data directory snmpsim reads; replacing a file there changes
  // what it serves.
  std::string data_dir() const { return dir_.File("data"); }
};

// One binding of a received trap as snmptrapd printed it: "OID", "TYPE" and
// the value text after "TYPE: " (strings keep their quotes).
struct TrapBinding {
  std::string oid;
  std::string type;
  std::string value;
};

struct TrapRecord {
  std::string enterprise;  // numeric, leading dot: ".1.3.6.1.4.1.2.6.3"
  std::string agent;       // agent address field: "0.0.0.0"
  int generic = -1;
  int specific = -1;
  long long time_stamp = -1;  // the Trap-PDU's time stamp in TimeTicks
  std::vector<TrapBinding> bindings;
  std::string raw;  // the whole printed line
};

// snmptrapd receiving on the address the local host name resolves to (that is
// where the plug-in sends its traps), printing each trap as one line in a file.
struct TrapReceiver : AgentProcess {
  // False with a reason to skip when the host name is 30 characters or longer
  // or does not resolve to a loopback address, or when snmptrapd cannot start.
  bool Start(std::string* why);
  const std::string& host_name() const { return host_name_; }
  // All traps received so far, once at least `count` have arrived or
  // timeout_ms has passed.
  std::vector<TrapRecord> WaitForTraps(size_t count, int timeout_ms);
  // The traps about one printer (the plug-in's second binding names it),
  // once `count` of them arrived or timeout_ms passed.
  std::vector<TrapRecord> TrapsAbout(const std::string& printer, size_t count, int timeout_ms);

 private:
  std::string host_name_;
};

// A string binding's bytes, whether snmptrapd printed it quoted or in hex.
std::string TrapValueBytes(const TrapBinding& binding);

// The project's test agent (tests/agents) in its tests' role. args are its options
// (see test_agent --help), e.g. {"--table", FILE, "--fault", "silent", "--from", "2"}.
struct FaultAgent : AgentProcess {
  bool Start(const std::vector<std::string>& args, std::string* why);
  // The same, serving `table` (lines of the --table format) before the args.
  bool StartWithTable(const std::string& table, const std::vector<std::string>& args, std::string* why);
};

}  // namespace zov::test

#endif  // ZOV_TESTS_SUPPORT_AGENTS_H_
