// The little of BER and SNMP (v1/v2c messages) the fault agent speaks.
// Decoding is bounded by the datagram and refuses anything it does not
// expect; encoding produces definite lengths only.
#ifndef ZOV_TESTS_AGENTS_FAULT_AGENT_BER_H_
#define ZOV_TESTS_AGENTS_FAULT_AGENT_BER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fa {

using Oid = std::vector<uint32_t>;

inline constexpr unsigned char kInteger = 0x02;
inline constexpr unsigned char kOctetString = 0x04;
inline constexpr unsigned char kNull = 0x05;
inline constexpr unsigned char kObjectId = 0x06;
inline constexpr unsigned char kIpAddress = 0x40;
inline constexpr unsigned char kCounter32 = 0x41;
inline constexpr unsigned char kGauge32 = 0x42;
inline constexpr unsigned char kTimeTicks = 0x43;
inline constexpr unsigned char kNoSuchObject = 0x80;
inline constexpr unsigned char kNoSuchInstance = 0x81;
inline constexpr unsigned char kEndOfMibView = 0x82;
inline constexpr unsigned char kGet = 0xa0;
inline constexpr unsigned char kGetNext = 0xa1;
inline constexpr unsigned char kResponse = 0xa2;

struct Value {
  unsigned char tag = kNull;
  long integer = 0;   // INTEGER, Counter32, Gauge32, TimeTicks
  std::string bytes;  // OCTET STRING, IpAddress (4 bytes)
  Oid oid;            // OBJECT IDENTIFIER
};

struct Row {
  Oid oid;
  Value value;
};
using Binding = Row;

struct Request {
  long version = 0;  // 0 SNMPv1, 1 SNMPv2c
  std::string community;
  unsigned char pdu_type = 0;
  long request_id = 0;
  std::vector<Oid> names;
};

struct Response {
  long version = 0;
  std::string community;
  long request_id = 0;
  long error_status = 0;
  long error_index = 0;
  std::vector<Binding> bindings;
};

// "1.3.6.1" or ".1.3.6.1"; false on anything else or more than 128 parts.
bool ParseOidText(const std::string& text, Oid* out);
// "OID|TYPE|VALUE" as in a table file.
bool ParseRow(const std::string& line, Row* out);
// A GetRequest or GetNextRequest; false for anything else.
bool DecodeRequest(const unsigned char* data, size_t size, Request* out);
std::string EncodeResponse(const Response& response);

}  // namespace fa

#endif  // ZOV_TESTS_AGENTS_FAULT_AGENT_BER_H_
