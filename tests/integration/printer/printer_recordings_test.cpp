// Every recording of tests/data served by snmpsim, probed and walked through
// the real SNMP library. What each recording should give comes from the
// recordings' own agent model (tests/data/make_recordings.py), which reads
// the files independently of the code under test; a few recordings are also
// checked against values written out here.
#include <dirent.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "printer/alert_evaluation.h"
#include "printer/alert_table.h"
#include "printer/identity_probe.h"
#include "unit_support.h"
#include "snmp/nvsnmp.h"
#include "snmp/oid.h"
#include "support/agents.h"

namespace {

using zov::test::LogCapture;

using zov::test::ScopedEnv;
using zov::test::SnmpsimAgent;
using zov::test::TempDir;

// Prints, for each recording named on the command line, what the probe and
// the reader should give: lines "NAME probe ...", "NAME walk ...",
// "NAME record ..." and "NAME choice WORST REPORTED".
constexpr char kModelScript[] = R"(import bisect
import sys
sys.path.insert(0, sys.argv[1])
import make_recordings as mr


def fast_getnext(agent):
    keys = [o[0] for o in agent.objects]

    def getnext(oids):
        out = []
        for want in oids:
            i = bisect.bisect_right(keys, want)
            if i == len(keys):
                return None
            out.append(agent.objects[i])
        return out
    agent.getnext = getnext
    return agent


for name in sys.argv[2:]:
    agent = fast_getnext(mr.Agent(sys.argv[1] + "/" + name + ".snmprec"))
    uptime_oid = mr.oid_key("1.3.6.1.2.1.1.3")
    probe = agent.getnext([uptime_oid, mr.oid_key("1.3.6.1.2.1.1.2")])
    if probe is None:
        print(name, "probe error")
    elif probe[0][0][:len(uptime_oid)] != uptime_oid:
        print(name, "probe none")
    else:
        family = mr.find(probe, mr.oid_key("1.3.6.1.2.1.1.2"))
        print(name, "probe", probe[0][2] & 0xFFFFFFFF,
              "-" if family is None else "." + ".".join(map(str, family[2])))
    records = mr.read_alerts(agent)
    if records is None:
        print(name, "walk error")
        continue
    print(name, "walk", len(records))
    for r in records:
        d = r["description"]
        print(name, "record", r["index"], r["severity"], r["group"], r["group index"],
              r["location"], r["code"], "-" if d is None else "x" + d.hex(), r["time"])

    def position(chosen):
        return next((i for i, r in enumerate(records) if r is chosen), -1)
    print(name, "choice", position(mr.worst_alert(records)), position(mr.reported_alert(records)))
)";

struct Record {
  int32_t index = 0, severity = 0, group = 0, group_index = 0, location = 0, code = 0;
  std::optional<std::string> description;
  uint32_t time = 0;
  bool operator==(const Record&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Record& r) {
  os << "{index " << r.index << " sev " << r.severity << " group " << r.group << "/"
     << r.group_index << " loc " << r.location << " code " << r.code << " desc ";
  if (r.description) {
    os << "'";
    for (unsigned char c : *r.description) {
      if (c >= 32 && c < 127) {
        os << c;
      } else {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02x", c);
        os << hex;
      }
    }
    os << "'";
  } else {
    os << "absent";
  }
  return os << " time " << r.time << "}";
}

struct Expected {
  bool probe_error = false;
  bool probe_none = false;
  uint32_t uptime = 0;
  std::string family;  // dotted, "-" when absent
  bool walk_error = false;
  std::vector<Record> records;
  int worst = -1;
  int reported = -1;
  bool ok = false;
};

std::string FromHex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::string Dotted(const uint32_t* oid, uint32_t count) {
  if (oid == nullptr) return "-";
  std::string out;
  for (uint32_t i = 0; i < count; ++i) out += "." + std::to_string(oid[i]);
  return out;
}

std::vector<Record> Flatten(const AlertRecord* list) {
  std::vector<Record> out;
  for (const AlertRecord* r = list; r != nullptr; r = r->next) {
    Record rec{r->index, r->severity, r->group, r->group_index, r->location, r->code, {}, r->time};
    if (r->description != nullptr) {
      rec.description.emplace(reinterpret_cast<const char*>(r->description), r->description_length);
    }
    out.push_back(rec);
  }
  return out;
}

int Position(const AlertRecord* list, const AlertRecord* chosen) {
  int i = 0;
  for (const AlertRecord* r = list; r != nullptr; r = r->next, ++i) {
    if (r == chosen) return i;
  }
  return -1;
}

std::vector<std::string> RecordingNames() {
  std::vector<std::string> names;
  if (DIR* dir = opendir(ZOV_TEST_DATA_DIR)) {
    while (dirent* e = readdir(dir)) {
      std::string file = e->d_name;
      const std::string suffix = ".snmprec";
      if (file.size() > suffix.size() && file.ends_with(suffix)) {
        names.push_back(file.substr(0, file.size() - suffix.size()));
      }
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

class RecordingTest : public ::testing::TestWithParam<std::string> {
 protected:
  static void SetUpTestSuite() {
    files_ = new TempDir;
    agent_ = new SnmpsimAgent;
    if (!agent_->Start(ZOV_TEST_DATA_DIR, "empty-table", &why_)) {
      delete agent_;
      agent_ = nullptr;
      return;
    }
    // Each printer name reaches the one snmpsim with its own community.
    std::vector<zov::test::NvsnmpConfLine> lines;
    for (const std::string& name : RecordingNames()) {
      zov::test::NvsnmpConfLine line;
      line.name = name;
      line.peer = agent_->endpoint();
      line.community = name;
      line.timeout_ms = 3000;
      line.retries = 1;
      line.version = "1";
      lines.push_back(line);
    }
    zov::test::WriteNvsnmpConf(files_->File("nvsnmp.conf"), lines);
    zov::test::WriteFile(files_->File("model.py"), kModelScript);
    conf_ = new ScopedEnv("NVSNMP_CONF", files_->File("nvsnmp.conf").c_str());
    model_ = new std::map<std::string, Expected>;
    RunModel();
  }
  static void TearDownTestSuite() {
    delete conf_;
    delete model_;
    model_ = nullptr;
    delete agent_;
    delete files_;
    conf_ = nullptr;
    agent_ = nullptr;
    files_ = nullptr;
  }
  void SetUp() override {
    if (agent_ == nullptr) GTEST_SKIP() << "snmpsim: " << why_;
    ASSERT_TRUE(log_.ok());
  }

  // Runs the model once for every recording.
  static void RunModel() {
    std::string command = "python3 " + files_->File("model.py") + " " ZOV_TEST_DATA_DIR;
    for (const std::string& name : RecordingNames()) command += " " + name;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return;
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
    if (pclose(pipe) != 0) return;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
      std::istringstream in(line);
      std::string name, word;
      in >> name >> word;
      Expected& e = (*model_)[name];
      if (word == "probe") {
        std::string what;
        in >> what;
        if (what == "error") {
          e.probe_error = true;
        } else if (what == "none") {
          e.probe_none = true;
        } else {
          e.uptime = static_cast<uint32_t>(std::stoul(what));
          in >> e.family;
        }
      } else if (word == "walk") {
        std::string what;
        in >> what;
        e.walk_error = what == "error";
        e.ok = true;
      } else if (word == "record") {
        Record r;
        std::string text_field;
        in >> r.index >> r.severity >> r.group >> r.group_index >> r.location >> r.code >>
            text_field >> r.time;
        if (text_field != "-") r.description = FromHex(text_field.substr(1));
        e.records.push_back(r);
      } else if (word == "choice") {
        in >> e.worst >> e.reported;
      }
    }
  }

  static Expected Model(const std::string& name) {
    auto it = model_->find(name);
    return it == model_->end() ? Expected{} : it->second;
  }

  static TempDir* files_;
  static SnmpsimAgent* agent_;
  static ScopedEnv* conf_;
  static std::map<std::string, Expected>* model_;
  static std::string why_;
  LogCapture log_;
};

TempDir* RecordingTest::files_ = nullptr;
SnmpsimAgent* RecordingTest::agent_ = nullptr;
ScopedEnv* RecordingTest::conf_ = nullptr;
std::map<std::string, Expected>* RecordingTest::model_ = nullptr;
std::string RecordingTest::why_;

TEST_P(RecordingTest, ProbeAndReaderGiveWhatTheRecordingHolds) {
  const std::string& name = GetParam();
  const Expected want = Model(name);
  ASSERT_TRUE(want.ok) << "the recordings' model gave nothing for " << name;
  ASSERT_FALSE(want.probe_error) << "no recording makes the probe fail";

  uint32_t uptime = 77;
  uint32_t* family = nullptr;
  uint32_t family_count = 77;
  ProbeIdentity(name.c_str(), &uptime, &family, &family_count);
  std::string log = log_.Text();
  if (want.probe_none) {
    EXPECT_EQ(uptime, 0u);
    EXPECT_EQ(family, nullptr);
    EXPECT_EQ(log, name + ": Could not find printer SNMP entries.\n");
  } else {
    EXPECT_EQ(uptime, want.uptime);
    EXPECT_EQ(Dotted(family, family_count), want.family);
    EXPECT_EQ(log, "");
  }
  FreeOid(family);

  int32_t walk_result = -12345;
  AlertRecord* list = ReadAlertTable(name.c_str(), &walk_result);
  const std::string walk_log = log_.Text().substr(log.size());
  if (want.walk_error) {
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(walk_result, 2) << "noSuchName";
    EXPECT_EQ(walk_log, name + ": Error querying printer\n\t" + OVsnmpErrString(2) + "\n");
  } else {
    EXPECT_EQ(walk_result, 0);
    EXPECT_EQ(walk_log, "");
    EXPECT_EQ(Flatten(list), want.records);
    EXPECT_EQ(Position(list, SelectWorstAlert(list)), want.worst) << "worst alert";
    EXPECT_EQ(Position(list, SelectReportedAlert(list)), want.reported) << "reported alert";
  }
  FreeAlertList(list);
}

INSTANTIATE_TEST_SUITE_P(Recordings, RecordingTest, ::testing::ValuesIn(RecordingNames()),
                         [](const auto& info) {
                           std::string id = info.param;
                           std::replace(id.begin(), id.end(), '-', '_');
                           return id;
                         });

// Values read off the recordings by hand, so that the model is not the only
// judge.
using SpotCheck = RecordingTest;

TEST_F(SpotCheck, DescriptionBytesKeepZeroAndHighBytes) {
  int32_t walk_result = -1;
  AlertRecord* list = ReadAlertTable("description-bytes", &walk_result);
  const auto got = Flatten(list);
  FreeAlertList(list);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].description, "Papier leer \xe2\x80\x93 Fach 2");
  EXPECT_EQ(got[1].description, std::string("Toner\0low \xe9\xff", 12));
}

TEST_F(SpotCheck, IndexWithTheHighBitAndUptimeAtTheTop) {
  int32_t walk_result = -1;
  AlertRecord* list = ReadAlertTable("index-high-bit", &walk_result);
  const auto got = Flatten(list);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1].index, -1);
  EXPECT_EQ(SelectWorstAlert(list)->index, 5);
  EXPECT_EQ(SelectReportedAlert(list)->index, -1);
  FreeAlertList(list);

  uint32_t uptime = 0;
  uint32_t* family = nullptr;
  uint32_t count = 0;
  ProbeIdentity("times-high-bit", &uptime, &family, &count);
  EXPECT_EQ(uptime, 4294967295u);
  EXPECT_EQ(Dotted(family, count), ".1.3.6.1.4.1.808.8.62.1.1");
  FreeOid(family);
}

TEST_F(SpotCheck, DowngradedWarningsAndEmptyTable) {
  int32_t walk_result = -1;
  AlertRecord* list = ReadAlertTable("warning-downgraded", &walk_result);
  for (const Record& r : Flatten(list)) EXPECT_EQ(r.severity, kSeverityOther) << r;
  EXPECT_EQ(StatusForSeverity(SelectWorstAlert(list)->severity), 2);
  FreeAlertList(list);

  walk_result = -1;
  EXPECT_EQ(ReadAlertTable("empty-table", &walk_result), nullptr);
  EXPECT_EQ(walk_result, 0);
}

TEST_F(SpotCheck, ThousandRowsInTableOrder) {
  int32_t walk_result = -1;
  AlertRecord* list = ReadAlertTable("table-1000-rows", &walk_result);
  const auto got = Flatten(list);
  FreeAlertList(list);
  ASSERT_EQ(got.size(), 1000u);
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].index, static_cast<int32_t>(i + 1));
    EXPECT_EQ(got[i].time, 100000u + i + 1);
  }
  EXPECT_EQ(got[249].description, "Tray 1 empty");
  EXPECT_EQ(got[249].severity, kSeverityWarning);
}

TEST_F(SpotCheck, UnknownPrinterIsLoggedAsAFailedQuery) {
  uint32_t uptime = 5;
  uint32_t* family = nullptr;
  uint32_t count = 5;
  // Not in the configuration: the name itself is the peer, and it resolves
  // nowhere (the .invalid domain never does).
  ProbeIdentity("no-such-printer.invalid", &uptime, &family, &count);
  EXPECT_EQ(uptime, 0u);
  EXPECT_EQ(family, nullptr);
  const std::string log = log_.Text();
  EXPECT_EQ(log.rfind("no-such-printer.invalid: Error querying printer\n\t", 0), 0u) << log;
}

}  // namespace
