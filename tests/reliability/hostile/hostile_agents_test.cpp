// Whole polls through the built plug-in against agents that misbehave: the
// project's fault agent (answers that never advance, endless tables, error
// statuses, silence, garbage, wrong types, oversized values, tables with
// hostile contents, an endless table of huge values, answers late but inside
// the timeout, one request lost as to an agent restarting). Each poll must return
// within a bound set by NVSNMP_TIMEOUT_MS, NVSNMP_RETRIES and its time limit,
// with the status, the exact log records the system gives for that failure,
// and VlmLastAlert left as it was unless the poll completed.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/agents.h"
#include "support/poll_rig.h"
#include "support/printer_table.h"

namespace {

using zov::test::FaultAgent;
using zov::test::TimedMs;

constexpr int kTimeoutMs = 300;
constexpr int kRetries = 1;
// Work besides waiting: process start-up is not in it, a 10,000-row walk is.
constexpr int kSlackMs = 4000;

constexpr char kOptions[] = "-l -c 11 -w 12 -o 13";
constexpr int32_t kStoredAlert = 4242;  // VlmLastAlert before each poll
const std::string kUnable = "Unable to get sysUpTime or printer ID from printer\n";

// A table in the fault agent's format, kept by OID so overrides replace rows.
using Table = std::map<std::vector<uint32_t>, std::string>;

using zov::test::OidOf;

void Put(Table* table, const std::string& oid, const std::string& type, const std::string& value) {
  (*table)[OidOf(oid)] = oid + "|" + type + "|" + value;
}

Table Recording(const std::string& name) {
  Table table;
  std::ifstream in(std::string(ZOV_TEST_DATA_DIR) + "/" + name + ".snmprec");
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    table[OidOf(line.substr(0, line.find('|')))] = line;
  }
  return table;
}

const std::string kAlert = "1.3.6.1.2.1.43.18.1.1.";
const std::string kUptime = "1.3.6.1.2.1.1.3.0";
const std::string kObjectId = "1.3.6.1.2.1.1.2.0";

// warning-toner-low with changes: a warning at index 3, time 5400.
Table Warning(void (*change)(Table*) = nullptr) {
  Table t = Recording("warning-toner-low");
  if (change != nullptr) change(&t);
  return t;
}

// warning-toner-low with 40 more warnings, rows 10 to 49.
void FortyMoreWarnings(Table* t) {
  for (uint32_t i = 10; i < 50; ++i) {
    const zov::test::Printer more{{{i, 4, "Toner low", 11, 1, 0, 1104, 6000}}, std::nullopt, std::nullopt, false};
    for (const zov::test::Cell& c : zov::test::PrinterCells(more)) {
      if (c.oid.starts_with(kAlert)) Put(t, c.oid, std::to_string(c.tag), c.value);
    }
  }
}

// What a case expects of VlmLastAlert afterwards.
constexpr int kUntouched = 0;  // still kStoredAlert
constexpr int kEquals = 1;
constexpr int kWritten = 2;  // some value: read from bytes the agent chose

struct HostileCase {
  std::string name;                 // printer name, unique per case
  Table table;
  std::vector<std::string> fault;   // fault agent options besides the table
  int status;
  std::string records;              // this poll's whole log text, NAME for the name
  int lost_exchanges = 0;           // exchanges that wait out every attempt
  int lost_attempts = 0;            // single attempts lost (answered on a retry)
  int check_field = kUntouched;
  int32_t field = 0;                // VlmLastAlert afterwards when kEquals
  int work_ms = 0;                  // allowance for a long walk (sanitizer builds are slow)
  int timeout_ms = kTimeoutMs;      // this printer's timeout and retries
  int retries = kRetries;
  const char* options = kOptions;
};

void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.name; }

std::string Replace(std::string text, const std::string& name) {
  for (size_t at = text.find("NAME"); at != std::string::npos; at = text.find("NAME", at)) {
    text.replace(at, 4, name);
  }
  return text;
}

std::string Error(const std::string& text) { return "NAME: Error querying printer\n\t" + text + "\n"; }
const std::string kTrapLine = "NAME: Generating trap for printer\n";

std::vector<HostileCase> Cases() {
  const std::string timeout = "no response (timeout)";
  const std::string malformed = "malformed, truncated or oversized response";
  std::vector<HostileCase> cases = {
      // Control: the same table, well answered.
      {"well-behaved", Warning(), {}, 3, kTrapLine, 0, 0, kEquals, 5400},
      // Answers that never advance.
      {"stuck-probe", Warning(), {"--fault", "stuck", "--from", "1"}, 0, "NAME: " + kUnable},
      {"stuck-walk", Warning(), {"--fault", "stuck", "--from", "2"}, 0,
       Error("Agent answer does not advance past the previous one")},
      {"stuck-walk-late", Warning(), {"--fault", "stuck", "--from", "3"}, 0,
       Error("Agent answer does not advance past the previous one")},
      // Endless table: the walk stops at its row limit.
      {"endless-walk", Warning(), {"--fault", "endless", "--from", "2"}, 0,
       Error("Table walk exceeded the row limit"), 0, 0, kUntouched, 0, 20000},
      {"endless-probe", Warning(), {"--fault", "endless", "--from", "1"}, 0, "NAME: " + kUnable},
      // Error status on each exchange in turn (probe, three walk steps).
      {"error-1", Warning(), {"--fault", "error", "--only", "--from", "1"}, 0,
       Error("genErr") + "NAME: " + kUnable},
      {"error-2", Warning(), {"--fault", "error", "--only", "--from", "2"}, 0, Error("genErr")},
      {"error-3", Warning(), {"--fault", "error", "--only", "--from", "3", "--status", "2"}, 0,
       Error("noSuchName")},
      {"error-4", Warning(), {"--fault", "error", "--only", "--from", "4", "--status", "1"}, 0,
       Error("tooBig")},
      {"error-5", Warning(), {"--fault", "error", "--only", "--from", "5"}, 3, kTrapLine, 0, 0,
       kEquals, 5400},  // a poll makes only four exchanges
      // Silence on the probe, in mid-walk, and one lost answer the retry recovers.
      {"silent-probe", Warning(), {"--fault", "silent", "--from", "1"}, 0,
       Error(timeout) + "NAME: " + kUnable, 1},
      {"silent-mid-walk", Warning(), {"--fault", "silent", "--from", "3"}, 0, Error(timeout), 1},
      {"silent-once", Warning(), {"--fault", "silent", "--only", "--from", "3"}, 3, kTrapLine, 0, 1,
       kEquals, 5400},
      // Datagrams that are not answers.
      {"garbage-probe", Warning(), {"--fault", "garbage", "--from", "1"}, 0,
       Error(malformed) + "NAME: " + kUnable, 1},
      {"garbage-walk", Warning(), {"--fault", "garbage", "--from", "2"}, 0, Error(malformed), 1},
      {"truncated-probe", Warning(), {"--fault", "truncated", "--from", "1"}, 0,
       Error(malformed) + "NAME: " + kUnable, 1},
      {"truncated-walk", Warning(), {"--fault", "truncated", "--from", "4"}, 0, Error(malformed), 1},
      {"oversized-probe", Warning(), {"--fault", "oversized", "--from", "1"}, 0,
       Error(malformed) + "NAME: " + kUnable, 1},
      {"oversized-walk", Warning(), {"--fault", "oversized", "--from", "2", "--size", "65000"}, 0,
       Error(malformed), 1},
      // Wrong value types: strings for integers and the reverse.
      {"wrong-type-probe", Warning(), {"--fault", "wrong-type", "--from", "1"}, 0, "NAME: " + kUnable},
      // Integers answered as strings read as whatever their first bytes
      // hold (no type check, as with any binding), never beyond the value.
      {"wrong-type-walk", Warning(), {"--fault", "wrong-type", "--from", "2"}, 2, kTrapLine, 0, 0,
       kWritten},
      {"big-value-probe", Warning(), {"--fault", "big-value", "--from", "1"}, 0, "NAME: " + kUnable},
      {"big-value-walk", Warning(), {"--fault", "big-value", "--from", "2", "--size", "1000"}, 2,
       kTrapLine, 0, 0, kWritten},
  };

  // Hostile contents, well delivered. The uptime is taken by its bytes
  // whatever its type; only 0 or nothing stops the poll.
  cases.push_back({"oid-for-uptime", Warning([](Table* t) { Put(t, kUptime, "6", "1.3.6.1.4.1.808"); }),
                   {}, 3, kTrapLine, 0, 0, kEquals, 5400});
  cases.push_back({"string-for-uptime", Warning([](Table* t) { Put(t, kUptime, "4", "8640000"); }),
                   {}, 3, kTrapLine, 0, 0, kEquals, 5400});
  cases.push_back({"empty-string-for-uptime", Warning([](Table* t) { Put(t, kUptime, "4", ""); }),
                   {}, 0, "NAME: " + kUnable});
  cases.push_back({"integer-for-object-id", Warning([](Table* t) { Put(t, kObjectId, "2", "808"); }),
                   {}, 0, "NAME: " + kUnable});
  cases.push_back({"string-for-object-id",
                   Warning([](Table* t) { Put(t, kObjectId, "4", std::string(600, 'x')); }),
                   {}, 0, "NAME: " + kUnable});
  // A string where the severity belongs: the row reads as severity 0.
  cases.push_back({"string-for-severity",
                   Warning([](Table* t) { Put(t, kAlert + "2.1.3", "4", "4"); }),
                   {}, 2, kTrapLine, 0, 0, kEquals, 5400});
  // An integer where the description belongs: no description, no trap.
  cases.push_back({"integer-for-description",
                   Warning([](Table* t) { Put(t, kAlert + "8.1.3", "2", "1104"); }),
                   {}, 3, kTrapLine, 0, 0, kEquals, 5400});
  // An OID where the time belongs: the time reads as 0, the identity is the index.
  cases.push_back({"oid-for-time",
                   Warning([](Table* t) { Put(t, kAlert + "9.1.3", "6", "1.3.6.1"); }),
                   {}, 3, kTrapLine, 0, 0, kEquals, 1200});
  cases.push_back({"description-4k",
                   Warning([](Table* t) { Put(t, kAlert + "8.1.3", "4", std::string(4096, 'D')); }),
                   {}, 3, kTrapLine, 0, 0, kEquals, 5400});
  cases.push_back({"description-60k",
                   Warning([](Table* t) { Put(t, kAlert + "8.1.3", "4", std::string(60000, 'D')); }),
                   {}, 0, Error("malformed, truncated or oversized response"), 1});
  cases.push_back({"object-id-128", Warning([](Table* t) {
                     std::string f = "1.3.6.1.4.1.808.8.62.1";
                     for (int i = 10; i < 128; ++i) f += ".4294967295";
                     Put(t, kObjectId, "6", f);
                   }),
                   {}, 3, kTrapLine, 0, 0, kEquals, 5400});
  // A row index of 2^32-1 (-1 as signed: never the worst alert) and a time of 2^32-1.
  cases.push_back({"index-max", Warning([](Table* t) {
                     for (const char* column : {"2", "3", "4", "5", "6", "7", "8", "9"}) {
                       const std::string from = kAlert + column + ".1.3";
                       std::string line = (*t)[OidOf(from)];
                       t->erase(OidOf(from));
                       const std::string to = kAlert + column + ".1.4294967295";
                       (*t)[OidOf(to)] = to + line.substr(line.find('|'));
                     }
                     Put(t, kAlert + "9.1.4294967295", "67", "4294967295");
                   }),
                   {}, 2, kTrapLine, 0, 0, kEquals, -1});
  // Printers that would hold the host's memory or its thread without end.
  // Every value 4,000 bytes (the answers stay under the 32 KiB the SNMP
  // library accepts): 10,000 rows would be 280 MB.
  cases.push_back({"endless-huge", Warning(), {"--fault", "endless", "--from", "2", "--size", "4000"}, 0,
                   Error("Table walk exceeded the memory limit"), 0, 0, kUntouched, 0, 20000, 1000, 0});
  // 40 rows at 200 ms an answer would take 8 s; the poll has 1 s, and the
  // exchange under way when it runs out finishes.
  cases.push_back({"slow", Warning(FortyMoreWarnings), {"--fault", "slow", "--delay", "200"}, 0,
                   Error("Poll exceeded its time limit"), 0, 0, kUntouched, 0, 1200, 1000, 0,
                   "-l -c 11 -w 12 -o 13 -t 1"});
  // A printer that reboots in mid-walk loses the request in flight; the
  // retry reaches it again and the whole table is read (warnings at 250,
  // 500, 750). A thousand exchanges: a longer timeout keeps a slow answer on
  // a loaded machine from passing for the lost one.
  cases.push_back({"restart-mid-walk", Recording("table-1000-rows"), {"--fault", "silent", "--only", "--from", "400"},
                   3, kTrapLine, 0, 1, kEquals, 101000, 7000, 1000, 2});
  return cases;
}

// Each case starts its own fault agent; the suite has the database.
struct Hostile : zov::test::SuiteState {
  static void Prepare(Hostile* s, zov::test::PollWay way) {
    // Traps go to the discard port: whether one is sent is not what is tested here.
    if (!s->rig.Start({way, kTimeoutMs, kRetries, 9}, &s->why)) return;
    std::vector<std::string> names;
    for (const HostileCase& c : Cases()) names.push_back(c.name);
    s->rig.AddPrinters(names, &s->why);
  }
};

class HostileAgentTest
    : public zov::test::PollSuite<Hostile, false, ::testing::TestWithParam<HostileCase>> {};

TEST_P(HostileAgentTest, EndsInTimeWithItsStatusAndRecord) {
  const HostileCase& c = GetParam();
  std::string table;
  for (const auto& [oid, line] : c.table) table += line + "\n";
  FaultAgent agent;
  std::string why;
  ASSERT_TRUE(agent.StartWithTable(table, c.fault, &why)) << why;
  ASSERT_TRUE(Rig().Route({{.name = c.name, .peer = agent.endpoint(), .timeout_ms = c.timeout_ms, .retries = c.retries}}));
  ASSERT_TRUE(Rig().SetField(c.name, kStoredAlert));

  const size_t before = Rig().LogSize();
  int status = -1;
  const double ms = TimedMs([&] { status = Rig().Poll(c.name.c_str(), c.options); });
  // One exchange that never gets an answer costs every attempt's timeout.
  const int floor_ms = (c.lost_exchanges * (c.retries + 1) + c.lost_attempts) * c.timeout_ms;
  EXPECT_EQ(status, c.status);
  EXPECT_EQ(Rig().Log(before), Replace(c.records, c.name));
  EXPECT_LE(ms, floor_ms + kSlackMs + c.work_ms);
  // The timeouts were waited out, not cut short.
  EXPECT_GE(ms, floor_ms * 0.95);
  const std::optional<int32_t> field = Rig().Field(c.name);
  if (c.check_field == kUntouched) {
    EXPECT_EQ(field, kStoredAlert);
  } else if (c.check_field == kEquals) {
    EXPECT_EQ(field, c.field);
  } else {
    EXPECT_TRUE(field.has_value() && *field != kStoredAlert) << "field not written";
  }
}

INSTANTIATE_TEST_SUITE_P(Agents, HostileAgentTest, ::testing::ValuesIn(Cases()), [](const auto& info) {
  std::string name = info.param.name;
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
});

}  // namespace
