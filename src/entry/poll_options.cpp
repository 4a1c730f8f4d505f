#include "entry/poll_options.h"

#include <atomic>
#include <climits>

#include "snmp/nvsnmp.h"

namespace {

bool IsScanSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads an integer as a "%d" scan would (leading white space, sign, digits),
// except that a number beyond 32 bits saturates instead of being undefined.
// No integer gives 0.
int32_t ScanInteger(const char* text) {
  while (IsScanSpace(*text)) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') {
    negative = *text == '-';
    ++text;
  }
  // Once past the 32-bit range the value stops growing; it only saturates.
  int64_t magnitude = 0;
  for (; IsDigit(*text); ++text) {
    if (magnitude <= INT32_MAX) magnitude = magnitude * 10 + (*text - '0');
  }
  if (negative) {
    return magnitude > -static_cast<int64_t>(INT32_MIN) ? INT32_MIN
                                                         : static_cast<int32_t>(-magnitude);
  }
  return magnitude > INT32_MAX ? INT32_MAX : static_cast<int32_t>(magnitude);
}

// The number after c, o, w or t. Returns where option parsing goes on: after
// the digits that follow the skipped spaces, or at the first non-space when
// no digit is there (even a sign, which then is an ignored option letter).
const char* ReadTrapNumber(const char* text, int32_t* out) {
  while (*text == ' ') ++text;
  *out = ScanInteger(text);
  while (IsDigit(*text)) ++text;
  return text;
}

}  // namespace

void ParseOptions(const char* options, PollOptions* out) {
  if (options == nullptr || *options == '\0') return;
  // The first character of every token is skipped, whatever it is: by
  // convention the "-". The first token starts at the very first character.
  const char* p = options + 1;
  while (*p != '\0') {
    char letter = *p++;
    switch (letter) {
      case ' ':
        while (*p == ' ') ++p;
        if (*p != '\0') ++p;
        break;
      case 'c':
        p = ReadTrapNumber(p, &out->critical_trap);
        break;
      case 'w':
        p = ReadTrapNumber(p, &out->warning_trap);
        break;
      case 'o':
        p = ReadTrapNumber(p, &out->other_trap);
        break;
      case 't': {
        int32_t seconds = 0;
        p = ReadTrapNumber(p, &seconds);
        if (seconds >= 1) out->time_limit_seconds = seconds < kMaxPollSeconds ? seconds : kMaxPollSeconds;
        break;
      }
      case 'd':
        // Process-wide and written by concurrent calls.
        std::atomic_ref<int>(OVsnmpDumpPacket).store(1, std::memory_order_relaxed);
        break;
      case 'l':
        out->log = true;
        break;
      default:
        break;
    }
  }
}
