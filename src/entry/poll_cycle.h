// One poll of one printer: probe, vendor check, alert walk, database,
// evaluation, last-alert field, trap. Ends with LogClose on every path.
#ifndef ZOV_ENTRY_POLL_CYCLE_H_
#define ZOV_ENTRY_POLL_CYCLE_H_

#include <cstdint>

#include "entry/poll_options.h"

// Status codes returned to the platform.
inline constexpr int32_t kStatusNotCompleted = 0;
inline constexpr int32_t kStatusNormal = 2;
inline constexpr int32_t kStatusWarning = 3;
inline constexpr int32_t kStatusCritical = 4;

int32_t RunPollCycle(const char* address, const PollOptions& options);

// The pause between failed database start-ups. Tests replace it; null
// restores the real sleep.
using PauseFunction = void (*)(uint32_t milliseconds);
void SetRetryPauseForTesting(PauseFunction pause);

#endif  // ZOV_ENTRY_POLL_CYCLE_H_
