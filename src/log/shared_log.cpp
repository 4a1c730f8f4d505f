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
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// This process's count and file pointer. Held for a few statements at a
// time, never while waiting for the system-wide lock and never across file
// I/O: a write or an open that hangs (a file system that stalls) must not
// hold up calls that do not log, nor fork() of the host.
std::mutex g_guard;
// Read without the guard: by the writers' "is a file open" test, and by a
// writer for its record, which the writer's own call keeps open.
std::atomic<FILE*> g_file{nullptr};
int32_t g_active_calls = 0;
// Records dropped and not yet reported, by reason.
std::atomic<uint32_t> g_dropped{0};       // the system-wide lock was held elsewhere
std::atomic<uint32_t> g_dropped_slow{0};  // the file could not be written in time
// A record was cut short by a failed write: the next one starts a new line.
std::atomic<bool> g_torn{false};

// The call running on this thread: a call of NvServiceTest runs on one
// thread from its LogOpen to its LogClose, so its wait budget lives here.
struct CallWait {
  int32_t depth = 0;  // LogOpen calls on this thread not yet closed
  Clock::duration left{};
  bool wanted = false;   // the call asked for the log
  bool gave_up = false;  // the budget ran out: the rest of the call is dropped
  bool gave_up_writing = false;  // ...spent mostly on writing, not on waiting for the lock
  Clock::duration writing{};     // of the budget, what writing took
};
thread_local CallWait t_call;

#if defined(_WIN32)
constexpr char kDriveLogFormat[] = "%s\\usr\\ov\\log\\vlmpslog.txt";
unsigned long ProcessId() { return GetCurrentProcessId(); }
#else
// Same form as on Windows with this platform's separator.
constexpr char kDriveLogFormat[] = "%s/usr/ov/log/vlmpslog.txt";
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
  // The stream is unbuffered, so closing writes nothing of the parent's; a
  // parent thread that was inside a write left the stream's lock held, and
  // the C library resets that in the child.
  if (file != nullptr) std::fclose(file);
  g_active_calls = 0;
  g_dropped.store(0, std::memory_order_relaxed);  // the parent reports its own
  g_dropped_slow.store(0, std::memory_order_relaxed);
  g_torn.store(false, std::memory_order_relaxed);
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

// When this thread's current write must be given up.
Clock::time_point WriteDeadline() {
  const CallWait& call = t_call;
  return Clock::now() + (call.depth > 0 ? call.left : Clock::duration(kLogLockBudget));
}

// Charges time spent writing to the call's budget. Once it is spent, the
// rest of the call's records are dropped: a file that takes seconds per
// record would otherwise hold the system-wide lock, and every other writer,
// for as long as the call has records.
void ChargeWrite(Clock::duration spent) {
  CallWait& call = t_call;
  if (call.depth <= 0) return;
  call.writing += spent;
  call.left -= std::min(call.left, spent);
  if (call.left == Clock::duration::zero()) {
    call.gave_up = true;
    // The line that counts the dropped records names what took the budget.
    call.gave_up_writing = call.writing * 2 > Clock::duration(kLogLockBudget);
  }
}

void CountDropped(bool writing) {
  (writing ? g_dropped_slow : g_dropped).fetch_add(1, std::memory_order_relaxed);
}

// All of text, unless the file refuses it or the deadline passes first.
// Only a file that honours O_NONBLOCK ever answers "try again"; a regular
// file blocks in the write itself, which ChargeWrite accounts for after.
bool WriteAll(FILE* file, const char* text, size_t length, Clock::time_point deadline) {
  while (length > 0) {
    const size_t written = std::fwrite(text, 1, length, file);
    text += written;
    length -= written;
    if (length == 0) break;
    const int error = errno;
    std::clearerr(file);
#if defined(_WIN32)
    // A disk file there has no "try again": what failed, failed.
    (void)error;
    (void)deadline;
    return false;
#else
    if (error != EAGAIN && error != EWOULDBLOCK && error != EINTR) return false;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
#endif
  }
  return std::fflush(file) == 0;
}

// The lines that stand for records a process dropped, one per reason.
constexpr char kDroppedForLockRecord[] =
    "Dropped %lu log record%s of process %lu: the log lock was held elsewhere\n";
constexpr char kDroppedForWriteRecord[] =
    "Dropped %lu log record%s of process %lu: the log file could not be written in time\n";

// One counter's line (format: one of the two above); false when it could not
// be written, and the count is then kept for the next record.
bool WriteDroppedLine(FILE* file, std::atomic<uint32_t>& counter, const char* format,
                      Clock::time_point deadline) {
  uint32_t count = counter.exchange(0, std::memory_order_relaxed);
  if (count == 0) return true;
  char line[160];
  int length = std::snprintf(line, sizeof line, format, static_cast<unsigned long>(count),
                             count == 1 ? "" : "s", ProcessId());
  if (length > 0 && WriteAll(file, line, static_cast<size_t>(length), deadline)) return true;
  counter.fetch_add(count, std::memory_order_relaxed);
  return false;
}

// Under the system-wide lock, ahead of the record about to be written.
bool WriteDroppedLines(FILE* file, Clock::time_point deadline) {
  return WriteDroppedLine(file, g_dropped, kDroppedForLockRecord, deadline) &&
         WriteDroppedLine(file, g_dropped_slow, kDroppedForWriteRecord, deadline);
}

// Characters of an escaped subject, marker not counted.
constexpr size_t kSubjectRoom = kMaxLoggedSubject;
constexpr char kCutMarker[] = "[...]";

// The subject as it goes into a record: control characters and the
// backslash escaped, so that an address cannot start a line of its own (a
// forged record), and at most kMaxLoggedSubject characters, then the marker.
// out must hold kSubjectRoom + sizeof kCutMarker.
void EscapeSubject(const char* subject, char* out) {
  size_t used = 0;
  for (const char* p = subject; *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    char piece[5];
    size_t length = 1;
    switch (c) {
      case '\n': std::memcpy(piece, "\\n", length = 2); break;
      case '\r': std::memcpy(piece, "\\r", length = 2); break;
      case '\t': std::memcpy(piece, "\\t", length = 2); break;
      case '\\': std::memcpy(piece, "\\\\", length = 2); break;
      default:
        if (c < 0x20 || c == 0x7f) {
          std::snprintf(piece, sizeof piece, "\\x%02x", c);
          length = 4;
        } else {
          piece[0] = static_cast<char>(c);
        }
    }
    // An escape is never cut in half.
    if (used + length > kSubjectRoom) {
      std::memcpy(out + used, kCutMarker, sizeof kCutMarker);
      return;
    }
    std::memcpy(out + used, piece, length);
    used += length;
  }
  out[used] = '\0';
}

struct EscapedSubject {
  explicit EscapedSubject(const char* subject) { EscapeSubject(subject, text); }
  char text[kSubjectRoom + sizeof kCutMarker];
};

#if defined(_WIN32)
// Only a plain disk file: a reparse point (a link) is opened as itself and
// refused, never followed; devices, pipes and directories are refused. The
// handle is not inheritable: programs the host starts must not keep it.
FILE* OpenLogStream(const char* path) {
  HANDLE handle = CreateFileA(path, GENERIC_READ | FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    CloseHandle(handle);
    return nullptr;
  }
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_APPEND | _O_TEXT);
  if (fd == -1) {
    CloseHandle(handle);
    return nullptr;
  }
  FILE* file = _fdopen(fd, "a+");
  if (file == nullptr) _close(fd);  // closes the handle too
  return file;
}
#else
// Only a regular file, never through a symbolic link (a dangling one would
// have us create its target): O_NOFOLLOW refuses a link at the path, and
// O_NONBLOCK keeps a FIFO there from blocking the open, so that fstat can
// refuse it. The descriptor does not leak into programs the host starts.
FILE* OpenLogStream(const char* path) {
  int fd = open(path, O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY,
                0666);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return nullptr;
  }
  FILE* file = fdopen(fd, "a+");
  if (file == nullptr) close(fd);
  return file;
}
#endif

// Under the system-wide lock, without the guard.
FILE* OpenLogFile() {
  char path[kMaxLogPath + 1];
  if (!BuildLogPath(std::getenv("NV_DRIVE"), path, sizeof path)) return nullptr;
  FILE* file = OpenLogStream(path);
  // Unbuffered: a record goes out in as few writes as it takes and nothing
  // is left in a buffer when a write fails or the process forks.
  if (file != nullptr) std::setvbuf(file, nullptr, _IONBF, 0);
  return file;
}

// One record: first, or "first: second" when second is given (first is then
// the subject, escaped).
void WriteRecord(const char* first, const char* second) {
  const CallWait& call = t_call;
  if (call.depth > 0 && call.gave_up) {
    // Counted only when it would have been written.
    if (call.wanted || g_file.load(std::memory_order_acquire) != nullptr) {
      CountDropped(call.gave_up_writing);
    }
    return;
  }
  if (g_file.load(std::memory_order_acquire) == nullptr) return;
  // Without the system-wide lock a record could tear against another
  // process's: drop it instead.
  int locked = TakeSystemLock();
  if (locked != kLockTaken) {
    if (locked == kLockTimedOut) CountDropped(false);
    return;
  }
  // The caller's call keeps the count above 0, so the file stays open until
  // its LogClose; writers of this process are kept apart by the lock.
  FILE* file = g_file.load(std::memory_order_acquire);
  if (file != nullptr) {
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = WriteDeadline();
    bool written = true;
    if (g_torn.load(std::memory_order_relaxed)) {
      written = WriteAll(file, "\n", 1, deadline);
      if (written) g_torn.store(false, std::memory_order_relaxed);
    }
    written = written && WriteDroppedLines(file, deadline);
    if (written) {
      if (second != nullptr) {
        EscapedSubject subject(first);
        written = WriteAll(file, subject.text, std::strlen(subject.text), deadline) &&
                  WriteAll(file, ": ", 2, deadline) &&
                  WriteAll(file, second, std::strlen(second), deadline);
      } else {
        written = WriteAll(file, first, std::strlen(first), deadline);
      }
      // Part of it may be in the file.
      if (!written) g_torn.store(true, std::memory_order_relaxed);
    }
    if (!written) CountDropped(true);
    ChargeWrite(Clock::now() - start);
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
  // Openers are kept apart by the system-wide lock, which another call may
  // have held to open it while this one waited; the open itself is file
  // I/O and so is done outside the guard.
  if (g_file.load(std::memory_order_acquire) == nullptr) {
    const Clock::time_point start = Clock::now();
    FILE* file = OpenLogFile();
    ChargeWrite(Clock::now() - start);
    // This call is counted in, so no LogClose can close the file before
    // this call's own.
    if (file != nullptr) g_file.store(file, std::memory_order_release);
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
      // Closed under the system-wide lock, as it was opened, when the call's
      // budget allows. Without it no writer of this process can be using
      // the file either: none has a call left.
      const bool locked = TakeSystemLock() == kLockTaken;
      FILE* file = nullptr;
      if (LockGuard()) {
        // A call that came in meanwhile keeps it open.
        if (g_active_calls <= 0) {
          file = g_file.exchange(nullptr, std::memory_order_acq_rel);
          g_active_calls = 0;
        }
        g_guard.unlock();
      }
      // Out of everyone's reach now; closing may touch the file system.
      if (file != nullptr) std::fclose(file);
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
  EscapedSubject escaped(OrEmpty(subject));
  char record[kMaxErrorRecord + 1];
  int length = std::snprintf(record, sizeof record, "%s: %s\n\t%s\n", escaped.text,
                             OrEmpty(message), OrEmpty(error_text));
  if (length < 0) return;
  // A cut record still ends its line, so the next record starts on its own.
  if (static_cast<size_t>(length) > kMaxErrorRecord) record[kMaxErrorRecord - 1] = '\n';
  LogText(record);
}

void LogSnmpError(const char* subject, int32_t number, const char* message) {
  LogErrorRecord(subject, message, OVsnmpErrString(number));
}
