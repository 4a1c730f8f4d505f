#include "support/agents.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace zov::test {
namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// A v1 GetRequest for sysUpTime.0 with the community, as raw bytes; enough
// to see that an agent is up (any answer counts).
std::string ProbeRequest(const std::string& community) {
  static const unsigned char kTail[] = {0xa0, 0x1c, 0x02, 0x04, 0x00, 0x00, 0x00, 0x2a, 0x02, 0x01,
                                        0x00, 0x02, 0x01, 0x00, 0x30, 0x0e, 0x30, 0x0c, 0x06, 0x08,
                                        0x2b, 0x06, 0x01, 0x02, 0x01, 0x01, 0x03, 0x00, 0x05, 0x00};
  std::string body;
  body += std::string("\x02\x01\x00", 3);
  body += '\x04';
  body += static_cast<char>(community.size());
  body += community;
  body.append(reinterpret_cast<const char*>(kTail), sizeof(kTail));
  std::string packet;
  packet += '\x30';
  packet += static_cast<char>(body.size());
  return packet + body;
}

bool AnswersUdp(const std::string& address, int port, const std::string& packet, int timeout_ms) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address.c_str(), &to.sin_addr);
  bool answered = false;
  if (sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)) >= 0) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) == 1) {
      char buf[2048];
      answered = recv(fd, buf, sizeof(buf), 0) > 0;
    }
  }
  close(fd);
  return answered;
}

// Starts a daemon on a port that was free a moment ago, up to three times:
// another process may take the port before the daemon binds it. up() tells
// that it listens.
bool StartOnFreePort(const char* address, const std::function<std::vector<std::string>(int)>& argv,
                     const ChildOptions& options, int timeout_ms, const std::function<bool()>& up,
                     ChildProcess* child, int* port, std::string* why) {
  std::string reason = "no free port";
  for (int attempt = 0; attempt < 3; ++attempt) {
    *port = FreeUdpPort(address);
    if (*port == 0) continue;
    if (!StartChild(argv(*port), options, child, &reason)) break;
    bool listening = false;
    int status;
    // Died meanwhile: the port was taken or the settings are bad.
    WaitUntil(timeout_ms, [&] { return (listening = up()) || WaitChild(child, 0, &status); });
    if (listening) return true;
    StopChild(child);
    reason = "not listening";
  }
  *port = 0;
  *why = reason;
  return false;
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  size_t e = s.find_last_not_of(" \t");
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

}  // namespace

bool StartChild(const std::vector<std::string>& argv, const ChildOptions& options, ChildProcess* child,
                std::string* why) {
  if (argv.empty()) {
    *why = "no program";
    return false;
  }
  int out_pipe[2] = {-1, -1};
  int in_pipe[2] = {-1, -1};
  if (options.pipe_stdout && pipe2(out_pipe, O_CLOEXEC) != 0) {
    *why = "pipe failed";
    return false;
  }
  if (options.pipe_stdin && pipe2(in_pipe, O_CLOEXEC) != 0) {
    if (out_pipe[0] >= 0) close(out_pipe[0]), close(out_pipe[1]);
    *why = "pipe failed";
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (options.pipe_stdin) {
    posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
  } else {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  }
  if (options.pipe_stdout) {
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  } else {
    const std::string& out = options.stdout_file.empty() ? std::string("/dev/null") : options.stdout_file;
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  }
  if (!options.stderr_file.empty()) {
    posix_spawn_file_actions_addopen(&actions, 2, options.stderr_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
  } else if (options.pipe_stdout) {
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  } else {
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  }
  if (!options.cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.cwd.c_str());
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  // Later entries win: a changed or removed variable drops the inherited one.
  std::vector<std::string> env_strings;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('=')) + "=";
    bool replaced = false;
    for (const std::string& o : options.env) replaced = replaced || (o + "=").starts_with(name);
    if (!replaced) env_strings.push_back(entry);
  }
  for (const std::string& o : options.env) {
    if (o.find('=') != std::string::npos) env_strings.push_back(o);
  }
  std::vector<char*> env;
  for (const std::string& e : env_strings) env.push_back(const_cast<char*>(e.c_str()));
  env.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  if (out_pipe[1] >= 0) close(out_pipe[1]);
  if (in_pipe[0] >= 0) close(in_pipe[0]);
  if (rc != 0) {
    if (out_pipe[0] >= 0) close(out_pipe[0]);
    if (in_pipe[1] >= 0) close(in_pipe[1]);
    *why = "cannot start " + argv[0] + ": " + std::strerror(rc);
    return false;
  }
  child->pid = pid;
  child->stdout_fd = out_pipe[0];
  child->stdin_fd = in_pipe[1];
  return true;
}

bool ReadChildLine(ChildProcess* child, int timeout_ms, std::string* line) {
  line->clear();
  if (child->stdout_fd < 0) return false;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  // Byte by byte, so that nothing after the line is consumed.
  while (line->size() < 4096) {
    pollfd p{child->stdout_fd, POLLIN, 0};
    if (poll(&p, 1, MillisecondsLeft(deadline)) != 1) return false;
    char c;
    ssize_t n = read(child->stdout_fd, &c, 1);
    if (n <= 0) return false;
    if (c == '\n') return true;
    line->push_back(c);
  }
  return false;
}

bool WaitUntil(int timeout_ms, const std::function<bool()>& done) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (MillisecondsLeft(deadline) == 0) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(5, MillisecondsLeft(deadline))));
  }
  return true;
}

bool WaitChild(ChildProcess* child, int timeout_ms, int* status) {
  if (child->pid <= 0) return false;
  bool gone = false;  // waitpid failed: nothing to wait for
  const bool ended = WaitUntil(timeout_ms, [&] {
    const pid_t r = waitpid(child->pid, status, WNOHANG);
    gone = r < 0 && errno != EINTR;
    return r == child->pid || gone;
  });
  if (!ended || gone) return false;
  child->pid = -1;
  return true;
}

void StopChild(ChildProcess* child, int timeout_ms) {
  if (child->stdin_fd >= 0) {
    close(child->stdin_fd);
    child->stdin_fd = -1;
  }
  if (child->pid > 0) {
    kill(child->pid, SIGTERM);
    int status = 0;
    if (!WaitChild(child, timeout_ms, &status) && child->pid > 0) {
      kill(child->pid, SIGKILL);
      waitpid(child->pid, &status, 0);
      child->pid = -1;
    }
  }
  if (child->stdout_fd >= 0) {
    close(child->stdout_fd);
    child->stdout_fd = -1;
  }
}

namespace {

std::vector<ProgramResult> RunAll(const std::vector<std::vector<std::string>>& argvs,
                                  const std::vector<std::vector<std::string>>& envs, const std::string& cwd,
                                  int timeout_ms) {
  TempDir io;
  std::vector<ChildProcess> children(argvs.size());
  std::vector<ProgramResult> results(argvs.size());
  auto file = [&](size_t i, const char* stream) { return io.File(std::to_string(i) + stream); };
  for (size_t i = 0; i < argvs.size(); ++i) {
    const ChildOptions options{.stdout_file = file(i, ".out"), .stderr_file = file(i, ".err"),
                               .env = i < envs.size() ? envs[i] : std::vector<std::string>{}, .cwd = cwd};
    StartChild(argvs[i], options, &children[i], &results[i].err);  // the reason stays when it fails
  }
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (size_t i = 0; i < argvs.size(); ++i) {
    int status = 0;
    if (WaitChild(&children[i], MillisecondsLeft(deadline), &status) && WIFEXITED(status)) {
      results[i].exit_code = WEXITSTATUS(status);
    }
    StopChild(&children[i]);
    results[i].out = ReadFile(file(i, ".out")).value_or("");
    results[i].err = ReadFile(file(i, ".err")).value_or("");
  }
  return results;
}

}  // namespace

ProgramResult RunProgram(const std::vector<std::string>& argv, const std::string& cwd,
                         const std::vector<std::string>& env, int timeout_ms) {
  return RunAll({argv}, {env}, cwd, timeout_ms)[0];
}

std::vector<ProgramResult> RunPrograms(const std::vector<std::vector<std::string>>& argvs,
                                       const std::vector<std::vector<std::string>>& envs, int timeout_ms) {
  return RunAll(argvs, envs, "", timeout_ms);
}

ProgramResult RunOvwdb(const std::vector<std::string>& args, const std::string& cwd,
                       const std::vector<std::string>& env) {
  std::vector<std::string> argv = {ZOV_BINARY_DIR "/bin/ovwdb"};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProgram(argv, cwd, env);
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  if (const char* old = std::getenv(name)) {
    old_ = old;
    had_old_ = true;
  }
  if (value != nullptr) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
}

ScopedEnv::~ScopedEnv() {
  if (had_old_) {
    setenv(name_.c_str(), old_.c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

bool WriteNvsnmpConf(const std::string& path, const std::vector<NvsnmpConfLine>& lines) {
  std::string text = "# written by a test\n";
  for (const NvsnmpConfLine& l : lines) {
    text += l.name;
    if (!l.peer.empty()) text += " peer=" + l.peer;
    if (!l.community.empty()) text += " community=" + l.community;
    if (l.port != 0) text += " port=" + std::to_string(l.port);
    if (l.timeout_ms != 0) text += " timeout=" + std::to_string(l.timeout_ms);
    if (l.retries >= 0) text += " retries=" + std::to_string(l.retries);
    if (!l.version.empty()) text += " version=" + l.version;
    text += "\n";
  }
  return WriteFile(path, text);
}

int FreeUdpPort(const char* address) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  inet_pton(AF_INET, address, &a.sin_addr);
  socklen_t len = sizeof a;
  int port = 0;
  sockaddr* address_of = reinterpret_cast<sockaddr*>(&a);
  if (bind(fd, address_of, len) == 0 && getsockname(fd, address_of, &len) == 0) {
    port = ntohs(a.sin_port);
  }
  close(fd);
  return port;
}

bool SnmpsimAgent::Start(const std::string& source_dir, const std::string& probe_community,
                         std::string* why) {
  if (!dir_.ok()) {
    *why = "no temporary directory";
    return false;
  }
  // snmpsimd drops to nobody: it must read its data and write its cache.
  namespace fs = std::filesystem;
  std::error_code error;
  fs::copy(source_dir, data_dir(), fs::copy_options::recursive, error);
  if (error || !fs::create_directory(dir_.File("cache"), error)) {
    *why = "cannot copy " + source_dir + ": " + error.message();
    return false;
  }
  fs::permissions(dir_.path(), fs::perms(0755), error);
  for (const auto& entry : fs::recursive_directory_iterator(dir_.path())) {
    fs::permissions(entry.path(), entry.is_directory() ? fs::perms::all : fs::perms(0644), error);
  }
  ChildOptions options;
  options.stdout_file = dir_.File("snmpsimd.out");
  const std::string probe = ProbeRequest(probe_community);
  auto argv = [&](int port) {
    std::vector<std::string> argv = {"snmpsimd", "--data-dir=" + data_dir(),
                                     "--agent-udpv4-endpoint=127.0.0.1:" + std::to_string(port),
                                     "--cache-dir=" + dir_.File("cache"), "--logging-method=null"};
    // Only root is asked to drop to an account of its own.
    if (geteuid() == 0) argv.insert(argv.end(), {"--process-user=nobody", "--process-group=nogroup"});
    return argv;
  };
  if (StartOnFreePort("127.0.0.1", argv, options, 15000, [&] { return AnswersUdp("127.0.0.1", port_, probe, 100); },
                      &child_, &port_, why)) {
    return true;
  }
  *why = "snmpsimd did not answer (community " + probe_community + "): " + *why;
  return false;
}

// One line printed by TrapReceiver's format; false when it is not one.
static bool ParseTrapLine(const std::string& line, TrapRecord* record) {
  static const std::string kStart = "ZOVTRAP ";
  static const std::string kEnd = " ZOVEND";
  size_t start = line.find(kStart);
  size_t end = line.rfind(kEnd);
  if (start == std::string::npos || end == std::string::npos || end < start + kStart.size()) return false;
  std::string body = line.substr(start + kStart.size(), end - start - kStart.size());
  TrapRecord r;
  r.raw = line;
  std::vector<std::string> head;
  size_t pos = 0;
  for (int i = 0; i < 5; ++i) {
    size_t bar = body.find('|', pos);
    if (bar == std::string::npos) return false;
    head.push_back(body.substr(pos, bar - pos));
    pos = bar + 1;
  }
  r.enterprise = head[0];
  r.agent = head[1];
  r.generic = std::atoi(head[2].c_str());
  // snmptrapd prints the specific type with a leading dot, and a negative one
  // as its 64-bit unsigned pattern.
  r.specific = static_cast<int>(static_cast<long long>(
      std::strtoull(head[3].c_str() + (head[3].starts_with(".") ? 1 : 0), nullptr, 10)));
  r.time_stamp = std::strtoll(head[4].c_str(), nullptr, 10);
  std::string rest = body.substr(pos);
  // Bindings are "OID = TYPE: value" joined by '|'; every OID starts with '.'.
  std::vector<std::string> parts;
  size_t from = 0;
  while (!rest.empty()) {
    size_t bar = rest.find("|.", from);
    if (bar == std::string::npos) {
      parts.push_back(rest);
      break;
    }
    // A '|' inside a value is a separator only when a numeric OID and " = "
    // follow it.
    size_t oid_end = rest.find_first_not_of(".0123456789", bar + 1);
    if (oid_end != std::string::npos && rest.compare(oid_end, 3, " = ") == 0) {
      parts.push_back(rest.substr(0, bar));
      rest = rest.substr(bar + 1);
      from = 0;
    } else {
      from = bar + 1;
    }
  }
  for (const std::string& p : parts) {
    TrapBinding b;
    size_t eq = p.find(" = ");
    if (eq == std::string::npos) return false;
    b.oid = p.substr(0, eq);
    std::string v = p.substr(eq + 3);
    size_t colon = v.find(": ");
    if (!v.empty() && v[0] != '"' && colon != std::string::npos) {
      b.type = v.substr(0, colon);
      b.value = Trim(v.substr(colon + 2));
    } else {
      b.type = "STRING";  // snmptrapd prints an empty string as ""
      b.value = v;
    }
    r.bindings.push_back(b);
  }
  *record = r;
  return true;
}

bool TrapReceiver::Start(std::string* why) {
  char name[256] = {};
  if (gethostname(name, sizeof(name) - 1) != 0) {
    *why = "gethostname failed";
    return false;
  }
  host_name_ = name;
  if (host_name_.size() >= 30) {
    *why =
        "local host name \"" + host_name_ + "\" has 30 characters or more; traps cannot be addressed to it";
    return false;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* res = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &res) != 0 || res == nullptr) {
    *why = "local host name \"" + host_name_ + "\" does not resolve to an IPv4 address";
    return false;
  }
  in_addr addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
  freeaddrinfo(res);
  char text[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &addr, text, sizeof(text));
  address_ = text;
  if ((ntohl(addr.s_addr) >> 24) != 127) {
    *why = "local host name \"" + host_name_ + "\" resolves to " + address_ +
           ", not a loopback address; the test sends no traps off this machine";
    return false;
  }
  if (!dir_.ok()) {
    *why = "no temporary directory";
    return false;
  }
  std::string conf = dir_.File("snmptrapd.conf");
  if (!WriteFile(conf,
                 "disableAuthorization yes\n"
                 "[snmp] mibs :\n"
                 "[snmp] hexOutputLength 0\n"
                 "[snmp] persistentDir " +
                     dir_.File("persist") +
                     "\n"
                     "format1 ZOVTRAP %N|%a|%w|%q|%T|%V|%v ZOVEND\\n\n")) {
    *why = "cannot write " + conf;
    return false;
  }
  const std::string log = dir_.File("traps.log");
  ChildOptions options;
  options.stdout_file = dir_.File("snmptrapd.out");
  options.env = {"SNMP_PERSISTENT_DIR=" + dir_.File("persist")};
  auto argv = [&](int port) {
    return std::vector<std::string>{"snmptrapd", "-f", "-Lf", log, "-C", "-c", conf, "-n", "-On",
                                    "udp:" + address_ + ":" + std::to_string(port)};
  };
  // snmptrapd logs its version once it listens.
  auto up = [&] { return ReadFile(log).value_or("").find("NET-SNMP version") != std::string::npos; };
  if (StartOnFreePort(address_.c_str(), argv, options, 10000, up, &child_, &port_, why)) return true;
  *why = "snmptrapd did not start: " + *why;
  return false;
}

std::vector<TrapRecord> TrapReceiver::WaitForTraps(size_t count, int timeout_ms) {
  return TrapsAbout("", count, timeout_ms);
}

std::vector<TrapRecord> TrapReceiver::TrapsAbout(const std::string& printer, size_t count, int timeout_ms) {
  std::vector<TrapRecord> traps;
  WaitUntil(timeout_ms, [&] {
    traps.clear();
    std::istringstream in(ReadFile(dir_.File("traps.log")).value_or(""));
    TrapRecord r;
    for (std::string line; std::getline(in, line);) {
      if (!ParseTrapLine(line, &r)) continue;
      if (printer.empty() || (r.bindings.size() > 1 && TrapValueBytes(r.bindings[1]) == printer)) traps.push_back(r);
    }
    return traps.size() >= count;
  });
  return traps;
}

std::string TrapValueBytes(const TrapBinding& b) {
  if (b.type != "Hex-STRING") {
    const bool quoted = b.value.size() >= 2 && b.value.front() == '"' && b.value.back() == '"';
    return quoted ? b.value.substr(1, b.value.size() - 2) : b.value;
  }
  std::string bytes;
  std::istringstream hex(b.value);
  for (unsigned byte; hex >> std::hex >> byte;) bytes += static_cast<char>(byte);
  return bytes;
}

bool FaultAgent::Start(const std::vector<std::string>& args, std::string* why) {
  std::vector<std::string> argv = {ZOV_BINARY_DIR "/bin/test_agent"};
  argv.insert(argv.end(), args.begin(), args.end());
  ChildOptions options;
  options.pipe_stdout = true;
  options.pipe_stdin = true;
  if (!StartChild(argv, options, &child_, why)) return false;
  std::string line;
  if (!ReadChildLine(&child_, 5000, &line) || std::atoi(line.c_str()) <= 0) {
    StopChild(&child_);
    *why = "test_agent printed no port (\"" + line + "\")";
    return false;
  }
  port_ = std::atoi(line.c_str());
  return true;
}

bool FaultAgent::StartWithTable(const std::string& table, const std::vector<std::string>& args,
                                std::string* why) {
  std::vector<std::string> all = {"--table", dir_.File("table")};
  all.insert(all.end(), args.begin(), args.end());
  if (WriteFile(all[1], table)) return Start(all, why);
  *why = "cannot write " + all[1];
  return false;
}

}  // namespace zov::test
