#include "log/named_mutex.h"

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
#endif

#if defined(_WIN32)

namespace {
// Written once, when creation succeeds; kept until the process ends.
std::atomic<HANDLE> g_mutex{nullptr};
}  // namespace

bool EnsureSystemMutex() {
  if (g_mutex.load(std::memory_order_acquire) != nullptr) return true;
  // An existing mutex of this name (another process made it) is what we want.
  HANDLE handle = CreateMutexA(nullptr, FALSE, kSystemMutexName);
  if (handle == nullptr) return false;
  g_mutex.store(handle, std::memory_order_release);
  return true;
}

bool LockSystemMutex() {
  HANDLE handle = g_mutex.load(std::memory_order_acquire);
  if (handle == nullptr) return false;
  // A holder that died left the mutex abandoned; we own it now all the same.
  DWORD result = WaitForSingleObject(handle, INFINITE);
  return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
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

bool LockSystemMutex() {
  int fd = g_lock_fd.load(std::memory_order_acquire);
  if (fd < 0) return false;
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

void UnlockSystemMutex() {
  int fd = g_lock_fd.load(std::memory_order_acquire);
  if (fd >= 0) flock(fd, LOCK_UN);
}

void ForgetSystemMutexAfterFork() {
  int fd = g_lock_fd.exchange(-1, std::memory_order_acq_rel);
  if (fd >= 0) close(fd);
}

void SetSystemMutexDirectoryForTesting(const char* directory) {
  ForgetSystemMutexAfterFork();
  std::snprintf(g_directory, sizeof g_directory, "%s",
                directory != nullptr ? directory : kDefaultDirectory);
}

#endif
