// One GETNEXT for sysUpTime and sysObjectID.
#ifndef ZOV_PRINTER_IDENTITY_PROBE_H_
#define ZOV_PRINTER_IDENTITY_PROBE_H_

#include <cstdint>

#include "snmp/query_session.h"

// Fills the outputs; on any failure (logged here) they stay 0 / null / 0.
// *family is malloc'ed and owned by the caller (FreeOid). No exchange starts
// after deadline.
void ProbeIdentity(const char* address, uint32_t* uptime, uint32_t** family,
                   uint32_t* family_count, QueryClock::time_point deadline = kNoDeadline);

#endif  // ZOV_PRINTER_IDENTITY_PROBE_H_
