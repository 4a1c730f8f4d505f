// Ten thousand polls in one process over every path a poll can take: new,
// repeated and cleared alerts, foreign printers, failed probes and walks,
// answers that never advance, a printer object the database lacks (its
// write fails and its trap goes out on every poll), logging on. Built with
// -DZOV_SANITIZE=address, LeakSanitizer checks at exit that nothing was
// lost; in a plain build the resident size must stay flat.
//
// ZOV_LEAK_POLLS sets the count (default 10,000).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/agents.h"
#include "support/poll_rig.h"
#include "support/printer_table.h"

namespace {

namespace fs = std::filesystem;
using zov::test::FaultAgent;
using zov::test::NvsnmpConfLine;
using zov::test::ScopedEnv;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// A faulty agent's polls all end with status 0; a sound one's give what
// polls.expected states of the recording.
struct Path {
  const char* name;
  const char* recording;
  std::vector<std::string> fault;
  bool in_database = true;
  int status = -1;
};

const std::vector<Path>& Paths() {
  static const std::vector<Path> paths = [] {
    std::vector<Path> paths = {
        {"warning", "warning-toner-low", {}},
        {"critical", "critical-offline-newest", {}},
        {"untimed", "critical-untimed-among-timed", {}},
        {"no-description", "critical-without-description", {}},
        {"empty", "empty-table", {}},
        {"foreign", "foreign-family", {}},
        {"no-uptime", "no-sysuptime", {}},
        {"table-last", "table-last-object", {}},
        {"probe-error", "warning-toner-low", {"--fault", "error", "--from", "1"}},
        // The agent counts requests over all polls, so a fault from the n-th on
        // holds for every later poll: only faults from the first are steady.
        {"probe-stuck", "warning-toner-low", {"--fault", "stuck", "--from", "1"}},
        {"wrong-type", "warning-toner-low", {"--fault", "wrong-type", "--from", "1"}},
        {"big-values", "warning-toner-low", {"--fault", "big-value", "--from", "1", "--size", "100"}},
        {"bytes", "description-bytes", {}},
        // Not in the database: every poll counts as changed.
        {"unknown-object", "course-1-warning", {}, false},
    };
    for (const zov::test::PollsExpected& e : zov::test::ReadPollsExpected(ZOV_TEST_DATA_DIR "/polls.expected")) {
      for (Path& p : paths) {
        if (e.recording == p.recording) p.status = p.fault.empty() ? e.status[0] : 0;
      }
    }
    return paths;
  }();
  return paths;
}

long ResidentKb() {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

TEST(LeakPollsTest, TenThousandPollsOverEveryPathLoseNothing) {
  const char* count_text = std::getenv("ZOV_LEAK_POLLS");
  const int polls = count_text != nullptr && std::atoi(count_text) > 0 ? std::atoi(count_text) : 10000;
  zov::test::PollRig rig;
  std::string why;
  ASSERT_TRUE(rig.Start({}, &why)) << why;
  std::vector<std::unique_ptr<FaultAgent>> agents;
  std::vector<NvsnmpConfLine> lines;
  std::vector<std::string> objects;
  for (const Path& p : Paths()) {
    auto agent = std::make_unique<FaultAgent>();
    std::vector<std::string> args = {"--table", std::string(ZOV_TEST_DATA_DIR) + "/" + p.recording + ".snmprec"};
    args.insert(args.end(), p.fault.begin(), p.fault.end());
    ASSERT_TRUE(agent->Start(args, &why)) << why;
    lines.push_back({.name = p.name, .peer = agent->endpoint()});
    if (p.in_database) objects.push_back(p.name);
    agents.push_back(std::move(agent));
  }
  ASSERT_TRUE(rig.Route(lines));
  const std::string drive = rig.File("drive");
  fs::create_directories(drive + "/usr/ov/log");
  ScopedEnv nv_drive("NV_DRIVE", drive.c_str());
  ASSERT_TRUE(rig.AddPrinters(objects, &why)) << why;

  long settled_kb = 0;
  int wrong = 0;
  const int settle = polls / 10;
  for (int i = 0; i < polls; ++i) {
    const Path& p = Paths()[static_cast<size_t>(i) % Paths().size()];
    // Every fourth call without the log, every seventh without options.
    const char* options = i % 7 == 0 ? nullptr : i % 4 == 0 ? "-c 11 -w 12 -o 13" : "-l -c 11 -w 12 -o 13";
    if (rig.Poll(p.name, options) != p.status && wrong++ < 5) {
      ADD_FAILURE() << "poll " << i << " of " << p.name << " gave the wrong status";
    }
    if (i == settle) settled_kb = ResidentKb();
  }
  rig.Poll(nullptr, nullptr);  // no address: counted in and out only
  EXPECT_EQ(wrong, 0);
  const long end_kb = ResidentKb();
  std::printf("%d polls; resident %ld kB after %d, %ld kB at the end\n", polls, settled_kb, settle, end_kb);
  if (!kSanitized && polls >= 5000) {
    // A leak of 500 bytes a poll would show as 4 MB here.
    EXPECT_LT(end_kb - settled_kb, 4096);
  }
  // The log received whole records only (each poll's own records were
  // checked by the other suites).
  const std::optional<std::string> log = zov::test::ReadFile(drive + "/usr/ov/log/vlmpslog.txt");
  ASSERT_TRUE(log);
  ASSERT_FALSE(log->empty());
  EXPECT_EQ(log->back(), '\n');
}

}  // namespace
