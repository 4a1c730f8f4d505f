// The platform's SNMP client library (nvsnmp) as the plug-in sees it.
//
// This header is the whole of SNMP for the plug-in: it never includes a
// net-snmp header. On Linux the library is host/nvsnmp (libnvsnmp.so, on
// net-snmp); unit tests link tests/fakes instead; on Windows it is the
// platform's nvsnmp.dll.
//
// Ownership across this boundary:
// - An OID block or octet-string block handed to an add call belongs to the
//   PDU from then on, whether the add succeeds or fails.
// - An INTEGER is read from its holder during the add call.
// - OVsnmpSend takes the PDU whatever its outcome. A successful
//   OVsnmpBlockingSend takes the request; after a failed one the request is
//   still the caller's. A response belongs to the caller.
// - OVsnmpFreePdu releases the PDU, its whole binding list and an enterprise
//   block that is still set.
// - Every block that crosses the boundary is malloc'ed and free'd.
#ifndef ZOV_SNMP_NVSNMP_H_
#define ZOV_SNMP_NVSNMP_H_

#include <cstdint>

#if defined(_WIN32)
#  if defined(NVSNMP_BUILDING_LIBRARY)
#    define NVSNMP_API __declspec(dllexport)
#  else
#    define NVSNMP_API __declspec(dllimport)
#  endif
#else
#  define NVSNMP_API __attribute__((visibility("default")))
#endif

extern "C" {

// PDU types.
inline constexpr int kOVsnmpGetRequest = 160;
inline constexpr int kOVsnmpGetNextRequest = 161;
inline constexpr int kOVsnmpResponse = 162;
inline constexpr int kOVsnmpTrap = 164;  // SNMPv1 Trap-PDU

// Binding type bytes (ASN.1 / SMI tags).
inline constexpr uint8_t kOVsnmpInteger = 2;
inline constexpr uint8_t kOVsnmpOctetString = 4;
inline constexpr uint8_t kOVsnmpNull = 5;
inline constexpr uint8_t kOVsnmpObjectId = 6;
inline constexpr uint8_t kOVsnmpIpAddress = 64;
inline constexpr uint8_t kOVsnmpCounter32 = 65;
inline constexpr uint8_t kOVsnmpGauge32 = 66;
inline constexpr uint8_t kOVsnmpTimeTicks = 67;
inline constexpr uint8_t kOVsnmpOpaque = 68;
inline constexpr uint8_t kOVsnmpCounter64 = 70;

// Port value that lets the library choose (agent port for requests, trap
// port for Trap-PDUs); retry count / interval value that asks for defaults.
inline constexpr int kOVsnmpDefaultPort = 0xFFFF;
inline constexpr int kOVsnmpDefault = -1;

// The library's own error numbers, as left in OVsnmpErrno. They are negative
// so that they never collide with SNMP error statuses (1..18), which callers
// report through the same OVsnmpErrString.
inline constexpr int kOVsnmpErrNoMemory = -1;
inline constexpr int kOVsnmpErrBadArgument = -2;
inline constexpr int kOVsnmpErrBadPeer = -3;       // peer name does not resolve / parse
inline constexpr int kOVsnmpErrSessionOpen = -4;   // transport could not be opened
inline constexpr int kOVsnmpErrTimeout = -5;       // no answer within timeout and retries
inline constexpr int kOVsnmpErrSend = -6;          // datagram could not be sent
inline constexpr int kOVsnmpErrBadPdu = -7;        // PDU cannot be encoded (type, fields)
inline constexpr int kOVsnmpErrBadResponse = -8;   // answer malformed, truncated or oversized
inline constexpr int kOVsnmpErrConfig = -9;        // NVSNMP_CONF unreadable or malformed
inline constexpr int kOVsnmpErrInternal = -10;     // anything else net-snmp reports

// The value a binding carries, seen through its type byte.
union OVsnmpVal {
  int32_t* integer;    // INTEGER, Counter32, Gauge32, TimeTicks, IpAddress: 4 bytes
                       // (an IpAddress holds its four bytes in wire order)
  uint8_t* string;     // OCTET STRING, Opaque, Counter64 (8 bytes, host order)
  uint32_t* oid;       // OBJECT IDENTIFIER: a sub-identifier block
};

// A binding belongs to its PDU and is released only with it
// (OVsnmpFreePdu). In a response the library may keep the OID and the value
// inside the binding's own block: read them, never release them apart.
struct OVsnmpVarBind {
  OVsnmpVarBind* next_variable;
  uint32_t* oid;        // sub-identifier block, malloc'ed, owned by the PDU
  uint32_t oid_length;  // sub-identifiers in oid
  uint8_t type;         // one of the type bytes above
  OVsnmpVal val;        // null for NULL values
  uint32_t val_len;     // bytes, or sub-identifiers for an OBJECT IDENTIFIER
};

struct OVsnmpPdu {
  int32_t command;            // PDU type
  int32_t request_id;
  int32_t error_status;       // responses: the agent's SNMP error status
  int32_t error_index;
  OVsnmpVarBind* variables;   // binding list head, in order
  // Trap-PDU fields.
  uint32_t* enterprise;       // sub-identifier block, malloc'ed, or null
  uint32_t enterprise_length;
  uint32_t agent_addr;        // IPv4 address in host byte order; 0 is 0.0.0.0
  int32_t generic_type;
  int32_t specific_type;
  uint32_t time_stamp;        // TimeTicks
};

struct OVsnmpSession;  // opaque

// Asynchronous callbacks are never used by the plug-in; the type exists for
// the call's shape.
using OVsnmpCallback = int (*)(int reason, OVsnmpSession* session, OVsnmpPdu* pdu,
                               void* data);

// community: null for the configured default. retries / interval (ms): -1 for
// the configured defaults. local_port: 0xFFFF for any. remote_port: 0xFFFF
// settles by use (agent port for requests, trap port for traps).
NVSNMP_API OVsnmpSession* OVsnmpOpen(const char* community, const char* peer, int retries,
                                     int interval, int local_port, int remote_port,
                                     OVsnmpCallback callback, void* callback_data);
NVSNMP_API int OVsnmpClose(OVsnmpSession* session);
NVSNMP_API OVsnmpPdu* OVsnmpCreatePdu(int type);
NVSNMP_API void OVsnmpFreePdu(OVsnmpPdu* pdu);
NVSNMP_API OVsnmpVarBind* OVsnmpAddNullVarBind(OVsnmpPdu* pdu, uint32_t* oid, uint32_t oid_length);
NVSNMP_API OVsnmpVarBind* OVsnmpAddTypedVarBind(OVsnmpPdu* pdu, uint32_t* oid, uint32_t oid_length,
                                                uint8_t type, OVsnmpVal* value, uint32_t val_len);
NVSNMP_API OVsnmpPdu* OVsnmpBlockingSend(OVsnmpSession* session, OVsnmpPdu* pdu);
NVSNMP_API int OVsnmpSend(OVsnmpSession* session, OVsnmpPdu* pdu);
NVSNMP_API const char* OVsnmpErrString(int error);

// Non-zero dumps every packet sent and received to standard error. Written by
// concurrent calls: access it only through std::atomic_ref<int>, relaxed.
NVSNMP_API extern int OVsnmpDumpPacket;

// Reason for the last failure, read at once after the failing call. Per
// thread in this library, so that concurrent polls never read each other's
// error; on Windows the platform DLL's data item.
#if defined(_WIN32)
NVSNMP_API extern int OVsnmpErrno;
#else
NVSNMP_API extern thread_local int OVsnmpErrno;
#endif

}  // extern "C"

#endif  // ZOV_SNMP_NVSNMP_H_
