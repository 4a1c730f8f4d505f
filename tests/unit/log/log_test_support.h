// The log tests' fixture: a private working folder per test (ScratchDir of
// unit_support.h), which also holds the lock file.
#ifndef ZOV_TESTS_UNIT_LOG_LOG_TEST_SUPPORT_H_
#define ZOV_TESTS_UNIT_LOG_LOG_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "unit_support.h"

using zov::test::ReadFile;
using zov::test::WaitLimit;
using zov::test::WriteFile;

// One call that writes text, with (l = 1) or without the log asked for.
inline void LogCall(int l, const char* text) {
  LogOpen(l);
  LogText(text);
  LogClose();
}

// Descriptors of this process open on the file; none when it does not exist.
inline int OpenDescriptors(const std::string& file) {
  int count = 0;
  std::error_code ec;
  const std::filesystem::path target = std::filesystem::canonical(file, ec);
  if (ec) return 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    std::error_code ignored;
    if (std::filesystem::read_symlink(entry.path(), ignored) == target) ++count;
  }
  return count;
}

class LogDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(scratch_.ok()); }
  std::string PslogText() const { return scratch_.Read("pslog.txt").value_or("<no file>"); }

  zov::test::ScratchDir scratch_;
  const std::string dir_ = scratch_.path();
};

#endif  // ZOV_TESTS_UNIT_LOG_LOG_TEST_SUPPORT_H_
