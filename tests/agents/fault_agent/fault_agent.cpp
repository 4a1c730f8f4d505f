// fault_agent: a small SNMP agent on loopback that answers GET and GETNEXT
// from a table and misbehaves on demand, for tests of what no well-behaved
// agent does.
//
//   fault_agent [--table FILE] [--row 'OID|TYPE|VALUE']... [--community C] [--ipv6]
//               [--fault KIND] [--from N] [--only] [--status S] [--size BYTES]
//               [--depth D] [--ignore-stdin]
//
// Table lines are snmprec-like: OID|TYPE|VALUE with TYPE 2 INTEGER, 4 OCTET
// STRING (4x: hex), 5 NULL, 6 OBJECT IDENTIFIER, 64 IpAddress, 65 Counter32,
// 66 Gauge32, 67 TimeTicks; '#' starts a comment.
//
// Faults, from the N-th request on (default 1; with --only, on that one):
//   none        answer correctly
//   stuck       GETNEXT answers name the requested OID again (never advance)
//   endless     GETNEXT always finds a next row below the requested OID: .1
//               is appended up to D sub-identifiers (default 12), then the
//               last one counts up
//   error       answer with error status S (default 5) and error index 1
//   silent      no answer
//   garbage     a datagram that is not SNMP
//   truncated   the first half of a correct answer
//   oversized   a correct answer padded to BYTES (default 40000)
//   wrong-type  INTEGER-like values answered as OCTET STRING and the reverse
//   big-value   every value an OCTET STRING of BYTES (default 6000)
//   wrong-id    a correct answer under another request-id
//
// Binds port 0 on 127.0.0.1 (::1 with --ipv6), prints the port as the first
// line of standard output, and exits on SIGTERM or when standard input closes
// (with --ignore-stdin only on SIGTERM, for runs from a shell).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "ber.h"

namespace {

volatile sig_atomic_t g_stop = 0;

void OnSignal(int) { g_stop = 1; }

struct Options {
  std::vector<fa::Row> table;
  std::string community;  // empty: any
  bool ipv6 = false;
  std::string fault = "none";
  long from = 1;
  bool only = false;
  long status = 5;
  long size = -1;
  size_t depth = 12;
  bool watch_stdin = true;
};

void Usage() {
  std::fprintf(stderr,
               "usage: fault_agent [--table FILE] [--row 'OID|TYPE|VALUE']... [--community C] [--ipv6]\n"
               "                   [--fault none|stuck|endless|error|silent|garbage|truncated|oversized|\n"
               "                            wrong-type|big-value|wrong-id] [--from N] [--only] [--status S]\n"
               "                   [--size BYTES] [--depth D] [--ignore-stdin]\n");
}

bool ParseArgs(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    std::string v;
    if (a == "--table") {
      if (!value(&v)) return false;
      std::ifstream in(v);
      if (!in) {
        std::fprintf(stderr, "fault_agent: cannot read %s\n", v.c_str());
        return false;
      }
      std::string line;
      while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        fa::Row row;
        if (!fa::ParseRow(line, &row)) {
          std::fprintf(stderr, "fault_agent: bad table line: %s\n", line.c_str());
          return false;
        }
        o->table.push_back(row);
      }
    } else if (a == "--row") {
      fa::Row row;
      if (!value(&v) || !fa::ParseRow(v, &row)) return false;
      o->table.push_back(row);
    } else if (a == "--community") {
      if (!value(&o->community)) return false;
    } else if (a == "--ipv6") {
      o->ipv6 = true;
    } else if (a == "--fault") {
      if (!value(&o->fault)) return false;
    } else if (a == "--from") {
      if (!value(&v)) return false;
      o->from = std::atol(v.c_str());
    } else if (a == "--only") {
      o->only = true;
    } else if (a == "--status") {
      if (!value(&v)) return false;
      o->status = std::atol(v.c_str());
    } else if (a == "--size") {
      if (!value(&v)) return false;
      o->size = std::atol(v.c_str());
    } else if (a == "--depth") {
      if (!value(&v)) return false;
      o->depth = static_cast<size_t>(std::max(1L, std::atol(v.c_str())));
    } else if (a == "--help") {
      Usage();
      std::exit(0);
    } else if (a == "--ignore-stdin") {
      o->watch_stdin = false;
    } else {
      return false;
    }
  }
  static const char* const kFaults[] = {"none",       "stuck",     "endless",   "error",
                                        "silent",     "garbage",   "truncated", "oversized",
                                        "wrong-type", "big-value", "wrong-id"};
  if (std::find_if(std::begin(kFaults), std::end(kFaults), [&](const char* f) { return o->fault == f; }) ==
      std::end(kFaults)) {
    return false;
  }
  std::sort(o->table.begin(), o->table.end(),
            [](const fa::Row& x, const fa::Row& y) { return x.oid < y.oid; });
  return true;
}

const fa::Row* FindExact(const std::vector<fa::Row>& table, const fa::Oid& oid) {
  for (const fa::Row& r : table) {
    if (r.oid == oid) return &r;
  }
  return nullptr;
}

const fa::Row* FindNext(const std::vector<fa::Row>& table, const fa::Oid& oid) {
  for (const fa::Row& r : table) {
    if (oid < r.oid) return &r;  // sorted: the first greater one
  }
  return nullptr;
}

fa::Value WrongType(const fa::Value& v) {
  switch (v.tag) {
    case fa::kInteger:
    case fa::kCounter32:
    case fa::kGauge32:
    case fa::kTimeTicks:
      return fa::Value{fa::kOctetString, 0, "wrong", {}};
    case fa::kOctetString:
      return fa::Value{fa::kInteger, 7, "", {}};
    case fa::kObjectId:
      return fa::Value{fa::kTimeTicks, 1, "", {}};
    default:
      return fa::Value{fa::kObjectId, 0, "", {1, 3, 6, 1}};
  }
}

// The answer to one request, or nothing to send.
std::optional<std::string> Answer(const Options& o, const fa::Request& req, long number) {
  bool faulty = o.only ? number == o.from : number >= o.from;
  std::string fault = faulty ? o.fault : "none";
  if (fault == "silent") return std::nullopt;
  if (fault == "garbage") {
    // A length that runs past the end, then bytes that are no encoding.
    std::string g = "\x30\x84\x7f\xff\xff\xff";
    for (int i = 0; i < 58; ++i) g += static_cast<char>((i * 37 + 11) & 0xff);
    return g;
  }
  fa::Response resp;
  resp.version = req.version;
  resp.community = req.community;
  resp.request_id = fault == "wrong-id" ? req.request_id ^ 0x5a5a : req.request_id;
  bool v2 = req.version != 0;
  for (size_t i = 0; i < req.names.size(); ++i) {
    const fa::Oid& name = req.names[i];
    fa::Binding b;
    b.oid = name;
    const fa::Row* row = nullptr;
    if (req.pdu_type == fa::kGetNext) {
      if (fault == "stuck") {
        row = o.table.empty() ? nullptr : &o.table.front();
        b.value = row != nullptr ? row->value : fa::Value{fa::kInteger, 0, "", {}};
        resp.bindings.push_back(b);  // the requested name again
        continue;
      }
      if (fault == "endless") {
        fa::Oid next = name;
        if (next.size() < o.depth) {
          next.push_back(1);
        } else {
          next.back() += 1;
        }
        b.oid = next;
        b.value = fa::Value{fa::kInteger, static_cast<long>(next.back()), "", {}};
        resp.bindings.push_back(b);
        continue;
      }
      row = FindNext(o.table, name);
    } else {
      row = FindExact(o.table, name);
    }
    if (row == nullptr) {
      if (v2) {
        b.value.tag = req.pdu_type == fa::kGetNext ? fa::kEndOfMibView : fa::kNoSuchInstance;
      } else if (resp.error_status == 0) {
        resp.error_status = 2;  // noSuchName
        resp.error_index = static_cast<long>(i + 1);
      }
      if (!v2) b.value = fa::Value{fa::kNull, 0, "", {}};
      resp.bindings.push_back(b);
      continue;
    }
    b.oid = row->oid;
    b.value = row->value;
    if (fault == "wrong-type") b.value = WrongType(b.value);
    if (fault == "big-value") {
      b.value = fa::Value{fa::kOctetString, 0, std::string(o.size > 0 ? o.size : 6000, 'V'), {}};
    }
    resp.bindings.push_back(b);
  }
  if (resp.error_status != 0 && !v2) {
    // An SNMPv1 error answer carries the request's bindings unchanged.
    resp.bindings.clear();
    for (const fa::Oid& name : req.names)
      resp.bindings.push_back(fa::Binding{name, fa::Value{fa::kNull, 0, "", {}}});
  }
  if (fault == "error") {
    resp.error_status = o.status;
    resp.error_index = 1;
  }
  if (fault == "oversized") {
    long total = o.size > 0 ? o.size : 40000;
    std::string encoded = fa::EncodeResponse(resp);
    long pad = total - static_cast<long>(encoded.size()) - 24;
    if (pad > 0) {
      fa::Oid pad_oid = {1, 3, 6, 1, 4, 1, 99999, 1};
      resp.bindings.push_back(
          fa::Binding{pad_oid, fa::Value{fa::kOctetString, 0, std::string(pad, 'P'), {}}});
    }
  }
  std::string encoded = fa::EncodeResponse(resp);
  if (fault == "truncated") encoded.resize(encoded.size() / 2);
  return encoded;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseArgs(argc, argv, &o)) {
    Usage();
    return 2;
  }
  int fd = socket(o.ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    std::perror("fault_agent: socket");
    return 1;
  }
  sockaddr_storage ss{};
  socklen_t len;
  if (o.ipv6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
    a->sin6_family = AF_INET6;
    a->sin6_addr = in6addr_loopback;
    len = sizeof(*a);
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&ss);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    len = sizeof(*a);
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) {
    std::perror("fault_agent: bind");
    return 1;
  }
  int port = o.ipv6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port)
                    : ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
  std::printf("%d\n", port);
  std::fflush(stdout);

  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  long requests = 0;
  std::vector<unsigned char> buf(65536);
  while (g_stop == 0) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {0, POLLIN, 0}};
    int n = poll(fds, o.watch_stdin ? 2 : 1, 200);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (o.watch_stdin && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      char c[256];
      if (read(0, c, sizeof(c)) <= 0) break;  // the test went away
    }
    if ((fds[0].revents & POLLIN) == 0) continue;
    sockaddr_storage from{};
    socklen_t from_len = sizeof(from);
    ssize_t got = recvfrom(fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &from_len);
    if (got <= 0) continue;
    fa::Request req;
    if (!fa::DecodeRequest(buf.data(), static_cast<size_t>(got), &req)) continue;  // not for us
    if (!o.community.empty() && req.community != o.community) continue;
    ++requests;
    std::optional<std::string> answer = Answer(o, req, requests);
    if (answer) {
      sendto(fd, answer->data(), answer->size(), 0, reinterpret_cast<sockaddr*>(&from), from_len);
    }
  }
  close(fd);
  return 0;
}
