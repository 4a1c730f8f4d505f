// In-memory stand-in for the platform SNMP library, for unit tests.
#include "fakes/fake_nvsnmp.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "snmp/nvsnmp.h"
#include "support/printer_table.h"

extern "C" {
int OVsnmpDumpPacket = 0;
#if defined(_WIN32)
int OVsnmpErrno = 0;  // the platform DLL's plain data item (nvsnmp.h)
#else
thread_local int OVsnmpErrno = 0;
#endif
}

struct OVsnmpSession {
  std::string peer;
};

namespace fake_snmp {
namespace {

struct AgentState {
  Agent agent;
  int requests = 0;
};

// Per kind of call: call number -> error.
using Failures = std::array<std::map<int, int>, kCallKinds>;

struct State {
  std::map<std::string, AgentState> agents;
  Failures failures;
  Counts counts;
  std::set<OVsnmpPdu*> live_pdus;
  std::set<OVsnmpSession*> live_sessions;
  std::vector<OpenRecord> opens;
  std::vector<std::string> closes;
  std::vector<SentPdu> requests;
  std::vector<SentPdu> sent;
  std::vector<FreedPdu> freed;
  int32_t next_request_id = 1;
};

State& Fake() {
  static State state;
  return state;
}
std::mutex& Mutex() {
  static std::mutex mutex;
  return mutex;
}
template <class T>
T Get(T State::*member) {
  std::lock_guard lock(Mutex());
  return Fake().*member;
}

bool IsIntegerType(uint8_t type) {
  return type == kOVsnmpInteger || type == kOVsnmpCounter32 || type == kOVsnmpGauge32 ||
         type == kOVsnmpTimeTicks || type == kOVsnmpIpAddress;
}

// The scripted error for call number n, if any.
std::optional<int> Scripted(const Failures& failures, Call call, int n) {
  const std::map<int, int>& script = failures[static_cast<size_t>(call)];
  auto it = script.find(n);
  if (it == script.end()) return std::nullopt;
  return it->second;
}

void* Block(size_t bytes) { return std::malloc(bytes == 0 ? 1 : bytes); }

uint32_t* NewOidBlock(const Oid& oid) {
  auto* block = static_cast<uint32_t*>(Block(oid.size() * sizeof(uint32_t)));
  if (!oid.empty()) std::memcpy(block, oid.data(), oid.size() * sizeof(uint32_t));
  return block;
}

// Frees what a binding holds and the binding itself. Caller holds the mutex.
void DestroyBinding(State& s, OVsnmpVarBind* b) {
  if (b->oid != nullptr) {
    std::free(b->oid);
    --s.counts.live_blocks;
  }
  if (b->val.string != nullptr) {
    std::free(b->val.string);
    --s.counts.live_blocks;
  }
  std::free(b);
}

void DestroyPdu(State& s, OVsnmpPdu* pdu) {
  OVsnmpVarBind* b = pdu->variables;
  while (b != nullptr) {
    OVsnmpVarBind* next = b->next_variable;
    DestroyBinding(s, b);
    b = next;
  }
  std::free(pdu->enterprise);
  s.live_pdus.erase(pdu);
  --s.counts.live_pdus;
  std::free(pdu);
}

OVsnmpPdu* NewPdu(State& s, int type) {
  auto* pdu = static_cast<OVsnmpPdu*>(std::calloc(1, sizeof(OVsnmpPdu)));
  pdu->command = type;
  pdu->request_id = s.next_request_id++;
  s.live_pdus.insert(pdu);
  ++s.counts.live_pdus;
  return pdu;
}

// A refused add: the blocks handed over with it are freed all the same.
OVsnmpVarBind* RefuseAdd(int err, uint32_t* oid, void* value = nullptr) {
  std::free(oid);
  std::free(value);
  OVsnmpErrno = err;
  return nullptr;
}

// A binding that owns the OID block, appended to the PDU.
OVsnmpVarBind* AppendBinding(State& s, OVsnmpPdu* pdu, uint32_t* oid, uint32_t oid_length, uint8_t type) {
  auto* b = static_cast<OVsnmpVarBind*>(std::calloc(1, sizeof(OVsnmpVarBind)));
  b->oid = oid;
  b->oid_length = oid_length;
  b->type = type;
  ++s.counts.live_blocks;
  OVsnmpVarBind** tail = &pdu->variables;
  while (*tail != nullptr) tail = &(*tail)->next_variable;
  *tail = b;
  return b;
}

void AppendAnswer(State& s, OVsnmpPdu* pdu, const Oid& oid, const Value& value) {
  OVsnmpVarBind* b = AppendBinding(s, pdu, NewOidBlock(oid), static_cast<uint32_t>(oid.size()), value.type);
  if (value.absent || value.type == kOVsnmpNull) return;
  if (value.type == kOVsnmpObjectId) {
    b->val.oid = NewOidBlock(value.oid);
    b->val_len = static_cast<uint32_t>(value.oid.size());
  } else {
    b->val.string = static_cast<uint8_t*>(Block(value.bytes.size()));
    if (!value.bytes.empty()) std::memcpy(b->val.string, value.bytes.data(), value.bytes.size());
    b->val_len = static_cast<uint32_t>(value.bytes.size());
  }
  ++s.counts.live_blocks;
}

SentPdu Copy(const OVsnmpPdu* pdu, const std::string& peer) {
  SentPdu out;
  out.peer = peer;
  out.command = pdu->command;
  for (const OVsnmpVarBind* b = pdu->variables; b != nullptr; b = b->next_variable) {
    BindingRecord r;
    if (b->oid != nullptr) r.oid.assign(b->oid, b->oid + b->oid_length);
    r.type = b->type;
    r.val_len = b->val_len;
    r.value_present = b->val.string != nullptr;
    if (b->val.string != nullptr && b->type != kOVsnmpObjectId) {
      r.value.assign(b->val.string, b->val.string + (IsIntegerType(b->type) ? sizeof(int32_t) : b->val_len));
    }
    out.bindings.push_back(std::move(r));
  }
  out.has_enterprise = pdu->enterprise != nullptr;
  if (out.has_enterprise) out.enterprise.assign(pdu->enterprise, pdu->enterprise + pdu->enterprise_length);
  out.agent_addr = pdu->agent_addr;
  out.generic_type = pdu->generic_type;
  out.specific_type = pdu->specific_type;
  out.time_stamp = pdu->time_stamp;
  return out;
}

// What the agent answers; nullopt for silence.
std::optional<Response> Answer(AgentState& a, int32_t command, const std::vector<Oid>& oids) {
  const int n = ++a.requests;
  if (a.agent.silent || a.agent.silent_on.count(n) != 0) return std::nullopt;
  auto echo = [&](int32_t status, int32_t index) {
    Response r;
    r.error_status = status;
    r.error_index = index;
    for (const Oid& oid : oids) r.bindings.emplace_back(oid, Value{});
    return r;
  };
  if (auto it = a.agent.error_status_on.find(n); it != a.agent.error_status_on.end()) {
    return echo(it->second, 1);
  }
  if (a.agent.responder) return a.agent.responder(n, oids);
  Response r;
  for (size_t i = 0; i < oids.size(); ++i) {
    auto it = command == kOVsnmpGetRequest ? a.agent.table.find(oids[i])
                                           : a.agent.table.upper_bound(oids[i]);
    if (it == a.agent.table.end()) return echo(2, static_cast<int32_t>(i + 1));
    r.bindings.emplace_back(it->first, it->second);
  }
  return r;
}

}  // namespace

Oid O(std::string_view dotted) { return zov::test::OidOf(dotted); }

Value Value::Integer(int32_t v, uint8_t type) {
  Value out{type, std::vector<uint8_t>(sizeof v), {}, false};
  std::memcpy(out.bytes.data(), &v, sizeof v);
  return out;
}

Agent Answering(std::function<Bindings(int, const std::vector<Oid>&)> bindings) {
  Agent agent;
  agent.responder = [bindings](int n, const std::vector<Oid>& request) { return Response{0, 0, bindings(n, request)}; };
  return agent;
}

Agent Changed(Agent agent, const std::function<void(Agent*)>& change) {
  change(&agent);
  return agent;
}

int32_t BindingRecord::AsInteger() const {
  int32_t v = 0;
  if (value.size() >= sizeof v) std::memcpy(&v, value.data(), sizeof v);
  return v;
}

std::vector<Oid> SentPdu::Oids() const {
  std::vector<Oid> out;
  for (const BindingRecord& b : bindings) out.push_back(b.oid);
  return out;
}

void Reset() {
  std::lock_guard lock(Mutex());
  Fake() = State{};
}

void SetAgent(const std::string& peer, Agent agent) {
  std::lock_guard lock(Mutex());
  Fake().agents[peer] = AgentState{std::move(agent), 0};
}

void Fail(Call call, int n, int err) {
  static constexpr int kDefaults[kCallKinds] = {kOVsnmpErrSessionOpen, kOVsnmpErrNoMemory, kOVsnmpErrNoMemory,
                                                kOVsnmpErrNoMemory, kOVsnmpErrSend};
  std::lock_guard lock(Mutex());
  const size_t kind = static_cast<size_t>(call);
  Fake().failures[kind][n] = err == kDefaultError ? kDefaults[kind] : err;
}

std::vector<OpenRecord> Opens() { return Get(&State::opens); }
std::vector<std::string> Closes() { return Get(&State::closes); }
std::vector<SentPdu> Requests() { return Get(&State::requests); }
std::vector<SentPdu> Sent() { return Get(&State::sent); }
std::vector<FreedPdu> Freed() { return Get(&State::freed); }
Counts GetCounts() {
  std::lock_guard lock(Mutex());
  Counts c = Fake().counts;
  c.live_sessions = static_cast<int>(Fake().live_sessions.size());
  return c;
}

}  // namespace fake_snmp

using fake_snmp::Fake;
using fake_snmp::Mutex;

extern "C" {

OVsnmpSession* OVsnmpOpen(const char* community, const char* peer, int retries, int interval,
                          int local_port, int remote_port, OVsnmpCallback, void*) {
  std::lock_guard lock(Mutex());
  auto& s = Fake();
  const int n = ++s.counts.opens;
  s.opens.push_back({community != nullptr, community ? community : "", peer ? peer : "", retries, interval,
                     local_port, remote_port});
  int err = 0;
  if (peer == nullptr) {
    err = kOVsnmpErrBadArgument;
  } else if (auto scripted = fake_snmp::Scripted(s.failures, fake_snmp::Call::kOpen, n)) {
    err = *scripted;
  } else if (auto it = s.agents.find(peer); it != s.agents.end() && it->second.agent.refuse_open) {
    err = it->second.agent.open_errno;
  }
  if (err != 0) {
    OVsnmpErrno = err;
    return nullptr;
  }
  auto* session = new OVsnmpSession{peer};
  s.live_sessions.insert(session);
  return session;
}

int OVsnmpClose(OVsnmpSession* session) {
  std::lock_guard lock(Mutex());
  auto& s = Fake();
  ++s.counts.closes;
  if (s.live_sessions.erase(session) == 0) {
    ++s.counts.bad_closes;
    OVsnmpErrno = kOVsnmpErrBadArgument;
    return -1;
  }
  s.closes.push_back(session->peer);
  delete session;
  return 0;
}

OVsnmpPdu* OVsnmpCreatePdu(int type) {
  std::lock_guard lock(Mutex());
  auto& s = Fake();
  const int n = ++s.counts.create_pdu_calls;
  if (auto scripted = fake_snmp::Scripted(s.failures, fake_snmp::Call::kCreatePdu, n)) {
    OVsnmpErrno = *scripted;
    return nullptr;
  }
  if (type != kOVsnmpGetRequest && type != kOVsnmpGetNextRequest && type != kOVsnmpResponse &&
      type != kOVsnmpTrap) {
    OVsnmpErrno = kOVsnmpErrBadPdu;
    return nullptr;
  }
  return fake_snmp::NewPdu(s, type);
}

void OVsnmpFreePdu(OVsnmpPdu* pdu) {
  if (pdu == nullptr) return;
  std::lock_guard lock(Mutex());
  auto& s = Fake();
  if (s.live_pdus.count(pdu) == 0) {
    ++s.counts.bad_frees;  // not ours or freed already: never touch it
    return;
  }
  s.freed.push_back(fake_snmp::FreedPdu{pdu->command, pdu->enterprise != nullptr});
  fake_snmp::DestroyPdu(s, pdu);
}

OVsnmpVarBind* OVsnmpAddNullVarBind(OVsnmpPdu* pdu, uint32_t* oid, uint32_t oid_length) {
  std::lock_guard lock(Mutex());
  auto& s = Fake();
  const int n = ++s.counts.add_null_calls;
  if (pdu == nullptr || s.live_pdus.count(pdu) == 0 || oid == nullptr) {
    return fake_snmp::RefuseAdd(kOVsnmpErrBadArgument, oid);
  }
  if (auto scripted = fake_snmp::Scripted(s.failures, fake_snmp::Call::kAddNullVarBind, n)) {
    return fake_snmp::RefuseAdd(*scripted, oid);
  }
  return fake_snmp::AppendBinding(s, pdu, oid, oid_length, kOVsnmpNull);
}

OVsnmpVarBind* OVsnmpAddTypedVarBind(OVsnmpPdu* pdu, uint32_t* oid, uint32_t oid_length,
                                     uint8_t type, OVsnmpVal* value, uint32_t val_len) {
  std::lock_guard lock(Mutex());
  auto& s = Fake();
  const int n = ++s.counts.add_typed_calls;
  const bool integer = fake_snmp::IsIntegerType(type);
  // Blocks handed over with the call (integers are only read).
  void* handed = (!integer && value != nullptr) ? static_cast<void*>(value->string) : nullptr;
  // An empty string or OID may come without a block (malloc(0) may give none).
  if (pdu == nullptr || s.live_pdus.count(pdu) == 0 || oid == nullptr ||
      (type != kOVsnmpNull && (value == nullptr || (value->string == nullptr && (integer || val_len > 0))))) {
    return fake_snmp::RefuseAdd(kOVsnmpErrBadArgument, oid, handed);
  }
  if (auto scripted = fake_snmp::Scripted(s.failures, fake_snmp::Call::kAddTypedVarBind, n)) {
    return fake_snmp::RefuseAdd(*scripted, oid, handed);
  }
  OVsnmpVarBind* b = fake_snmp::AppendBinding(s, pdu, oid, oid_length, type);
  b->val_len = val_len;
  if (integer) {
    b->val.integer = static_cast<int32_t*>(std::malloc(sizeof(int32_t)));
    *b->val.integer = *value->integer;
    ++s.counts.live_blocks;
  } else if (handed != nullptr) {
    b->val.string = static_cast<uint8_t*>(handed);
    ++s.counts.live_blocks;
  }
  return b;
}

OVsnmpPdu* OVsnmpBlockingSend(OVsnmpSession* session, OVsnmpPdu* pdu) {
  std::lock_guard lock(Mutex());
  auto& s = Fake();
  ++s.counts.blocking_sends;
  if (session == nullptr || s.live_sessions.count(session) == 0 || pdu == nullptr ||
      s.live_pdus.count(pdu) == 0) {
    ++s.counts.bad_sends;
    OVsnmpErrno = kOVsnmpErrBadArgument;
    return nullptr;
  }
  fake_snmp::SentPdu rec = fake_snmp::Copy(pdu, session->peer);
  rec.blocking = true;
  std::optional<fake_snmp::Response> answer;
  auto it = s.agents.find(session->peer);
  int silence = kOVsnmpErrTimeout;
  if (it != s.agents.end()) {
    silence = it->second.agent.silence_errno;
    answer = fake_snmp::Answer(it->second, pdu->command, rec.Oids());
  }
  if (!answer) {
    rec.result = silence;
    s.requests.push_back(std::move(rec));
    OVsnmpErrno = silence;
    return nullptr;  // the request stays the caller's
  }
  s.requests.push_back(std::move(rec));
  OVsnmpPdu* response = fake_snmp::NewPdu(s, kOVsnmpResponse);
  response->request_id = pdu->request_id;
  response->error_status = answer->error_status;
  response->error_index = answer->error_index;
  for (const auto& [oid, value] : answer->bindings) fake_snmp::AppendAnswer(s, response, oid, value);
  fake_snmp::DestroyPdu(s, pdu);  // a successful send takes the request
  return response;
}

int OVsnmpSend(OVsnmpSession* session, OVsnmpPdu* pdu) {
  std::lock_guard lock(Mutex());
  auto& s = Fake();
  const int n = ++s.counts.sends;
  if (pdu == nullptr || s.live_pdus.count(pdu) == 0) {
    ++s.counts.bad_sends;
    OVsnmpErrno = kOVsnmpErrBadArgument;
    return -1;
  }
  const bool session_ok = session != nullptr && s.live_sessions.count(session) != 0;
  fake_snmp::SentPdu rec = fake_snmp::Copy(pdu, session_ok ? session->peer : std::string());
  int err = 0;
  if (!session_ok) {
    ++s.counts.bad_sends;
    err = kOVsnmpErrBadArgument;
  } else if (auto scripted = fake_snmp::Scripted(s.failures, fake_snmp::Call::kSend, n)) {
    err = *scripted;
  }
  rec.result = err == 0 ? 0 : -1;
  s.sent.push_back(std::move(rec));
  fake_snmp::DestroyPdu(s, pdu);  // the library takes the PDU whatever the outcome
  if (err != 0) {
    OVsnmpErrno = err;
    return -1;
  }
  return 0;
}

const char* OVsnmpErrString(int error) {
  switch (error) {
    case 0: return "noError";
    case 2: return "noSuchName";
    default: return "fake error";
  }
}

}  // extern "C"
