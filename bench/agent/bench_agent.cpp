// A fast SNMP agent for the benchmarks: answers GetNext (and Get) from
// in-memory printer tables with pre-encoded values, one thread, datagrams in
// batches, so that it is never what a benchmark measures. It counts its own
// requests and CPU time and reports both when standard input closes.
//
// Tables are chosen by community:
//   printer   a vendor printer with one warning alert (time 500)
//   changing  the same, but the alert's time grows on every answer, so
//             every poll sees a new alert and sends a trap
//   rowsN     a vendor printer with N warning alerts (N up to kMaxRows)
// Traps sent to the trap socket are counted.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "ber_tlv.h"

namespace {

constexpr int kMaxRows = 100000;
constexpr int kBatch = 32;
constexpr size_t kDatagram = 65536;
constexpr size_t kMaxOidParts = 128;
constexpr int kMaxBindings = 64;

using Oid = std::vector<uint32_t>;

// ---- BER writing, back to front, so lengths are known when written ----

struct BackWriter {
  unsigned char* begin;
  unsigned char* p;  // first written byte
  bool overflow = false;

  void Byte(unsigned char b) {
    if (p == begin) {
      overflow = true;
      return;
    }
    *--p = b;
  }
  void Bytes(const unsigned char* data, size_t n) {
    if (static_cast<size_t>(p - begin) < n) {
      overflow = true;
      return;
    }
    p -= n;
    std::memcpy(p, data, n);
  }
  void Length(size_t n) {
    if (n < 0x80) {
      Byte(static_cast<unsigned char>(n));
    } else if (n < 0x100) {
      Byte(static_cast<unsigned char>(n));
      Byte(0x81);
    } else {
      Byte(static_cast<unsigned char>(n & 0xff));
      Byte(static_cast<unsigned char>(n >> 8));
      Byte(0x82);
    }
  }
  // Wraps everything written since `end_mark` in a tag.
  void Wrap(unsigned char tag, unsigned char* end_mark) {
    Length(static_cast<size_t>(end_mark - p));
    Byte(tag);
  }
  void Integer(unsigned char tag, int64_t v) {
    unsigned char* end = p;
    for (;;) {
      Byte(static_cast<unsigned char>(v & 0xff));
      int64_t rest = v >> 8;
      bool sign = (v & 0x80) != 0;
      if ((rest == 0 && !sign) || (rest == -1 && sign)) break;
      v = rest;
    }
    Wrap(tag, end);
  }
  void Unsigned(unsigned char tag, uint32_t v) {
    unsigned char* end = p;
    uint64_t x = v;
    do {
      Byte(static_cast<unsigned char>(x & 0xff));
      x >>= 8;
    } while (x != 0);
    if (*p & 0x80) Byte(0);
    Wrap(tag, end);
  }
};

std::string EncodeOidContent(const Oid& oid) {
  std::string out;
  auto put = [&](uint32_t sub) {
    char tmp[5];
    int n = 0;
    do {
      tmp[n++] = static_cast<char>(sub & 0x7f);
      sub >>= 7;
    } while (sub != 0);
    while (n > 0) {
      --n;
      out += static_cast<char>(tmp[n] | (n > 0 ? 0x80 : 0));
    }
  };
  put(oid[0] * 40 + oid[1]);
  for (size_t i = 2; i < oid.size(); ++i) put(oid[i]);
  return out;
}

std::string Tlv(unsigned char tag, const std::string& content) {
  std::string out(1, static_cast<char>(tag));
  size_t n = content.size();
  if (n < 0x80) {
    out += static_cast<char>(n);
  } else if (n < 0x100) {
    out += '\x81';
    out += static_cast<char>(n);
  } else {
    out += '\x82';
    out += static_cast<char>(n >> 8);
    out += static_cast<char>(n & 0xff);
  }
  return out + content;
}

std::string IntegerTlv(unsigned char tag, int64_t v) {
  unsigned char buf[16];
  BackWriter w{buf, buf + sizeof buf};
  w.Integer(tag, v);
  return std::string(reinterpret_cast<char*>(w.p), buf + sizeof buf - w.p);
}

// ---- tables ----

struct Entry {
  Oid oid;
  std::string name_tlv;   // the OID, encoded
  std::string value_tlv;  // the value, encoded
  bool growing_time = false;
};

struct Table {
  std::vector<Entry> entries;  // sorted by OID
  uint32_t next_time = 1000;   // for growing_time entries
};

Oid ParseOid(const char* text) {
  Oid oid;
  const char* p = text;
  while (*p != '\0') {
    if (*p == '.') ++p;
    oid.push_back(static_cast<uint32_t>(std::strtoul(p, const_cast<char**>(&p), 10)));
  }
  return oid;
}

Oid With(Oid base, std::initializer_list<uint32_t> tail) {
  base.insert(base.end(), tail);
  return base;
}

void Add(Table* t, const Oid& oid, std::string value_tlv, bool growing = false) {
  Entry e;
  e.oid = oid;
  e.name_tlv = Tlv(0x06, EncodeOidContent(oid));
  e.value_tlv = std::move(value_tlv);
  e.growing_time = growing;
  t->entries.push_back(std::move(e));
}

std::unique_ptr<Table> MakePrinter(int rows, bool growing) {
  auto t = std::make_unique<Table>();
  Add(t.get(), ParseOid("1.3.6.1.2.1.1.1.0"), Tlv(0x04, "Bench printer"));
  Add(t.get(), ParseOid("1.3.6.1.2.1.1.2.0"),
      Tlv(0x06, EncodeOidContent(ParseOid("1.3.6.1.4.1.808.8.62.1.7"))));
  Add(t.get(), ParseOid("1.3.6.1.2.1.1.3.0"), IntegerTlv(0x43, 123456));
  Add(t.get(), ParseOid("1.3.6.1.2.1.1.5.0"), Tlv(0x04, "bench"));
  const Oid entry = ParseOid("1.3.6.1.2.1.43.18.1.1");
  // Columns in OID order: severity 2, group 4, group index 5, location 6,
  // code 7, description 8, time 9; instance hrDeviceIndex 1 . alert index.
  for (uint32_t column : {2u, 4u, 5u, 6u, 7u, 8u, 9u}) {
    for (int i = 1; i <= rows; ++i) {
      Oid oid = With(entry, {column, 1, static_cast<uint32_t>(i)});
      switch (column) {
        case 2: Add(t.get(), oid, IntegerTlv(0x02, 4)); break;              // warning
        case 4: Add(t.get(), oid, IntegerTlv(0x02, 8)); break;              // input tray
        case 5: Add(t.get(), oid, IntegerTlv(0x02, 1)); break;
        case 6: Add(t.get(), oid, IntegerTlv(0x02, 3)); break;
        case 7: Add(t.get(), oid, IntegerTlv(0x02, 808)); break;            // media low
        case 8: Add(t.get(), oid, Tlv(0x04, "Tray " + std::to_string(i) + " paper low")); break;
        case 9: Add(t.get(), oid, IntegerTlv(0x43, 500 + i - 1), growing); break;
      }
    }
  }
  // Something after the table, as on any real printer, so a walk of its last
  // column ends on an answer rather than on noSuchName.
  Add(t.get(), ParseOid("1.3.6.1.2.1.43.18.2.0"), IntegerTlv(0x02, 0));
  Add(t.get(), ParseOid("1.3.6.1.4.1.808.8.62.1.1.0"), Tlv(0x04, "vendor"));
  std::sort(t->entries.begin(), t->entries.end(),
            [](const Entry& a, const Entry& b) { return a.oid < b.oid; });
  return t;
}

std::map<std::string, std::unique_ptr<Table>, std::less<>> g_tables;

// The table for a community, made on first use; null for an unknown one.
Table* FindTable(std::string_view community) {
  auto it = g_tables.find(community);
  if (it != g_tables.end()) return it->second.get();
  std::unique_ptr<Table> t;
  if (community == "printer") {
    t = MakePrinter(1, false);
  } else if (community == "changing") {
    t = MakePrinter(1, true);
  } else if (community.size() > 4 && community.substr(0, 4) == "rows") {
    int rows = std::atoi(std::string(community.substr(4)).c_str());
    if (rows < 0 || rows > kMaxRows) return nullptr;
    t = MakePrinter(rows, false);
  } else {
    return nullptr;
  }
  Table* raw = t.get();
  g_tables.emplace(std::string(community), std::move(t));
  return raw;
}

// ---- BER reading ----

struct Reader {
  const unsigned char* p;
  const unsigned char* end;

  bool Tlv(unsigned char* tag, Reader* content) {
    return zov::agents::ReadTlv(&p, end, tag, &content->p, &content->end);
  }
  bool Integer(int64_t* out) {
    unsigned char tag;
    Reader c;
    if (!Tlv(&tag, &c) || tag != 0x02 || c.p == c.end || c.end - c.p > 8) return false;
    int64_t v = (*c.p & 0x80) ? -1 : 0;
    for (; c.p < c.end; ++c.p) v = static_cast<int64_t>((static_cast<uint64_t>(v) << 8) | *c.p);
    *out = v;
    return true;
  }
};

// Decodes OID content into parts; false when malformed.
bool DecodeOid(const unsigned char* p, const unsigned char* end, uint32_t* parts, size_t* count) {
  size_t n = 0;
  uint64_t sub = 0;
  bool first = true;
  if (p == end) return false;
  for (; p < end; ++p) {
    sub = (sub << 7) | (*p & 0x7f);
    if (sub > 0xFFFFFFFFull) return false;
    if (*p & 0x80) continue;
    if (n + 2 > kMaxOidParts) return false;
    if (first) {
      parts[n++] = sub < 80 ? static_cast<uint32_t>(sub / 40) : 2;
      parts[n++] = static_cast<uint32_t>(sub < 80 ? sub % 40 : sub - 80);
      first = false;
    } else {
      parts[n++] = static_cast<uint32_t>(sub);
    }
    sub = 0;
  }
  *count = n;
  return !first;
}

bool Less(const uint32_t* a, size_t an, const Oid& b) {
  return std::lexicographical_compare(a, a + an, b.begin(), b.end());
}

// First entry after the OID (GetNext) or equal to it (Get); null when none.
const Entry* Lookup(const Table& t, const uint32_t* oid, size_t n, bool next) {
  auto it = std::upper_bound(t.entries.begin(), t.entries.end(), 0,
                             [&](int, const Entry& e) { return Less(oid, n, e.oid); });
  if (next) return it == t.entries.end() ? nullptr : &*it;
  if (it == t.entries.begin()) return nullptr;
  --it;
  return std::equal(oid, oid + n, it->oid.begin(), it->oid.end()) ? &*it : nullptr;
}

// Written by the serving thread, read by the reporting one.
struct Stats {
  std::atomic<uint64_t> requests{0};
  std::atomic<uint64_t> dropped{0};
  std::atomic<uint64_t> traps{0};
};
Stats g_stats;
std::atomic<bool> g_stop{false};

// Answers one request datagram into out; 0 when there is nothing to answer.
size_t Answer(const unsigned char* data, size_t size, unsigned char* out, size_t out_size) {
  Reader msg{data, data + size};
  unsigned char tag;
  Reader body;
  if (!msg.Tlv(&tag, &body) || tag != 0x30) return 0;
  int64_t version;
  if (!body.Integer(&version) || (version != 0 && version != 1)) return 0;
  Reader community;
  if (!body.Tlv(&tag, &community) || tag != 0x04) return 0;
  Reader pdu;
  unsigned char pdu_type;
  if (!body.Tlv(&pdu_type, &pdu) || (pdu_type != 0xa0 && pdu_type != 0xa1)) return 0;
  Table* table = FindTable(std::string_view(reinterpret_cast<const char*>(community.p),
                                            community.end - community.p));
  if (table == nullptr) return 0;  // wrong community: silence, as an agent does
  int64_t request_id, ignored;
  if (!pdu.Integer(&request_id) || !pdu.Integer(&ignored) || !pdu.Integer(&ignored)) return 0;
  Reader list;
  if (!pdu.Tlv(&tag, &list) || tag != 0x30) return 0;

  struct Name {
    const unsigned char* tlv;
    size_t tlv_size;
    const Entry* entry;
  };
  Name names[kMaxBindings];
  int count = 0;
  int error_index = 0;
  while (list.p < list.end) {
    Reader vb;
    if (!list.Tlv(&tag, &vb) || tag != 0x30 || count == kMaxBindings) return 0;
    const unsigned char* start = vb.p;
    Reader oid_content;
    if (!vb.Tlv(&tag, &oid_content) || tag != 0x06) return 0;
    uint32_t parts[kMaxOidParts];
    size_t n;
    if (!DecodeOid(oid_content.p, oid_content.end, parts, &n)) return 0;
    const Entry* e = Lookup(*table, parts, n, pdu_type == 0xa1);
    if (e == nullptr && error_index == 0) error_index = count + 1;
    names[count++] = Name{start, static_cast<size_t>(oid_content.end - start), e};
  }

  BackWriter w{out, out + out_size};
  unsigned char* end = w.p;
  if (error_index != 0 && version == 0) {
    // SNMPv1: noSuchName, the request's bindings echoed with NULL values.
    for (int i = count - 1; i >= 0; --i) {
      unsigned char* vb_end = w.p;
      w.Byte(0);
      w.Byte(0x05);
      w.Bytes(names[i].tlv, names[i].tlv_size);
      w.Wrap(0x30, vb_end);
    }
  } else {
    for (int i = count - 1; i >= 0; --i) {
      unsigned char* vb_end = w.p;
      const Entry* e = names[i].entry;
      if (e == nullptr) {
        w.Byte(0);
        w.Byte(pdu_type == 0xa1 ? 0x82 : 0x81);  // endOfMibView, noSuchInstance
        w.Bytes(names[i].tlv, names[i].tlv_size);
      } else {
        if (e->growing_time) {
          w.Unsigned(0x43, table->next_time++);
        } else {
          w.Bytes(reinterpret_cast<const unsigned char*>(e->value_tlv.data()), e->value_tlv.size());
        }
        w.Bytes(reinterpret_cast<const unsigned char*>(e->name_tlv.data()), e->name_tlv.size());
      }
      w.Wrap(0x30, vb_end);
    }
    if (version == 1) error_index = 0;
  }
  w.Wrap(0x30, end);
  w.Integer(0x02, error_index);
  w.Integer(0x02, error_index != 0 ? 2 : 0);
  w.Integer(0x02, request_id);
  w.Wrap(0xa2, end);
  if (community.end - community.p >= 0x80) return 0;
  w.Bytes(community.p - 2, community.end - community.p + 2);  // tag and short-form length
  w.Integer(0x02, version);
  w.Wrap(0x30, end);
  if (w.overflow) return 0;
  size_t length = static_cast<size_t>(end - w.p);
  std::memmove(out, w.p, length);
  return length;
}

int BindUdp(int port) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int size = 4 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int PortOf(int fd) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  return ntohs(addr.sin_port);
}

double CpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Serves one batch of requests, waiting for the first.
void ServeBatch(int fd) {
  static unsigned char in[kBatch][kDatagram / 8];
  static unsigned char out[kBatch][kDatagram];
  static sockaddr_in from[kBatch];
  mmsghdr msgs[kBatch];
  iovec iov[kBatch];
  for (int i = 0; i < kBatch; ++i) {
    iov[i] = {in[i], sizeof in[i]};
    msgs[i] = {};
    msgs[i].msg_hdr.msg_iov = &iov[i];
    msgs[i].msg_hdr.msg_iovlen = 1;
    msgs[i].msg_hdr.msg_name = &from[i];
    msgs[i].msg_hdr.msg_namelen = sizeof from[i];
  }
  int n = recvmmsg(fd, msgs, kBatch, MSG_WAITFORONE, nullptr);
  if (n <= 0) return;
  mmsghdr replies[kBatch];
  iovec reply_iov[kBatch];
  int m = 0;
  for (int i = 0; i < n; ++i) {
    g_stats.requests.fetch_add(1, std::memory_order_relaxed);
    size_t length = Answer(in[i], msgs[i].msg_len, out[i], sizeof out[i]);
    if (length == 0) {
      g_stats.dropped.fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    reply_iov[m] = {out[i], length};
    replies[m] = {};
    replies[m].msg_hdr.msg_iov = &reply_iov[m];
    replies[m].msg_hdr.msg_iovlen = 1;
    replies[m].msg_hdr.msg_name = &from[i];
    replies[m].msg_hdr.msg_namelen = msgs[i].msg_hdr.msg_namelen;
    ++m;
  }
  for (int sent = 0; sent < m;) {
    int r = sendmmsg(fd, replies + sent, m - sent, 0);
    if (r <= 0) break;
    sent += r;
  }
}

void DrainTraps(int fd) {
  unsigned char buf[2048];
  while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) g_stats.traps.fetch_add(1, std::memory_order_relaxed);
}

// Counts traps and answers each line on standard input with the figures so
// far; at its end stops the serving thread.
void Report(int fd, int trap_fd) {
  const auto start = std::chrono::steady_clock::now();
  const double cpu_start = CpuSeconds();
  pollfd fds[2] = {{trap_fd, POLLIN, 0}, {0, POLLIN, 0}};
  for (;;) {
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[0].revents & POLLIN) DrainTraps(trap_fd);
    if (fds[1].revents & (POLLIN | POLLHUP)) {
      char buf[256];
      ssize_t r = read(0, buf, sizeof buf);
      if (r <= 0) break;
      double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      double cpu = CpuSeconds() - cpu_start;
      uint64_t requests = g_stats.requests.load();
      std::printf("requests %llu unanswered %llu traps %llu wall-s %.3f cpu-s %.3f capacity-per-s %.0f\n",
                  static_cast<unsigned long long>(requests),
                  static_cast<unsigned long long>(g_stats.dropped.load()),
                  static_cast<unsigned long long>(g_stats.traps.load()), wall, cpu,
                  cpu > 0 ? requests / cpu : 0.0);
      std::fflush(stdout);
    }
  }
  g_stop.store(true);
  shutdown(fd, SHUT_RDWR);  // wakes the serving thread
}

}  // namespace

int main(int argc, char** argv) {
  int port = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
      port = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: bench_agent [--port N]\n");
      return 2;
    }
  }
  int fd = BindUdp(port);
  int trap_fd = BindUdp(0);
  if (fd < 0 || trap_fd < 0) {
    std::perror("bench_agent: bind");
    return 1;
  }
  std::printf("port %d trap-port %d\n", PortOf(fd), PortOf(trap_fd));
  std::fflush(stdout);

  std::thread reporter(Report, fd, trap_fd);
  while (!g_stop.load()) ServeBatch(fd);
  reporter.join();
  return 0;
}
