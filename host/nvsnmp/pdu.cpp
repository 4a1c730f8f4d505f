// PDUs and bindings as the plug-in sees them, and their translation to and
// from net-snmp's.
#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "internal.h"

namespace nvsnmp {
namespace {

// No OID on the wire is longer (net-snmp's own limit).
constexpr uint32_t kMaxOidLength = MAX_OID_LEN;
// An octet string that fits in no UDP datagram is not a value.
constexpr uint32_t kMaxValueBytes = 65535;

bool IsFourByteType(uint8_t type) {
  return type == kOVsnmpInteger || type == kOVsnmpCounter32 || type == kOVsnmpGauge32 ||
         type == kOVsnmpTimeTicks || type == kOVsnmpIpAddress;
}

bool IsBlockType(uint8_t type) {
  return type == kOVsnmpOctetString || type == kOVsnmpOpaque || type == kOVsnmpCounter64 ||
         type == kOVsnmpObjectId;
}

void Append(OVsnmpPdu* pdu, OVsnmpVarBind* binding) {
  OVsnmpVarBind** tail = &pdu->variables;
  while (*tail != nullptr) tail = &(*tail)->next_variable;
  *tail = binding;
}

// A binding that owns `oid_block`; frees it when no binding can be made.
OVsnmpVarBind* NewBinding(uint32_t* oid_block, uint32_t oid_length, uint8_t type) {
  // Room past the record, so that no other block can start at binding + 1
  // (IsPacked).
  auto* binding = static_cast<OVsnmpVarBind*>(std::calloc(1, sizeof(OVsnmpVarBind) + sizeof(uint32_t)));
  if (binding == nullptr) {
    std::free(oid_block);
    SetError(kOVsnmpErrNoMemory);
    return nullptr;
  }
  binding->oid = oid_block;
  binding->oid_length = oid_length;
  binding->type = type;
  return binding;
}

// A response binding carries its OID and value inside its own block, right
// after the record; every binding block has room past the record, so a
// block made elsewhere can never start at binding + 1.
bool IsPacked(const OVsnmpVarBind* b) { return b->oid == reinterpret_cast<const uint32_t*>(b + 1); }

bool ValidOid(const uint32_t* oid, uint32_t length) {
  return length <= kMaxOidLength && (oid != nullptr || length == 0);
}

void ToOid(const uint32_t* from, uint32_t length, oid* to) {
  for (uint32_t i = 0; i < length; ++i) to[i] = from[i];
}

int AddToNetsnmp(netsnmp_pdu* out, const OVsnmpVarBind* b) {
  if (!ValidOid(b->oid, b->oid_length)) return kOVsnmpErrBadPdu;
  oid name[MAX_OID_LEN];
  ToOid(b->oid, b->oid_length, name);
  netsnmp_variable_list* added = nullptr;
  switch (b->type) {
    case kOVsnmpNull:
      added = snmp_pdu_add_variable(out, name, b->oid_length, ASN_NULL, nullptr, 0);
      break;
    case kOVsnmpInteger: {
      if (b->val.integer == nullptr) return kOVsnmpErrBadPdu;
      long value = *b->val.integer;
      added = snmp_pdu_add_variable(out, name, b->oid_length, ASN_INTEGER, &value, sizeof(value));
      break;
    }
    case kOVsnmpCounter32:
    case kOVsnmpGauge32:
    case kOVsnmpTimeTicks: {
      if (b->val.integer == nullptr) return kOVsnmpErrBadPdu;
      u_long value = static_cast<uint32_t>(*b->val.integer);
      added = snmp_pdu_add_variable(out, name, b->oid_length, b->type, &value, sizeof(value));
      break;
    }
    case kOVsnmpIpAddress:
      // The four address bytes in wire order.
      if (b->val.string == nullptr) return kOVsnmpErrBadPdu;
      added = snmp_pdu_add_variable(out, name, b->oid_length, ASN_IPADDRESS, b->val.string, 4);
      break;
    case kOVsnmpOctetString:
    case kOVsnmpOpaque:
      if (b->val.string == nullptr && b->val_len != 0) return kOVsnmpErrBadPdu;
      added = snmp_pdu_add_variable(out, name, b->oid_length, b->type,
                                    b->val_len != 0 ? b->val.string : reinterpret_cast<const u_char*>(""),
                                    b->val_len);
      break;
    case kOVsnmpObjectId: {
      if (!ValidOid(b->val.oid, b->val_len)) return kOVsnmpErrBadPdu;
      oid value[MAX_OID_LEN];
      ToOid(b->val.oid, b->val_len, value);
      added = snmp_pdu_add_variable(out, name, b->oid_length, ASN_OBJECT_ID, value, b->val_len * sizeof(oid));
      break;
    }
    case kOVsnmpCounter64: {
      if (b->val.string == nullptr || b->val_len != 8) return kOVsnmpErrBadPdu;
      uint64_t v;
      std::memcpy(&v, b->val.string, 8);
      counter64 value{static_cast<u_long>(v >> 32), static_cast<u_long>(v & 0xFFFFFFFFu)};
      added = snmp_pdu_add_variable(out, name, b->oid_length, ASN_COUNTER64, &value, sizeof(value));
      break;
    }
    default:
      return kOVsnmpErrBadPdu;
  }
  return added != nullptr ? 0 : kOVsnmpErrNoMemory;
}

// One response binding in our form; the value's type decides its block.
// Bytes of the value a response binding of this type carries, or -1 when
// the value is unusable.
long ValueBytes(const netsnmp_variable_list* v) {
  switch (v->type) {
    case ASN_INTEGER:
    case ASN_COUNTER:
    case ASN_GAUGE:
    case ASN_TIMETICKS:
      return v->val.integer == nullptr ? -1 : 4;
    case ASN_IPADDRESS:
      return v->val_len != 4 || v->val.string == nullptr ? -1 : 4;
    case ASN_OCTET_STR:
    case ASN_OPAQUE:
      if (v->val_len > kMaxValueBytes || (v->val_len != 0 && v->val.string == nullptr)) return -1;
      return static_cast<long>(v->val_len);
    case ASN_OBJECT_ID: {
      size_t count = v->val_len / sizeof(oid);
      if ((count != 0 && v->val.objid == nullptr) || count > kMaxOidLength) return -1;
      return static_cast<long>(count * sizeof(uint32_t));
    }
    case ASN_COUNTER64:
      return v->val.counter64 == nullptr ? -1 : 8;
    default:
      return 0;  // no value
  }
}

bool CopyOidInto(const oid* from, size_t length, uint32_t* to) {
  for (size_t i = 0; i < length; ++i) {
    if (from[i] > 0xFFFFFFFFul) return false;
    to[i] = static_cast<uint32_t>(from[i]);
  }
  return true;
}

// One response binding in our form, packed with its OID and its value into
// one block (see IsPacked): an answer's bindings are kept for a whole walk,
// and three blocks each made the allocator's work grow with the table.
int ConvertBinding(const netsnmp_variable_list* v, OVsnmpVarBind** out, bool* exception) {
  if (v->name_length > kMaxOidLength) return kOVsnmpErrBadResponse;
  const long value_bytes = ValueBytes(v);
  if (value_bytes < 0) return kOVsnmpErrBadResponse;
  const bool has_value = v->type == ASN_INTEGER || v->type == ASN_COUNTER || v->type == ASN_GAUGE ||
                         v->type == ASN_TIMETICKS || v->type == ASN_IPADDRESS ||
                         v->type == ASN_OCTET_STR || v->type == ASN_OPAQUE ||
                         v->type == ASN_OBJECT_ID || v->type == ASN_COUNTER64;
  const size_t oid_bytes = v->name_length * sizeof(uint32_t);
  // At least one byte of value when there is one, so an empty value is
  // still present; at least four bytes past the record, so that IsPacked
  // can never mistake another block for an inner one.
  size_t tail = oid_bytes + (has_value ? (value_bytes > 0 ? value_bytes : 1) : 0);
  if (tail < sizeof(uint32_t)) tail = sizeof(uint32_t);
  auto* b = static_cast<OVsnmpVarBind*>(std::malloc(sizeof(OVsnmpVarBind) + tail));
  if (b == nullptr) return kOVsnmpErrNoMemory;
  std::memset(b, 0, sizeof(OVsnmpVarBind));
  b->oid = reinterpret_cast<uint32_t*>(b + 1);
  b->oid_length = static_cast<uint32_t>(v->name_length);
  b->type = v->type;
  if (!CopyOidInto(v->name, v->name_length, b->oid)) {
    std::free(b);
    return kOVsnmpErrBadResponse;
  }
  uint8_t* value = reinterpret_cast<uint8_t*>(b->oid) + oid_bytes;
  switch (v->type) {
    case ASN_INTEGER:
    case ASN_COUNTER:
    case ASN_GAUGE:
    case ASN_TIMETICKS: {
      int32_t number = static_cast<int32_t>(*v->val.integer);
      std::memcpy(value, &number, 4);
      b->val.string = value;
      b->val_len = 4;
      break;
    }
    case ASN_IPADDRESS:
      std::memcpy(value, v->val.string, 4);  // wire order
      b->val.string = value;
      b->val_len = 4;
      break;
    case ASN_OCTET_STR:
    case ASN_OPAQUE:
      if (v->val_len != 0) std::memcpy(value, v->val.string, v->val_len);
      b->val.string = value;
      b->val_len = static_cast<uint32_t>(v->val_len);
      break;
    case ASN_OBJECT_ID: {
      size_t count = v->val_len / sizeof(oid);
      if (!CopyOidInto(v->val.objid, count, reinterpret_cast<uint32_t*>(value))) {
        std::free(b);
        return kOVsnmpErrBadResponse;
      }
      b->val.string = value;
      b->val_len = static_cast<uint32_t>(count);
      break;
    }
    case ASN_COUNTER64: {
      uint64_t value64 = (static_cast<uint64_t>(v->val.counter64->high & 0xFFFFFFFFu) << 32) |
                         (v->val.counter64->low & 0xFFFFFFFFu);
      std::memcpy(value, &value64, 8);
      b->val.string = value;
      b->val_len = 8;
      break;
    }
    case SNMP_NOSUCHOBJECT:
    case SNMP_NOSUCHINSTANCE:
    case SNMP_ENDOFMIBVIEW:
      b->type = kOVsnmpNull;
      *exception = true;
      break;
    default:
      // NULL, or a type the plug-in does not know: present, without a value.
      break;
  }
  *out = b;  // the response's binding list owns it now
  return 0;
}

}  // namespace

netsnmp_pdu* ToNetsnmp(const OVsnmpPdu* pdu, long version, int* error) {
  int command;
  switch (pdu->command) {
    case kOVsnmpGetRequest:
      command = SNMP_MSG_GET;
      break;
    case kOVsnmpGetNextRequest:
      command = SNMP_MSG_GETNEXT;
      break;
    case kOVsnmpTrap:
      command = SNMP_MSG_TRAP;
      break;
    default:
      *error = kOVsnmpErrBadPdu;
      return nullptr;
  }
  netsnmp_pdu* out;
  {
    std::lock_guard<std::mutex> lock(LibraryMutex());  // shared request-id counter
    out = snmp_pdu_create(command);
  }
  if (out == nullptr) {
    *error = kOVsnmpErrNoMemory;
    return nullptr;
  }
  out->version = version;
  if (command == SNMP_MSG_TRAP) {
    if (pdu->enterprise == nullptr || !ValidOid(pdu->enterprise, pdu->enterprise_length) ||
        pdu->enterprise_length == 0) {
      snmp_free_pdu(out);
      *error = kOVsnmpErrBadPdu;
      return nullptr;
    }
    out->enterprise = static_cast<oid*>(std::malloc(pdu->enterprise_length * sizeof(oid)));
    if (out->enterprise == nullptr) {
      snmp_free_pdu(out);
      *error = kOVsnmpErrNoMemory;
      return nullptr;
    }
    ToOid(pdu->enterprise, pdu->enterprise_length, out->enterprise);
    out->enterprise_length = pdu->enterprise_length;
    uint32_t addr = htonl(pdu->agent_addr);
    std::memcpy(out->agent_addr, &addr, 4);
    out->trap_type = pdu->generic_type;
    out->specific_type = pdu->specific_type;
    out->time = pdu->time_stamp;
  }
  for (const OVsnmpVarBind* b = pdu->variables; b != nullptr; b = b->next_variable) {
    int rc = AddToNetsnmp(out, b);
    if (rc != 0) {
      snmp_free_pdu(out);
      *error = rc;
      return nullptr;
    }
  }
  return out;
}

OVsnmpPdu* FromNetsnmp(const netsnmp_pdu* response, int* error) {
  std::unique_ptr<OVsnmpPdu, void (*)(OVsnmpPdu*)> out(
      static_cast<OVsnmpPdu*>(std::calloc(1, sizeof(OVsnmpPdu))), OVsnmpFreePdu);
  if (!out) {
    *error = kOVsnmpErrNoMemory;
    return nullptr;
  }
  out->command = kOVsnmpResponse;
  out->request_id = static_cast<int32_t>(response->reqid);
  out->error_status = static_cast<int32_t>(response->errstat);
  out->error_index = static_cast<int32_t>(response->errindex);
  OVsnmpVarBind** tail = &out->variables;
  int32_t index = 0;
  for (const netsnmp_variable_list* v = response->variables; v != nullptr; v = v->next_variable) {
    ++index;
    bool exception = false;
    int rc = ConvertBinding(v, tail, &exception);
    if (rc != 0) {
      *error = rc;
      return nullptr;
    }
    tail = &(*tail)->next_variable;
    // What an SNMPv1 agent answers where an SNMPv2 agent gives an exception
    // value, so that a walk ends instead of looping on it.
    if (exception && out->error_status == 0) {
      out->error_status = SNMP_ERR_NOSUCHNAME;
      out->error_index = index;
    }
  }
  return out.release();  // the caller owns the response
}

std::mutex& LibraryMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace nvsnmp

using nvsnmp::SetError;

extern "C" {

NVSNMP_API OVsnmpPdu* OVsnmpCreatePdu(int type) {
  if (type != kOVsnmpGetRequest && type != kOVsnmpGetNextRequest && type != kOVsnmpTrap) {
    SetError(kOVsnmpErrBadArgument);
    return nullptr;
  }
  auto* pdu = static_cast<OVsnmpPdu*>(std::calloc(1, sizeof(OVsnmpPdu)));
  if (pdu == nullptr) {
    SetError(kOVsnmpErrNoMemory);
    return nullptr;
  }
  pdu->command = type;
  return pdu;
}

NVSNMP_API void OVsnmpFreePdu(OVsnmpPdu* pdu) {
  if (pdu == nullptr) return;
  OVsnmpVarBind* b = pdu->variables;
  while (b != nullptr) {
    OVsnmpVarBind* next = b->next_variable;
    if (!nvsnmp::IsPacked(b)) {
      std::free(b->oid);
      std::free(b->val.string);  // every member of the union is one malloc'ed block
    }
    std::free(b);
    b = next;
  }
  std::free(pdu->enterprise);
  std::free(pdu);
}

NVSNMP_API OVsnmpVarBind* OVsnmpAddNullVarBind(OVsnmpPdu* pdu, uint32_t* oid, uint32_t oid_length) {
  if (pdu == nullptr || !nvsnmp::ValidOid(oid, oid_length)) {
    std::free(oid);  // the block is the PDU's whatever the outcome
    SetError(kOVsnmpErrBadArgument);
    return nullptr;
  }
  OVsnmpVarBind* b = nvsnmp::NewBinding(oid, oid_length, kOVsnmpNull);
  if (b == nullptr) return nullptr;
  nvsnmp::Append(pdu, b);
  return b;
}

NVSNMP_API OVsnmpVarBind* OVsnmpAddTypedVarBind(OVsnmpPdu* pdu, uint32_t* oid, uint32_t oid_length,
                                                uint8_t type, OVsnmpVal* value, uint32_t val_len) {
  // Blocks handed over belong to the PDU from now on, also when this fails.
  uint8_t* handed_block =
      (nvsnmp::IsBlockType(type) || type == kOVsnmpIpAddress) && value != nullptr ? value->string : nullptr;
  auto refuse = [&](int error) -> OVsnmpVarBind* {
    std::free(oid);
    std::free(handed_block);
    SetError(error);
    return nullptr;
  };
  if (pdu == nullptr || !nvsnmp::ValidOid(oid, oid_length)) return refuse(kOVsnmpErrBadArgument);
  if (type == kOVsnmpNull) {
    OVsnmpVarBind* b = nvsnmp::NewBinding(oid, oid_length, kOVsnmpNull);
    if (b != nullptr) nvsnmp::Append(pdu, b);
    return b;
  }
  if (value == nullptr) return refuse(kOVsnmpErrBadArgument);
  OVsnmpVal stored{};
  uint32_t stored_len = 0;
  if (type == kOVsnmpIpAddress) {
    if (handed_block == nullptr || val_len != 4) return refuse(kOVsnmpErrBadArgument);
    stored.string = handed_block;
    stored_len = 4;
  } else if (nvsnmp::IsFourByteType(type)) {
    // The holder lives only for this call, and whatever length the caller
    // gives, an INTEGER is the holder's full 32-bit value.
    if (value->integer == nullptr) return refuse(kOVsnmpErrBadArgument);
    stored.integer = static_cast<int32_t*>(std::malloc(sizeof(int32_t)));
    if (stored.integer == nullptr) return refuse(kOVsnmpErrNoMemory);
    *stored.integer = *value->integer;
    stored_len = 4;
  } else if (type == kOVsnmpObjectId) {
    if (!nvsnmp::ValidOid(value->oid, val_len)) return refuse(kOVsnmpErrBadArgument);
    stored.oid = value->oid;
    stored_len = val_len;
  } else if (type == kOVsnmpOctetString || type == kOVsnmpOpaque) {
    if ((handed_block == nullptr && val_len != 0) || val_len > nvsnmp::kMaxValueBytes) {
      return refuse(kOVsnmpErrBadArgument);
    }
    stored.string = handed_block;
    stored_len = val_len;
  } else if (type == kOVsnmpCounter64) {
    if (handed_block == nullptr || val_len != 8) return refuse(kOVsnmpErrBadArgument);
    stored.string = handed_block;
    stored_len = 8;
  } else {
    return refuse(kOVsnmpErrBadArgument);
  }
  OVsnmpVarBind* b = nvsnmp::NewBinding(oid, oid_length, type);
  if (b == nullptr) {
    std::free(stored.string);
    return nullptr;
  }
  b->val = stored;
  b->val_len = stored_len;
  nvsnmp::Append(pdu, b);
  return b;
}

}  // extern "C"
