// Pure choices over an alert list: nothing here allocates or does I/O.
#ifndef ZOV_PRINTER_ALERT_EVALUATION_H_
#define ZOV_PRINTER_ALERT_EVALUATION_H_

#include <cstdint>

#include "printer/alert_table.h"

// Status codes returned to the platform: evaluation gives the last three,
// a poll that cannot finish the first.
inline constexpr int32_t kStatusNotCompleted = 0;
inline constexpr int32_t kStatusNormal = 2;
inline constexpr int32_t kStatusWarning = 3;
inline constexpr int32_t kStatusCritical = 4;

// The critical (else warning) record with the greatest index; else the first.
const AlertRecord* SelectWorstAlert(const AlertRecord* list);
// Null when every time is 0; else the first critical record that is not
// "Offline", else the record with the greatest time.
const AlertRecord* SelectReportedAlert(const AlertRecord* list);
// The integer remembered in VlmLastAlert: the time, or the index when 0.
int32_t AlertIdentity(const AlertRecord& record);
// Status code for the worst alert's severity: critical, warning or normal.
int32_t StatusForSeverity(int32_t severity);

#endif  // ZOV_PRINTER_ALERT_EVALUATION_H_
