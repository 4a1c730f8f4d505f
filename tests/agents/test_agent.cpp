// test_agent: the project's own SNMP agent on loopback, in one of two roles.
//
// Tests (the default role) — answers GET and GETNEXT from a table and
// misbehaves on demand, for what no well-behaved agent does (options: --help).
// Table lines are snmprec-like: OID|TYPE|VALUE with TYPE 2 INTEGER, 4 OCTET
// STRING (4x: hex), 5 NULL, 6 OBJECT IDENTIFIER, 64 IpAddress, 65 Counter32,
// 66 Gauge32, 67 TimeTicks; '#' starts a comment.
//
// Faults, from the N-th request on (default 1; with --only, on that one):
//   none        answer correctly
//   stuck       GETNEXT answers name the requested OID again (never advance)
//   endless     GETNEXT always finds a next row below the requested OID: .1
//               is appended up to 12 sub-identifiers, then the
//               last one counts up; with --size, every value is an OCTET
//               STRING of BYTES (an endless table of huge descriptions)
//   error       answer with error status S (default 5) and error index 1
//   silent      no answer
//   garbage     a datagram that is not SNMP
//   truncated   the first half of a correct answer
//   oversized   a correct answer padded to BYTES (default 40000)
//   wrong-type  INTEGER-like values answered as OCTET STRING and the reverse
//   big-value   every value an OCTET STRING of BYTES (default 6000), zov::test::BigValue
//   wrong-id    a correct answer under another request-id
//   slow        a correct answer, sent MS milliseconds late (--delay MS,
//               default 200): a printer that answers just inside the timeout
//
// Prints the port as the first line of standard output.
//
// Benchmarks (--bench [--port N]) — answers from in-memory printer tables
// chosen by community, datagrams in batches, so that it is never what a
// benchmark measures:
//   printer   a vendor printer with one warning alert (time 500)
//   changing  the same, but the alert's time grows on every answer, so
//             every poll sees a new alert and sends a trap
//   rowsN     a vendor printer with N warning alerts (N up to 100,000)
//   slowN     the printer, answering N ms (up to 10,000) after each request,
//             as a printer across a network does; others are answered
//             meanwhile
// Prints "port P trap-port T" first; counts the traps sent to T, and answers
// each line on standard input with its figures so far (requests, unanswered,
// traps, wall and CPU seconds, requests per CPU second).
//
// Both bind 127.0.0.1 (::1 with --ipv6; another loopback address with
// --address, such as the 127.0.1.1 a stock host name resolves to) and exit on SIGTERM or when standard
// input closes (with --ignore-stdin only on SIGTERM, for runs from a shell).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <queue>
#include <string>
#include <string_view>
#include <vector>

#include "snmp_codec.h"
#include "support/printer_table.h"

namespace {

using zov::agents::Binding;
using zov::agents::kMaxBindings;
using zov::agents::Name;
using zov::agents::Oid;
using zov::agents::Request;
using zov::agents::Value;

constexpr int kMaxRows = 100000;
constexpr int kBatch = 32;
constexpr size_t kDatagram = 65536;

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

// ---- tables ----

struct Entry {
  Oid oid;
  Value value;
  bool growing_time = false;  // TimeTicks that count up on every answer
};

struct Table {
  std::vector<Entry> entries;  // sorted by OID
  long next_time = 1000;
};

void Sort(Table* t) {
  std::sort(t->entries.begin(), t->entries.end(),
            [](const Entry& a, const Entry& b) { return a.oid < b.oid; });
}

// First entry after the name (GETNEXT) or equal to it (GET); null when none.
Entry* Lookup(Table* t, const Name& name, bool next) {
  const oid* begin = name.parts;
  const oid* end = name.parts + name.length;
  auto it = std::upper_bound(t->entries.begin(), t->entries.end(), 0, [&](int, const Entry& e) {
    return std::lexicographical_compare(begin, end, e.oid.begin(), e.oid.end());
  });
  Entry* e = nullptr;
  if (next) {
    e = it == t->entries.end() ? nullptr : &*it;
  } else if (it != t->entries.begin() && std::equal(begin, end, (it - 1)->oid.begin(), (it - 1)->oid.end())) {
    e = &*(it - 1);
  }
  if (e != nullptr && e->growing_time) e->value.integer = t->next_time++;
  return e;
}

bool ParseOidText(const std::string& text, Oid* out) {
  out->clear();
  size_t i = (!text.empty() && text[0] == '.') ? 1 : 0;
  if (i >= text.size()) return false;
  while (i < text.size()) {
    size_t dot = text.find('.', i);
    if (dot == std::string::npos) dot = text.size();
    const std::string part = text.substr(i, dot - i);
    if (part.empty() || part.size() > 10 || part.find_first_not_of("0123456789") != std::string::npos) {
      return false;
    }
    const unsigned long long v = std::strtoull(part.c_str(), nullptr, 10);
    if (v > 0xFFFFFFFFull || out->size() == MAX_OID_LEN) return false;
    out->push_back(static_cast<oid>(v));
    i = dot + 1;
  }
  return out->size() >= 2;
}

bool Hex(const std::string& text, std::string* out) {
  if (text.size() % 2 != 0 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
    return false;
  }
  out->clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    out->push_back(static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16)));
  }
  return true;
}

// "OID|TYPE|VALUE" as in a table file.
bool ParseRow(const std::string& line, Entry* out) {
  const size_t a = line.find('|');
  const size_t b = a == std::string::npos ? a : line.find('|', a + 1);
  if (b == std::string::npos || !ParseOidText(line.substr(0, a), &out->oid)) return false;
  const std::string type = line.substr(a + 1, b - a - 1);
  std::string text = line.substr(b + 1);
  if (!text.empty() && text.back() == '\r') text.pop_back();
  static const std::map<std::string, u_char> kTypes = {
      {"2", ASN_INTEGER},  {"4", ASN_OCTET_STR}, {"4x", ASN_OCTET_STR},
      {"5", ASN_NULL},     {"6", ASN_OBJECT_ID}, {"64", ASN_IPADDRESS},
      {"65", ASN_COUNTER}, {"66", ASN_GAUGE},    {"67", ASN_TIMETICKS}};
  auto it = kTypes.find(type);
  if (it == kTypes.end()) return false;
  Value& v = out->value;
  v.type = it->second;
  switch (v.type) {
    case ASN_OCTET_STR:
      if (type == "4x") return Hex(text, &v.bytes);
      v.bytes = text;
      return true;
    case ASN_NULL:
      return true;
    case ASN_OBJECT_ID:
      return ParseOidText(text, &v.oid);
    case ASN_IPADDRESS: {
      unsigned char addr[4];
      if (inet_pton(AF_INET, text.c_str(), addr) != 1) return false;
      v.bytes.assign(reinterpret_cast<char*>(addr), 4);
      return true;
    }
    default: {
      char* end = nullptr;
      v.integer = std::strtol(text.c_str(), &end, 10);
      return !text.empty() && *end == '\0';
    }
  }
}

Value Integer(u_char type, long v) { return Value{type, v, {}, {}}; }
Value String(std::string bytes) { return Value{ASN_OCTET_STR, 0, std::move(bytes), {}}; }

// A vendor printer with `rows` warning alerts, as the benchmarks poll it:
// the tests' printer, its alert times counting up when growing.
std::unique_ptr<Table> MakePrinter(int rows, bool growing) {
  zov::test::Printer printer;
  for (uint32_t i = 1; i <= static_cast<uint32_t>(rows); ++i) {
    printer.rows.push_back(
        zov::test::Alert(i, kSeverityWarning, 500 + i - 1, "Tray " + std::to_string(i) + " paper low"));
  }
  auto t = std::make_unique<Table>();
  for (const zov::test::Cell& c : zov::test::PrinterCells(printer)) {
    Entry e;
    if (!ParseRow(c.oid + "|" + std::to_string(c.tag) + "|" + c.value, &e)) continue;
    e.growing_time = growing && e.oid.size() == 13 && e.oid[10] == 9;  // the time column
    t->entries.push_back(std::move(e));
  }
  Sort(t.get());
  return t;
}

// ---- answers ----

const Value kNull{ASN_NULL, 0, {}, {}};
const Value kEndOfMibView{SNMP_ENDOFMIBVIEW, 0, {}, {}};
const Value kNoSuchInstance{SNMP_NOSUCHINSTANCE, 0, {}, {}};

struct Reply {
  long request_id = 0;
  long error_status = 0;
  long error_index = 0;
  size_t count = 0;
  Binding bindings[kMaxBindings + 1];  // one more for a fault's padding
};

// What a well-behaved agent answers from the table: a missing object is an
// exception value in v2c, and noSuchName with the request's bindings echoed
// in v1.
void AnswerFromTable(Table* table, const Request& req, Reply* reply) {
  const bool next = req.command == SNMP_MSG_GETNEXT;
  reply->request_id = req.request_id;
  reply->count = req.count;
  for (size_t i = 0; i < req.count; ++i) {
    const Entry* e = Lookup(table, req.names[i], next);
    if (e != nullptr) {
      reply->bindings[i] = Binding{e->oid.data(), e->oid.size(), &e->value};
      continue;
    }
    reply->bindings[i] =
        Binding{req.names[i].parts, req.names[i].length, next ? &kEndOfMibView : &kNoSuchInstance};
    if (req.version == 0 && reply->error_status == 0) {
      reply->error_status = SNMP_ERR_NOSUCHNAME;
      reply->error_index = static_cast<long>(i + 1);
    }
  }
  if (reply->error_status != 0) {
    for (size_t i = 0; i < req.count; ++i) {
      reply->bindings[i] = Binding{req.names[i].parts, req.names[i].length, &kNull};
    }
  }
}

size_t Encode(const Request& req, const Reply& r, u_char* out, size_t size) {
  const size_t length = zov::agents::EncodeResponse(req, r.request_id, r.error_status, r.error_index,
                                                    r.bindings, r.count, out, size);
  std::memmove(out, out + size - length, length);
  return length;
}

// ---- the tests' role ----

struct FaultOptions {
  Table table;
  std::string community;  // empty: any
  std::string fault = "none";
  long from = 1;
  bool only = false;
  long status = 5;
  long size = -1;
  long delay_ms = 200;
};

Value WrongType(const Value& v) {
  switch (v.type) {
    case ASN_INTEGER:
    case ASN_COUNTER:
    case ASN_GAUGE:
    case ASN_TIMETICKS:
      return String("wrong");
    case ASN_OCTET_STR:
      return Integer(ASN_INTEGER, 7);
    case ASN_OBJECT_ID:
      return Integer(ASN_TIMETICKS, 1);
    default:
      return Value{ASN_OBJECT_ID, 0, {}, {1, 3, 6, 1}};
  }
}

// The answer to a request into out; its length, 0 for silence. Requests
// for the agent's community are numbered from 1 in *numbered.
size_t Misbehave(FaultOptions* o, const Request& req, long* numbered, u_char* out, size_t size) {
  if (!o->community.empty() &&
      std::string_view(reinterpret_cast<const char*>(req.community), req.community_length) != o->community) {
    return 0;
  }
  const long number = ++*numbered;
  const bool faulty = o->only ? number == o->from : number >= o->from;
  const std::string fault = faulty ? o->fault : "none";
  if (fault == "silent") return 0;
  if (fault == "garbage") {
    // A length that runs past the end, then bytes that are no encoding.
    const std::string g = "\x30\x84\x7f\xff\xff\xff";
    std::memcpy(out, g.data(), g.size());
    for (size_t i = 0; i < 58; ++i) out[g.size() + i] = static_cast<u_char>((i * 37 + 11) & 0xff);
    return g.size() + 58;
  }
  // What the faults put in place of the table's names and values.
  static std::vector<Value> values(kMaxBindings + 1);
  static std::vector<Oid> names(kMaxBindings);
  Reply reply;
  const bool next = req.command == SNMP_MSG_GETNEXT;
  if (next && (fault == "stuck" || fault == "endless")) {
    // Made up without the table, so never an error.
    reply.request_id = req.request_id;
    reply.count = req.count;
    for (size_t i = 0; i < req.count; ++i) {
      const Name& asked = req.names[i];
      if (fault == "stuck") {
        values[i] = o->table.entries.empty() ? Integer(ASN_INTEGER, 0) : o->table.entries.front().value;
        reply.bindings[i] = Binding{asked.parts, asked.length, &values[i]};
        continue;
      }
      names[i].assign(asked.parts, asked.parts + asked.length);
      if (names[i].size() < 12) {
        names[i].push_back(1);
      } else {
        names[i].back() += 1;
      }
      values[i] = o->size > 0 ? String(std::string(static_cast<size_t>(o->size), 'E'))
                              : Integer(ASN_INTEGER, static_cast<long>(names[i].back()));
      reply.bindings[i] = Binding{names[i].data(), names[i].size(), &values[i]};
    }
  } else {
    AnswerFromTable(&o->table, req, &reply);
  }
  for (size_t i = 0; i < reply.count && reply.error_status == 0; ++i) {
    Binding& b = reply.bindings[i];
    // Nothing found: no value to spoil.
    if (b.value->type >= SNMP_NOSUCHOBJECT && b.value->type <= SNMP_ENDOFMIBVIEW) continue;
    if (fault == "wrong-type") {
      values[i] = WrongType(*b.value);
      b.value = &values[i];
    } else if (fault == "big-value") {
      values[i] = String(zov::test::BigValue(static_cast<size_t>(o->size > 0 ? o->size : 6000)));
      b.value = &values[i];
    }
  }
  if (fault == "wrong-id") reply.request_id ^= 0x5a5a;
  if (fault == "error") {
    reply.error_status = o->status;
    reply.error_index = 1;
  }
  size_t length = Encode(req, reply, out, size);
  if (fault == "oversized") {
    const long pad = (o->size > 0 ? o->size : 40000) - static_cast<long>(length) - 24;
    if (pad > 0) {
      static const oid kPadName[] = {1, 3, 6, 1, 4, 1, 99999, 1};
      values[reply.count] = String(std::string(static_cast<size_t>(pad), 'P'));
      reply.bindings[reply.count] = Binding{kPadName, 8, &values[reply.count]};
      ++reply.count;
      length = Encode(req, reply, out, size);
    }
  }
  if (fault == "truncated") length /= 2;
  // The agent answers nobody else meanwhile: a test runs one poll against it.
  if (fault == "slow") usleep(static_cast<useconds_t>(std::max(0L, o->delay_ms)) * 1000);
  return length;
}

const char* const kFaults[] = {"none",      "stuck",      "endless",   "error",    "silent", "garbage",
                               "truncated", "oversized",  "wrong-type", "big-value", "wrong-id", "slow"};

void Usage() {
  std::string faults;
  for (const char* f : kFaults) faults += faults.empty() ? f : std::string("|") + f;
  std::fprintf(stderr,
               "usage: test_agent [--table FILE] [--row 'OID|TYPE|VALUE']... [--community C] [--ipv6]\n"
               "                  [--address A] [--fault %s]\n"
               "                  [--from N] [--only] [--status S] [--size BYTES] [--delay MS] [--ignore-stdin]\n"
               "       test_agent --bench [--port N] [--ignore-stdin]\n",
               faults.c_str());
}

bool ReadTable(const std::string& file, Table* table) {
  std::ifstream in(file);
  if (!in) {
    std::fprintf(stderr, "test_agent: cannot read %s\n", file.c_str());
    return false;
  }
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    Entry e;
    if (!ParseRow(line, &e)) {
      std::fprintf(stderr, "test_agent: bad table line: %s\n", line.c_str());
      return false;
    }
    table->entries.push_back(std::move(e));
  }
  return true;
}

// ---- the benchmarks' role ----

std::map<std::string, std::unique_ptr<Table>, std::less<>> g_tables;

// The table for a community, made on first use; null for an unknown one.
Table* BenchTable(std::string_view community) {
  auto it = g_tables.find(community);
  if (it != g_tables.end()) return it->second.get();
  std::unique_ptr<Table> t;
  if (community == "printer" || community == "changing") {
    t = MakePrinter(1, community == "changing");
  } else if (community.size() > 4 && community.substr(0, 4) == "slow") {
    return BenchTable("printer");
  } else if (community.size() > 4 && community.substr(0, 4) == "rows") {
    const int rows = std::atoi(std::string(community.substr(4)).c_str());
    if (rows < 0 || rows > kMaxRows) return nullptr;
    t = MakePrinter(rows, false);
  } else {
    return nullptr;  // wrong community: silence, as an agent does
  }
  return g_tables.emplace(std::string(community), std::move(t)).first->second.get();
}

// The answer's delay for a community: N ms for slowN, else none.
int BenchDelayMs(std::string_view community) {
  if (community.size() <= 4 || community.substr(0, 4) != "slow") return 0;
  const int ms = std::atoi(std::string(community.substr(4)).c_str());
  return std::clamp(ms, 0, 10000);
}

size_t AnswerBench(const Request& req, u_char* out, size_t size, int* delay_ms) {
  const std::string_view community(reinterpret_cast<const char*>(req.community), req.community_length);
  Table* table = BenchTable(community);
  if (table == nullptr) return 0;
  *delay_ms = BenchDelayMs(community);
  Reply reply;
  AnswerFromTable(table, req, &reply);
  return Encode(req, reply, out, size);
}

struct Stats {
  uint64_t requests = 0;
  uint64_t unanswered = 0;
  uint64_t traps = 0;
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  double cpu_start = 0;
};

double CpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

void Report(const Stats& s) {
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - s.start).count();
  const double cpu = CpuSeconds() - s.cpu_start;
  std::printf("requests %llu unanswered %llu traps %llu wall-s %.3f cpu-s %.3f capacity-per-s %.0f\n",
              static_cast<unsigned long long>(s.requests), static_cast<unsigned long long>(s.unanswered),
              static_cast<unsigned long long>(s.traps), wall, cpu, cpu > 0 ? s.requests / cpu : 0.0);
  std::fflush(stdout);
}

// ---- serving ----

struct Options {
  bool bench = false;
  int port = 0;
  bool ipv6 = false;
  in_addr address{htonl(INADDR_LOOPBACK)};
  bool watch_stdin = true;
  FaultOptions fault;
};

bool ParseArgs(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    std::string v;
    auto value = [&] {
      if (i + 1 >= argc) return false;
      v = argv[++i];
      return true;
    };
    if (a == "--bench") {
      o->bench = true;
    } else if (a == "--ipv6") {
      o->ipv6 = true;
    } else if (a == "--only") {
      o->fault.only = true;
    } else if (a == "--ignore-stdin") {
      o->watch_stdin = false;
    } else if (!value()) {
      return false;
    } else if (a == "--table") {
      if (!ReadTable(v, &o->fault.table)) return false;
    } else if (a == "--row") {
      Entry e;
      if (!ParseRow(v, &e)) return false;
      o->fault.table.entries.push_back(std::move(e));
    } else if (a == "--community") {
      o->fault.community = v;
    } else if (a == "--fault") {
      o->fault.fault = v;
    } else if (a == "--from") {
      o->fault.from = std::atol(v.c_str());
    } else if (a == "--status") {
      o->fault.status = std::atol(v.c_str());
    } else if (a == "--size") {
      o->fault.size = std::atol(v.c_str());
    } else if (a == "--delay") {
      o->fault.delay_ms = std::atol(v.c_str());
    } else if (a == "--port") {
      o->port = std::atoi(v.c_str());
    } else if (a == "--address") {
      if (inet_pton(AF_INET, v.c_str(), &o->address) != 1) return false;
    } else {
      return false;
    }
  }
  Sort(&o->fault.table);
  return std::any_of(std::begin(kFaults), std::end(kFaults),
                     [&](const char* f) { return o->fault.fault == f; });
}

int BindUdp(bool ipv6, in_addr address, int port) {
  const int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int buffer = 4 << 20;  // room for a benchmark's bursts
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
  sockaddr_storage ss{};
  socklen_t len;
  if (ipv6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
    a->sin6_family = AF_INET6;
    a->sin6_addr = in6addr_loopback;
    a->sin6_port = htons(static_cast<uint16_t>(port));
    len = sizeof *a;
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&ss);
    a->sin_family = AF_INET;
    a->sin_addr = address;
    a->sin_port = htons(static_cast<uint16_t>(port));
    len = sizeof *a;
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int PortOf(int fd) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
  return ss.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port)
                                  : ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
}

// Answers held back until their time (slowN), earliest first.
struct HeldAnswer {
  std::chrono::steady_clock::time_point due;
  sockaddr_storage to;
  socklen_t to_length;
  std::vector<u_char> bytes;
  bool operator>(const HeldAnswer& other) const { return due > other.due; }
};
std::priority_queue<HeldAnswer, std::vector<HeldAnswer>, std::greater<>> g_held;

// Sends the held answers that are due; the microseconds until the next one
// (-1: none held, so wait as long as the caller likes).
long SendDueAnswers(int fd) {
  const auto now = std::chrono::steady_clock::now();
  while (!g_held.empty() && g_held.top().due <= now) {
    const HeldAnswer& a = g_held.top();
    sendto(fd, a.bytes.data(), a.bytes.size(), 0, reinterpret_cast<const sockaddr*>(&a.to), a.to_length);
    g_held.pop();
  }
  if (g_held.empty()) return -1;
  return static_cast<long>(std::chrono::ceil<std::chrono::microseconds>(g_held.top().due - now).count());
}

// Answers the datagrams waiting, up to a batch, in one receive and one send.
void ServeBatch(int fd, Options* o, Stats* stats, long* numbered) {
  static u_char in[kBatch][kDatagram / 2];
  static u_char out[kBatch][kDatagram];
  static sockaddr_storage from[kBatch];
  static Request request;
  mmsghdr msgs[kBatch];
  iovec iov[kBatch];
  for (int i = 0; i < kBatch; ++i) {
    iov[i] = {in[i], sizeof in[i]};
    msgs[i] = {};
    msgs[i].msg_hdr = {&from[i], sizeof from[i], &iov[i], 1, nullptr, 0, 0};
  }
  const int n = recvmmsg(fd, msgs, kBatch, MSG_DONTWAIT, nullptr);
  mmsghdr replies[kBatch];
  iovec reply_iov[kBatch];
  int m = 0;
  for (int i = 0; i < n; ++i) {
    ++stats->requests;
    size_t length = 0;
    int delay_ms = 0;
    if (zov::agents::DecodeRequest(in[i], msgs[i].msg_len, &request)) {
      length = o->bench ? AnswerBench(request, out[i], sizeof out[i], &delay_ms)
                        : Misbehave(&o->fault, request, numbered, out[i], sizeof out[i]);
    }
    if (length == 0) {
      ++stats->unanswered;
      continue;
    }
    if (delay_ms > 0) {
      g_held.push(HeldAnswer{std::chrono::steady_clock::now() + std::chrono::milliseconds(delay_ms), from[i],
                             msgs[i].msg_hdr.msg_namelen, std::vector<u_char>(out[i], out[i] + length)});
      continue;
    }
    reply_iov[m] = {out[i], length};
    replies[m] = {};
    replies[m].msg_hdr = {&from[i], msgs[i].msg_hdr.msg_namelen, &reply_iov[m], 1, nullptr, 0, 0};
    ++m;
  }
  for (int sent = 0; sent < m;) {
    const int r = sendmmsg(fd, replies + sent, m - sent, 0);
    if (r <= 0) break;
    sent += r;
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (argc > 1 && std::strcmp(argv[1], "--help") == 0) {
    Usage();
    return 0;
  }
  if (!ParseArgs(argc, argv, &o)) {
    Usage();
    return 2;
  }
  const int fd = BindUdp(o.ipv6, o.address, o.port);
  const int trap_fd = o.bench ? BindUdp(o.ipv6, o.address, 0) : -1;
  if (fd < 0 || (o.bench && trap_fd < 0)) {
    std::perror("test_agent: bind");
    return 1;
  }
  if (o.bench) {
    std::printf("port %d trap-port %d\n", PortOf(fd), PortOf(trap_fd));
  } else {
    std::printf("%d\n", PortOf(fd));
  }
  std::fflush(stdout);

  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  Stats stats;
  stats.cpu_start = CpuSeconds();
  long numbered = 0;  // requests the faults count
  while (g_stop == 0) {
    pollfd fds[3] = {{fd, POLLIN, 0}, {o.watch_stdin ? 0 : -1, POLLIN, 0}, {trap_fd, POLLIN, 0}};
    const long next_due_us = SendDueAnswers(fd);
    const long wait_us = next_due_us >= 0 ? std::min(next_due_us, 200000L) : 200000L;
    const timespec wait{wait_us / 1000000, (wait_us % 1000000) * 1000};
    if (ppoll(fds, 3, &wait, nullptr) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
      char c[256];
      if (read(0, c, sizeof c) <= 0) break;  // the test or benchmark went away
      if (o.bench) Report(stats);
    }
    if (fds[2].revents & POLLIN) {
      u_char buf[2048];
      while (recv(trap_fd, buf, sizeof buf, MSG_DONTWAIT) > 0) ++stats.traps;
    }
    if (fds[0].revents & POLLIN) ServeBatch(fd, &o, &stats, &numbered);
    SendDueAnswers(fd);
  }
  close(fd);
  if (trap_fd >= 0) close(trap_fd);
  return 0;
}
