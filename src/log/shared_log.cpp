#include "log/shared_log.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "log/named_mutex.h"
#include "snmp/nvsnmp.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#include <unistd.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

// This process's count and file pointer. Held for a few statements at a
// time (a count, an open, a close, one record), never while waiting for the
// system-wide lock: that one is always taken first.
std::mutex g_guard;
// Read without the guard by the writers' "is a file open" test.
std::atomic<FILE*> g_file{nullptr};
int32_t g_active_calls = 0;
// Records dropped for want of the system-wide lock, not yet reported.
std::atomic<uint32_t> g_dropped{0};

// The call running on this thread: a call of NvServiceTest runs on one
// thread from its LogOpen to its LogClose, so its wait budget lives here.
struct CallWait {
  int32_t depth = 0;  // LogOpen calls on this thread not yet closed
  Clock::duration left{};
  bool wanted = false;   // the call asked for the log
  bool gave_up = false;  // a wait ran out: the rest of the call is dropped
};
thread_local CallWait t_call;

#if defined(_WIN32)
constexpr char kDriveLogFormat[] = "%s\\usr\\ov\\log\\vlmpslog.txt";
constexpr char kOpenMode[] = "a+";
unsigned long ProcessId() { return GetCurrentProcessId(); }
#else
// Same form as on Windows with this platform's separator.
constexpr char kDriveLogFormat[] = "%s/usr/ov/log/vlmpslog.txt";
// "e": the log descriptor must not leak into programs the host starts.
constexpr char kOpenMode[] = "a+e";
unsigned long ProcessId() { return static_cast<unsigned long>(getpid()); }
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
// by a thread that does not exist there.
void PrepareFork() { g_guard.lock(); }
void ResumeParent() { g_guard.unlock(); }
// A child has only the thread that forked. The file and the count of the
// parent's calls are not its own: with them it could never log. (The lock's
// own handler, registered with the lock, drops the parent's lock.)
void StartChild() {
  FILE* file = g_file.exchange(nullptr, std::memory_order_acq_rel);
  // Every record was flushed, so closing writes nothing of the parent's.
  if (file != nullptr) std::fclose(file);
  g_active_calls = 0;
  g_dropped.store(0, std::memory_order_relaxed);  // the parent reports its own
  t_call = CallWait{};
  g_guard.unlock();
}
std::once_flag g_fork_handlers;
#endif

// Takes the system-wide lock for one operation of this thread's call and
// charges the wait to the call's budget; a thread outside any call gets a
// budget for the one operation.
int TakeSystemLock() {
  CallWait& call = t_call;
  if (call.depth <= 0) return LockSystemMutex(Clock::now() + kLogLockBudget);
  if (call.gave_up) return kLockTimedOut;
  const Clock::time_point start = Clock::now();
  int result = LockSystemMutex(start + call.left);
  call.left -= std::min(call.left, Clock::now() - start);
  if (result == kLockTimedOut) {
    call.gave_up = true;
    call.left = Clock::duration::zero();
  }
  return result;
}

void CountDropped() { g_dropped.fetch_add(1, std::memory_order_relaxed); }

// Under both locks, ahead of the record about to be written.
void WriteDroppedLine(FILE* file) {
  uint32_t count = g_dropped.exchange(0, std::memory_order_relaxed);
  if (count == 0) return;
  std::fprintf(file, "Dropped %lu log record%s of process %lu: the log lock was held elsewhere\n",
               static_cast<unsigned long>(count), count == 1 ? "" : "s", ProcessId());
}

void OpenLogFile() {
  char path[kMaxLogPath + 1];
  if (!BuildLogPath(std::getenv("NV_DRIVE"), path, sizeof path)) return;
  FILE* file = std::fopen(path, kOpenMode);
  if (file != nullptr) g_file.store(file, std::memory_order_release);
}

// One record: first, or "first: second" when second is given.
void WriteRecord(const char* first, const char* second) {
  const CallWait& call = t_call;
  if (call.depth > 0 && call.gave_up) {
    // Counted only when it would have been written.
    if (call.wanted || g_file.load(std::memory_order_acquire) != nullptr) CountDropped();
    return;
  }
  if (g_file.load(std::memory_order_acquire) == nullptr) return;
  // Without the system-wide lock a record could tear against another
  // process's: drop it instead.
  int locked = TakeSystemLock();
  if (locked != kLockTaken) {
    if (locked == kLockTimedOut) CountDropped();
    return;
  }
  if (LockGuard()) {
    FILE* file = g_file.load(std::memory_order_relaxed);
    if (file != nullptr) {
      WriteDroppedLine(file);
      std::fputs(first, file);
      if (second != nullptr) {
        std::fputs(": ", file);
        std::fputs(second, file);
      }
      std::fflush(file);
    }
    g_guard.unlock();
  }
  UnlockSystemMutex();
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
  CallWait& call = t_call;
  if (call.depth <= 0) {
    call = CallWait{};
    call.left = kLogLockBudget;
  }
  ++call.depth;
  if (wanted != 0) call.wanted = true;
#if !defined(_WIN32)
  try {
    std::call_once(g_fork_handlers, [] { pthread_atfork(PrepareFork, ResumeParent, StartChild); });
  } catch (...) {
  }
#endif
  if (!LockGuard()) return;
  // The count is this process's own: the guard is what keeps it. The
  // system-wide lock is for the file, which other processes append to, so it
  // is taken only when this call opens the file; a poll without a log makes
  // no system call here. A lock that cannot be made is retried by every
  // LogOpen that wants the file; meanwhile no file is opened, so the call
  // logs nothing, but it is still counted so that its LogClose keeps the
  // count right.
  ++g_active_calls;
  const bool opening = wanted != 0 && g_file.load(std::memory_order_relaxed) == nullptr &&
                       EnsureSystemMutex();
  g_guard.unlock();
  if (!opening || TakeSystemLock() != kLockTaken) return;
  if (LockGuard()) {
    // Another call may have opened it while this one waited for the lock.
    if (g_file.load(std::memory_order_relaxed) == nullptr) OpenLogFile();
    g_guard.unlock();
  }
  UnlockSystemMutex();
}

void LogClose() {
  CallWait& call = t_call;
  if (LockGuard()) {
    --g_active_calls;
    const bool closing = g_active_calls <= 0 && g_file.load(std::memory_order_relaxed) != nullptr;
    g_guard.unlock();
    if (closing) {
      // Closed under both locks, as it was opened, when the call's budget
      // allows; otherwise under the guard alone, which keeps writers of
      // this process out: every record was flushed, so closing writes
      // nothing another process could tear.
      const bool locked = TakeSystemLock() == kLockTaken;
      if (LockGuard()) {
        // A call that came in meanwhile keeps it open.
        FILE* file = g_file.load(std::memory_order_relaxed);
        if (g_active_calls <= 0 && file != nullptr) {
          g_file.store(nullptr, std::memory_order_release);
          std::fclose(file);
          g_active_calls = 0;
        }
        g_guard.unlock();
      }
      if (locked) UnlockSystemMutex();
    }
  }
  if (call.depth > 0 && --call.depth == 0) call = CallWait{};
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
