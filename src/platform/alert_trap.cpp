#include "platform/alert_trap.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "log/shared_log.h"
#include "snmp/nvsnmp.h"
#include "snmp/oid.h"
#include "snmp/owned.h"

namespace {

constexpr const char* kEnterprise = ".1.3.6.1.4.1.2.6.3";
constexpr const char* kStatusOid = ".1.3.6.1.4.1.2.6.3.1.1.2.0";
constexpr const char* kAddressOid = ".1.3.6.1.4.1.2.6.3.1.1.3.0";
constexpr const char* kDescriptionOid = ".1.3.6.1.4.1.2.6.3.1.1.4.0";
constexpr const char* kVendorOid = ".1.3.6.1.4.1.2.6.3.1.1.5.0";
constexpr const char* kPlatformOid = ".1.3.6.1.4.1.2.6.3.1.1.6.0";
constexpr int32_t kStatusValue = 6;
constexpr int32_t kEnterpriseSpecific = 6;
constexpr const char* kVendor = "Velam";
constexpr const char* kPlatform = "openview";

using TrapSession = Owned<OVsnmpSession, OVsnmpClose>;

}  // namespace

void AddIntegerBinding(OVsnmpPdu* pdu, const char* oid_text, int32_t value) {
  uint32_t count = 0;
  uint32_t* oid = ParseOid(oid_text, &count);
  if (oid == nullptr) return;
  // The library reads the value during the call, whatever length is passed.
  int32_t holder = value;
  OVsnmpVal val;
  val.integer = &holder;
  // The PDU owns the OID block from here on, whether the add succeeds or not.
  OVsnmpAddTypedVarBind(pdu, oid, count, kOVsnmpInteger, &val, 1);
}

void AddStringBinding(OVsnmpPdu* pdu, const char* oid_text, const uint8_t* bytes,
                      uint32_t length) {
  if (bytes == nullptr && length > 0) return;
  uint32_t count = 0;
  OidBlock oid(ParseOid(oid_text, &count));
  if (!oid) return;
  // An empty value still needs a block to hand over: one byte, length 0.
  MallocBlock<uint8_t> block(static_cast<uint8_t*>(std::calloc(length > 0 ? length : 1, 1)));
  if (!block) return;
  if (length > 0) std::memcpy(block.get(), bytes, length);
  OVsnmpVal val;
  val.string = block.get();
  // Both blocks belong to the PDU from here on, whether the add succeeds or not.
  OVsnmpAddTypedVarBind(pdu, oid.release(), count, kOVsnmpOctetString, &val, length);
  block.release();
}

int32_t SendAlertTrap(const char* address, const char* host, int32_t trap_number,
                      const uint8_t* description, uint32_t description_length) {
  TrapSession session(OVsnmpOpen(nullptr, host, 0, kOVsnmpDefault, kOVsnmpDefaultPort,
                                 kOVsnmpDefaultPort, nullptr, nullptr));
  if (!session) {
    int32_t error = OVsnmpErrno;
    LogSnmpError(host, error, "Error creating trap session");
    return error;
  }
  OVsnmpPdu* pdu = OVsnmpCreatePdu(kOVsnmpTrap);
  if (pdu == nullptr) {
    int32_t error = OVsnmpErrno;
    LogSnmpError(host, error, "Error creating trap PDU");
    return error;
  }
  uint32_t enterprise_length = 0;
  // The PDU owns the enterprise block; without one the count stays 0.
  pdu->enterprise = ParseOid(kEnterprise, &enterprise_length);
  pdu->enterprise_length = pdu->enterprise != nullptr ? enterprise_length : 0;
  pdu->agent_addr = 0;
  pdu->generic_type = kEnterpriseSpecific;
  pdu->specific_type = trap_number;

  const char* printer = address != nullptr ? address : "";
  AddIntegerBinding(pdu, kStatusOid, kStatusValue);
  AddStringBinding(pdu, kAddressOid, reinterpret_cast<const uint8_t*>(printer),
                   static_cast<uint32_t>(std::strlen(printer)));
  AddStringBinding(pdu, kDescriptionOid, description, description_length);
  AddStringBinding(pdu, kVendorOid, reinterpret_cast<const uint8_t*>(kVendor),
                   static_cast<uint32_t>(std::strlen(kVendor)));
  AddStringBinding(pdu, kPlatformOid, reinterpret_cast<const uint8_t*>(kPlatform),
                   static_cast<uint32_t>(std::strlen(kPlatform)));

  // The library takes the PDU whatever the outcome of the send.
  int32_t error = 0;
  if (OVsnmpSend(session.get(), pdu) == -1) {
    error = OVsnmpErrno;
    LogSnmpError(host, error, "Error sending trap");
  }
  return error;
}
