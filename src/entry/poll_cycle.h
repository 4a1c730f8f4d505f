// One poll of one printer: probe, vendor check, alert walk, database,
// evaluation, last-alert field, trap. Ends with LogClose on every path.
#ifndef ZOV_ENTRY_POLL_CYCLE_H_
#define ZOV_ENTRY_POLL_CYCLE_H_

#include <cstdint>

#include "entry/poll_options.h"
#include "printer/alert_evaluation.h"  // the status codes

int32_t RunPollCycle(const char* address, const PollOptions& options);

// The pause between failed database start-ups. Tests replace it; null
// restores the real sleep.
using PauseFunction = void (*)(uint32_t milliseconds);
void SetRetryPauseForTesting(PauseFunction pause);

#endif  // ZOV_ENTRY_POLL_CYCLE_H_
