// The entry points of nvsnmp.dll, the 32-bit Winelib build of libnvsnmp.
//
// libnvsnmp's own code runs unchanged on glibc, but its caller is a Windows
// DLL, and two things differ at this boundary:
// - Blocks the plug-in hands over (OID blocks, values, the enterprise
//   block) come from msvcrt's malloc and the library releases what it owns
//   with glibc's free. Each one is copied into a glibc block here and the
//   original is released with msvcrt's free, so every block ends with the
//   allocator that made it. The library's own blocks never reach the
//   plug-in's free: it releases PDUs only through OVsnmpFreePdu.
// - OVsnmpErrno is a single data item of the DLL, not a per-thread
//   variable: after every call it takes the calling thread's value.
// A Windows caller keeps the stack only 4-byte aligned; glibc and net-snmp
// expect 16, so every entry point realigns it.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "plugin_runtime.h"
#include "snmp/nvsnmp.h"

#define ZOV_ENTRY extern "C" __attribute__((force_align_arg_pointer))

extern "C" {
int zov_OVsnmpErrno = 0;  // exported as OVsnmpErrno
}

namespace {

// No OID the library accepts is longer, no octet string larger.
constexpr uint32_t kMaxOidLength = 128;
constexpr uint32_t kMaxValueBytes = 65535;

// The calling thread's error, where a Windows caller reads it.
void PublishError() { __atomic_store_n(&zov_OVsnmpErrno, OVsnmpErrno, __ATOMIC_RELAXED); }

// A glibc copy of `bytes` bytes of the plug-in's `block`, which is released
// either way. Null when there is no block, it is too large for the library
// to accept (which then refuses the call as it would anyway), or memory ran
// out (*no_memory set).
void* Adopt(void* block, size_t bytes, size_t limit, bool* no_memory) {
  if (block == nullptr) return nullptr;
  void* copy = nullptr;
  if (bytes <= limit) {
    copy = std::malloc(std::max<size_t>(bytes, 1));
    if (copy != nullptr) {
      std::memcpy(copy, block, bytes);
    } else {
      *no_memory = true;
    }
  }
  zov_PluginFree(block);
  return copy;
}

uint32_t* AdoptOid(uint32_t* oid, uint32_t length, bool* no_memory) {
  return static_cast<uint32_t*>(
      Adopt(oid, size_t{length} * sizeof(uint32_t), kMaxOidLength * sizeof(uint32_t), no_memory));
}

// The enterprise block is the only one the plug-in sets in a PDU directly.
bool AdoptEnterprise(OVsnmpPdu* pdu) {
  if (pdu == nullptr || pdu->enterprise == nullptr) return true;
  bool no_memory = false;
  pdu->enterprise = AdoptOid(pdu->enterprise, pdu->enterprise_length, &no_memory);
  if (pdu->enterprise == nullptr) pdu->enterprise_length = 0;
  return !no_memory;
}

// Types whose value is a block handed over with the call; the library reads
// four-byte values from their holder during the call instead.
bool HandsBlock(uint8_t type) {
  return type == kOVsnmpOctetString || type == kOVsnmpOpaque || type == kOVsnmpObjectId ||
         type == kOVsnmpCounter64 || type == kOVsnmpIpAddress;
}

// Bytes of a handed block to copy; a length the library refuses copies
// nothing of a fixed-size value.
size_t HandedValueBytes(uint8_t type, uint32_t val_len) {
  switch (type) {
    case kOVsnmpObjectId: return size_t{val_len} * sizeof(uint32_t);
    case kOVsnmpCounter64: return val_len == 8 ? 8 : 0;
    case kOVsnmpIpAddress: return val_len == 4 ? 4 : 0;
    default: return val_len;
  }
}

size_t HandedValueLimit(uint8_t type) {
  return type == kOVsnmpObjectId ? kMaxOidLength * sizeof(uint32_t) : kMaxValueBytes;
}

}  // namespace

ZOV_ENTRY OVsnmpSession* zov_OVsnmpOpen(const char* community, const char* peer, int retries,
                                        int interval, int local_port, int remote_port,
                                        OVsnmpCallback callback, void* callback_data) {
  OVsnmpSession* session = OVsnmpOpen(community, peer, retries, interval, local_port, remote_port,
                                      callback, callback_data);
  PublishError();
  return session;
}

ZOV_ENTRY int zov_OVsnmpClose(OVsnmpSession* session) {
  int rc = OVsnmpClose(session);
  PublishError();
  return rc;
}

ZOV_ENTRY OVsnmpPdu* zov_OVsnmpCreatePdu(int type) {
  OVsnmpPdu* pdu = OVsnmpCreatePdu(type);
  PublishError();
  return pdu;
}

ZOV_ENTRY void zov_OVsnmpFreePdu(OVsnmpPdu* pdu) {
  if (pdu != nullptr) {
    zov_PluginFree(pdu->enterprise);
    pdu->enterprise = nullptr;
  }
  OVsnmpFreePdu(pdu);
  PublishError();
}

ZOV_ENTRY OVsnmpVarBind* zov_OVsnmpAddNullVarBind(OVsnmpPdu* pdu, uint32_t* oid, uint32_t oid_length) {
  bool no_memory = false;
  uint32_t* own_oid = AdoptOid(oid, oid_length, &no_memory);
  OVsnmpVarBind* binding = nullptr;
  if (no_memory) {
    OVsnmpErrno = kOVsnmpErrNoMemory;
  } else {
    binding = OVsnmpAddNullVarBind(pdu, own_oid, oid_length);
  }
  PublishError();
  return binding;
}

ZOV_ENTRY OVsnmpVarBind* zov_OVsnmpAddTypedVarBind(OVsnmpPdu* pdu, uint32_t* oid, uint32_t oid_length,
                                                   uint8_t type, OVsnmpVal* value, uint32_t val_len) {
  bool no_memory = false;
  uint32_t* own_oid = AdoptOid(oid, oid_length, &no_memory);
  OVsnmpVal own_value{};
  OVsnmpVal* passed = value;
  if (value != nullptr && HandsBlock(type)) {
    own_value.string = static_cast<uint8_t*>(Adopt(value->string, HandedValueBytes(type, val_len),
                                                   HandedValueLimit(type), &no_memory));
    passed = &own_value;
  }
  OVsnmpVarBind* binding = nullptr;
  if (no_memory) {
    std::free(own_oid);
    std::free(own_value.string);
    OVsnmpErrno = kOVsnmpErrNoMemory;
  } else {
    binding = OVsnmpAddTypedVarBind(pdu, own_oid, oid_length, type, passed, val_len);
  }
  PublishError();
  return binding;
}

ZOV_ENTRY OVsnmpPdu* zov_OVsnmpBlockingSend(OVsnmpSession* session, OVsnmpPdu* pdu) {
  OVsnmpPdu* response = nullptr;
  if (AdoptEnterprise(pdu)) {
    response = OVsnmpBlockingSend(session, pdu);
  } else {
    OVsnmpErrno = kOVsnmpErrNoMemory;
  }
  PublishError();
  return response;
}

ZOV_ENTRY int zov_OVsnmpSend(OVsnmpSession* session, OVsnmpPdu* pdu) {
  int rc;
  if (AdoptEnterprise(pdu)) {
    rc = OVsnmpSend(session, pdu);
  } else {
    OVsnmpFreePdu(pdu);  // the library takes the PDU whatever the outcome
    OVsnmpErrno = kOVsnmpErrNoMemory;
    rc = -1;
  }
  PublishError();
  return rc;
}

ZOV_ENTRY const char* zov_OVsnmpErrString(int error) {
  const char* text = OVsnmpErrString(error);
  PublishError();
  return text;
}
