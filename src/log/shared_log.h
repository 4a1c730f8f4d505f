// The shared diagnostic log: one append-mode file shared by every call in
// the process and, under the system-wide lock "vlmIOMutex", by every process
// that loads the plug-in. None of these calls ever fails towards its caller.
//
// Any account can hold that lock, so a call waits for it at most
// kLogLockBudget in all, from its LogOpen to its LogClose on one thread.
// When that runs out, the record that waited and the rest of the call's
// records are dropped; the process counts them and writes one line saying
// how many before the next record it does write:
//   "Dropped N log records of process PID: the log lock was held elsewhere\n"
// ("1 log record" for one). Time spent writing counts against the same
// budget: a record that cannot be written in time is dropped and counted,
// and once writing has used the budget up so are the rest of the call's
// records:
//   "Dropped N log records of process PID: the log file could not be written in time\n"
//
// The file is opened only when it is a regular file, never through a link
// (a FIFO or a symbolic link at the path is refused, and nothing is logged).
//
// The subject of a record ("%s: ...", usually the printer's address) is
// written with control characters and the backslash escaped (\n, \r, \t,
// \\, \xHH), so that no address can forge a record, and cut after
// kMaxLoggedSubject characters with the marker "[...]".
#ifndef ZOV_LOG_SHARED_LOG_H_
#define ZOV_LOG_SHARED_LOG_H_

#include <chrono>
#include <cstddef>
#include <cstdint>

inline constexpr std::chrono::milliseconds kLogLockBudget{2000};

// Counts a call in; opens the file when wanted and not yet open. Starts the
// call's wait budget unless the thread is already inside a call.
void LogOpen(int wanted);
// Counts a call out; the last call out closes the file.
void LogClose();
// "%s": the text as it is (never used as a format).
void LogText(const char* text);
// "%s: %s".
void LogPair(const char* subject, const char* message);
// "%s: %s\n\t%s\n" with the SNMP library's text for number.
void LogSnmpError(const char* subject, int32_t number, const char* message);
// The same record form with an error text the caller already has (for
// failure codes the SNMP library cannot know).
void LogErrorRecord(const char* subject, const char* message, const char* error_text);

// Longest subject written, in characters, before the cut marker.
inline constexpr size_t kMaxLoggedSubject = 1024;
// Longest log path, in characters.
inline constexpr size_t kMaxLogPath = 127;
// Longest LogSnmpError record, in characters.
inline constexpr size_t kMaxErrorRecord = 199;

// The log file's path for an NV_DRIVE value (null when unset). Returns false,
// leaving nothing usable in buffer, when the path would not fit.
bool BuildLogPath(const char* nv_drive, char* buffer, size_t size);

#endif  // ZOV_LOG_SHARED_LOG_H_
