// The t option: the poll's time limit in seconds, read like the trap
// numbers, never left unbounded and never changing the other options.
#include <gtest/gtest.h>

#include <string>

#include "entry/poll_options.h"

namespace {

struct TimeLimitCase {
  const char* options;
  int32_t seconds;
  int32_t warning;  // the option after it still counts
};

void PrintTo(const TimeLimitCase& c, std::ostream* os) {
  *os << (c.options == nullptr ? "(absent)" : "\"" + std::string(c.options) + "\"");
}

class TimeLimitOptionTest : public ::testing::TestWithParam<TimeLimitCase> {};

TEST_P(TimeLimitOptionTest, GivesTheLimitWithinItsRange) {
  const TimeLimitCase& c = GetParam();
  PollOptions parsed;
  ParseOptions(c.options, &parsed);
  EXPECT_EQ(parsed.time_limit_seconds, c.seconds);
  EXPECT_EQ(parsed.warning_trap, c.warning);
}

INSTANTIATE_TEST_SUITE_P(
    Options, TimeLimitOptionTest,
    ::testing::Values(TimeLimitCase{nullptr, kDefaultPollSeconds, 0},
                      TimeLimitCase{"-l -w 2", kDefaultPollSeconds, 2},
                      TimeLimitCase{"-t 5 -w 2", 5, 2},
                      TimeLimitCase{"-t5w2", 5, 2},
                      TimeLimitCase{"-l -t 1", 1, 0},
                      TimeLimitCase{"-t 0 -w 2", kDefaultPollSeconds, 2},
                      TimeLimitCase{"-t -5", kDefaultPollSeconds, 0},
                      TimeLimitCase{"-t -w 2", kDefaultPollSeconds, 2},
                      TimeLimitCase{"-t 3601", kMaxPollSeconds, 0},
                      TimeLimitCase{"-t 99999999999", kMaxPollSeconds, 0},
                      TimeLimitCase{"-t 7 -t 9", 9, 0}));

}  // namespace
