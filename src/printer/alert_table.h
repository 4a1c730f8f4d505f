// The printer's alert table (Printer MIB prtAlertTable) read into a list of
// AlertRecords in table order.
#ifndef ZOV_PRINTER_ALERT_TABLE_H_
#define ZOV_PRINTER_ALERT_TABLE_H_

#include <cstdint>

#include "snmp/query_session.h"

// Printer MIB prtAlertSeverityLevel values.
inline constexpr int32_t kSeverityOther = 1;
inline constexpr int32_t kSeverityCritical = 3;
inline constexpr int32_t kSeverityWarning = 4;

struct AlertRecord {
  int32_t index;                // last sub-identifier of the row's instance
  int32_t severity;
  int32_t group;
  int32_t group_index;
  int32_t location;
  int32_t code;
  uint8_t* description;         // zero-terminated copy, or null when the column was missing
  uint32_t description_length;  // terminator not counted
  uint32_t time;                // prtAlertTime (TimeTicks); 0 when missing
  AlertRecord* next;
};

// Walks the table, starting no exchange after deadline. Returns the list
// (null when empty or failed); *walk_result receives 0 when the walk
// succeeded, even with no rows, and the failure code otherwise (already
// logged). A record or description that cannot be allocated fails the whole
// walk: a shorter list would read as alerts gone.
AlertRecord* ReadAlertTable(const char* address, int32_t* walk_result,
                            QueryClock::time_point deadline = kNoDeadline);
// Lowers the warnings that the vendor does not count as warnings.
void AdjustSeverity(AlertRecord* record);
// Accepts null.
void FreeAlertList(AlertRecord* head);

#endif  // ZOV_PRINTER_ALERT_TABLE_H_
