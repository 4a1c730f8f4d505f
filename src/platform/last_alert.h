// The VlmLastAlert field of the printer's object in the platform database.
#ifndef ZOV_PLATFORM_LAST_ALERT_H_
#define ZOV_PLATFORM_LAST_ALERT_H_

#include <cstdint>

inline constexpr const char* kLastAlertField = "VlmLastAlert";

// 0 when the field or object is missing or the value cannot be read.
int32_t ReadLastAlert(const char* address);
// Failures are logged, never returned.
void WriteLastAlert(const char* address, int32_t value);

#endif  // ZOV_PLATFORM_LAST_ALERT_H_
