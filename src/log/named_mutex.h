// The system-wide lock "vlmIOMutex" that serialises the shared log across
// every process on the machine that loads the plug-in.
//
// Windows: the named kernel mutex of that name.
// POSIX: flock() on the file /tmp/vlmIOMutex. /tmp is reachable by every
// user's processes; the file is created read-only for everybody (flock needs
// no write access), opened without following links and only when it is a
// regular file. The kernel drops the lock of a holder that dies. flock locks
// belong to an open file description, so threads of one process do not
// exclude each other through it: callers pair it with an in-process mutex.
//
// None of these functions blocks except LockSystemMutex, and none throws.
#ifndef ZOV_LOG_NAMED_MUTEX_H_
#define ZOV_LOG_NAMED_MUTEX_H_

inline constexpr char kSystemMutexName[] = "vlmIOMutex";

// Creates the lock, or opens it when another process made it first. Returns
// true when this process has it, now or from an earlier call. A failure
// leaves nothing behind, so the next call tries again. Callers serialise
// calls to it.
bool EnsureSystemMutex();

// Waits without limit for the lock. False when the process has no lock or
// waiting failed; nothing is held then.
bool LockSystemMutex();
void UnlockSystemMutex();

// POSIX: runs in every child after fork() (registered with the first lock).
// Drops the inherited handle, which would share its lock with the parent;
// the next EnsureSystemMutex makes the child's own. Async-signal-safe.
void ForgetSystemMutexAfterFork();

// Tests: where the POSIX lock file lives (null restores /tmp). Drops the
// current handle; only while no other thread uses the lock.
void SetSystemMutexDirectoryForTesting(const char* directory);

#endif  // ZOV_LOG_NAMED_MUTEX_H_
