// What the parts of libnvsnmp share; nothing here crosses the boundary.
#ifndef ZOV_HOST_NVSNMP_INTERNAL_H_
#define ZOV_HOST_NVSNMP_INTERNAL_H_

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <mutex>

#include "snmp/nvsnmp.h"

namespace nvsnmp {

// ZOV_FAST_PATHS (CMake option, default ON): 0 builds the plain way of each
// fast path.
#if !defined(ZOV_FAST_PATHS)
#define ZOV_FAST_PATHS 1
#endif
inline constexpr bool kFastPaths = ZOV_FAST_PATHS != 0;

inline void SetError(int error) { OVsnmpErrno = error; }

// net-snmp 5.9.3 is built without its own locks: session open/close and the
// request-id counters behind snmp_pdu_create go through this one mutex.
std::mutex& LibraryMutex();

// Encodes our PDU as a net-snmp PDU for a session of `version`. Null with
// *error set when it cannot (kOVsnmpErrBadPdu, kOVsnmpErrNoMemory).
netsnmp_pdu* ToNetsnmp(const OVsnmpPdu* pdu, long version, int* error);

// Builds our response from net-snmp's, with SNMPv2 exception values turned
// into the noSuchName answer of an SNMPv1 agent. Null with *error set.
OVsnmpPdu* FromNetsnmp(const netsnmp_pdu* response, int* error);

}  // namespace nvsnmp

#endif  // ZOV_HOST_NVSNMP_INTERNAL_H_
