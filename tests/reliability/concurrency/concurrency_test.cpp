// Many polls at once over printers of mixed states: threads in one process,
// then several processes, all sharing one log file and one object database.
// Every status must be the printer's, every log record whole and known, and
// the database consistent afterwards. Some calls ask for packet dumps, so the
// process-wide dump flag is written by concurrent calls throughout.
//
// Counts come from ZOV_STRESS_THREADS and ZOV_STRESS_POLLS (polls per
// thread); the defaults suit CI.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/agents.h"
#include "support/poll_rig.h"
#include "support/printer_table.h"

namespace {

namespace fs = std::filesystem;
using zov::test::FaultAgent;
using zov::test::NvsnmpConfLine;
using zov::test::ProgramResult;
using zov::test::RunOvwdb;

constexpr char kOptions[] = "-l -c 11 -w 12 -o 13";
constexpr char kDumpOptions[] = "-d -l -c 11 -w 12 -o 13";
// Without the log: such a call's records reach the file only while another
// call holds it open, so the file opens and closes all the time.
constexpr char kQuietOptions[] = "-c 11 -w 12 -o 13";

// A recording's status and VlmLastAlert after its first poll (0: never
// written) are what polls.expected states; messages are what its records may
// carry (after "NAME: "). A printer that cannot be polled logs its failure
// on every poll; one that can announces its alert once.
struct PrinterState {
  const char* recording;
  const char* failure = nullptr;
  int status = -1;
  int32_t field = 0;
  std::set<std::string> messages = {};
};

const std::string kTrap = "Generating trap for printer";

const std::vector<PrinterState>& States() {
  static const std::vector<PrinterState> states = [] {
    std::vector<PrinterState> states = {
        {"warning-toner-low"}, {"critical-offline-newest"}, {"empty-table"}, {"normal-other-only"},
        {"times-all-zero-critical"}, {"critical-without-description"}, {"description-bytes"},
        {"foreign-family", "Printer is not of the supported family"},
        {"uptime-zero", "Unable to get sysUpTime or printer ID from printer"},
        {"table-last-object", "Error querying printer"},
    };
    for (const zov::test::PollsExpected& e : zov::test::ReadPollsExpected(ZOV_TEST_DATA_DIR "/polls.expected")) {
      for (PrinterState& s : states) {
        if (e.recording != s.recording) continue;
        s.status = e.status[0];
        s.field = std::stoi(e.field[0]);
        if (s.failure != nullptr || e.trap[0] != "-") s.messages = {s.failure != nullptr ? s.failure : kTrap};
      }
    }
    return states;
  }();
  return states;
}

// Twenty printers: two names for each state.
struct Printer {
  std::string name;
  const PrinterState* state;
};

std::vector<Printer> Printers() {
  std::vector<Printer> printers;
  for (const PrinterState& s : States()) {
    for (int copy = 1; copy <= 2; ++copy) {
      printers.push_back({std::string(s.recording) + "-" + std::to_string(copy), &s});
    }
  }
  return printers;
}

int EnvCount(const char* name, int fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && std::atoi(v) > 0 ? std::atoi(v) : fallback;
}

// Checks that the log is made of whole, known records; counts them by
// printer and message.
void CheckLog(const std::string& text, std::map<std::string, std::map<std::string, int>>* counts) {
  std::map<std::string, const PrinterState*> known;
  for (const Printer& p : Printers()) known[p.name] = p.state;
  ASSERT_TRUE(text.empty() || text.back() == '\n') << "the log ends inside a record";
  const std::vector<std::string> lines = zov::test::Lines(text);
  bool expect_error_text = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (expect_error_text) {
      // The second line of an SNMP error record.
      EXPECT_EQ(line, "\tnoSuchName") << "line " << i + 1;
      expect_error_text = false;
      continue;
    }
    if (line == "Call with object address") {  // a call without an address
      ++(*counts)[""][line];
      continue;
    }
    const size_t colon = line.find(": ");
    ASSERT_NE(colon, std::string::npos) << "line " << i + 1 << " is no record: " << line;
    const std::string name = line.substr(0, colon);
    const std::string message = line.substr(colon + 2);
    auto it = known.find(name);
    ASSERT_NE(it, known.end()) << "line " << i + 1 << " names no printer: " << line;
    EXPECT_EQ(it->second->messages.count(message), 1u) << "line " << i + 1 << ": " << line;
    ++(*counts)[name][message];
    expect_error_text = message == "Error querying printer";
  }
  EXPECT_FALSE(expect_error_text) << "an error record lacks its second line";
}

// One fault agent for each state; the printers routed to them.
struct Concurrency : zov::test::SuiteState {
  std::vector<std::unique_ptr<FaultAgent>> agents;

  static void Prepare(Concurrency* s, zov::test::PollWay way) {
    std::map<std::string, std::string> endpoint;
    for (const PrinterState& ps : States()) {
      auto agent = std::make_unique<FaultAgent>();
      if (!agent->Start({"--table", std::string(ZOV_TEST_DATA_DIR) + "/" + ps.recording + ".snmprec"},
                        &s->why)) {
        return;
      }
      endpoint[ps.recording] = agent->endpoint();
      s->agents.push_back(std::move(agent));
    }
    std::vector<NvsnmpConfLine> lines;
    for (const Printer& p : Printers()) {
      lines.push_back({.name = p.name, .peer = endpoint[p.state->recording]});
    }
    if (s->rig.Start({way}, &s->why) && !s->rig.Route(lines)) s->why = "cannot write nvsnmp.conf";
  }
};

// Each test has a database and a log of its own.
class ConcurrencyTest : public zov::test::PollSuite<Concurrency, true> {
 protected:
  void SetUp() override {
    PollSuite::SetUp();
    if (HasFatalFailure() || IsSkipped()) return;
    std::vector<std::string> names;
    for (const Printer& p : Printers()) names.push_back(p.name);
    std::string why;
    ASSERT_TRUE(Rig().AddPrinters(names, &why)) << why;
  }

  static int Poll(const char* name, const char* options) { return Rig().Poll(name, options); }
  static std::string Here(const std::string& name) { return Rig().Here(name); }

  void CheckDatabase() {
    for (const Printer& p : Printers()) {
      const std::optional<int32_t> field = Rig().Field(p.name);
      EXPECT_EQ(field.has_value(), p.state->field != 0) << p.name;
      if (field) {
        EXPECT_EQ(*field, p.state->field) << p.name;
      }
    }
    ProgramResult check = RunOvwdb({"dump"});
    EXPECT_EQ(check.exit_code, 0) << check.err;
    EXPECT_EQ(zov::test::Lines(check.out).size(), Printers().size());
  }
};

TEST_F(ConcurrencyTest, ManyThreadsPollMixedPrintersThroughOneLogAndDatabase) {
  const int threads = EnvCount("ZOV_STRESS_THREADS", 16);
  const int polls = EnvCount("ZOV_STRESS_POLLS", 200);
  const std::vector<Printer> printers = Printers();
  std::vector<std::map<std::string, int>> polled(threads);
  std::vector<std::map<std::string, int>> polled_with_log(threads);
  std::atomic<int> wrong{0};
  std::atomic<int> made{0};
  std::string first_wrong;
  std::mutex first_wrong_mutex;

  // Packet dumps go to standard error; keep them out of the test's output.
  const int saved_stderr = dup(2);
  const int null_fd = open("/dev/null", O_WRONLY);
  dup2(null_fd, 2);
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      for (int i = 0; i < polls; ++i) {
        const Printer& p = printers[(static_cast<size_t>(t) * 7 + static_cast<size_t>(i)) % printers.size()];
        const char* options = i % 10 == 3 ? kDumpOptions : i % 5 == 1 ? kQuietOptions : kOptions;
        // Now and then a call without an address: it only counts in and out.
        if (i % 16 == 5) Poll(nullptr, "-l");
        const int status = Poll(p.name.c_str(), options);
        ++polled[t][p.name];
        if (options != kQuietOptions) ++polled_with_log[t][p.name];
        ++made;
        if (status != p.state->status && wrong++ == 0) {
          std::lock_guard<std::mutex> lock(first_wrong_mutex);
          first_wrong = p.name + " gave " + std::to_string(status);
        }
      }
    });
  }
  for (std::thread& w : workers) w.join();
  dup2(saved_stderr, 2);
  close(saved_stderr);
  close(null_fd);

  EXPECT_EQ(made.load(), threads * polls);
  EXPECT_EQ(wrong.load(), 0) << "first: " << first_wrong;
  const std::optional<std::string> text = zov::test::ReadFile(Here("pslog.txt"));
  ASSERT_TRUE(text);
  std::map<std::string, std::map<std::string, int>> counts;
  CheckLog(*text, &counts);
  auto sum = [](const std::vector<std::map<std::string, int>>& per_thread, const std::string& name) {
    int total = 0;
    for (const auto& m : per_thread) {
      auto it = m.find(name);
      if (it != m.end()) total += it->second;
    }
    return total;
  };
  for (const Printer& p : printers) {
    const int total = sum(polled, p.name);
    if (p.state->failure != nullptr) {
      // Every call that asked for the log wrote its record; the others only
      // when the file happened to be open.
      const int logged = counts[p.name][p.state->failure];
      EXPECT_GE(logged, sum(polled_with_log, p.name)) << p.name;
      EXPECT_LE(logged, total) << p.name;
    } else if (!p.state->messages.empty() && total > 0) {
      // Announced once, more only while concurrent first polls saw the same
      // empty field; not at all when those first polls did not log.
      EXPECT_LE(counts[p.name][kTrap], threads) << p.name;
    }
  }
  CheckDatabase();
  RecordProperty("polls", threads * polls);
  std::printf("%d threads x %d polls over %zu printers\n", threads, polls, printers.size());
}

TEST_F(ConcurrencyTest, ThreeProcessesShareTheLogAndTheDatabase) {
  const int processes = 3;
  const int threads = EnvCount("ZOV_STRESS_PROCESS_THREADS", 4);
  const int rounds = EnvCount("ZOV_STRESS_ROUNDS", 20);
  std::string list;
  for (const Printer& p : Printers()) list += p.name + "\n";
  ASSERT_TRUE(zov::test::WriteFile(Here("printers.txt"), list));

  // The second process asks for packet dumps on every call; the third never
  // asks for the log, so its records must not reach the file (each process
  // has its own stream).
  std::vector<std::vector<std::string>> runners;
  for (const char* poll_options : {kOptions, kDumpOptions, kQuietOptions}) {
    runners.push_back({zov::test::RunnerFile(), "--plugin", zov::test::PluginFile(), "--options", poll_options,
                       "--printers", Here("printers.txt"), "--repeat", std::to_string(rounds), "--interval", "0",
                       "--threads", std::to_string(threads), "--json"});
  }
  const std::vector<ProgramResult> runs = zov::test::RunPrograms(runners, {}, 300000);
  for (const ProgramResult& run : runs) EXPECT_EQ(run.exit_code, 0) << "a runner failed: " << run.err;

  std::map<std::string, int> expected;
  for (const Printer& p : Printers()) expected[p.name] = p.state->status;
  std::map<std::string, int> calls;
  for (const ProgramResult& run : runs) {
    for (const std::string& line : zov::test::Lines(run.out)) {
      if (line.rfind("{\"address\":", 0) != 0) continue;  // dumps and the summary
      const size_t a = line.find('"', 11) + 1;
      const std::string name = line.substr(a, line.find('"', a) - a);
      const size_t s = line.find("\"status\":") + 9;
      ASSERT_EQ(expected.count(name), 1u) << line;
      EXPECT_EQ(std::atoi(line.c_str() + s), expected[name]) << line;
      ++calls[name];
    }
  }
  for (const Printer& p : Printers()) EXPECT_EQ(calls[p.name], processes * rounds) << p.name;

  const std::optional<std::string> text = zov::test::ReadFile(Here("pslog.txt"));
  ASSERT_TRUE(text);
  std::map<std::string, std::map<std::string, int>> counts;
  CheckLog(*text, &counts);
  for (const Printer& p : Printers()) {
    if (p.state->failure != nullptr) {
      EXPECT_EQ(counts[p.name][p.state->failure], (processes - 1) * rounds) << p.name;
    }
  }
  CheckDatabase();
  std::printf("%d processes x %d threads x %d rounds over %zu printers\n", processes, threads, rounds,
              Printers().size());
}

}  // namespace
