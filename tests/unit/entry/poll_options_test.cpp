#include "entry/poll_options.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <string>

#include "snmp/nvsnmp.h"

namespace {

struct OptionCase {
  const char* options;
  int32_t critical;
  int32_t warning;
  int32_t other;
  bool log;
  bool dump;
  int32_t seconds = kDefaultPollSeconds;  // the poll's time limit (t)
};

void PrintTo(const OptionCase& c, std::ostream* os) {
  *os << (c.options == nullptr ? "(absent)" : "\"" + std::string(c.options) + "\"");
}

class ParseOptionsTest : public ::testing::TestWithParam<OptionCase> {};

TEST_P(ParseOptionsTest, GivesTheFieldsAndDumpFlag) {
  const OptionCase& c = GetParam();
  std::atomic_ref<int>(OVsnmpDumpPacket).store(0);
  PollOptions parsed;
  ParseOptions(c.options, &parsed);
  EXPECT_EQ(parsed.critical_trap, c.critical);
  EXPECT_EQ(parsed.warning_trap, c.warning);
  EXPECT_EQ(parsed.other_trap, c.other);
  EXPECT_EQ(parsed.log, c.log);
  EXPECT_EQ(std::atomic_ref<int>(OVsnmpDumpPacket).load(), c.dump ? 1 : 0);
  EXPECT_EQ(parsed.time_limit_seconds, c.seconds);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, ParseOptionsTest,
    ::testing::Values(
        // options                     crit warn oth  log    dump
        OptionCase{"-l -d -c 3 -w 2 -o 1", 3, 2, 1, true, true},
        OptionCase{"-lc5d", 5, 0, 0, true, true},
        OptionCase{"-c -w 4", 0, 4, 0, false, false},
        OptionCase{"-c -5", -5, 0, 0, false, false},
        OptionCase{"-c3 w5", 3, 0, 0, false, false},
        OptionCase{"-c l", 0, 0, 0, true, false},
        OptionCase{"-c w5", 0, 5, 0, false, false}));

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, ParseOptionsTest,
    ::testing::Values(
        OptionCase{nullptr, 0, 0, 0, false, false},
        OptionCase{"", 0, 0, 0, false, false},
        OptionCase{"l", 0, 0, 0, false, false},      // the l is the skipped character
        OptionCase{"-l", 0, 0, 0, true, false},
        OptionCase{"--l", 0, 0, 0, true, false},     // second - ignored
        OptionCase{" l", 0, 0, 0, true, false},      // the space is the skipped character
        OptionCase{"  l", 0, 0, 0, false, false},    // second space ends the first token
        OptionCase{"-c 7", 7, 0, 0, false, false},
        OptionCase{"-c7", 7, 0, 0, false, false},
        OptionCase{"-c", 0, 0, 0, false, false},     // c at the very end
        OptionCase{"-l -c", 0, 0, 0, true, false},
        OptionCase{"-c ", 0, 0, 0, false, false},
        OptionCase{"-c 3 -c 9", 9, 0, 0, false, false},
        OptionCase{"-x -l", 0, 0, 0, true, false},
        OptionCase{"-L -D -C5", 0, 0, 0, false, false},  // upper case is ignored
        OptionCase{"-d", 0, 0, 0, false, true},
        OptionCase{"d", 0, 0, 0, false, false},
        OptionCase{"-w+8", 0, 8, 0, false, false},
        OptionCase{"-o -0", 0, 0, 0, false, false},
        OptionCase{"-c -5l", -5, 0, 0, true, false},  // the 5 is skipped as a digit
        OptionCase{"-c 12w3", 12, 3, 0, false, false},
        OptionCase{"-c\t5", 5, 0, 0, false, false},   // tab: read by the scan, then ignored
        OptionCase{"-l\t-d", 0, 0, 0, true, true},    // tabs separate nothing
        OptionCase{"-c -w4", 0, 4, 0, false, false},
        OptionCase{"-c +l", 0, 0, 0, true, false},
        OptionCase{"-c   4   -l", 4, 0, 0, true, false},
        OptionCase{"-c4    l", 4, 0, 0, false, false},
        OptionCase{"-c 2147483647", INT32_MAX, 0, 0, false, false},
        OptionCase{"-c -2147483648", INT32_MIN, 0, 0, false, false},
        // Beyond 32 bits a number saturates; the digits are still skipped.
        OptionCase{"-c 2147483648l", INT32_MAX, 0, 0, true, false},
        OptionCase{"-c 99999999999999999999999999 -w 2", INT32_MAX, 2, 0, false, false},
        OptionCase{"-c -99999999999999999999999999d", INT32_MIN, 0, 0, false, true},
        OptionCase{"-o 00000000000000000000000042", 0, 0, 42, false, false}));

// t: read like the trap numbers, never left unbounded, never changing the
// options after it.
INSTANTIATE_TEST_SUITE_P(
    TimeLimit, ParseOptionsTest,
    ::testing::Values(
        OptionCase{nullptr, 0, 0, 0, false, false, kDefaultPollSeconds},
        OptionCase{"-l -w 2", 0, 2, 0, true, false, kDefaultPollSeconds},
        OptionCase{"-t 5 -w 2", 0, 2, 0, false, false, 5},
        OptionCase{"-t5w2", 0, 2, 0, false, false, 5},
        OptionCase{"-l -t 1", 0, 0, 0, true, false, 1},
        OptionCase{"-t 0 -w 2", 0, 2, 0, false, false, kDefaultPollSeconds},
        OptionCase{"-t -5", 0, 0, 0, false, false, kDefaultPollSeconds},
        OptionCase{"-t -w 2", 0, 2, 0, false, false, kDefaultPollSeconds},
        OptionCase{"-t 3601", 0, 0, 0, false, false, kMaxPollSeconds},
        OptionCase{"-t 99999999999", 0, 0, 0, false, false, kMaxPollSeconds},
        OptionCase{"-t 7 -t 9", 0, 0, 0, false, false, 9}));

TEST(ParseOptionsDumpTest, DumpFlagIsOnlySetNeverCleared) {
  // Clearing is the entry point's job at the start of each call.
  std::atomic_ref<int>(OVsnmpDumpPacket).store(1);
  PollOptions parsed;
  ParseOptions("-l", &parsed);
  EXPECT_EQ(std::atomic_ref<int>(OVsnmpDumpPacket).load(), 1);
  std::atomic_ref<int>(OVsnmpDumpPacket).store(0);
}

TEST(ParseOptionsDumpTest, LeavesFieldsItDoesNotSeeAsGiven) {
  PollOptions parsed;
  parsed.warning_trap = 6;
  ParseOptions("-c 1", &parsed);
  EXPECT_EQ(parsed.critical_trap, 1);
  EXPECT_EQ(parsed.warning_trap, 6);
}

}  // namespace
