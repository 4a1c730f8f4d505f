// The SNMP the project's test agent speaks, encoded and decoded by net-snmp's
// own ASN.1 functions: v1 and v2c GetRequest and GetNextRequest in, Response
// out. Nothing allocates, so a benchmark's agent stays fast; what a fault
// needs beyond well-formed messages is mangled by the agent itself.
#ifndef ZOV_TESTS_AGENTS_SNMP_CODEC_H_
#define ZOV_TESTS_AGENTS_SNMP_CODEC_H_

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/types.h>
#include <net-snmp/library/asn1.h>
#include <net-snmp/library/snmp.h>
#include <net-snmp/library/snmp_impl.h>

#include <cstddef>
#include <string>
#include <vector>

namespace zov::agents {

inline constexpr size_t kMaxBindings = 64;

using Oid = std::vector<oid>;

struct Name {
  oid parts[MAX_OID_LEN];
  size_t length = 0;
};

struct Request {
  long version = 0;  // 0 SNMPv1, 1 SNMPv2c
  u_char community[256];
  size_t community_length = 0;
  u_char command = 0;  // SNMP_MSG_GET or SNMP_MSG_GETNEXT
  long request_id = 0;
  size_t count = 0;
  Name names[kMaxBindings];
};

// A binding's value: `integer` for INTEGER, Counter32, Gauge32 and
// TimeTicks; `bytes` for OCTET STRING, IpAddress and Opaque; `oid` for
// OBJECT IDENTIFIER; nothing for NULL and the v2c exceptions.
struct Value {
  u_char type = ASN_NULL;
  long integer = 0;
  std::string bytes;
  Oid oid;
};

struct Binding {
  const oid* name;
  size_t length;
  const Value* value;
};

// False for anything but a well-formed v1 or v2c Get or GetNext.
bool DecodeRequest(const u_char* data, size_t size, Request* out);

// The Response to `request` (its version and community) into out; its
// length, 0 when it does not fit. The message starts at out + size - length:
// net-snmp builds back to front.
size_t EncodeResponse(const Request& request, long request_id, long error_status, long error_index,
                      const Binding* bindings, size_t count, u_char* out, size_t size);

}  // namespace zov::agents

#endif  // ZOV_TESTS_AGENTS_SNMP_CODEC_H_
