// The option string of one NvServiceTest call.
#ifndef ZOV_ENTRY_POLL_OPTIONS_H_
#define ZOV_ENTRY_POLL_OPTIONS_H_

#include <cstdint>

// How long a poll may spend on the printer (the t option), in seconds.
inline constexpr int32_t kDefaultPollSeconds = 60;
inline constexpr int32_t kMaxPollSeconds = 3600;

struct PollOptions {
  int32_t critical_trap = 0;
  int32_t warning_trap = 0;
  int32_t other_trap = 0;
  bool log = false;
  int32_t time_limit_seconds = kDefaultPollSeconds;
};

// Parses options (null allowed) into *out, which must hold the defaults. The
// d option sets OVsnmpDumpPacket at once. "t N" sets the time limit; N below 1
// (or no number) keeps the default, N above kMaxPollSeconds is cut to it, so
// a poll is never unbounded.
void ParseOptions(const char* options, PollOptions* out);

#endif  // ZOV_ENTRY_POLL_OPTIONS_H_
