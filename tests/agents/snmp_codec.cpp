#include "snmp_codec.h"

namespace zov::agents {
namespace {

constexpr u_char kSequence = ASN_SEQUENCE | ASN_CONSTRUCTOR;

bool Integer(u_char** p, size_t* left, long* out) {
  u_char type = 0;
  *p = asn_parse_int(*p, left, &type, out, sizeof *out);
  return *p != nullptr && type == ASN_INTEGER;
}

// Back-to-front writing into a fixed buffer: never reallocated.
struct Writer {
  u_char* buffer;
  size_t size;
  size_t offset = 0;  // bytes written, at the end of buffer
  bool ok = true;

  void Int(u_char type, long v) {
    ok = ok && asn_realloc_rbuild_int(&buffer, &size, &offset, 0, type, &v, sizeof v);
  }
  void Unsigned(u_char type, long v) {
    const u_long u = static_cast<u_long>(v) & 0xFFFFFFFFul;
    ok = ok && asn_realloc_rbuild_unsigned_int(&buffer, &size, &offset, 0, type, &u, sizeof u);
  }
  void Bytes(u_char type, const void* data, size_t length) {
    ok = ok && asn_realloc_rbuild_string(&buffer, &size, &offset, 0, type, static_cast<const u_char*>(data),
                                         length);
  }
  void Objid(u_char type, const oid* parts, size_t length) {
    ok = ok && asn_realloc_rbuild_objid(&buffer, &size, &offset, 0, type, parts, length);
  }
  void Null(u_char type) { ok = ok && asn_realloc_rbuild_null(&buffer, &size, &offset, 0, type); }
  // Wraps what was written since `start` (an earlier offset).
  void Wrap(u_char type, size_t start) {
    ok = ok && asn_realloc_rbuild_sequence(&buffer, &size, &offset, 0, type, offset - start);
  }

  void Put(const Value& v) {
    switch (v.type) {
      case ASN_INTEGER:
        return Int(v.type, v.integer);
      case ASN_COUNTER:
      case ASN_GAUGE:
      case ASN_TIMETICKS:
        return Unsigned(v.type, v.integer);
      case ASN_OCTET_STR:
      case ASN_IPADDRESS:
      case ASN_OPAQUE:
        return Bytes(v.type, v.bytes.data(), v.bytes.size());
      case ASN_OBJECT_ID:
        return Objid(v.type, v.oid.data(), v.oid.size());
      default:
        return Null(v.type);  // NULL and the v2c exceptions
    }
  }
};

}  // namespace

bool DecodeRequest(const u_char* data, size_t size, Request* out) {
  u_char* p = const_cast<u_char*>(data);  // net-snmp's parsers only read
  size_t left = size;
  u_char type = 0;
  p = asn_parse_sequence(p, &left, &type, kSequence, "message");
  if (p == nullptr || !Integer(&p, &left, &out->version) || (out->version != 0 && out->version != 1)) {
    return false;
  }
  out->community_length = sizeof out->community;
  p = asn_parse_string(p, &left, &type, out->community, &out->community_length);
  if (p == nullptr || type != ASN_OCTET_STR) return false;
  p = asn_parse_header(p, &left, &out->command);  // left: the PDU's length
  if (p == nullptr || (out->command != SNMP_MSG_GET && out->command != SNMP_MSG_GETNEXT)) return false;
  long ignored = 0;
  if (!Integer(&p, &left, &out->request_id) || !Integer(&p, &left, &ignored) ||
      !Integer(&p, &left, &ignored)) {
    return false;
  }
  p = asn_parse_sequence(p, &left, &type, kSequence, "bindings");  // left: the list's length
  if (p == nullptr) return false;
  out->count = 0;
  while (left > 0) {
    if (out->count == kMaxBindings) return false;
    size_t binding = left;
    u_char* content = asn_parse_sequence(p, &binding, &type, kSequence, "binding");
    if (content == nullptr) return false;
    Name& name = out->names[out->count++];
    name.length = MAX_OID_LEN;
    size_t in_binding = binding;
    if (asn_parse_objid(content, &in_binding, &type, name.parts, &name.length) == nullptr ||
        type != ASN_OBJECT_ID) {
      return false;
    }
    const size_t whole = static_cast<size_t>(content - p) + binding;
    p += whole;
    left -= whole;
  }
  return true;
}

size_t EncodeResponse(const Request& request, long request_id, long error_status, long error_index,
                      const Binding* bindings, size_t count, u_char* out, size_t size) {
  Writer w{out, size};
  for (size_t i = count; i-- > 0;) {
    const size_t start = w.offset;
    w.Put(*bindings[i].value);
    w.Objid(ASN_OBJECT_ID, bindings[i].name, bindings[i].length);
    w.Wrap(kSequence, start);
  }
  w.Wrap(kSequence, 0);
  w.Int(ASN_INTEGER, error_index);
  w.Int(ASN_INTEGER, error_status);
  w.Int(ASN_INTEGER, request_id);
  w.Wrap(SNMP_MSG_RESPONSE, 0);
  w.Bytes(ASN_OCTET_STR, request.community, request.community_length);
  w.Int(ASN_INTEGER, request.version);
  w.Wrap(kSequence, 0);
  return w.ok ? w.offset : 0;
}

}  // namespace zov::agents
