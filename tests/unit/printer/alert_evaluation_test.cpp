#include "printer/alert_evaluation.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

struct AlertRow {
  uint32_t index;  // as the agent sends it; the record keeps it signed
  int32_t severity;
  uint32_t time;
  std::optional<std::string> description = std::string("Alert");
};

// Records linked in the given order, released by the destructor.
class List {
 public:
  explicit List(const std::vector<AlertRow>& rows) : records_(rows.size()) {
    for (size_t i = 0; i < rows.size(); ++i) {
      AlertRecord& r = records_[i];
      r = AlertRecord{};
      r.index = static_cast<int32_t>(rows[i].index);
      r.severity = rows[i].severity;
      r.time = rows[i].time;
      if (rows[i].description) {
        const std::string& d = *rows[i].description;
        r.description = static_cast<uint8_t*>(std::calloc(d.size() + 1, 1));
        std::memcpy(r.description, d.data(), d.size());
        r.description_length = static_cast<uint32_t>(d.size());
      }
      r.next = i + 1 < rows.size() ? &records_[i + 1] : nullptr;
    }
  }
  ~List() {
    for (AlertRecord& r : records_) std::free(r.description);
  }
  List(const List&) = delete;
  List& operator=(const List&) = delete;

  const AlertRecord* head() const { return records_.empty() ? nullptr : &records_[0]; }
  // Position of a chosen record in the list, -1 for none.
  int Position(const AlertRecord* r) const {
    for (size_t i = 0; i < records_.size(); ++i) {
      if (&records_[i] == r) return static_cast<int>(i);
    }
    return r == nullptr ? -1 : -2;
  }

 private:
  std::vector<AlertRecord> records_;
};

struct Case {
  const char* what;
  std::vector<AlertRow> records;
  int worst;     // position in the list, -1 for none
  int reported;  // position in the list, -1 for none
};

class SelectAlertTest : public ::testing::TestWithParam<Case> {};

TEST_P(SelectAlertTest, ChoosesWorstAndReported) {
  const Case& c = GetParam();
  List list(c.records);
  EXPECT_EQ(list.Position(SelectWorstAlert(list.head())), c.worst) << c.what;
  EXPECT_EQ(list.Position(SelectReportedAlert(list.head())), c.reported) << c.what;
}

const std::string kOffline = "Offline";

INSTANTIATE_TEST_SUITE_P(
    Lists, SelectAlertTest,
    ::testing::Values(
        Case{"empty list", {}, -1, -1},
        Case{"critical beats the most recent", {{1, 4, 100}, {2, 3, 50}, {3, 1, 200}}, 1, 1},
        Case{"critical Offline gives way to the most recent",
             {{1, 4, 100}, {2, 3, 50, kOffline}, {3, 1, 200}}, 1, 2},
        Case{"first critical in list order is reported, greatest index is worst",
             {{1, 3, 300}, {2, 3, 100}}, 1, 0},
        Case{"all times 0: nothing reported", {{1, 3, 0}, {2, 4, 0}}, 0, -1},
        Case{"warnings only: greatest index", {{4, 4, 0}, {9, 4, 0}}, 1, -1},
        Case{"severity 1 only: first record", {{7, 1, 10}, {8, 1, 20}}, 0, 1},
        Case{"critical Offline that is the newest is reported",
             {{1, 4, 100}, {2, 3, 600, kOffline}}, 1, 1},
        Case{"critical Offline older than a warning", {{1, 3, 200, kOffline}, {2, 4, 600}}, 0, 1},
        Case{"letter case differs: not Offline", {{1, 4, 900}, {2, 3, 100, "offline"}}, 1, 1},
        Case{"trailing blank: not Offline", {{1, 4, 900}, {2, 3, 100, "Offline "}}, 1, 1},
        Case{"prefix of Offline: not Offline", {{1, 4, 900}, {2, 3, 100, "Offlin"}}, 1, 1},
        Case{"compared up to the first zero byte",
             {{1, 4, 900}, {2, 3, 100, std::string("Offline\0jam", 11)}}, 1, 0},
        Case{"empty description is not Offline", {{1, 4, 900}, {2, 3, 100, ""}}, 1, 1},
        Case{"critical without description still counts",
             {{1, 4, 500}, {2, 3, 0, std::nullopt}}, 1, 1},
        Case{"critical with time 0 among timed alerts", {{1, 4, 500}, {2, 3, 0}}, 1, 1},
        Case{"index with the high bit is never the worst",
             {{0xFFFFFFFFu, 3, 200, "Fuser"}, {5, 4, 100}}, 1, 0},
        Case{"only negative indexes: the first record", {{0x80000000u, 3, 1}, {0xFFFFFFF0u, 4, 2}},
             0, 0},
        Case{"index 0 beats the start of -1", {{0, 4, 1}}, 0, 0},
        Case{"equal indexes: the earlier stays", {{3, 3, 1}, {3, 3, 2}}, 0, 0},
        Case{"critical found after warnings", {{9, 4, 1}, {2, 3, 1}, {8, 4, 1}}, 1, 1},
        Case{"times compared unsigned",
             {{1, 4, 2147483647u}, {2, 4, 4294967295u}, {3, 4, 2147483648u}}, 2, 1},
        Case{"equal times: the earlier stays", {{1, 4, 500}, {2, 4, 500}}, 1, 0}),
    [](const auto& info) { return std::to_string(info.index); });

TEST(AlertIdentity, TimeElseIndex) {
  struct {
    uint32_t index, time;
    int32_t expected;
  } cases[] = {{3, 5400, 5400}, {3, 0, 3}, {0xFFFFFFFFu, 0, -1}, {3, 4294967295u, -1},
               {0, 0, 0}, {7, 2147483648u, INT32_MIN}};
  for (const auto& c : cases) {
    AlertRecord r{};
    r.index = static_cast<int32_t>(c.index);
    r.time = c.time;
    EXPECT_EQ(AlertIdentity(r), c.expected) << c.index << " " << c.time;
  }
}

TEST(StatusForSeverity, CriticalWarningElseNormal) {
  const std::pair<int32_t, int32_t> cases[] = {{3, 4}, {4, 3}, {1, 2}, {0, 2}, {2, 2}, {5, 2}, {-1, 2}};
  for (const auto& [severity, status] : cases) {
    EXPECT_EQ(StatusForSeverity(severity), status) << severity;
  }
}

}  // namespace
