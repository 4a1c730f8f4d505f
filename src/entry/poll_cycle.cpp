#include "entry/poll_cycle.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

#include "log/shared_log.h"
#include "platform/alert_trap.h"
#include "platform/last_alert.h"
#include "platform/local_host.h"
#include "platform/ovw.h"
#include "printer/alert_evaluation.h"
#include "printer/alert_table.h"
#include "printer/identity_probe.h"
#include "snmp/oid.h"
#include "snmp/owned.h"

namespace {

constexpr const char* kVendorPrefix = ".1.3.6.1.4.1.808.8.62.1";
constexpr uint32_t kVendorPrefixLength = 10;
constexpr int kDbInitAttempts = 10;
// "OVwDbInit failed: %s\n" fits in a line of this many characters.
constexpr size_t kDbFailureLineMax = 99;

void SleepMilliseconds(uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

std::atomic<PauseFunction> g_pause{SleepMilliseconds};

// One unseeded generator for the process, so that polls failing at the same
// moment in different threads draw different pauses instead of retrying in
// step.
uint32_t NextPauseMilliseconds() {
  static std::mutex mutex;
  static std::minstd_rand generator;
  uint32_t v;
  {
    std::lock_guard<std::mutex> lock(mutex);
    v = static_cast<uint32_t>(generator());
  }
  return (v % 100 + 10) * 100;
}

using AlertList = Owned<AlertRecord, FreeAlertList>;

// LogClose exactly once, on whichever path the cycle leaves; declared first
// in the cycle so that it runs after every other holder has released.
struct LogBracketEnd {
  LogBracketEnd() = default;
  LogBracketEnd(const LogBracketEnd&) = delete;
  LogBracketEnd& operator=(const LogBracketEnd&) = delete;
  ~LogBracketEnd() { LogClose(); }
};

bool IsVendorPrinter(const char* address, const uint32_t* family, uint32_t family_count) {
  uint32_t prefix_count = 0;
  OidBlock prefix(ParseOid(kVendorPrefix, &prefix_count));
  if (!prefix) {
    LogPair(address, "Out of memory\n");
    return false;
  }
  if (CompareOid(family, family_count, prefix.get(), kVendorPrefixLength, kVendorPrefixLength) != 0) {
    LogPair(address, "Printer is not of the supported family\n");
    return false;
  }
  return true;
}

// True when the database is ready; otherwise logs why and gives up after the
// last attempt's pause.
bool StartDatabase() {
  for (int attempt = 1;; ++attempt) {
    if (OVwDbInit() == 0) return true;
    g_pause.load(std::memory_order_relaxed)(NextPauseMilliseconds());
    if (attempt == kDbInitAttempts) break;
  }
  const char* text = OVwErrorMsg(OVwError());
  if (text == nullptr) text = "";
  // A long platform text is cut so the line still ends in its line end.
  static constexpr char kHead[] = "OVwDbInit failed: ";
  constexpr size_t kRoom = kDbFailureLineMax - (sizeof(kHead) - 1) - 1;
  char line[kDbFailureLineMax + 1];
  std::snprintf(line, sizeof(line), "%s%.*s\n", kHead, static_cast<int>(kRoom), text);
  LogText(line);
  return false;
}

int32_t TrapNumberFor(const PollOptions& options, int32_t severity) {
  switch (severity) {
    case kSeverityCritical: return options.critical_trap;
    case kSeverityWarning: return options.warning_trap;
    default: return options.other_trap;
  }
}

void AnnounceAlert(const char* address, const PollOptions& options, const AlertRecord& reported) {
  const int32_t trap_number = TrapNumberFor(options, reported.severity);
  MallocBlock<char> host(LocalHostName());
  LogPair(address, "Generating trap for printer\n");
  if (reported.description != nullptr && trap_number != 0 && host) {
    SendAlertTrap(address, host.get(), trap_number, reported.description,
                  reported.description_length);
  }
}

}  // namespace

void SetRetryPauseForTesting(PauseFunction pause) {
  g_pause.store(pause != nullptr ? pause : SleepMilliseconds, std::memory_order_relaxed);
}

int32_t RunPollCycle(const char* address, const PollOptions& options) {
  LogBracketEnd log_bracket_end;
  // Bounds the printer's part of the poll: an agent that answers each request
  // just inside the timeout could otherwise hold the thread for hours. The
  // database start-up keeps its own ten attempts and is not charged to it.
  const QueryClock::time_point deadline =
      QueryClock::now() + std::chrono::seconds(options.time_limit_seconds);

  {
    uint32_t uptime = 0;
    uint32_t* family_block = nullptr;
    uint32_t family_count = 0;
    ProbeIdentity(address, &uptime, &family_block, &family_count, deadline);
    OidBlock family(family_block);
    // An agent reporting an uptime of exactly 0 counts as not having answered.
    if (uptime == 0 || !family) {
      LogPair(address, "Unable to get sysUpTime or printer ID from printer\n");
      return kStatusNotCompleted;
    }
    if (!IsVendorPrinter(address, family.get(), family_count)) return kStatusNotCompleted;
  }

  int32_t walk_result = 0;
  AlertList alerts(ReadAlertTable(address, &walk_result, deadline));
  // A walk that failed is not "no alerts": reporting normal would hide the
  // failure and clearing the field would trap the same alert again later.
  if (walk_result != 0) return kStatusNotCompleted;

  if (!StartDatabase()) return kStatusNotCompleted;

  const int32_t previous = ReadLastAlert(address);

  if (!alerts) {
    if (previous != 0) WriteLastAlert(address, 0);
    return kStatusNormal;
  }

  const AlertRecord* reported = SelectReportedAlert(alerts.get());
  if (reported == nullptr) reported = SelectWorstAlert(alerts.get());
  // Compare what is stored with what would be stored: the identity, not the
  // time, or an untimed critical alert would be announced on every poll.
  const bool changed = reported != nullptr && AlertIdentity(*reported) != previous;
  if (changed) WriteLastAlert(address, AlertIdentity(*reported));

  const AlertRecord* worst = SelectWorstAlert(alerts.get());
  const int32_t status = StatusForSeverity(worst->severity);

  if (changed) AnnounceAlert(address, options, *reported);
  return status;
}
