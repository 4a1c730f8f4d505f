// The option string of one NvServiceTest call.
#ifndef ZOV_ENTRY_POLL_OPTIONS_H_
#define ZOV_ENTRY_POLL_OPTIONS_H_

#include <cstdint>

struct PollOptions {
  int32_t critical_trap = 0;
  int32_t warning_trap = 0;
  int32_t other_trap = 0;
  bool log = false;
};

// Parses options (null allowed) into *out, which must hold the defaults. The
// d option sets OVsnmpDumpPacket at once.
void ParseOptions(const char* options, PollOptions* out);

#endif  // ZOV_ENTRY_POLL_OPTIONS_H_
