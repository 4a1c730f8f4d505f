#include "log/shared_log.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "log/named_mutex.h"
#include "snmp/nvsnmp.h"

#if !defined(_WIN32)
#include <pthread.h>
#endif

namespace {

// Threads of this process; the system-wide lock is taken inside it. Guards
// the count and the file pointer.
std::mutex g_guard;
// Read without the lock by the writers' "is a file open" test.
std::atomic<FILE*> g_file{nullptr};
int32_t g_active_calls = 0;

#if defined(_WIN32)
constexpr char kDriveLogFormat[] = "%s\\usr\\ov\\log\\vlmpslog.txt";
constexpr char kOpenMode[] = "a+";
#else
// Same form as on Windows with this platform's separator.
constexpr char kDriveLogFormat[] = "%s/usr/ov/log/vlmpslog.txt";
// "e": the log descriptor must not leak into programs the host starts.
constexpr char kOpenMode[] = "a+e";
#endif
constexpr char kDefaultLogPath[] = "pslog.txt";

// std::mutex::lock may in principle throw; nothing may leave the log.
bool LockGuard() {
  try {
    g_guard.lock();
    return true;
  } catch (...) {
    return false;
  }
}

#if !defined(_WIN32)
// Holding the guard across fork() keeps a child from inheriting it locked
// by a thread that does not exist there. (The lock itself makes sure a
// child does not share the parent's.)
void PrepareFork() { g_guard.lock(); }
void ResumeAfterFork() { g_guard.unlock(); }
std::once_flag g_fork_handlers;
#endif

void OpenLogFile() {
  char path[kMaxLogPath + 1];
  if (!BuildLogPath(std::getenv("NV_DRIVE"), path, sizeof path)) return;
  FILE* file = std::fopen(path, kOpenMode);
  if (file != nullptr) g_file.store(file, std::memory_order_release);
}

// One record: first, or "first: second" when second is given.
void WriteRecord(const char* first, const char* second) {
  if (g_file.load(std::memory_order_acquire) == nullptr) return;
  if (!LockGuard()) return;
  // Without the system-wide lock a record could tear against another
  // process's: drop it instead.
  if (LockSystemMutex()) {
    FILE* file = g_file.load(std::memory_order_acquire);
    if (file != nullptr) {
      std::fputs(first, file);
      if (second != nullptr) {
        std::fputs(": ", file);
        std::fputs(second, file);
      }
      std::fflush(file);
    }
    UnlockSystemMutex();
  }
  g_guard.unlock();
}

const char* OrEmpty(const char* text) { return text != nullptr ? text : ""; }

}  // namespace

bool BuildLogPath(const char* nv_drive, char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return false;
  int length = nv_drive == nullptr
                   ? std::snprintf(buffer, size, "%s", kDefaultLogPath)
                   : std::snprintf(buffer, size, kDriveLogFormat, nv_drive);
  // Never a shortened path: it would name some other file.
  if (length < 0 || static_cast<size_t>(length) >= size ||
      static_cast<size_t>(length) > kMaxLogPath) {
    buffer[0] = '\0';
    return false;
  }
  return true;
}

void LogOpen(int wanted) {
  if (!LockGuard()) return;
#if !defined(_WIN32)
  try {
    std::call_once(g_fork_handlers,
                   [] { pthread_atfork(PrepareFork, ResumeAfterFork, ResumeAfterFork); });
  } catch (...) {
  }
#endif
  // The count is this process's own: the guard is what keeps it. The
  // system-wide lock is for the file, which other processes append to, so it
  // is taken only when this call opens the file; a poll without a log makes
  // no system call here. A lock that cannot be made is retried by every
  // LogOpen that wants the file; meanwhile no file is opened, so the call
  // logs nothing, but it is still counted so that its LogClose keeps the
  // count right.
  ++g_active_calls;
  if (wanted != 0 && g_file.load(std::memory_order_relaxed) == nullptr && EnsureSystemMutex() &&
      LockSystemMutex()) {
    OpenLogFile();
    UnlockSystemMutex();
  }
  g_guard.unlock();
}

void LogClose() {
  if (!LockGuard()) return;
  --g_active_calls;
  FILE* file = g_file.load(std::memory_order_relaxed);
  if (g_active_calls <= 0 && file != nullptr) {
    // Closed under both locks, as it was opened.
    bool locked = LockSystemMutex();
    g_file.store(nullptr, std::memory_order_release);
    std::fclose(file);
    g_active_calls = 0;
    if (locked) UnlockSystemMutex();
  }
  g_guard.unlock();
}

void LogText(const char* text) { WriteRecord(OrEmpty(text), nullptr); }

void LogPair(const char* subject, const char* message) {
  WriteRecord(OrEmpty(subject), OrEmpty(message));
}

void LogErrorRecord(const char* subject, const char* message, const char* error_text) {
  char record[kMaxErrorRecord + 1];
  int length = std::snprintf(record, sizeof record, "%s: %s\n\t%s\n", OrEmpty(subject),
                             OrEmpty(message), OrEmpty(error_text));
  if (length < 0) return;
  // A cut record still ends its line, so the next record starts on its own.
  if (static_cast<size_t>(length) > kMaxErrorRecord) record[kMaxErrorRecord - 1] = '\n';
  LogText(record);
}

void LogSnmpError(const char* subject, int32_t number, const char* message) {
  LogErrorRecord(subject, message, OVsnmpErrString(number));
}
