// The log tests' fixture: a private working folder per test (ScratchDir of
// unit_support.h), which also holds the lock file.
#ifndef ZOV_TESTS_UNIT_LOG_LOG_TEST_SUPPORT_H_
#define ZOV_TESTS_UNIT_LOG_LOG_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "unit_support.h"

using zov::test::WaitLimit;

inline std::optional<std::string> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}
inline void WriteWholeFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}
inline void MakeDirectories(const std::string& path) { std::filesystem::create_directories(path); }

class LogDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(scratch_.ok()); }
  std::string PslogText() const { return scratch_.Read("pslog.txt").value_or("<no file>"); }

  zov::test::ScratchDir scratch_;
  const std::string dir_ = scratch_.path();
};

#endif  // ZOV_TESTS_UNIT_LOG_LOG_TEST_SUPPORT_H_
