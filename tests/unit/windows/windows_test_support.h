// Small Win32 helpers for the Windows tests: temporary folders, whole files,
// the environment and child processes of the test executable itself.
#ifndef ZOV_TESTS_UNIT_WINDOWS_WINDOWS_TEST_SUPPORT_H_
#define ZOV_TESTS_UNIT_WINDOWS_WINDOWS_TEST_SUPPORT_H_

#include <windows.h>

#include <cstdio>
#include <cstdlib>
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

inline void RemoveTree(const std::string& dir) {
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((dir + "\\*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      std::string name = data.cFileName;
      if (name == "." || name == "..") continue;
      std::string path = dir + "\\" + name;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(path);
      } else {
        DeleteFileA(path.c_str());
      }
    } while (FindNextFileA(find, &data));
    FindClose(find);
  }
  RemoveDirectoryA(dir.c_str());
}

// A fresh folder under the system's temporary folder, removed at the end.
class TempDir {
 public:
  TempDir() {
    char base[MAX_PATH];
    GetTempPathA(MAX_PATH, base);
    static int counter = 0;
    for (;;) {
      path_ = std::string(base) + "zovwin-" + std::to_string(GetCurrentProcessId()) + "-" +
              std::to_string(++counter);
      if (CreateDirectoryA(path_.c_str(), nullptr)) break;
    }
  }
  ~TempDir() { RemoveTree(path_); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Makes root\usr\ov\log, where the log goes under NV_DRIVE=root.
inline std::string MakeLogFolder(const std::string& root) {
  std::string dir = root;
  for (const char* part : {"usr", "ov", "log"}) {
    dir += "\\";
    dir += part;
    CreateDirectoryA(dir.c_str(), nullptr);
  }
  return dir + "\\vlmpslog.txt";
}

// The file's bytes exactly as stored (no text-mode translation); empty when
// missing.
inline std::string ReadBinary(const std::string& path) {
  std::string out;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    std::fclose(f);
  }
  return out;
}

inline bool FileExists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Sets NV_DRIVE for this process (the C runtime's copy, which getenv reads),
// or removes it for null; restores the earlier state on destruction.
class ScopedNvDrive {
 public:
  explicit ScopedNvDrive(const char* value) {
    if (const char* old = std::getenv("NV_DRIVE")) {
      had_ = true;
      old_ = old;
    }
    Set(value);
  }
  ~ScopedNvDrive() { Set(had_ ? old_.c_str() : nullptr); }
  ScopedNvDrive(const ScopedNvDrive&) = delete;
  ScopedNvDrive& operator=(const ScopedNvDrive&) = delete;

 private:
  static void Set(const char* value) {
    if (value == nullptr) {
      _putenv("NV_DRIVE=");
    } else {
      // An empty value would remove the variable here; tests use none.
      _putenv_s("NV_DRIVE", value);
    }
  }
  bool had_ = false;
  std::string old_;
};

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

// A named event unique to this process and purpose.
inline std::string EventName(const char* purpose) {
  return std::string("zovwin-") + purpose + "-" + std::to_string(GetCurrentProcessId());
}

}  // namespace wintest

#endif  // ZOV_TESTS_UNIT_WINDOWS_WINDOWS_TEST_SUPPORT_H_
