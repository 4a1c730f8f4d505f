// Whole polls through the built plug-in against snmpsim serving the printer
// recordings, snmptrapd receiving the traps and a real SQLite object
// database managed with ovwdb. Every test runs once with the plug-in loaded
// in this process, as the platform loads it, and once through the runner
// command ZOV_POLL_RUNNER names: the Linux runner (the default), or the
// 32-bit DLL's under Wine. Polls the tests allow to be made together
// go through one runner process.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/agents.h"
#include "support/poll_rig.h"
#include "support/printer_table.h"

namespace {

namespace fs = std::filesystem;
using zov::test::NvsnmpConfLine;
using zov::test::PollWay;
using zov::test::SnmpsimAgent;
using zov::test::TrapReceiver;
using zov::test::TrapRecord;

constexpr char kOptions[] = "-l -c 11 -w 12 -o 13";
// The recording whose content the course test replaces between polls.
constexpr char kLiveRecording[] = "course-live";

std::vector<zov::test::PollsExpected> Expected() {
  return zov::test::ReadPollsExpected(ZOV_TEST_DATA_DIR "/polls.expected");
}

// Printer names as the platform knows them, each mapped to one recording.
// Every test polls printers of its own, so their fields never meet.
const std::map<std::string, std::string>& Printers() {
  static const std::map<std::string, std::string> printers = [] {
    std::map<std::string, std::string> m = {
        {"warning-printer", "warning-toner-low"},
        {"warning-again", "warning-toner-low"},
        {"empty-printer", "empty-table"},
        {"empty-cleared", "empty-table"},
        {"zero-recorded", "times-all-zero-critical"},
        {"zero-new", "times-all-zero-critical"},
        {"zero-no-critical-number", "times-all-zero-critical"},
        {"untimed-recorded", "critical-untimed-among-timed"},
        {"untimed-new", "critical-untimed-among-timed"},
        {"course", kLiveRecording},
        {"foreign-family", "foreign-family"},
        {"foreign-enterprise", "foreign-enterprise-only"},
        {"foreign-real", "real-epson-sc-t3405-foreign"},
        {"no-uptime", "no-sysuptime"},
        {"uptime-zero", "uptime-zero"},
        {"table-last", "table-last-object"},
        {"unknown-object", "warning-toner-low"},
    };
    // One printer per recording for the table of tests/data.
    for (const zov::test::PollsExpected& e : Expected()) m["rec-" + e.recording] = e.recording;
    return m;
  }();
  return printers;
}

// snmpsim serving the recordings, snmptrapd when it can run, and the
// printers in NVSNMP_CONF and the database.
struct EndToEnd : zov::test::SuiteState {
  SnmpsimAgent agent;
  TrapReceiver traps;
  bool traps_ok = false;
  std::string traps_why;
  std::unique_ptr<zov::test::ScopedEnv> trap_port;  // the receiver's, once it listens

  static void Prepare(EndToEnd* s, PollWay way) {
    if (!s->rig.Start({way, 1000, 1, 9}, &s->why)) return;
    // Recordings plus the course printer's first moment under its own name.
    const std::string data = s->rig.File("data");
    fs::create_directories(data);
    for (const auto& entry : fs::directory_iterator(ZOV_TEST_DATA_DIR)) {
      if (entry.path().extension() == ".snmprec") {
        fs::copy_file(entry.path(), data + "/" + entry.path().filename().string());
      }
    }
    fs::copy_file(std::string(ZOV_TEST_DATA_DIR) + "/course-1-warning.snmprec",
                  data + "/" + kLiveRecording + ".snmprec");
    if (!s->agent.Start(data, "warning-toner-low", &s->why)) return;
    s->traps_ok = s->traps.Start(&s->traps_why);
    const std::string trap_port = std::to_string(s->traps_ok ? s->traps.port() : 9);
    s->trap_port = std::make_unique<zov::test::ScopedEnv>("NVSNMP_TRAP_PORT", trap_port.c_str());

    std::vector<NvsnmpConfLine> lines;
    std::vector<std::string> objects;
    for (const auto& [name, recording] : Printers()) {
      lines.push_back({.name = name, .peer = s->agent.endpoint(), .community = recording});
      if (name != "unknown-object") objects.push_back(name);
    }
    if (!s->rig.Route(lines)) {
      s->why = "cannot write nvsnmp.conf";
      return;
    }
    s->rig.AddPrinters(objects, &s->why);
  }
};

// Each way of calling the plug-in is a suite of its own, with its own
// agents and database.
class PollEndToEndTest : public zov::test::PollSuite<EndToEnd, false, ::testing::TestWithParam<PollWay>> {
 protected:
  static int Poll(const std::string& name, const char* options = kOptions) {
    return Rig().Poll(name.c_str(), options);
  }
  static std::vector<int> PollEach(const std::vector<std::string>& names) {
    return Rig().PollEach(names, kOptions);
  }
  static std::optional<int32_t> Field(const std::string& name) { return Rig().Field(name); }
  static void SetField(const std::string& name, int32_t value) { ASSERT_TRUE(Rig().SetField(name, value)); }
  static std::vector<std::string> Records(const std::string& name) { return Rig().Records(name); }
  // Traps carrying this printer's address once `count` of them arrived, or
  // after a bounded wait (for an expected count of 0, the wait is the proof).
  static std::vector<TrapRecord> TrapsFor(const std::string& name, size_t count) {
    if (count == 0) std::this_thread::sleep_for(std::chrono::milliseconds(600));
    return state_->traps.TrapsAbout(name, count, 5000);
  }
  static bool TrapsAvailable() { return state_->traps_ok; }
};

// A printer polled `polls` times from its stored VlmLastAlert (none: never
// set): each poll's status, the field afterwards, the changes announced, and
// the traps that arrived (number and description).
struct Course {
  const char* printer;
  std::optional<int32_t> stored;
  int polls, status;
  std::optional<int32_t> field;
  size_t announced;
  std::vector<std::pair<int, std::string>> traps;
  const char* options = kOptions;
};

TEST_P(PollEndToEndTest, ChangesAreStoredAnnouncedAndTrappedOnce) {
  const Course courses[] = {
      // A new warning, then the same alert: nothing more written, announced or sent.
      {"warning-printer", std::nullopt, 2, 3, 5400, 1, {{12, "Toner low"}}},
      // No alerts leave an unset field unset and clear a stored one.
      {"empty-printer", std::nullopt, 1, 2, std::nullopt, 0, {}},
      {"empty-cleared", 777, 1, 2, 0, 0, {}},
      // An untimed worst alert is remembered by its index.
      {"zero-recorded", 7, 1, 4, 7, 0, {}},
      {"zero-new", 3, 1, 4, 7, 1, {{11, "Paper jam"}}},
      // Critical trap number 0: stored and announced, but nothing is sent.
      {"zero-no-critical-number", std::nullopt, 1, 4, 7, 1, {}, "-l -w 12 -o 13"},
      // An untimed critical among timed alerts, by its index: trapped once.
      {"untimed-recorded", 2, 1, 4, 2, 0, {}},
      {"untimed-new", std::nullopt, 3, 4, 2, 1, {{11, "Toner empty"}}},
  };
  for (const Course& c : courses) {
    if (c.stored) SetField(c.printer, *c.stored);
    std::vector<std::string> names(c.polls, c.printer);
    EXPECT_EQ(Rig().PollEach(names, c.options), std::vector<int>(c.polls, c.status)) << c.printer;
    EXPECT_EQ(Field(c.printer), c.field) << c.printer;
    EXPECT_EQ(Records(c.printer), std::vector<std::string>(c.announced, "Generating trap for printer")) << c.printer;
  }
  if (!TrapsAvailable()) GTEST_SKIP() << "no trap receiver: " << state_->traps_why;
  // The traps wanted, then a moment for any that should not come.
  for (const Course& c : courses) state_->traps.TrapsAbout(c.printer, c.traps.size(), 5000);
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  for (const Course& c : courses) {
    std::vector<std::pair<int, std::string>> got;
    for (const TrapRecord& t : state_->traps.TrapsAbout(c.printer, 0, 0)) {
      EXPECT_EQ(t.enterprise, ".1.3.6.1.4.1.2.6.3");
      EXPECT_EQ(t.generic, 6);
      EXPECT_EQ(t.bindings.size(), 5u);
      got.emplace_back(t.specific, t.bindings.size() == 5 ? zov::test::TrapValueBytes(t.bindings[2]) : "");
    }
    EXPECT_EQ(got, c.traps) << c.printer;
  }
}

// Every recording polled twice from VlmLastAlert 0, against polls.expected:
// status and field each round, the change announced, and the traps sent.
TEST_P(PollEndToEndTest, RecordingsGiveWhatTheTableStates) {
  if (!TrapsAvailable()) GTEST_SKIP() << "no trap receiver: " << state_->traps_why;
  const std::vector<zov::test::PollsExpected> table = Expected();
  ASSERT_FALSE(table.empty());
  std::vector<std::string> printers;
  for (const auto& e : table) {
    printers.push_back("rec-" + e.recording);
    SetField(printers.back(), 0);
  }
  std::map<std::string, std::vector<int>> traps_wanted;
  size_t traps_total = 0;
  for (int round = 0; round < 2; ++round) {
    const std::vector<int> statuses = PollEach(printers);
    ASSERT_EQ(statuses.size(), table.size());
    for (size_t i = 0; i < table.size(); ++i) {
      const auto& e = table[i];
      const std::string where = e.recording + " round " + std::to_string(round + 1);
      EXPECT_EQ(statuses[i], e.status[round]) << where;
      EXPECT_EQ(Field(printers[i]), std::stoi(e.field[round])) << where;
      int announced = 0;
      for (int r = 0; r <= round; ++r) announced += e.trap[r] != "-";
      const std::vector<std::string> records = Records(printers[i]);
      EXPECT_EQ(std::count(records.begin(), records.end(), "Generating trap for printer"), announced) << where;
      if (e.trap[round] != "-" && e.trap[round] != "0") {
        traps_wanted[printers[i]].push_back(std::stoi(e.trap[round]));
        ++traps_total;
      }
    }
  }
  // All traps at once, then a moment for any that should not come.
  std::map<std::string, std::vector<int>> traps_got;
  auto received = [&] {
    traps_got.clear();
    size_t n = 0;
    for (const TrapRecord& t : state_->traps.WaitForTraps(0, 0)) {
      const std::string printer = t.bindings.size() > 1 ? t.bindings[1].value : "";
      if (printer.starts_with("\"rec-")) {
        traps_got[printer.substr(1, printer.size() - 2)].push_back(t.specific);
        ++n;
      }
    }
    return n;
  };
  zov::test::WaitUntil(5000, [&] { return received() >= traps_total; });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  received();
  EXPECT_EQ(traps_got, traps_wanted);
}

TEST_P(PollEndToEndTest, OnePrintersCourseOverChangingAlerts) {
  if (!TrapsAvailable()) GTEST_SKIP() << "no trap receiver: " << state_->traps_why;
  const std::string live = state_->agent.data_dir() + "/" + kLiveRecording + ".snmprec";
  struct Step {
    const char* recording;
    int status;
    int32_t field;
    size_t traps;
  };
  const Step steps[] = {
      {nullptr, 3, 9000, 1},  // course-1 already in place
      {nullptr, 3, 9000, 1},
      {"course-2-critical-added", 4, 19000, 2},
      {"course-3-cleared", 2, 0, 2},
      {"course-1-warning", 3, 9000, 3},
  };
  for (const Step& step : steps) {
    if (step.recording != nullptr) {
      // snmpsim rereads a file whose whole-second modification time moved
      // past both the old file's and its own index's.
      const auto old_time = fs::last_write_time(live);
      const auto now = fs::file_time_type::clock::now();
      const std::string next = live + ".next";
      fs::copy_file(std::string(ZOV_TEST_DATA_DIR) + "/" + step.recording + ".snmprec", next,
                    fs::copy_options::overwrite_existing);
      fs::last_write_time(next, std::max(old_time, now) + std::chrono::seconds(2));
      fs::rename(next, live);
    }
    EXPECT_EQ(Poll("course"), step.status) << (step.recording ? step.recording : "unchanged");
    EXPECT_EQ(Field("course"), step.field) << (step.recording ? step.recording : "unchanged");
    EXPECT_EQ(TrapsFor("course", step.traps).size(), step.traps);
  }
}

TEST_P(PollEndToEndTest, PollsThatCannotCompleteLeaveFieldAndTrapsAlone) {
  struct Refusal {
    const char* printer;
    const char* record;
  };
  const Refusal refusals[] = {
      {"foreign-family", "Printer is not of the supported family"},
      {"foreign-enterprise", "Printer is not of the supported family"},
      {"foreign-real", "Printer is not of the supported family"},
      {"no-uptime", "Could not find printer SNMP entries."},
      {"uptime-zero", "Unable to get sysUpTime or printer ID from printer"},
      {"table-last", "Error querying printer"},
  };
  std::vector<std::string> printers;
  for (const Refusal& r : refusals) {
    SetField(r.printer, 321);
    printers.push_back(r.printer);
  }
  EXPECT_EQ(PollEach(printers), std::vector<int>(printers.size(), 0));
  for (const Refusal& r : refusals) {
    EXPECT_EQ(Field(r.printer), 321) << r.printer;
    std::vector<std::string> records = Records(r.printer);
    ASSERT_FALSE(records.empty()) << r.printer;
    EXPECT_EQ(records[0], r.record) << r.printer;
  }
  if (TrapsAvailable()) {
    for (const Refusal& r : refusals) {
      EXPECT_TRUE(TrapsFor(r.printer, 0).empty()) << r.printer;
    }
  }
}

TEST_P(PollEndToEndTest, PrinterWithoutAnObjectIsPolledButNothingIsStored) {
  EXPECT_EQ(Poll("unknown-object"), 3);
  EXPECT_EQ(Records("unknown-object"),
            (std::vector<std::string>{"Object not found", "Object not found",
                                      "Generating trap for printer"}));
}

TEST_P(PollEndToEndTest, UnreachablePrinterEndsWithStatusZeroAndTheLibraryReason) {
  // Not in NVSNMP_CONF: sent to port 161 of an address where nothing listens.
  EXPECT_EQ(Poll("127.0.0.1:9"), 0);
  std::vector<std::string> records = Records("127.0.0.1:9");
  ASSERT_GE(records.size(), 2u);
  EXPECT_EQ(records[0], "Error querying printer");
  EXPECT_EQ(records.back(), "Unable to get sysUpTime or printer ID from printer");
}

INSTANTIATE_TEST_SUITE_P(InProcess, PollEndToEndTest, ::testing::Values(PollWay::kInProcess),
                         [](const auto& info) { return zov::test::PollWayName(info.param); });
INSTANTIATE_TEST_SUITE_P(Runner, PollEndToEndTest, ::testing::Values(PollWay::kRunner),
                         [](const auto& info) { return zov::test::PollWayName(info.param); });

}  // namespace
