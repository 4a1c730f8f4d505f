// The system-wide lock "vlmIOMutex" that serialises the shared log across
// every thread of every process on the machine that loads the plug-in.
//
// Windows: the named kernel mutex of that name in the global namespace
// ("Global\vlmIOMutex"), so that a service in session 0 and a tool in a
// user's session share one. When the global one exists but this account may
// not open it, the session's own is used: the process then logs without
// excluding the other account's processes, rather than not at all.
// POSIX: flock() on the file /tmp/vlmIOMutex. /tmp is reachable by every
// user's processes; the file is created read-only for everybody (flock needs
// no write access), opened without following links and only when it is a
// regular file. The kernel drops the lock of a holder that dies. flock locks
// belong to an open file description, so threads of one process do not
// exclude each other through it: an in-process flag taken first does that.
//
// Since any account can hold the lock, every wait for it has a deadline.
// None of these functions blocks beyond it, and none throws.
#ifndef ZOV_LOG_NAMED_MUTEX_H_
#define ZOV_LOG_NAMED_MUTEX_H_

#include <chrono>

inline constexpr char kSystemMutexName[] = "vlmIOMutex";
inline constexpr char kGlobalSystemMutexName[] = "Global\\vlmIOMutex";

// LockSystemMutex results.
inline constexpr int kLockTaken = 0;
// Someone else held the lock until the deadline.
inline constexpr int kLockTimedOut = 1;
// No lock exists in this process, or waiting failed.
inline constexpr int kLockUnavailable = 2;

// Creates the lock, or opens it when another process made it first. Returns
// true when this process has it, now or from an earlier call. A failure
// leaves nothing behind, so the next call tries again. Callers serialise
// calls to it.
bool EnsureSystemMutex();

// Takes the lock, waiting for it at most until deadline (a deadline already
// past still makes one attempt). Nothing is held unless kLockTaken.
int LockSystemMutex(std::chrono::steady_clock::time_point deadline);
void UnlockSystemMutex();

// POSIX: runs in every child after fork() (registered with the first lock).
// Drops the inherited handle, which would share its lock with the parent,
// and any hold of a parent's thread; the next EnsureSystemMutex makes the
// child's own. Async-signal-safe.
void ForgetSystemMutexAfterFork();

// Tests: where the POSIX lock file lives (null restores /tmp). Drops the
// current handle; only while no other thread uses the lock.
void SetSystemMutexDirectoryForTesting(const char* directory);

#endif  // ZOV_LOG_NAMED_MUTEX_H_
