// PDUs and bindings as the plug-in sees them, and their translation to and
// from net-snmp's.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "internal.h"

namespace nvsnmp {
namespace {

// No OID on the wire is longer (net-snmp's own limit).
constexpr uint32_t kMaxOidLength = MAX_OID_LEN;
// An octet string that fits in no UDP datagram is not a value.
constexpr uint32_t kMaxValueBytes = 65535;

// How a binding holds a value of each type. Our type bytes are the BER tags
// net-snmp uses, so this one table serves both directions.
enum class Holding { kNone, kFourBytes, kAddress, kBytes, kOid, kCounter64 };

static_assert(kOVsnmpInteger == ASN_INTEGER && kOVsnmpOctetString == ASN_OCTET_STR &&
              kOVsnmpNull == ASN_NULL && kOVsnmpObjectId == ASN_OBJECT_ID &&
              kOVsnmpIpAddress == ASN_IPADDRESS && kOVsnmpCounter32 == ASN_COUNTER &&
              kOVsnmpGauge32 == ASN_GAUGE && kOVsnmpTimeTicks == ASN_TIMETICKS &&
              kOVsnmpOpaque == ASN_OPAQUE && kOVsnmpCounter64 == ASN_COUNTER64);

// The holding of a known type; false for any other type byte.
bool FindHolding(uint8_t type, Holding* holding) {
  switch (type) {
    case kOVsnmpNull: *holding = Holding::kNone; return true;
    case kOVsnmpInteger:
    case kOVsnmpCounter32:
    case kOVsnmpGauge32:
    case kOVsnmpTimeTicks: *holding = Holding::kFourBytes; return true;
    case kOVsnmpIpAddress: *holding = Holding::kAddress; return true;
    case kOVsnmpOctetString:
    case kOVsnmpOpaque: *holding = Holding::kBytes; return true;
    case kOVsnmpObjectId: *holding = Holding::kOid; return true;
    case kOVsnmpCounter64: *holding = Holding::kCounter64; return true;
    default: return false;
  }
}

// PDU and binding records: a poll makes and drops about forty, so each
// thread keeps up to kKept freed ones of one size for the next. callgrind
// on bench/run's poll: 165,605 instructions a poll with malloc and free for
// each record, 156,461 with the cache. Every record has a header saying whether it is of the cached size;
// records are released only here (OVsnmpFreePdu), never by the plug-in.
// Plain data, so that reaching it costs one thread-local look-up; what it
// keeps is released when the thread ends (CacheRelease), registered the
// first time it keeps a record.
struct RecordCache {
  static constexpr size_t kCachedBytes = 192;
  static constexpr size_t kKept = 32;
  static constexpr size_t kHeader = alignof(std::max_align_t);
  void* kept[kKept];
  size_t count;
  bool registered;
  bool closed;

  void* Take() { return count > 0 ? kept[--count] : std::malloc(kHeader + kCachedBytes); }
  void Give(void* block);
};
thread_local RecordCache t_records{};

struct CacheRelease {
  bool armed = false;
  ~CacheRelease() {
    RecordCache& cache = t_records;
    while (cache.count > 0) std::free(cache.kept[--cache.count]);
    cache.closed = true;
  }
};
thread_local CacheRelease t_release;

// This thread's cache. Out of line, so that a caller keeps the address
// instead of looking the thread-local up again after every call it makes
// (GCC did, after each free in OVsnmpFreePdu's loop: 1,123 instructions a
// poll).
__attribute__((noinline)) RecordCache& ThreadCache() { return t_records; }

void RecordCache::Give(void* block) {
  if (!registered) {
    registered = true;
    t_release.armed = true;  // its destructor runs when the thread ends
  }
  if (closed || count >= kKept) {
    std::free(block);
  } else {
    kept[count++] = block;
  }
}

// A record of `bytes` (zeroed when asked), or null; released by FreeRecord.
// `cache`: this thread's (t_records), looked up once by a caller that
// makes or frees many records.
void* NewRecord(size_t bytes, bool zero, RecordCache& cache) {
  const bool cached = kFastPaths && bytes <= RecordCache::kCachedBytes;
  auto* block = static_cast<unsigned char*>(cached ? cache.Take() : std::malloc(RecordCache::kHeader + bytes));
  if (block == nullptr) return nullptr;
  *reinterpret_cast<bool*>(block) = cached;
  void* record = block + RecordCache::kHeader;
  if (zero) std::memset(record, 0, bytes);
  return record;
}

// A zeroed record of type T in a block of `bytes` (at least sizeof(T)):
// zeroed by stores the compiler writes out, not by a call to memset.
template <typename T>
T* NewZeroed(size_t bytes, RecordCache& cache) {
  void* record = NewRecord(bytes, false, cache);
  return record != nullptr ? new (record) T{} : nullptr;
}

void FreeRecord(void* record, RecordCache& cache) {
  if (record == nullptr) return;
  unsigned char* block = static_cast<unsigned char*>(record) - RecordCache::kHeader;
  if (*reinterpret_cast<const bool*>(block)) {
    cache.Give(block);
  } else {
    std::free(block);
  }
}

void Append(OVsnmpPdu* pdu, OVsnmpVarBind* binding) {
  OVsnmpVarBind** tail = &pdu->variables;
  while (*tail != nullptr) tail = &(*tail)->next_variable;
  *tail = binding;
}

// A response binding carries its OID and value inside its own block, right
// after the record: an answer's bindings are kept for a whole walk, and
// three blocks a binding cost 14,932 instructions a poll more (178,588
// against 163,656 in bench/run, 9.1 %). Every other binding has room past
// its record, so no block made elsewhere can start at binding + 1.
bool IsPacked(const OVsnmpVarBind* b) { return b->oid == reinterpret_cast<const uint32_t*>(b + 1); }

// A binding with its OID and value blocks (every member of the union is
// one malloc'ed block), unless they are packed into its own.
void FreeBinding(OVsnmpVarBind* b, RecordCache& cache) {
  if (!IsPacked(b)) {
    std::free(b->oid);
    std::free(b->val.string);
  }
  FreeRecord(b, cache);
}

struct BindingFree {
  void operator()(OVsnmpVarBind* b) const { FreeBinding(b, ThreadCache()); }
};
using BindingPtr = std::unique_ptr<OVsnmpVarBind, BindingFree>;

// A binding that owns `oid_block`; frees it when no binding can be made.
OVsnmpVarBind* NewBinding(uint32_t* oid_block, uint32_t oid_length, uint8_t type) {
  // Room past the record (IsPacked).
  auto* binding = NewZeroed<OVsnmpVarBind>(sizeof(OVsnmpVarBind) + sizeof(uint32_t), ThreadCache());
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

bool ValidOid(const uint32_t* oid, uint32_t length) {
  return length <= kMaxOidLength && (oid != nullptr || length == 0);
}

void ToOid(const uint32_t* from, uint32_t length, oid* to) {
  for (uint32_t i = 0; i < length; ++i) to[i] = from[i];
}

// The value of our binding `b` as net-snmp's `add` takes it: its bytes at
// *data, *length of them, with room for a converted value in the holders.
bool NetsnmpValue(const OVsnmpVarBind* b, Holding holding, long* number, counter64* wide, oid* sub_ids,
                  const void** data, size_t* length) {
  switch (holding) {
    case Holding::kNone:
      *data = nullptr;
      *length = 0;
      return true;
    case Holding::kFourBytes:
      if (b->val.integer == nullptr) return false;
      // An INTEGER is signed; the other four-byte types are unsigned.
      *number = b->type == kOVsnmpInteger ? *b->val.integer
                                          : static_cast<long>(static_cast<uint32_t>(*b->val.integer));
      *data = number;
      *length = sizeof(*number);
      return true;
    case Holding::kAddress:  // the four address bytes in wire order
      *data = b->val.string;
      *length = 4;
      return b->val.string != nullptr;
    case Holding::kBytes:
      *data = b->val_len != 0 ? static_cast<const void*>(b->val.string) : "";
      *length = b->val_len;
      return b->val.string != nullptr || b->val_len == 0;
    case Holding::kOid:
      if (!ValidOid(b->val.oid, b->val_len)) return false;
      ToOid(b->val.oid, b->val_len, sub_ids);
      *data = sub_ids;
      *length = b->val_len * sizeof(oid);
      return true;
    case Holding::kCounter64: {
      if (b->val.string == nullptr || b->val_len != 8) return false;
      uint64_t v;
      std::memcpy(&v, b->val.string, 8);
      *wide = counter64{static_cast<u_long>(v >> 32), static_cast<u_long>(v & 0xFFFFFFFFu)};
      *data = wide;
      *length = sizeof(*wide);
      return true;
    }
  }
  return false;
}

int AddToNetsnmp(netsnmp_pdu* out, const OVsnmpVarBind* b) {
  Holding holding;
  if (!ValidOid(b->oid, b->oid_length) || !FindHolding(b->type, &holding)) return kOVsnmpErrBadPdu;
  long number;
  counter64 wide;
  oid sub_ids[MAX_OID_LEN];
  const void* data;
  size_t length;
  if (!NetsnmpValue(b, holding, &number, &wide, sub_ids, &data, &length)) return kOVsnmpErrBadPdu;
  oid name[MAX_OID_LEN];
  ToOid(b->oid, b->oid_length, name);
  netsnmp_variable_list* added = snmp_pdu_add_variable(out, name, b->oid_length, b->type, data, length);
  return added != nullptr ? 0 : kOVsnmpErrNoMemory;
}

// Whether a value handed to OVsnmpAddTypedVarBind is one of its type.
bool Acceptable(Holding holding, const OVsnmpVal& value, uint32_t val_len) {
  switch (holding) {
    case Holding::kNone:
      return true;
    case Holding::kFourBytes:
      return value.integer != nullptr;
    case Holding::kAddress:
      return value.string != nullptr && val_len == 4;
    case Holding::kBytes:
      return (value.string != nullptr || val_len == 0) && val_len <= kMaxValueBytes;
    case Holding::kOid:
      return ValidOid(value.oid, val_len);
    case Holding::kCounter64:
      return value.string != nullptr && val_len == 8;
  }
  return false;
}

// `to` may be written even when the answer is false.
bool CopyOidInto(const oid* from, size_t length, uint32_t* to) {
  if (!kFastPaths) {
    for (size_t i = 0; i < length; ++i) {
      if (from[i] > 0xFFFFFFFFul) return false;
      to[i] = static_cast<uint32_t>(from[i]);
    }
    return true;
  }
  // One loop without an early exit, which the compiler vectorises, and one
  // test after it: 489 instructions a poll fewer (callgrind, bench/run).
  uint64_t high = 0;
  for (size_t i = 0; i < length; ++i) {
    high |= static_cast<uint64_t>(from[i]);
    to[i] = static_cast<uint32_t>(from[i]);
  }
  return (high >> 32) == 0;
}

// Bytes of the value a response binding of this holding carries, or -1
// when the value is unusable.
long ValueBytes(const netsnmp_variable_list* v, Holding holding) {
  switch (holding) {
    case Holding::kNone:
      return 0;
    case Holding::kFourBytes:
      return v->val.integer == nullptr ? -1 : 4;
    case Holding::kAddress:
      return v->val_len != 4 || v->val.string == nullptr ? -1 : 4;
    case Holding::kBytes:
      if (v->val_len > kMaxValueBytes || (v->val_len != 0 && v->val.string == nullptr)) return -1;
      return static_cast<long>(v->val_len);
    case Holding::kOid: {
      size_t count = v->val_len / sizeof(oid);
      if ((count != 0 && v->val.objid == nullptr) || count > kMaxOidLength) return -1;
      return static_cast<long>(count * sizeof(uint32_t));
    }
    case Holding::kCounter64:
      return v->val.counter64 == nullptr ? -1 : 8;
  }
  return -1;
}

// Copies a value ValueBytes accepted to `to`, in our form; its length
// (bytes, or sub-identifiers for an OID), or -1 for a sub-identifier out
// of range.
long CopyValue(const netsnmp_variable_list* v, Holding holding, uint8_t* to) {
  switch (holding) {
    case Holding::kNone:
      return 0;
    case Holding::kFourBytes: {
      int32_t number = static_cast<int32_t>(*v->val.integer);
      std::memcpy(to, &number, 4);
      return 4;
    }
    case Holding::kAddress:  // wire order
    case Holding::kBytes:
      if (v->val_len != 0) std::memcpy(to, v->val.string, v->val_len);
      return static_cast<long>(v->val_len);
    case Holding::kOid: {
      size_t count = v->val_len / sizeof(oid);
      if (!CopyOidInto(v->val.objid, count, reinterpret_cast<uint32_t*>(to))) return -1;
      return static_cast<long>(count);
    }
    case Holding::kCounter64: {
      uint64_t value = (static_cast<uint64_t>(v->val.counter64->high & 0xFFFFFFFFu) << 32) |
                       (v->val.counter64->low & 0xFFFFFFFFu);
      std::memcpy(to, &value, 8);
      return 8;
    }
  }
  return -1;
}

// One response binding in our form, packed with its OID and its value into
// one block (IsPacked). An exception value (noSuchObject, noSuchInstance,
// endOfMibView) becomes a NULL binding with *exception set; NULL and types
// we do not know stay present, without a value.
int ConvertBinding(const netsnmp_variable_list* v, OVsnmpVarBind** out, bool* exception, RecordCache* cache) {
  Holding holding = Holding::kNone;
  const bool known = FindHolding(v->type, &holding);
  const long value_bytes = ValueBytes(v, holding);
  if (v->name_length > kMaxOidLength || value_bytes < 0) return kOVsnmpErrBadResponse;
  const size_t oid_bytes = v->name_length * sizeof(uint32_t);
  // At least one byte of value when there is one, so an empty value is
  // still present; at least four bytes past the record (IsPacked).
  const size_t value_block = holding != Holding::kNone ? (value_bytes > 0 ? value_bytes : 1) : 0;
  size_t tail = kFastPaths ? oid_bytes + value_block : 0;
  if (tail < sizeof(uint32_t)) tail = sizeof(uint32_t);
  BindingPtr b(static_cast<OVsnmpVarBind*>(NewRecord(sizeof(OVsnmpVarBind) + tail, false, *cache)));
  if (!b) return kOVsnmpErrNoMemory;
  *b = OVsnmpVarBind{};
  uint8_t* value = nullptr;
  if (kFastPaths) {
    b->oid = reinterpret_cast<uint32_t*>(b.get() + 1);
    value = reinterpret_cast<uint8_t*>(b->oid) + oid_bytes;
  } else {
    // Three blocks, each released on its own (FreeBinding).
    b->oid = static_cast<uint32_t*>(std::malloc(oid_bytes > 0 ? oid_bytes : sizeof(uint32_t)));
    if (b->oid == nullptr) return kOVsnmpErrNoMemory;
    if (value_block > 0) {
      value = static_cast<uint8_t*>(std::malloc(value_block));
      if (value == nullptr) return kOVsnmpErrNoMemory;
      b->val.string = value;
    }
  }
  b->oid_length = static_cast<uint32_t>(v->name_length);
  b->type = v->type;
  if (!CopyOidInto(v->name, v->name_length, b->oid)) return kOVsnmpErrBadResponse;
  if (holding != Holding::kNone) {
    long length = CopyValue(v, holding, value);
    if (length < 0) return kOVsnmpErrBadResponse;
    b->val.string = value;
    b->val_len = static_cast<uint32_t>(length);
  } else if (!known) {
    *exception =
        v->type == SNMP_NOSUCHOBJECT || v->type == SNMP_NOSUCHINSTANCE || v->type == SNMP_ENDOFMIBVIEW;
    if (*exception) b->type = kOVsnmpNull;
  }
  *out = b.release();  // the response's binding list owns it now
  return 0;
}

}  // namespace

namespace {

// A Trap-PDU's own fields; 0 or kOVsnmpErrBadPdu, kOVsnmpErrNoMemory.
int CopyTrapFields(const OVsnmpPdu* pdu, netsnmp_pdu* out) {
  if (pdu->enterprise == nullptr || !ValidOid(pdu->enterprise, pdu->enterprise_length) ||
      pdu->enterprise_length == 0) {
    return kOVsnmpErrBadPdu;
  }
  out->enterprise = static_cast<oid*>(std::malloc(pdu->enterprise_length * sizeof(oid)));
  if (out->enterprise == nullptr) return kOVsnmpErrNoMemory;
  ToOid(pdu->enterprise, pdu->enterprise_length, out->enterprise);
  out->enterprise_length = pdu->enterprise_length;
  uint32_t addr = htonl(pdu->agent_addr);
  std::memcpy(out->agent_addr, &addr, 4);
  out->trap_type = pdu->generic_type;
  out->specific_type = pdu->specific_type;
  out->time = pdu->time_stamp;
  return 0;
}

int FillNetsnmp(const OVsnmpPdu* pdu, netsnmp_pdu* out) {
  if (out->command == SNMP_MSG_TRAP) {
    int rc = CopyTrapFields(pdu, out);
    if (rc != 0) return rc;
  }
  for (const OVsnmpVarBind* b = pdu->variables; b != nullptr; b = b->next_variable) {
    int rc = AddToNetsnmp(out, b);
    if (rc != 0) return rc;
  }
  return 0;
}

}  // namespace

netsnmp_pdu* ToNetsnmp(const OVsnmpPdu* pdu, long version, int* error) {
  int command;
  switch (pdu->command) {
    case kOVsnmpGetRequest: command = SNMP_MSG_GET; break;
    case kOVsnmpGetNextRequest: command = SNMP_MSG_GETNEXT; break;
    case kOVsnmpTrap: command = SNMP_MSG_TRAP; break;
    default: *error = kOVsnmpErrBadPdu; return nullptr;
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
  int rc = FillNetsnmp(pdu, out);
  if (rc != 0) {
    snmp_free_pdu(out);
    *error = rc;
    return nullptr;
  }
  return out;
}

OVsnmpPdu* FromNetsnmp(const netsnmp_pdu* response, int* error) {
  std::unique_ptr<OVsnmpPdu, void (*)(OVsnmpPdu*)> out(
      NewZeroed<OVsnmpPdu>(sizeof(OVsnmpPdu), ThreadCache()), OVsnmpFreePdu);
  RecordCache* cache = &ThreadCache();
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
    int rc = ConvertBinding(v, tail, &exception, cache);
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
  auto* pdu = nvsnmp::NewZeroed<OVsnmpPdu>(sizeof(OVsnmpPdu), nvsnmp::ThreadCache());
  if (pdu == nullptr) {
    SetError(kOVsnmpErrNoMemory);
    return nullptr;
  }
  pdu->command = type;
  return pdu;
}

NVSNMP_API void OVsnmpFreePdu(OVsnmpPdu* pdu) {
  if (pdu == nullptr) return;
  nvsnmp::RecordCache& cache = nvsnmp::ThreadCache();
  OVsnmpVarBind* b = pdu->variables;
  while (b != nullptr) {
    OVsnmpVarBind* next = b->next_variable;
    nvsnmp::FreeBinding(b, cache);
    b = next;
  }
  std::free(pdu->enterprise);
  nvsnmp::FreeRecord(pdu, cache);
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
  using nvsnmp::Holding;
  Holding holding = Holding::kNone;
  const bool known = nvsnmp::FindHolding(type, &holding);
  // Blocks handed over belong to the PDU from now on, also when this fails.
  // The holder of a four-byte value lives only for this call.
  uint8_t* handed_block =
      known && holding != Holding::kNone && holding != Holding::kFourBytes && value != nullptr ? value->string
                                                                                                 : nullptr;
  auto refuse = [&](int error) -> OVsnmpVarBind* {
    std::free(oid);
    std::free(handed_block);
    SetError(error);
    return nullptr;
  };
  if (pdu == nullptr || !nvsnmp::ValidOid(oid, oid_length)) return refuse(kOVsnmpErrBadArgument);
  if (known && holding == Holding::kNone) type = kOVsnmpNull;
  else if (!known || value == nullptr || !nvsnmp::Acceptable(holding, *value, val_len)) {
    return refuse(kOVsnmpErrBadArgument);
  }
  OVsnmpVal stored{};
  uint32_t stored_len = 0;
  if (holding == Holding::kFourBytes) {
    // Whatever length the caller gives, an INTEGER is the holder's full 32-bit value.
    stored.integer = static_cast<int32_t*>(std::malloc(sizeof(int32_t)));
    if (stored.integer == nullptr) return refuse(kOVsnmpErrNoMemory);
    *stored.integer = *value->integer;
    stored_len = 4;
  } else if (holding != Holding::kNone) {
    stored.string = handed_block;
    stored_len = val_len;
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
