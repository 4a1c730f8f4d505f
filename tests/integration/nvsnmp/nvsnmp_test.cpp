// libnvsnmp against real agents on loopback: snmpsim, the fault agent and
// snmptrapd.
#include "snmp/nvsnmp.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/agents.h"
#include "support/poll_rig.h"
#include "support/printer_table.h"

namespace {

using zov::test::FaultAgent;
using zov::test::NvsnmpConfLine;
using zov::test::ScopedEnv;
using zov::test::SnmpsimAgent;
using zov::test::TempDir;
using zov::test::TrapReceiver;
using zov::test::TrapRecord;
using Oid = std::vector<uint32_t>;
using Clock = std::chrono::steady_clock;

const Oid kSystem = {1, 3, 6, 1, 2, 1, 1};
const Oid kAlertSeverity = {1, 3, 6, 1, 2, 1, 43, 18, 1, 1, 2};

// Every value type the plug-in may meet, in snmprec form, in OID order.
const char kRecording[] =
    "1.3.6.1.2.1.1.1.0|4|Tiny printer\n"
    "1.3.6.1.2.1.1.2.0|6|1.3.6.1.4.1.2.3.4\n"
    "1.3.6.1.2.1.1.3.0|67|4294967295\n"
    "1.3.6.1.2.1.1.4.0|4x|00ff41\n"
    "1.3.6.1.2.1.1.5.0|4|\n"
    "1.3.6.1.2.1.1.7.0|2|-5\n"
    "1.3.6.1.2.1.2.2.1.4.1|65|4000000000\n"
    "1.3.6.1.2.1.2.2.1.5.1|66|100\n"
    "1.3.6.1.2.1.4.20.1.1.10.1.2.3|64|10.1.2.3\n"
    "1.3.6.1.2.1.31.1.1.1.6.1|70|81985529216486895\n";
// SNMPv1 cannot carry the Counter64: snmpsim skips it in v1 walks.
constexpr int kRecordingRowsV1 = 9;
constexpr int kRecordingRowsV2 = 10;

// Fault agent table: the identity and a two-row alert table, the agent's last object.
const std::string kAlertTable = zov::test::Snmprec(
    zov::test::PrinterCells({{{1, 3, "Offline"}, {2, 4}}, 4242, ".1.3.6.1.4.1.2.3.4", false}));

uint32_t* Block(const Oid& oid) {
  auto* block = static_cast<uint32_t*>(std::malloc((oid.size() + 1) * sizeof(uint32_t)));
  if (block != nullptr && !oid.empty()) std::memcpy(block, oid.data(), oid.size() * sizeof(uint32_t));
  return block;
}

Oid ToVector(const uint32_t* oid, uint32_t length) { return Oid(oid, oid + length); }
std::string Bytes(const OVsnmpVarBind* b) { return std::string(reinterpret_cast<char*>(b->val.string), b->val_len); }

struct PduFree {
  void operator()(OVsnmpPdu* pdu) const { OVsnmpFreePdu(pdu); }
};
using PduPtr = std::unique_ptr<OVsnmpPdu, PduFree>;
struct SessionClose {
  void operator()(OVsnmpSession* s) const { OVsnmpClose(s); }
};
using SessionPtr = std::unique_ptr<OVsnmpSession, SessionClose>;

SessionPtr Open(const std::string& peer, int retries = -1, int interval = -1, int remote_port = 0xFFFF,
                const char* community = nullptr) {
  return SessionPtr(
      OVsnmpOpen(community, peer.c_str(), retries, interval, 0xFFFF, remote_port, nullptr, nullptr));
}

struct Exchange {
  PduPtr response;
  int error = 0;  // OVsnmpErrno when there is no response
  double ms = 0;
};

Exchange Request(OVsnmpSession* session, int type, const std::vector<Oid>& names) {
  OVsnmpPdu* request = OVsnmpCreatePdu(type);
  EXPECT_NE(request, nullptr);
  for (const Oid& name : names) {
    EXPECT_NE(OVsnmpAddNullVarBind(request, Block(name), static_cast<uint32_t>(name.size())), nullptr);
  }
  Exchange e;
  auto start = Clock::now();
  e.response.reset(OVsnmpBlockingSend(session, request));
  e.ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  if (!e.response) {
    e.error = OVsnmpErrno;
    OVsnmpFreePdu(request);  // a failed exchange leaves the request with us
  }
  return e;
}

Exchange GetNext(OVsnmpSession* session, const Oid& name) {
  return Request(session, kOVsnmpGetNextRequest, {name});
}

struct Walk {
  std::vector<Oid> rows;
  int error_status = 0;  // of the answer that ended the walk
  int error = 0;         // library error that ended it
  bool stuck = false;    // an answer that did not advance
};

// A GETNEXT walk from `start` until an error, a name that does not advance,
// or `limit` rows; the walk of the plug-in is bounded the same way.
Walk RunWalk(OVsnmpSession* session, const Oid& start, size_t limit) {
  Walk w;
  Oid current = start;
  while (w.rows.size() < limit) {
    Exchange e = GetNext(session, current);
    if (!e.response) {
      w.error = e.error;
      break;
    }
    if (e.response->error_status != 0) {
      w.error_status = e.response->error_status;
      break;
    }
    OVsnmpVarBind* b = e.response->variables;
    if (b == nullptr) {
      w.error = kOVsnmpErrBadResponse;
      break;
    }
    Oid next = ToVector(b->oid, b->oid_length);
    if (!(current < next)) {
      w.stuck = true;
      break;
    }
    w.rows.push_back(next);
    current = next;
  }
  return w;
}

// snmpsim serving the recording above (community "tiny") and one other.
struct Snmpsim : zov::test::SuiteReadiness {
  TempDir data;
  SnmpsimAgent agent;
  static void Prepare(Snmpsim* s) {
    zov::test::WriteFile(s->data.File("tiny.snmprec"), kRecording);
    zov::test::WriteFile(s->data.File("other.snmprec"), "1.3.6.1.2.1.1.1.0|4|Other printer\n");
    s->skip = !s->agent.Start(s->data.path(), "tiny", &s->why);
  }
};

class SnmpsimNvsnmp : public zov::test::AgentSuite<Snmpsim> {
 protected:
  static std::string Endpoint() { return state_->agent.endpoint(); }
  static int Port() { return state_->agent.port(); }
  ScopedEnv community_{"NVSNMP_COMMUNITY", "tiny"};  // a configuration line's wins
};

TEST_F(SnmpsimNvsnmp, GetNextAnswersEveryTypeInTheRecordsOfTheHeader) {
  ScopedEnv version("NVSNMP_VERSION", "2c");  // the only version with Counter64
  SessionPtr s = Open(Endpoint());
  ASSERT_TRUE(s) << OVsnmpErrString(OVsnmpErrno);
  struct Case {
    Oid before;
    uint8_t type;
    uint32_t val_len;
    std::string bytes;  // expected value bytes for string-like types
    int64_t number;     // expected number for the others
  };
  const Case cases[] = {
      {{1, 3, 6, 1, 2, 1, 1, 1}, kOVsnmpOctetString, 12, "Tiny printer", 0},
      {{1, 3, 6, 1, 2, 1, 1, 2}, kOVsnmpObjectId, 9, "", 0},
      {{1, 3, 6, 1, 2, 1, 1, 3}, kOVsnmpTimeTicks, 4, "", -1},  // 4294967295 as 32 bits
      {{1, 3, 6, 1, 2, 1, 1, 4}, kOVsnmpOctetString, 3, std::string("\x00\xff\x41", 3), 0},
      {{1, 3, 6, 1, 2, 1, 1, 5}, kOVsnmpOctetString, 0, "", 0},
      {{1, 3, 6, 1, 2, 1, 1, 7}, kOVsnmpInteger, 4, "", -5},
      {{1, 3, 6, 1, 2, 1, 2, 2, 1, 4}, kOVsnmpCounter32, 4, "", static_cast<int32_t>(4000000000u)},
      {{1, 3, 6, 1, 2, 1, 2, 2, 1, 5}, kOVsnmpGauge32, 4, "", 100},
      {{1, 3, 6, 1, 2, 1, 4, 20, 1, 1}, kOVsnmpIpAddress, 4, std::string("\x0a\x01\x02\x03", 4), 0},
      {{1, 3, 6, 1, 2, 1, 31, 1, 1, 1, 6}, kOVsnmpCounter64, 8, "", 81985529216486895},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    Exchange e = GetNext(s.get(), c.before);
    ASSERT_TRUE(e.response) << OVsnmpErrString(e.error);
    EXPECT_EQ(e.response->command, kOVsnmpResponse);
    EXPECT_EQ(e.response->error_status, 0);
    OVsnmpVarBind* b = e.response->variables;
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->next_variable, nullptr);
    EXPECT_EQ(b->type, c.type);
    EXPECT_EQ(b->val_len, c.val_len);
    ASSERT_NE(b->val.string, nullptr);  // even an empty string has a block
    switch (c.type) {
      case kOVsnmpOctetString:
      case kOVsnmpIpAddress:
        EXPECT_EQ(Bytes(b), c.bytes);
        break;
      case kOVsnmpObjectId:
        EXPECT_EQ(ToVector(b->val.oid, b->val_len), (Oid{1, 3, 6, 1, 4, 1, 2, 3, 4}));
        break;
      case kOVsnmpCounter64: {
        uint64_t v;
        std::memcpy(&v, b->val.string, 8);
        EXPECT_EQ(v, static_cast<uint64_t>(c.number));
        break;
      }
      default:
        EXPECT_EQ(*b->val.integer, static_cast<int32_t>(c.number));
    }
  }
}

TEST_F(SnmpsimNvsnmp, WalksToTheEndOfTheMibInBothVersions) {
  for (const char* version : {"1", "2c"}) {
    SCOPED_TRACE(version);
    ScopedEnv v("NVSNMP_VERSION", version);
    SessionPtr s = Open(Endpoint());
    ASSERT_TRUE(s);
    Walk w = RunWalk(s.get(), {1, 3}, 100);
    EXPECT_EQ(w.rows.size(), static_cast<size_t>(version[0] == '1' ? kRecordingRowsV1 : kRecordingRowsV2));
    EXPECT_EQ(w.error, 0);
    EXPECT_FALSE(w.stuck);
    // endOfMibView of v2c arrives as the noSuchName of v1: the walk ends.
    EXPECT_EQ(w.error_status, 2);
  }
}

TEST_F(SnmpsimNvsnmp, V2cExceptionValuesBecomeNoSuchNameWithTheirIndex) {
  ScopedEnv v("NVSNMP_VERSION", "2c");
  SessionPtr s = Open(Endpoint());
  ASSERT_TRUE(s);
  Exchange e =
      Request(s.get(), kOVsnmpGetRequest, {{1, 3, 6, 1, 2, 1, 1, 1, 0}, {1, 3, 6, 1, 2, 1, 1, 9, 0}});
  ASSERT_TRUE(e.response);
  EXPECT_EQ(e.response->error_status, 2);
  EXPECT_EQ(e.response->error_index, 2);
  ASSERT_NE(e.response->variables, nullptr);
  ASSERT_NE(e.response->variables->next_variable, nullptr);
  EXPECT_EQ(e.response->variables->next_variable->type, kOVsnmpNull);
  EXPECT_EQ(e.response->variables->next_variable->val.string, nullptr);
}

TEST_F(SnmpsimNvsnmp, ConfigurationMapsAPrinterNameToEndpointAndCommunity) {
  TempDir dir;
  std::string conf = dir.File("nvsnmp.conf");
  ASSERT_TRUE(
      zov::test::WriteNvsnmpConf(conf, {{"lobby-laser", Endpoint(), "tiny", 0, 0, -1, ""},
                                        {"basement", "127.0.0.1", "other", Port(), 0, -1, "2c"},
                                        {"wrong-community", Endpoint(), "nobody-home", 0, 150, 0, ""}}));
  ScopedEnv env("NVSNMP_CONF", conf.c_str());
  {
    SessionPtr s = Open("lobby-laser");
    ASSERT_TRUE(s) << OVsnmpErrString(OVsnmpErrno);
    Exchange e = GetNext(s.get(), kSystem);
    ASSERT_TRUE(e.response) << OVsnmpErrString(e.error);
    EXPECT_EQ(Bytes(e.response->variables), "Tiny printer");
  }
  {
    SessionPtr s = Open("basement");  // the line's port, no port in the peer
    ASSERT_TRUE(s);
    Exchange e = GetNext(s.get(), kSystem);
    ASSERT_TRUE(e.response) << OVsnmpErrString(e.error);
    EXPECT_EQ(e.response->variables->val_len, 13u);  // "Other printer"
    Exchange end = GetNext(s.get(), {1, 3, 6, 1, 2, 1, 1, 1, 0});
    ASSERT_TRUE(end.response);
    EXPECT_EQ(end.response->error_status, 2);  // v2c per the line
  }
  {
    // snmpsim does not answer an unknown community: the line's timeout
    // (150 ms, no retry) bounds the wait.
    SessionPtr s = Open("wrong-community");
    ASSERT_TRUE(s);
    Exchange e = GetNext(s.get(), kSystem);
    EXPECT_FALSE(e.response);
    EXPECT_EQ(e.error, kOVsnmpErrTimeout);
    EXPECT_LT(e.ms, 150 + 1000);
  }
}

TEST_F(SnmpsimNvsnmp, PortsComeFromPeerArgumentOrEnvironment) {
  const std::string port = std::to_string(Port());
  struct Case {
    const char* env_port;  // NVSNMP_PORT, or null
    std::string peer;
    int remote_port;
    const char* community;
    uint32_t length;  // of sysDescr: "Tiny printer" or, by the caller's community, "Other printer"
  };
  const Case cases[] = {
      {port.c_str(), "127.0.0.1", 0xFFFF, nullptr, 12},
      {nullptr, "127.0.0.1", Port(), nullptr, 12},
      {nullptr, "localhost:" + port, 0xFFFF, nullptr, 12},  // a name with a port
      {nullptr, Endpoint(), 0xFFFF, "other", 13},            // the caller's community wins
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.peer);
    ScopedEnv env("NVSNMP_PORT", c.env_port);
    SessionPtr s = Open(c.peer, 0, 500, c.remote_port, c.community);
    ASSERT_TRUE(s);
    Exchange e = GetNext(s.get(), kSystem);
    ASSERT_TRUE(e.response) << OVsnmpErrString(e.error);
    EXPECT_EQ(e.response->variables->val_len, c.length);
  }
}

TEST_F(SnmpsimNvsnmp, ManyThreadsKeepTheirOwnSessionsAndErrors) {
  std::string why;
  FaultAgent silent;
  ASSERT_TRUE(silent.Start({"--fault", "silent"}, &why)) << why;
  constexpr int kThreads = 8;
  constexpr int kRounds = 15;
  // Half the threads reach snmpsim through a name of the configuration file,
  // which every open reads through one cache.
  TempDir dir;
  std::vector<NvsnmpConfLine> lines;
  for (int t = 0; t < kThreads; t += 2)
    lines.push_back({"printer-" + std::to_string(t), Endpoint(), "tiny", 0, 0, -1, ""});
  ASSERT_TRUE(zov::test::WriteNvsnmpConf(dir.File("nvsnmp.conf"), lines));
  ScopedEnv conf("NVSNMP_CONF", dir.File("nvsnmp.conf").c_str());
  std::atomic<int> failures{0};
  std::vector<std::string> problems(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      auto fail = [&](const std::string& what) {
        if (problems[t].empty()) problems[t] = what;
        ++failures;
      };
      for (int round = 0; round < kRounds; ++round) {
        // Each thread's own marker survives whatever other threads fail with.
        OVsnmpErrno = 1000 + t;
        int kind = (t + round) % 3;
        if (kind == 0) {
          SessionPtr s = Open(t % 2 == 0 ? "printer-" + std::to_string(t) : Endpoint());
          if (!s) {
            fail("open");
            continue;
          }
          Walk w = RunWalk(s.get(), {1, 3}, 100);
          if (w.rows.size() != static_cast<size_t>(kRecordingRowsV1) || w.error_status != 2) fail("walk");
          if (OVsnmpErrno != 1000 + t) fail("errno changed by a success");
        } else if (kind == 1) {
          SessionPtr s = Open(silent.endpoint(), 0, 30);
          if (!s) {
            fail("open silent");
            continue;
          }
          Exchange e = GetNext(s.get(), kSystem);
          if (e.response || e.error != kOVsnmpErrTimeout) fail("silent agent: " + std::to_string(e.error));
        } else {
          SessionPtr s = Open("[::1");  // refused before any name lookup
          if (s || OVsnmpErrno != kOVsnmpErrBadPeer) fail("bad peer: " + std::to_string(OVsnmpErrno));
        }
      }
    });
  }
  for (std::thread& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(problems[t], "") << "thread " << t;
  EXPECT_EQ(failures.load(), 0);
}

// Cost of one GETNEXT exchange against snmpsim, printed for the record.
TEST_F(SnmpsimNvsnmp, MeasuresExchangeCost) {
  constexpr int kExchanges = 200;
  auto start = Clock::now();
  for (int i = 0; i < kExchanges; ++i) {
    SessionPtr s = Open(Endpoint());
    ASSERT_TRUE(s);
    ASSERT_TRUE(GetNext(s.get(), kSystem).response);
  }
  double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  RecordProperty("ms_per_open_exchange_close", std::to_string(ms / kExchanges));
  std::printf("[ measure  ] open + GETNEXT + close against snmpsim: %.3f ms each\n", ms / kExchanges);
}

class FaultNvsnmp : public ::testing::Test {
 protected:
  // Starts the agent with the alert table and a fault; the session waits
  // kTimeoutMs per try with kRetries retries.
  SessionPtr Start(std::vector<std::string> args, bool ipv6 = false) {
    if (ipv6) args.push_back("--ipv6");
    std::string why;
    if (!agent_.StartWithTable(kAlertTable, args, &why)) {
      ADD_FAILURE() << why;
      return nullptr;
    }
    std::string peer = ipv6 ? "[::1]:" + std::to_string(agent_.port()) : agent_.endpoint();
    SessionPtr s = Open(peer, kRetries, kTimeoutMs);
    EXPECT_TRUE(s) << OVsnmpErrString(OVsnmpErrno);
    return s;
  }
  static constexpr int kTimeoutMs = 100;
  static constexpr int kRetries = 1;
  // Every failing exchange ends within timeout x (retries + 1) and slack.
  static constexpr double kBoundMs = kTimeoutMs * (kRetries + 1) + 500;

  FaultAgent agent_;
};

// Walks of the severity column, each ended by what the agent does.
TEST_F(FaultNvsnmp, WalkEndsWhereTheAgentEndsIt) {
  struct Case {
    std::vector<std::string> args;
    size_t limit, rows;
    uint32_t last[3];  // the last row walked: column and index after the alert entry
    int error = 0, error_status = 0;
    bool stuck = false;
  };
  const Case cases[] = {
      {{}, 100, 3, {8, 1, 1}, 0, 2},  // two rows, the description column, the agent's end
      {{"--fault", "silent", "--from", "2"}, 100, 1, {2, 1, 1}, kOVsnmpErrTimeout},
      {{"--fault", "error", "--status", "1", "--from", "2", "--only"}, 100, 1, {2, 1, 1}, 0, 1},
      {{"--fault", "error", "--status", "5", "--from", "2", "--only"}, 100, 1, {2, 1, 1}, 0, 5},
      {{"--fault", "error", "--status", "18", "--from", "2", "--only"}, 100, 1, {2, 1, 1}, 0, 18},
      {{"--fault", "stuck"}, 100, 0, {}, 0, 0, true},  // passed on unchanged
      {{"--fault", "endless"}, 200, 200, {2, 200}},    // answers until the caller stops
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "well-behaved" : c.args[1] + " " + c.args.back());
    SessionPtr s = Start(c.args);
    ASSERT_TRUE(s);
    Walk w = RunWalk(s.get(), kAlertSeverity, c.limit);
    ASSERT_EQ(w.rows.size(), c.rows);
    if (c.rows > 0) {
      Oid last = {1, 3, 6, 1, 2, 1, 43, 18, 1, 1, c.last[0], c.last[1]};
      if (c.last[2] != 0) last.push_back(c.last[2]);
      EXPECT_EQ(w.rows.back(), last);
    }
    EXPECT_EQ(w.error, c.error);
    EXPECT_EQ(w.error_status, c.error_status);
    EXPECT_EQ(w.stuck, c.stuck);
    agent_.Stop();
  }
}

TEST_F(FaultNvsnmp, EachFailureEndsWithItsErrorWithinTheTimeout) {
  struct Case {
    std::vector<std::string> args;
    int error;  // expected OVsnmpErrno of the first exchange
  };
  const Case cases[] = {
      {{"--fault", "silent"}, kOVsnmpErrTimeout},
      {{"--fault", "garbage"}, kOVsnmpErrBadResponse},
      {{"--fault", "truncated"}, kOVsnmpErrBadResponse},
      {{"--fault", "oversized"}, kOVsnmpErrBadResponse},
      {{"--fault", "oversized", "--size", "60000"}, kOVsnmpErrBadResponse},
      // An answer to some other request is no answer to this one.
      {{"--fault", "wrong-id"}, kOVsnmpErrBadResponse},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[1] + (c.args.size() > 2 ? " " + c.args[3] : ""));
    SessionPtr s = Start(c.args);
    ASSERT_TRUE(s);
    Exchange e = GetNext(s.get(), kAlertSeverity);
    EXPECT_FALSE(e.response);
    EXPECT_EQ(e.error, c.error) << OVsnmpErrString(e.error);
    EXPECT_GE(e.ms, kTimeoutMs * (kRetries + 1) * 0.9);
    EXPECT_LT(e.ms, kBoundMs);
    agent_.Stop();
  }
}

// Strings where the table holds integers, and strings of several kilobytes,
// arrive as sent and whole.
TEST_F(FaultNvsnmp, ValuesArriveAsSentWhateverTheirTypeOrSize) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--fault", "wrong-type"}, "wrong"},  // an INTEGER column answered with text
      {{"--fault", "big-value", "--size", "6000"}, zov::test::BigValue(6000)},
      {{"--fault", "big-value", "--size", "20000"}, zov::test::BigValue(20000)},
  };
  for (const auto& [args, value] : cases) {
    SCOPED_TRACE(args.back());
    SessionPtr s = Start(args);
    ASSERT_TRUE(s);
    Exchange e = GetNext(s.get(), kAlertSeverity);
    ASSERT_TRUE(e.response) << OVsnmpErrString(e.error);
    ASSERT_NE(e.response->variables, nullptr);
    EXPECT_EQ(e.response->variables->type, kOVsnmpOctetString);
    EXPECT_EQ(Bytes(e.response->variables), value);
    agent_.Stop();
  }
}

TEST_F(FaultNvsnmp, Ipv6PeerInBrackets) {
  SessionPtr s = Start({}, true);
  ASSERT_TRUE(s);
  Walk w = RunWalk(s.get(), kAlertSeverity, 100);
  EXPECT_EQ(w.rows.size(), 3u);
  EXPECT_EQ(w.error_status, 2);
  // A bare IPv6 address takes its port from the caller.
  SessionPtr bare = Open("::1", kRetries, kTimeoutMs, agent_.port());
  ASSERT_TRUE(bare);
  EXPECT_TRUE(GetNext(bare.get(), kAlertSeverity).response);
}

TEST(NvsnmpOpen, RefusesWhatCannotBeAPeerOrSetting) {
  TempDir dir;
  // Only peers refused without a name lookup: tests send nothing off
  // loopback, DNS included.
  for (const char* peer : {"printer 1", "[::1", "127.0.0.1:99999", "127.0.0.1:", "[]:161", ""}) {
    SCOPED_TRACE(peer);
    OVsnmpErrno = 0;
    EXPECT_EQ(OVsnmpOpen(nullptr, peer, -1, -1, 0xFFFF, 0xFFFF, nullptr, nullptr), nullptr);
    EXPECT_EQ(OVsnmpErrno, kOVsnmpErrBadPeer);
  }
  EXPECT_EQ(OVsnmpOpen(nullptr, nullptr, -1, -1, 0xFFFF, 0xFFFF, nullptr, nullptr), nullptr);
  EXPECT_EQ(OVsnmpErrno, kOVsnmpErrBadArgument);

  std::string conf_bad = dir.File("bad.conf");
  zov::test::WriteFile(conf_bad, "printer-1 community=a port=161\nprinter-2 colour=blue\n");
  std::string conf_bad_peer = dir.File("bad-peer.conf");
  zov::test::WriteFile(conf_bad_peer, "printer-1 peer=[::1\n");
  const std::pair<const char*, const char*> settings[] = {
      {"NVSNMP_CONF", "/nonexistent/nvsnmp.conf"},
      {"NVSNMP_CONF", conf_bad.c_str()},
      {"NVSNMP_CONF", conf_bad_peer.c_str()},
      {"NVSNMP_PORT", "0"},
      {"NVSNMP_TIMEOUT_MS", "soon"},
      {"NVSNMP_RETRIES", "-2"},
      {"NVSNMP_VERSION", "3"},
  };
  for (const auto& [variable, value] : settings) {
    SCOPED_TRACE(std::string(variable) + "=" + value);
    ScopedEnv env(variable, value);
    EXPECT_EQ(OVsnmpOpen(nullptr, "printer-1", -1, -1, 0xFFFF, 0xFFFF, nullptr, nullptr), nullptr);
    EXPECT_EQ(OVsnmpErrno, kOVsnmpErrConfig);
  }
}

TEST(NvsnmpConf, CommentsDefaultLineAndNamedLineCombine) {
  TempDir dir;
  std::string why;
  FaultAgent agent;
  ASSERT_TRUE(agent.Start({"--row", "1.3.6.1.2.1.1.3.0|67|7", "--community", "lobby"}, &why)) << why;
  std::string conf = dir.File("nvsnmp.conf");
  zov::test::WriteFile(conf,
                       "# printers of the test\n"
                       "default community=lobby timeout=100 retries=0   # every printer\n"
                       "\n"
                       "lobby-laser peer=127.0.0.1:" +
                           std::to_string(agent.port()) +
                           "\n"
                           "lobby-laser peer=127.0.0.1:1\n");  // the first line for a name counts
  ScopedEnv env("NVSNMP_CONF", conf.c_str());
  SessionPtr s = Open("lobby-laser");
  ASSERT_TRUE(s) << OVsnmpErrString(OVsnmpErrno);
  Exchange e = GetNext(s.get(), kSystem);
  ASSERT_TRUE(e.response) << OVsnmpErrString(e.error);
  EXPECT_EQ(*e.response->variables->val.integer, 7);
  // A file changed in place is read again.
  zov::test::WriteFile(conf, "lobby-laser peer=127.0.0.1:" + std::to_string(agent.port()) +
                                 " community=other timeout=100 retries=0 # now wrong\n");
  SessionPtr again = Open("lobby-laser");
  ASSERT_TRUE(again);
  EXPECT_EQ(GetNext(again.get(), kSystem).error, kOVsnmpErrTimeout);
}

TEST(NvsnmpOwnership, EveryPathReleasesExactlyOnce) {
  // Run under the address sanitizer: a leak or double free fails the build's
  // sanitizer job; here the calls must simply not fail or crash.
  uint32_t* oid = Block({1, 3, 6});
  EXPECT_EQ(OVsnmpAddNullVarBind(nullptr, oid, 3), nullptr);  // block released by the library
  EXPECT_EQ(OVsnmpErrno, kOVsnmpErrBadArgument);
  auto* text = static_cast<uint8_t*>(std::malloc(4));
  OVsnmpVal v;
  v.string = text;
  EXPECT_EQ(OVsnmpAddTypedVarBind(nullptr, Block({1, 3}), 2, kOVsnmpOctetString, &v, 4), nullptr);
  EXPECT_EQ(OVsnmpAddTypedVarBind(nullptr, Block({1, 3}), 2, 99, nullptr, 0), nullptr);

  OVsnmpPdu* pdu = OVsnmpCreatePdu(kOVsnmpTrap);
  ASSERT_NE(pdu, nullptr);
  int32_t holder = 300;
  OVsnmpVal iv;
  iv.integer = &holder;
  OVsnmpVarBind* b = OVsnmpAddTypedVarBind(pdu, Block({1, 3, 6, 1}), 4, kOVsnmpInteger, &iv, 1);
  ASSERT_NE(b, nullptr);
  holder = 0;
  EXPECT_EQ(*b->val.integer, 300);  // taken during the call, in full
  EXPECT_EQ(b->val_len, 4u);
  pdu->enterprise = Block({1, 3, 6, 1, 4, 1});
  pdu->enterprise_length = 6;
  OVsnmpFreePdu(pdu);  // releases the enterprise block too

  // A failed OVsnmpSend still takes its PDU: a trap without enterprise
  // cannot be encoded.
  SessionPtr s = Open("127.0.0.1", 0, 100, 9);
  ASSERT_TRUE(s);
  OVsnmpPdu* bad = OVsnmpCreatePdu(kOVsnmpTrap);
  ASSERT_NE(OVsnmpAddNullVarBind(bad, Block({1, 3}), 2), nullptr);
  EXPECT_EQ(OVsnmpSend(s.get(), bad), -1);
  EXPECT_EQ(OVsnmpErrno, kOVsnmpErrBadPdu);
  EXPECT_EQ(OVsnmpSend(s.get(), nullptr), -1);

  EXPECT_EQ(OVsnmpCreatePdu(42), nullptr);
  EXPECT_EQ(OVsnmpErrno, kOVsnmpErrBadArgument);
  EXPECT_EQ(OVsnmpClose(nullptr), -1);
}

TEST(NvsnmpErrString, EveryNumberHasAText) {
  for (int e = kOVsnmpErrInternal; e <= 18; ++e) {
    const char* text = OVsnmpErrString(e);
    ASSERT_NE(text, nullptr);
    EXPECT_GT(std::strlen(text), 3u) << e;
    EXPECT_EQ(std::string(text).find("unknown error"), std::string::npos) << e;
  }
  EXPECT_STREQ(OVsnmpErrString(2), "noSuchName");
  EXPECT_STREQ(OVsnmpErrString(kOVsnmpErrTimeout), "no response (timeout)");
  EXPECT_STREQ(OVsnmpErrString(19), "unknown error 19");
  EXPECT_STREQ(OVsnmpErrString(-11), "unknown error -11");
}

TEST(NvsnmpDump, PacketsGoToStandardErrorWhenAsked) {
  std::string why;
  FaultAgent agent;
  ASSERT_TRUE(agent.Start({"--row", "1.3.6.1.2.1.1.3.0|67|7"}, &why)) << why;
  SessionPtr s = Open(agent.endpoint(), 0, 500);
  ASSERT_TRUE(s);
  TempDir dir;
  std::string captured;
  for (int flag : {0, 1}) {
    std::atomic_ref<int>(OVsnmpDumpPacket).store(flag, std::memory_order_relaxed);
    testing::internal::CaptureStderr();
    bool answered = static_cast<bool>(GetNext(s.get(), kSystem).response);
    captured = testing::internal::GetCapturedStderr();
    std::atomic_ref<int>(OVsnmpDumpPacket).store(0, std::memory_order_relaxed);
    EXPECT_TRUE(answered);
    if (flag == 0) {
      EXPECT_EQ(captured, "");
    } else {
      EXPECT_NE(captured.find("nvsnmp: sent to udp:127.0.0.1:" + std::to_string(agent.port())),
                std::string::npos);
      EXPECT_NE(captured.find("nvsnmp: received from"), std::string::npos);
      EXPECT_NE(captured.find("30 "), std::string::npos) << captured;  // a BER SEQUENCE
    }
  }
}

class TrapNvsnmp : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!receiver_.Start(&why)) GTEST_SKIP() << why;
  }

  // A trap as the plug-in builds it: enterprise-specific, five bindings.
  OVsnmpPdu* AlertTrap(int specific, int32_t severity, const std::string& address, const std::string& text) {
    OVsnmpPdu* pdu = OVsnmpCreatePdu(kOVsnmpTrap);
    EXPECT_NE(pdu, nullptr);
    pdu->enterprise = Block({1, 3, 6, 1, 4, 1, 2, 6, 3});
    pdu->enterprise_length = 9;
    pdu->agent_addr = 0;
    pdu->generic_type = 6;
    pdu->specific_type = specific;
    OVsnmpVal v;
    v.integer = &severity;
    OVsnmpAddTypedVarBind(pdu, Block({1, 3, 6, 1, 4, 1, 2, 6, 3, 1, 1, 2, 0}), 13, kOVsnmpInteger, &v, 1);
    for (const auto& [last, value] : std::vector<std::pair<uint32_t, std::string>>{
             {3, address}, {4, text}, {5, "Velam"}, {6, "openview"}}) {
      auto* bytes = static_cast<uint8_t*>(std::malloc(value.size() + 1));
      std::memcpy(bytes, value.data(), value.size());
      v.string = bytes;
      OVsnmpAddTypedVarBind(pdu, Block({1, 3, 6, 1, 4, 1, 2, 6, 3, 1, 1, last, 0}), 13, kOVsnmpOctetString,
                            &v, static_cast<uint32_t>(value.size()));
    }
    return pdu;
  }

  TrapReceiver receiver_;
};

// The fields and bindings as sent are checked through the plug-in's own trap
// (TrapContentTest); here what only a hand-made trap can show.
TEST_F(TrapNvsnmp, TrapArrivesWithExactFieldsAndBindings) {
  std::string port = std::to_string(receiver_.port());
  ScopedEnv trap_port("NVSNMP_TRAP_PORT", port.c_str());
  // The plug-in's trap session: the local host name, no retries, ports by use.
  SessionPtr s = Open(receiver_.host_name(), 0, -1, 0xFFFF);
  ASSERT_TRUE(s) << OVsnmpErrString(OVsnmpErrno);
  EXPECT_NE(OVsnmpSend(s.get(), AlertTrap(17, 300, "printer-1", "Offline")), -1)
      << OVsnmpErrString(OVsnmpErrno);
  std::vector<TrapRecord> traps = receiver_.WaitForTraps(1, 5000);
  ASSERT_EQ(traps.size(), 1u);
  const TrapRecord& t = traps[0];
  EXPECT_EQ(t.specific, 17);
  EXPECT_EQ(t.time_stamp, 0);  // not set by the caller
  ASSERT_EQ(t.bindings.size(), 5u) << t.raw;
  EXPECT_EQ(t.bindings[0].type, "INTEGER");
  EXPECT_EQ(t.bindings[0].value, "300");  // the full INTEGER, though the length says 1
}

TEST_F(TrapNvsnmp, OneSessionSendsRequestsToTheAgentPortAndTrapsToTheTrapPort) {
  std::string why;
  FaultAgent agent;
  // Both ends on the receiver's address: on a stock machine the host name
  // resolves to 127.0.1.1, where nothing else listens.
  ASSERT_TRUE(agent.Start({"--address", receiver_.address(), "--row", "1.3.6.1.2.1.1.3.0|67|7"}, &why))
      << why;
  std::string agent_port = std::to_string(agent.port());
  std::string trap_port = std::to_string(receiver_.port());
  ScopedEnv port("NVSNMP_PORT", agent_port.c_str());
  ScopedEnv trap("NVSNMP_TRAP_PORT", trap_port.c_str());
  SessionPtr s = Open(receiver_.address(), 0, 500, 0xFFFF);
  ASSERT_TRUE(s);
  Exchange e = GetNext(s.get(), kSystem);
  ASSERT_TRUE(e.response) << OVsnmpErrString(e.error);
  EXPECT_EQ(*e.response->variables->val.integer, 7);
  OVsnmpPdu* pdu = AlertTrap(2, 4, "p", "x");
  pdu->time_stamp = 4242;
  ASSERT_NE(OVsnmpSend(s.get(), pdu), -1);
  std::vector<TrapRecord> traps = receiver_.WaitForTraps(1, 5000);
  ASSERT_EQ(traps.size(), 1u);
  EXPECT_EQ(traps[0].specific, 2);
  EXPECT_EQ(traps[0].time_stamp, 4242);
}

TEST_F(TrapNvsnmp, AgentAddressAndPeerPortAsSet) {
  // A peer that names its port needs no NVSNMP_TRAP_PORT.
  SessionPtr s = Open(receiver_.address() + ":" + std::to_string(receiver_.port()), 0, -1, 0xFFFF);
  ASSERT_TRUE(s);
  OVsnmpPdu* pdu = AlertTrap(1, 3, "p", "x");
  pdu->agent_addr = 0x0A010203;
  ASSERT_NE(OVsnmpSend(s.get(), pdu), -1);
  std::vector<TrapRecord> traps = receiver_.WaitForTraps(1, 5000);
  ASSERT_EQ(traps.size(), 1u);
  EXPECT_EQ(traps[0].agent, "10.1.2.3");
}

}  // namespace
