#include "log/named_mutex.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>

#if defined(_WIN32)
#include <windows.h>
#else
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>
#endif

#if defined(_WIN32)

namespace {
// Written once, when creation succeeds; kept until the process ends.
std::atomic<HANDLE> g_mutex{nullptr};
}  // namespace

bool EnsureSystemMutex() {
  if (g_mutex.load(std::memory_order_acquire) != nullptr) return true;
  // An existing mutex of this name (another process made it) is what we want.
  HANDLE handle = CreateMutexA(nullptr, FALSE, kGlobalSystemMutexName);
  // Made by another account (a service), whose default security lets others
  // wait and release but not have every right CreateMutexA asks for.
  if (handle == nullptr && GetLastError() == ERROR_ACCESS_DENIED) {
    handle = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, kGlobalSystemMutexName);
  }
  if (handle == nullptr) handle = CreateMutexA(nullptr, FALSE, kSystemMutexName);
  if (handle == nullptr) return false;
  g_mutex.store(handle, std::memory_order_release);
  return true;
}

int LockSystemMutex(std::chrono::steady_clock::time_point deadline) {
  HANDLE handle = g_mutex.load(std::memory_order_acquire);
  if (handle == nullptr) return kLockUnavailable;
  DWORD wait = 0;
  const auto now = std::chrono::steady_clock::now();
  if (deadline > now) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    // INFINITE itself would mean no limit.
    wait = static_cast<DWORD>(std::min<long long>(left, INFINITE - 1));
  }
  // A holder that died left the mutex abandoned; we own it now all the same.
  DWORD result = WaitForSingleObject(handle, wait);
  if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) return kLockTaken;
  return result == WAIT_TIMEOUT ? kLockTimedOut : kLockUnavailable;
}

void UnlockSystemMutex() {
  HANDLE handle = g_mutex.load(std::memory_order_acquire);
  if (handle != nullptr) ReleaseMutex(handle);
}

void ForgetSystemMutexAfterFork() {}

void SetSystemMutexDirectoryForTesting(const char*) {}

#else

namespace {

constexpr char kDefaultDirectory[] = "/tmp";

// -1 until creation succeeds. Read without a lock by every operation.
std::atomic<int> g_lock_fd{-1};
// A thread of this process holds the lock (or is trying flock for it).
std::atomic<bool> g_held{false};
char g_directory[256] = "/tmp";
std::once_flag g_fork_handler;

// Opens the lock file, creating it when missing. Opening an existing file
// without O_CREAT keeps this working where fs.protected_regular forbids
// O_CREAT on another user's file in a sticky directory.
int OpenLockFile(const char* path) {
  constexpr int kFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  for (int attempt = 0; attempt < 4; ++attempt) {
    int fd = open(path, kFlags);
    if (fd < 0 && errno == ENOENT) {
      fd = open(path, kFlags | O_CREAT | O_EXCL, 0444);
      if (fd < 0 && errno == EEXIST) continue;  // lost a race with its creator
      // The umask must not keep other users out.
      if (fd >= 0) fchmod(fd, 0444);
    }
    if (fd < 0) return -1;
    // O_NONBLOCK above kept a planted FIFO from blocking the open; refuse
    // anything but a plain file.
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      close(fd);
      return -1;
    }
    return fd;
  }
  return -1;
}

}  // namespace

bool EnsureSystemMutex() {
  if (g_lock_fd.load(std::memory_order_acquire) >= 0) return true;
  char path[320];
  int length = std::snprintf(path, sizeof path, "%s/%s", g_directory, kSystemMutexName);
  if (length < 0 || static_cast<size_t>(length) >= sizeof path) return false;
  int fd = OpenLockFile(path);
  if (fd < 0) return false;
  try {
    std::call_once(g_fork_handler,
                   [] { pthread_atfork(nullptr, nullptr, ForgetSystemMutexAfterFork); });
  } catch (...) {
    close(fd);
    return false;
  }
  g_lock_fd.store(fd, std::memory_order_release);
  return true;
}

namespace {

// Between attempts: short at first, since a record holds the lock for
// microseconds; never so long that a free lock goes unnoticed for long.
constexpr std::chrono::microseconds kFirstPause{100};
constexpr std::chrono::microseconds kLongestPause{5000};

// One attempt, without waiting: kLockTimedOut means busy.
int TryLock(int fd) {
  if (g_held.exchange(true, std::memory_order_acquire)) return kLockTimedOut;
  int result = kLockTaken;
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    result = errno == EWOULDBLOCK ? kLockTimedOut : kLockUnavailable;
    break;
  }
  if (result != kLockTaken) g_held.store(false, std::memory_order_release);
  return result;
}

}  // namespace

// A blocking flock cannot be given a deadline without a signal to cut it
// short, which would be the host's signal to take: attempts without
// blocking, with pauses in between, are bounded instead.
int LockSystemMutex(std::chrono::steady_clock::time_point deadline) {
  int fd = g_lock_fd.load(std::memory_order_acquire);
  if (fd < 0) return kLockUnavailable;
  std::chrono::steady_clock::duration pause = kFirstPause;
  for (;;) {
    int result = TryLock(fd);
    if (result != kLockTimedOut) return result;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return kLockTimedOut;
    // Retries itself when a signal interrupts it.
    std::this_thread::sleep_for(std::min(pause, deadline - now));
    pause = std::min<std::chrono::steady_clock::duration>(pause * 2, kLongestPause);
  }
}

void UnlockSystemMutex() {
  int fd = g_lock_fd.load(std::memory_order_acquire);
  if (fd >= 0) flock(fd, LOCK_UN);
  g_held.store(false, std::memory_order_release);
}

void ForgetSystemMutexAfterFork() {
  int fd = g_lock_fd.exchange(-1, std::memory_order_acq_rel);
  if (fd >= 0) close(fd);
  // A thread that held it does not exist in a child.
  g_held.store(false, std::memory_order_release);
}

void SetSystemMutexDirectoryForTesting(const char* directory) {
  ForgetSystemMutexAfterFork();
  std::snprintf(g_directory, sizeof g_directory, "%s",
                directory != nullptr ? directory : kDefaultDirectory);
}

#endif
