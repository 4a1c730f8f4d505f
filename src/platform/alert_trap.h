// The enterprise-specific SNMPv1 trap announcing a changed alert.
#ifndef ZOV_PLATFORM_ALERT_TRAP_H_
#define ZOV_PLATFORM_ALERT_TRAP_H_

#include <cstdint>

struct OVsnmpPdu;

// 0 when handed to the library for sending; else the library's error number
// (logged with host as subject).
int32_t SendAlertTrap(const char* address, const char* host, int32_t trap_number,
                      const uint8_t* description, uint32_t description_length);
void AddIntegerBinding(OVsnmpPdu* pdu, const char* oid_text, int32_t value);
void AddStringBinding(OVsnmpPdu* pdu, const char* oid_text, const uint8_t* bytes,
                      uint32_t length);

#endif  // ZOV_PLATFORM_ALERT_TRAP_H_
