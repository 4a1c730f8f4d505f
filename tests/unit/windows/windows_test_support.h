// Small Win32 helpers for the Windows tests: child processes of the test
// executable itself and the events they share. Working folders, files and
// NV_DRIVE come from ScratchDir (unit_support.h).
#ifndef ZOV_TESTS_UNIT_WINDOWS_WINDOWS_TEST_SUPPORT_H_
#define ZOV_TESTS_UNIT_WINDOWS_WINDOWS_TEST_SUPPORT_H_

#include <winsock.h>
#include <windows.h>

#include <string>
#include <vector>

namespace wintest {

// Bound on every wait for another process, so a broken test fails instead of
// hanging CI.
inline constexpr DWORD kWaitLimitMs = 30000;

inline std::string ModuleDirectory() {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string s(path, n);
  return s.substr(0, s.find_last_of('\\'));
}

// A child process running this executable with the given arguments.
class Child {
 public:
  explicit Child(const std::vector<std::string>& args) {
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string cmd = std::string("\"") + self + "\"";
    for (const auto& a : args) cmd += " \"" + a + "\"";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    std::vector<char> line(cmd.begin(), cmd.end());
    line.push_back('\0');
    started_ = CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                              &si, &pi_) != 0;
  }
  ~Child() {
    if (!started_) return;
    if (WaitForSingleObject(pi_.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(pi_.hProcess, 99);
    CloseHandle(pi_.hThread);
    CloseHandle(pi_.hProcess);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  bool started() const { return started_; }
  // The exit code, or -1 when the child did not end in time.
  int Wait() {
    if (!started_ || WaitForSingleObject(pi_.hProcess, kWaitLimitMs) != WAIT_OBJECT_0) return -1;
    DWORD code = 0;
    GetExitCodeProcess(pi_.hProcess, &code);
    return static_cast<int>(code);
  }

 private:
  PROCESS_INFORMATION pi_{};
  bool started_ = false;
};

// This machine's name as Winsock 1.1 gives it; empty when it cannot.
inline std::string WinsockHostName() {
  WSADATA data;
  char name[256] = {};
  if (WSAStartup(0x0101, &data) != 0) return {};
  if (gethostname(name, sizeof name) != 0) name[0] = '\0';
  WSACleanup();
  return name;
}

// A named event unique to this process and purpose.
inline std::string EventName(const char* purpose) {
  return std::string("zovwin-") + purpose + "-" + std::to_string(GetCurrentProcessId());
}

}  // namespace wintest

#endif  // ZOV_TESTS_UNIT_WINDOWS_WINDOWS_TEST_SUPPORT_H_
