// Sessions and exchanges on net-snmp's single-session API: each OVsnmpSession
// has net-snmp sessions of its own, opened on first use, so polls in many
// threads never share one.
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <memory>
#include <new>
#include <string>

#include "config.h"
#include "internal.h"

#include <net-snmp/library/snmpIPBaseDomain.h>
#include <net-snmp/library/snmpUDPDomain.h>
#include <net-snmp/library/snmpUDPIPv6Domain.h>

extern "C" {
NVSNMP_API int OVsnmpDumpPacket = 0;
NVSNMP_API thread_local int OVsnmpErrno = 0;
}

using RecvFunction = int (*)(netsnmp_transport*, void*, int, void**, int*);

// One net-snmp session of an OVsnmpSession: requests and traps may go to
// different ports, so each kind has its own. Closed with its owner.
struct NetSession {
  void* handle = nullptr;
  RecvFunction recv = nullptr;
  netsnmp_ep endpoint{};  // where it sends, port included
  std::string peername;   // the endpoint as text, made for the first dump

  NetSession() = default;
  NetSession(const NetSession&) = delete;
  NetSession& operator=(const NetSession&) = delete;
  ~NetSession();
};

struct OVsnmpSession {
  netsnmp_ep address{};  // the resolved host; its port is set per kind
  int named_port = 0;  // the caller's remote port or the peer's; 0: settle by use
  nvsnmp::SessionSettings settings;
  NetSession requests;
  NetSession traps;
  // The transport OVsnmpOpen makes, so that a session that cannot have a
  // socket (out of descriptors) fails at its open, as the platform's does;
  // the first net-snmp session opened takes it. Every datagram goes where
  // SendHook sends it, so one transport serves either kind.
  netsnmp_transport* first_transport = nullptr;
  ~OVsnmpSession();
};

namespace nvsnmp {
namespace {

// Closes and releases a transport no session took.
void FreeTransport(netsnmp_transport* transport) {
  if (transport == nullptr) return;
  transport->f_close(transport);
  netsnmp_transport_free(transport);
}

}  // namespace
}  // namespace nvsnmp

OVsnmpSession::~OVsnmpSession() { nvsnmp::FreeTransport(first_transport); }

namespace nvsnmp {
namespace {

// Datagrams larger than this are refused unparsed. A GETNEXT answer of a
// printer is a few hundred bytes; an answer of this size is not one.
constexpr int kMaxAcceptedDatagram = 32 * 1024;

bool DumpEnabled() { return std::atomic_ref<int>(OVsnmpDumpPacket).load(std::memory_order_relaxed) != 0; }

// The endpoint as the dump names it: "udp:HOST:PORT" or "udp6:[HOST]:PORT".
const std::string& PeerName(NetSession* ns) {
  if (!ns->peername.empty()) return ns->peername;
  char host[INET6_ADDRSTRLEN] = "?";
  char text[INET6_ADDRSTRLEN + 16];
  if (ns->endpoint.a.sin.sin_family == AF_INET6) {
    inet_ntop(AF_INET6, &ns->endpoint.a.sin6.sin6_addr, host, sizeof(host));
    std::snprintf(text, sizeof(text), "udp6:[%s]:%d", host, ntohs(ns->endpoint.a.sin6.sin6_port));
  } else {
    inet_ntop(AF_INET, &ns->endpoint.a.sin.sin_addr, host, sizeof(host));
    std::snprintf(text, sizeof(text), "udp:%s:%d", host, ntohs(ns->endpoint.a.sin.sin_port));
  }
  ns->peername = text;
  return ns->peername;
}

void DumpPacket(const char* direction, NetSession* ns, const void* data, int length) noexcept try {
  // One fputs per packet keeps concurrent dumps from interleaving.
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::string text = "nvsnmp: " + std::string(direction) + " " + PeerName(ns) + ", " +
                     std::to_string(length) + " bytes\n";
  char hex[4];
  for (int i = 0; i < length; ++i) {
    std::snprintf(hex, sizeof(hex), "%02x%c", bytes[i], (i % 16 == 15 || i + 1 == length) ? '\n' : ' ');
    text += hex;
  }
  std::fputs(text.c_str(), stderr);
} catch (...) {
  // No memory for the dump: the packet itself still goes.
}

// What the transport saw during one exchange on this thread.
struct Exchange {
  NetSession* session = nullptr;
  int received = 0;
  int refused = 0;
};
thread_local Exchange* t_exchange = nullptr;

struct ExchangeScope {
  explicit ExchangeScope(Exchange* e) { t_exchange = e; }
  ~ExchangeScope() { t_exchange = nullptr; }
};

// Receives one datagram on an IPv4 session. net-snmp's own receive also asks
// the kernel for the socket's local address on every datagram, which an
// agent needs to answer from the address it was asked on and a client never
// uses; otherwise this does what it does: the sender's address goes to the
// caller in an address pair that net-snmp releases. The work saved is the
// kernel's, which callgrind does not see (259 instructions a poll): bench/run
// polls make 30.6 system calls each with net-snmp's receive and 27.6 with
// this one, and take 2 to 5 % more CPU time a poll without it (four paired
// runs at 1 and 8 threads).
int ReceiveFrom(netsnmp_transport* t, void* buf, int size, void** opaque, int* olength) {
  *opaque = nullptr;
  *olength = 0;
  if (t == nullptr || t->sock < 0) return -1;
  auto* pair = static_cast<netsnmp_indexed_addr_pair*>(std::calloc(1, sizeof(netsnmp_indexed_addr_pair)));
  if (pair == nullptr) return -1;
  socklen_t from_length = sizeof(pair->remote_addr);
  ssize_t n;
  do {
    n = recvfrom(t->sock, buf, static_cast<size_t>(size), MSG_DONTWAIT, &pair->remote_addr.sa, &from_length);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    std::free(pair);
    return -1;
  }
  *opaque = pair;
  *olength = sizeof(netsnmp_indexed_addr_pair);
  return static_cast<int>(n);
}

int RecvHook(netsnmp_transport* t, void* buf, int size, void** opaque, int* olength) {
  Exchange* e = t_exchange;
  if (e == nullptr || e->session->recv == nullptr) return -1;
  int n = e->session->recv(t, buf, size, opaque, olength);
  if (n <= 0) return n;
  ++e->received;
  if (DumpEnabled()) DumpPacket("received from", e->session, buf, n);
  if (n > kMaxAcceptedDatagram || n >= size) {
    ++e->refused;
    return 0;  // net-snmp drops an empty datagram and keeps waiting
  }
  return n;
}

// Sends to the endpoint of the kind being sent (requests or traps), not to
// where the transport was made for: the transport OVsnmpOpen made is taken
// by whichever kind is used first.
int SendHook(netsnmp_transport* t, const void* buf, int size, void** /*opaque*/, int* /*olength*/) {
  Exchange* e = t_exchange;
  if (e == nullptr || t == nullptr || t->sock < 0 || size < 0) return -1;
  if (DumpEnabled()) DumpPacket("sent to", e->session, buf, size);
  const netsnmp_ep& to = e->session->endpoint;
  const socklen_t length = to.a.sin.sin_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  ssize_t n;
  do {
    n = sendto(t->sock, buf, static_cast<size_t>(size), 0, reinterpret_cast<const sockaddr*>(&to.a), length);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : static_cast<int>(n);
}

// A private, existing directory for net-snmp's persistent state, which it
// creates folders in even when told not to save anything.
std::string PersistentDirectory() {
  const char* tmp = std::getenv("TMPDIR");
  std::string base = tmp != nullptr && *tmp == '/' ? tmp : "/tmp";
  std::string dir = base + "/nvsnmp-" + std::to_string(getuid());
  struct stat st;
  if (mkdir(dir.c_str(), 0700) != 0 && !(lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
                                         st.st_uid == getuid() && (st.st_mode & 0077) == 0)) {
    dir = base + "/nvsnmp.XXXXXX";
    if (mkdtemp(dir.data()) == nullptr) return base;
  }
  // Made here, net-snmp does not announce making it on standard error.
  mkdir((dir + "/cert_indexes").c_str(), 0700);
  return dir;
}

void InitialiseOnce() {
  // std::call_once sets two thread-locals on every call, done or not; a
  // flag read first saves 163 instructions a poll (callgrind, bench/run).
  static std::atomic<bool> done{false};
  if (kFastPaths && done.load(std::memory_order_acquire)) return;
  static std::once_flag once;
  std::call_once(once, [] {
    snmp_disable_log();
    char mibs[] = "mibs :";
    netsnmp_config(mibs);
    netsnmp_set_mib_directory("");
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_LOAD_HOST_FILES, 1);
    set_persistent_directory(PersistentDirectory().c_str());
    init_snmp("nvsnmp");
    // Errors reach the caller through OVsnmpErrno; net-snmp's own log would
    // write into the host's standard error.
    snmp_disable_log();
    // Never snmp_shutdown: it would tear down state the whole process shares.
  });
  done.store(true, std::memory_order_release);
}

int MapLibraryError(int snmp_error) {
  switch (snmp_error) {
    case SNMPERR_MALLOC:
      return kOVsnmpErrNoMemory;
    case SNMPERR_BAD_ADDRESS:
      return kOVsnmpErrBadPeer;
    case SNMPERR_BAD_SENDTO:
      return kOVsnmpErrSend;
    case SNMPERR_TIMEOUT:
      return kOVsnmpErrTimeout;
    case SNMPERR_TOO_LONG:
    case SNMPERR_BAD_ASN1_BUILD:
    case SNMPERR_V2_IN_V1:
    case SNMPERR_V1_IN_V2:
    case SNMPERR_UNKNOWN_PDU:
      return kOVsnmpErrBadPdu;
    case SNMPERR_BAD_PARSE:
      return kOVsnmpErrBadResponse;
    default:
      return kOVsnmpErrInternal;
  }
}

// The session's own error number; snmp_sess_error would also format a text
// through buffers all threads share.
int SessionError(void* handle) {
  netsnmp_session* session = snmp_sess_session(handle);
  return MapLibraryError(session != nullptr ? session->s_snmp_errno : 0);
}

// An address written as one, taken without asking the resolver.
bool NumericAddress(const std::string& host, netsnmp_ep* address) {
  *address = netsnmp_ep{};
  if (inet_pton(AF_INET, host.c_str(), &address->a.sin.sin_addr) == 1) {
    address->a.sin.sin_family = AF_INET;
    return true;
  }
  if (inet_pton(AF_INET6, host.c_str(), &address->a.sin6.sin6_addr) == 1) {
    address->a.sin6.sin6_family = AF_INET6;
    return true;
  }
  return false;
}

int LookUpName(const std::string& host, netsnmp_ep* address) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* result = nullptr;
  // IPv4 first: a name that has both is reached the way the platform reaches it.
  for (int family : {AF_INET, AF_INET6}) {
    hints.ai_family = family;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &result) == 0 && result != nullptr) break;
    result = nullptr;
  }
  if (result == nullptr) return kOVsnmpErrBadPeer;
  *address = netsnmp_ep{};
  if (result->ai_family == AF_INET6) {
    address->a.sin6.sin6_family = AF_INET6;
    address->a.sin6.sin6_addr = reinterpret_cast<sockaddr_in6*>(result->ai_addr)->sin6_addr;
    address->a.sin6.sin6_scope_id = reinterpret_cast<sockaddr_in6*>(result->ai_addr)->sin6_scope_id;
  } else {
    address->a.sin.sin_family = AF_INET;
    address->a.sin.sin_addr = reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr;
  }
  freeaddrinfo(result);
  return 0;
}

// The address to send to, as a socket address: net-snmp is handed the
// endpoint, so it neither parses a peer text nor resolves a name itself.
int ResolvePeer(const std::string& host, netsnmp_ep* address) {
  return NumericAddress(host, address) ? 0 : LookUpName(host, address);
}

// A UDP transport of the endpoint's family, or null when no socket can be had.
netsnmp_transport* MakeTransport(const netsnmp_ep& endpoint) {
  return endpoint.a.sin.sin_family == AF_INET6 ? netsnmp_udp6_transport(&endpoint, 0)
                                               : netsnmp_udp_transport(&endpoint, 0);
}

// Opens the net-snmp session of one kind on first use.
int EnsureOpen(OVsnmpSession* s, bool trap, NetSession** out) {
  NetSession* ns = trap ? &s->traps : &s->requests;
  *out = ns;
  if (ns->handle != nullptr) return 0;
  int port = s->named_port != 0 ? s->named_port : (trap ? s->settings.trap_port : s->settings.agent_port);
  ns->endpoint = s->address;
  const bool ipv6 = ns->endpoint.a.sin.sin_family == AF_INET6;
  if (ipv6) {
    ns->endpoint.a.sin6.sin6_port = htons(static_cast<uint16_t>(port));
  } else {
    ns->endpoint.a.sin.sin_port = htons(static_cast<uint16_t>(port));
  }
  ns->peername.clear();
  netsnmp_session config;
  snmp_sess_init(&config);
  config.version = (trap || !s->settings.v2c) ? SNMP_VERSION_1 : SNMP_VERSION_2c;
  config.community = reinterpret_cast<u_char*>(s->settings.community.data());
  config.community_len = s->settings.community.size();
  config.retries = s->settings.retries;
  config.timeout = static_cast<long>(s->settings.timeout_ms) * 1000L;
  void* handle = nullptr;
  // Making a transport touches nothing shared (its socket, its own blocks,
  // settings read since start-up), so the system calls it makes stay out
  // of the library lock that every other thread's exchange waits for.
  netsnmp_transport* transport = s->first_transport != nullptr ? s->first_transport : MakeTransport(ns->endpoint);
  s->first_transport = nullptr;
  {
    std::lock_guard<std::mutex> lock(LibraryMutex());
    // The transport is the session's from here on; net-snmp releases it
    // when snmp_sess_add fails for want of memory, the one way a UDP
    // transport that opened can fail there.
    if (transport != nullptr) handle = snmp_sess_add(&config, transport, nullptr, nullptr);
  }
  if (handle == nullptr) {
    int error = MapLibraryError(config.s_snmp_errno);
    return error == kOVsnmpErrInternal ? kOVsnmpErrSessionOpen : error;
  }
  // Every datagram passes our hooks: for the dump, to bound what is read
  // and to send it where its kind goes.
  ns->recv = ipv6 || !kFastPaths ? transport->f_recv : ReceiveFrom;
  transport->f_recv = RecvHook;
  transport->f_send = SendHook;
  ns->handle = handle;
  return 0;
}

OVsnmpSession* Open(const char* community, const char* peer, int retries, int interval, int remote_port) {
  if (peer == nullptr || (retries < 0 && retries != kOVsnmpDefault) ||
      (interval <= 0 && interval != kOVsnmpDefault) ||
      ((remote_port < 1 || remote_port > 65535) && remote_port != kOVsnmpDefaultPort)) {
    SetError(kOVsnmpErrBadArgument);
    return nullptr;
  }
  InitialiseOnce();
  std::unique_ptr<OVsnmpSession> s(new (std::nothrow) OVsnmpSession);
  if (!s) {
    SetError(kOVsnmpErrNoMemory);
    return nullptr;
  }
  int rc = LoadSettings(peer, &s->settings);
  if (rc != 0) {
    SetError(rc);
    return nullptr;
  }
  if (community != nullptr) s->settings.community = community;
  if (retries != kOVsnmpDefault) s->settings.retries = retries;
  if (interval != kOVsnmpDefault) s->settings.timeout_ms = interval;
  s->named_port = remote_port != kOVsnmpDefaultPort ? remote_port : s->settings.peer.port;
  rc = ResolvePeer(s->settings.peer.host, &s->address);
  if (rc != 0) {
    SetError(rc);
    return nullptr;
  }
  // The transport's own failure is how a session learns that it cannot have
  // a socket; the address it is made for does not matter (SendHook).
  netsnmp_ep endpoint = s->address;
  const uint16_t any_port = htons(static_cast<uint16_t>(s->settings.agent_port));
  if (endpoint.a.sin.sin_family == AF_INET6) {
    endpoint.a.sin6.sin6_port = any_port;
  } else {
    endpoint.a.sin.sin_port = any_port;
  }
  s->first_transport = MakeTransport(endpoint);
  if (s->first_transport == nullptr) {
    SetError(kOVsnmpErrSessionOpen);
    return nullptr;
  }
  return s.release();  // the caller's until OVsnmpClose
}

OVsnmpPdu* BlockingSend(OVsnmpSession* session, OVsnmpPdu* pdu) {
  if (session == nullptr || pdu == nullptr) {
    SetError(kOVsnmpErrBadArgument);
    return nullptr;
  }
  if (pdu->command != kOVsnmpGetRequest && pdu->command != kOVsnmpGetNextRequest) {
    SetError(kOVsnmpErrBadPdu);  // only requests have answers to wait for
    return nullptr;
  }
  NetSession* ns = nullptr;
  int rc = EnsureOpen(session, false, &ns);
  if (rc != 0) {
    SetError(rc);
    return nullptr;
  }
  netsnmp_pdu* request = ToNetsnmp(pdu, session->settings.v2c ? SNMP_VERSION_2c : SNMP_VERSION_1, &rc);
  if (request == nullptr) {
    SetError(rc);
    return nullptr;
  }
  Exchange exchange;
  exchange.session = ns;
  netsnmp_pdu* response = nullptr;
  int status;
  {
    ExchangeScope scope(&exchange);
    status = snmp_sess_synch_response(ns->handle, request, &response);  // consumes request
  }
  if (status != STAT_SUCCESS || response == nullptr) {
    if (response != nullptr) snmp_free_pdu(response);
    if (status == STAT_TIMEOUT) {
      // Datagrams came but none was a usable answer.
      SetError(exchange.received > 0 ? kOVsnmpErrBadResponse : kOVsnmpErrTimeout);
    } else {
      SetError(SessionError(ns->handle));
    }
    return nullptr;
  }
  OVsnmpPdu* answer = FromNetsnmp(response, &rc);
  snmp_free_pdu(response);
  if (answer == nullptr) {
    SetError(rc);
    return nullptr;
  }
  OVsnmpFreePdu(pdu);  // a successful exchange takes the request
  return answer;
}

int Send(OVsnmpSession* session, OVsnmpPdu* pdu) {
  // The PDU is ours whatever happens below.
  std::unique_ptr<OVsnmpPdu, void (*)(OVsnmpPdu*)> owned(pdu, OVsnmpFreePdu);
  if (session == nullptr || pdu == nullptr) {
    SetError(kOVsnmpErrBadArgument);
    return -1;
  }
  bool trap = pdu->command == kOVsnmpTrap;
  NetSession* ns = nullptr;
  int rc = EnsureOpen(session, trap, &ns);
  if (rc != 0) {
    SetError(rc);
    return -1;
  }
  long version = (trap || !session->settings.v2c) ? SNMP_VERSION_1 : SNMP_VERSION_2c;
  netsnmp_pdu* out = ToNetsnmp(pdu, version, &rc);
  if (out == nullptr) {
    SetError(rc);
    return -1;
  }
  Exchange exchange;
  exchange.session = ns;
  int request_id;
  {
    ExchangeScope scope(&exchange);
    request_id = snmp_sess_send(ns->handle, out);
  }
  if (request_id == 0) {
    SetError(SessionError(ns->handle));
    snmp_free_pdu(out);  // a failed send leaves it with us
    return -1;
  }
  return request_id & 0x7FFFFFFF;
}

}  // namespace
}  // namespace nvsnmp

NetSession::~NetSession() {
  if (handle == nullptr) return;
  // The socket is closed outside the library lock, as it was made; the
  // session, detached from it first, goes under the lock.
  netsnmp_transport* transport = snmp_sess_transport(handle);
  snmp_sess_transport_set(handle, nullptr);
  if (transport != nullptr) {
    transport->f_close(transport);
    netsnmp_transport_free(transport);
  }
  std::lock_guard<std::mutex> lock(nvsnmp::LibraryMutex());
  snmp_sess_close(handle);
}

using nvsnmp::SetError;

// Nothing may throw across the boundary: an allocation that fails inside is
// an out-of-memory result like any other.
extern "C" {

NVSNMP_API OVsnmpSession* OVsnmpOpen(const char* community, const char* peer, int retries, int interval,
                                     int local_port, int remote_port, OVsnmpCallback callback,
                                     void* callback_data) {
  // The local port is the system's choice: the plug-in always leaves it open.
  (void)local_port;
  (void)callback;
  (void)callback_data;
  try {
    return nvsnmp::Open(community, peer, retries, interval, remote_port);
  } catch (...) {
    SetError(kOVsnmpErrNoMemory);
    return nullptr;
  }
}

NVSNMP_API int OVsnmpClose(OVsnmpSession* session) {
  if (session == nullptr) {
    SetError(kOVsnmpErrBadArgument);
    return -1;
  }
  delete session;  // its net-snmp sessions close with it
  return 0;
}

NVSNMP_API OVsnmpPdu* OVsnmpBlockingSend(OVsnmpSession* session, OVsnmpPdu* pdu) {
  try {
    return nvsnmp::BlockingSend(session, pdu);
  } catch (...) {
    SetError(kOVsnmpErrNoMemory);
    return nullptr;
  }
}

NVSNMP_API int OVsnmpSend(OVsnmpSession* session, OVsnmpPdu* pdu) {
  try {
    return nvsnmp::Send(session, pdu);
  } catch (...) {
    SetError(kOVsnmpErrNoMemory);  // the PDU was released on the way out
    return -1;
  }
}

NVSNMP_API const char* OVsnmpErrString(int error) {
  static const char* const kStatus[] = {"noError",
                                        "tooBig",
                                        "noSuchName",
                                        "badValue",
                                        "readOnly",
                                        "genErr",
                                        "noAccess",
                                        "wrongType",
                                        "wrongLength",
                                        "wrongEncoding",
                                        "wrongValue",
                                        "noCreation",
                                        "inconsistentValue",
                                        "resourceUnavailable",
                                        "commitFailed",
                                        "undoFailed",
                                        "authorizationError",
                                        "notWritable",
                                        "inconsistentName"};
  switch (error) {
    case kOVsnmpErrNoMemory:
      return "out of memory";
    case kOVsnmpErrBadArgument:
      return "bad argument";
    case kOVsnmpErrBadPeer:
      return "unknown or malformed peer address";
    case kOVsnmpErrSessionOpen:
      return "cannot open the SNMP transport";
    case kOVsnmpErrTimeout:
      return "no response (timeout)";
    case kOVsnmpErrSend:
      return "cannot send the datagram";
    case kOVsnmpErrBadPdu:
      return "PDU cannot be encoded";
    case kOVsnmpErrBadResponse:
      return "malformed, truncated or oversized response";
    case kOVsnmpErrConfig:
      return "NVSNMP_CONF or NVSNMP_* setting unreadable or malformed";
    case kOVsnmpErrInternal:
      return "SNMP library error";
    default:
      break;
  }
  if (error >= 0 && error < static_cast<int>(sizeof(kStatus) / sizeof(kStatus[0]))) return kStatus[error];
  thread_local char unknown[40];
  std::snprintf(unknown, sizeof(unknown), "unknown error %d", error);
  return unknown;
}

}  // extern "C"
