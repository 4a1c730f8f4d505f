// In-memory stand-in for the platform SNMP library (the symbols of
// snmp/nvsnmp.h), for unit tests. It plays scripted agents, one per peer
// name, and records every call so that tests can assert what was sent and
// what was released.
//
// Agents answer GETNEXT (161) and GET (160) with SNMPv1 semantics from a
// sorted table: a GETNEXT past the end of the table, or a GET of an object
// the table lacks, answers error status 2 (noSuchName) with the request's
// bindings. A peer without an agent is silent (timeout).
//
// Everything is guarded by one mutex, so tests may poll from several threads.
#ifndef ZOV_TESTS_FAKES_FAKE_NVSNMP_H_
#define ZOV_TESTS_FAKES_FAKE_NVSNMP_H_

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "snmp/nvsnmp.h"

namespace fake_snmp {

using Oid = std::vector<uint32_t>;

// Dotted text (leading dot optional) to sub-identifiers; for test tables.
Oid O(std::string_view dotted);

// A binding's value as an agent serves it.
struct Value {
  uint8_t type = kOVsnmpNull;
  std::vector<uint8_t> bytes;  // octet strings; integers as 4 bytes in host order
  Oid oid;                     // OBJECT IDENTIFIER values
  bool absent = false;         // the binding's value reference is null

  static Value Integer(int32_t v, uint8_t type = kOVsnmpInteger);
  static Value TimeTicks(uint32_t v) { return Integer(static_cast<int32_t>(v), kOVsnmpTimeTicks); }
  static Value String(std::string_view text) { return {kOVsnmpOctetString, {text.begin(), text.end()}, {}, false}; }
  static Value ObjectId(const Oid& oid) { return {kOVsnmpObjectId, {}, oid, false}; }
  // Any type with exactly these bytes (for example an INTEGER of 2 bytes).
  static Value Raw(uint8_t type, std::vector<uint8_t> bytes) { return {type, std::move(bytes), {}, false}; }
  static Value Absent(uint8_t type) { return {type, {}, {}, true}; }
};

struct Response {
  int32_t error_status = 0;
  int32_t error_index = 0;
  std::vector<std::pair<Oid, Value>> bindings;
};

// Overrides the table: gets the agent's request number (1-based) and the
// request's OIDs; nullopt means silence.
using Responder =
    std::function<std::optional<Response>(int request_number, const std::vector<Oid>& request)>;

struct Agent {
  std::map<Oid, Value> table;
  // Request number (1-based, per agent) -> error status answered instead.
  std::map<int, int32_t> error_status_on;
  // Requests that get no answer; OVsnmpErrno becomes silence_errno.
  std::set<int> silent_on;
  bool silent = false;
  int silence_errno = kOVsnmpErrTimeout;
  // OVsnmpOpen for this peer fails with open_errno.
  bool refuse_open = false;
  int open_errno = kOVsnmpErrBadPeer;
  Responder responder;
};

using Bindings = std::vector<std::pair<Oid, Value>>;
// An agent answering each request with the bindings made from its number and OIDs.
Agent Answering(std::function<Bindings(int request_number, const std::vector<Oid>& request)> bindings);
// The agent as change leaves it: a fault scripted on a table, say.
Agent Changed(Agent agent, const std::function<void(Agent*)>& change);

// Forget agents, scripted failures, records and counters. Call between tests;
// PDUs and sessions still live are forgotten (and counted as leaks before).
void Reset();
void SetAgent(const std::string& peer, Agent agent);

// The library calls a test can make fail.
enum class Call { kOpen, kCreatePdu, kAddNullVarBind, kAddTypedVarBind, kSend };
inline constexpr int kCallKinds = 5;
// Fails with the call's usual error (no session, no memory, no send): 0 is
// no error to fail with.
inline constexpr int kDefaultError = 0;

// Scripted failure of the n-th call of a kind (1-based, counted since Reset
// over all peers and threads); the call fails and leaves err in OVsnmpErrno.
void Fail(Call call, int n, int err = kDefaultError);

struct OpenRecord {
  bool has_community = false;
  std::string community;
  std::string peer;
  int retries = 0;
  int interval = 0;
  int local_port = 0;
  int remote_port = 0;
  bool operator==(const OpenRecord&) const = default;
};

struct BindingRecord {
  Oid oid;
  uint8_t type = 0;
  std::vector<uint8_t> value;  // bytes as handed over (integers: 4 bytes, host order)
  uint32_t val_len = 0;        // as passed to the add call
  bool value_present = false;

  int32_t AsInteger() const;
  std::string AsString() const { return std::string(value.begin(), value.end()); }
};

// A PDU handed to OVsnmpBlockingSend or OVsnmpSend, copied at the call.
struct SentPdu {
  std::string peer;
  int32_t command = 0;
  std::vector<BindingRecord> bindings;
  bool has_enterprise = false;
  Oid enterprise;
  uint32_t agent_addr = 0;
  int32_t generic_type = 0;
  int32_t specific_type = 0;
  uint32_t time_stamp = 0;
  bool blocking = false;  // through OVsnmpBlockingSend
  int result = 0;         // OVsnmpSend's result; 0 / errno for blocking sends

  std::vector<Oid> Oids() const;
};

struct FreedPdu {
  int32_t command = 0;
  bool had_enterprise = false;  // still set when OVsnmpFreePdu got it
};

struct Counts {
  int opens = 0;
  int closes = 0;
  int create_pdu_calls = 0;
  int add_null_calls = 0;
  int add_typed_calls = 0;
  int blocking_sends = 0;
  int sends = 0;
  int live_pdus = 0;
  int live_blocks = 0;   // OID and value blocks held in live bindings
  int live_sessions = 0;
  int bad_frees = 0;     // OVsnmpFreePdu of a PDU that is not live (double free)
  int bad_closes = 0;    // OVsnmpClose of a session that is not open
  int bad_sends = 0;     // a send with a PDU or session that is not live
};

std::vector<OpenRecord> Opens();
std::vector<std::string> Closes();           // peers, in order of OVsnmpClose
std::vector<SentPdu> Requests();             // through OVsnmpBlockingSend
std::vector<SentPdu> Sent();                 // through OVsnmpSend (traps)
std::vector<FreedPdu> Freed();               // OVsnmpFreePdu calls, in order
Counts GetCounts();

}  // namespace fake_snmp

#endif  // ZOV_TESTS_FAKES_FAKE_NVSNMP_H_
