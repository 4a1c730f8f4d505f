// Whole polls through the built plug-in against printers that would hold
// the host's memory or its thread without end: an endless alert table of
// huge descriptions, and a printer that answers every request late but
// inside the timeout. Each poll ends, not completed, with its record, and
// leaves VlmLastAlert as it was.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "support/agents.h"
#include "support/poll_rig.h"

namespace {

using zov::test::FaultAgent;
using zov::test::NvsnmpConfLine;
using zov::test::TimedMs;

constexpr int kTimeoutMs = 1000;
constexpr int kRetries = 0;
constexpr int kSlowAnswerMs = 200;
// Work besides the exchanges (sanitizer builds are slow).
constexpr int kSlackMs = 4000;
constexpr int32_t kStoredAlert = 4242;

// warning-toner-low, with extra warning rows 10..10+extra-1.
std::string Table(int extra) {
  std::ifstream in(std::string(ZOV_TEST_DATA_DIR) + "/warning-toner-low.snmprec");
  std::string text;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] != '#') text += line + "\n";
  }
  for (int i = 10; i < 10 + extra; ++i) {
    const std::string row = ".1." + std::to_string(i) + "|";
    for (const char* cell : {"2|2|4", "4|2|11", "5|2|1", "6|2|0", "7|2|1104", "8|4|Toner low",
                             "9|67|6000"}) {
      const std::string c(cell);
      text += "1.3.6.1.2.1.43.18.1.1." + c.substr(0, c.find('|')) + row + c.substr(c.find('|') + 1) + "\n";
    }
  }
  return text;
}

struct BoundCase {
  std::string name;               // printer name, unique per case
  int extra_rows;
  std::vector<std::string> fault;
  std::string options;
  std::string error;              // the error text of the walk's record
  int most_ms;                    // the poll ends within this, slack aside
};

void PrintTo(const BoundCase& c, std::ostream* os) { *os << c.name; }

std::vector<BoundCase> Cases() {
  return {
      // Every value 4,000 bytes (the answers stay under the 32 KiB the SNMP
      // library accepts): 10,000 rows would be 280 MB.
      {"endless-huge", 0, {"--fault", "endless", "--from", "2", "--size", "4000"},
       "-l -c 11 -w 12 -o 13", "Table walk exceeded the memory limit", 0},
      // 40 rows at 200 ms an answer would take 8 s; the poll has 1 s, and
      // the exchange under way when it runs out finishes.
      {"slow", 40, {"--fault", "slow", "--delay", std::to_string(kSlowAnswerMs)},
       "-l -c 11 -w 12 -o 13 -t 1", "Poll exceeded its time limit", 1000 + kSlowAnswerMs},
  };
}

struct Bounds : zov::test::SuiteState {
  static void Prepare(Bounds* s, zov::test::PollWay way) {
    if (!s->rig.Start({way, kTimeoutMs, kRetries, 9}, &s->why)) return;
    std::vector<std::string> names;
    for (const BoundCase& c : Cases()) names.push_back(c.name);
    s->rig.AddPrinters(names, &s->why);
  }
};

class PollBoundsTest : public zov::test::PollSuite<Bounds, false, ::testing::TestWithParam<BoundCase>> {};

TEST_P(PollBoundsTest, PollEndsNotCompletedWithItsRecordAndTheFieldKept) {
  const BoundCase& c = GetParam();
  const std::string table_file = Rig().File(c.name + ".table");
  ASSERT_TRUE(zov::test::WriteFile(table_file, Table(c.extra_rows)));
  std::vector<std::string> args = {"--table", table_file};
  args.insert(args.end(), c.fault.begin(), c.fault.end());
  FaultAgent agent;
  std::string why;
  ASSERT_TRUE(agent.Start(args, &why)) << why;
  NvsnmpConfLine line;
  line.name = c.name;
  line.peer = agent.endpoint();
  ASSERT_TRUE(Rig().Route({line}));
  ASSERT_TRUE(Rig().SetField(c.name, kStoredAlert));

  const size_t before = Rig().LogSize();
  int status = -1;
  const double ms = TimedMs([&] { status = Rig().Poll(c.name.c_str(), c.options.c_str()); });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(Rig().Log(before), c.name + ": Error querying printer\n\t" + c.error + "\n");
  EXPECT_EQ(Rig().Field(c.name), kStoredAlert);
  if (c.most_ms > 0) {
    EXPECT_LE(ms, c.most_ms + kSlackMs);
  }
}

INSTANTIATE_TEST_SUITE_P(Agents, PollBoundsTest, ::testing::ValuesIn(Cases()),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           for (char& ch : name) if (ch == '-') ch = '_';
                           return name;
                         });

}  // namespace
