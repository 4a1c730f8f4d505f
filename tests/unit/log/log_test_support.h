// A private directory per test as the working directory and the home of the
// lock file, so that tests never touch /tmp/vlmIOMutex or each other's logs.
#ifndef ZOV_TESTS_UNIT_LOG_LOG_TEST_SUPPORT_H_
#define ZOV_TESTS_UNIT_LOG_LOG_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

std::optional<std::string> ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& text);
void MakeDirectories(const std::string& path);
// A deadline for a lock nobody else should hold for long.
inline std::chrono::steady_clock::time_point WaitLimit() {
  return std::chrono::steady_clock::now() + std::chrono::seconds(10);
}

class LogDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::string PslogText() const;

  std::string dir_;
  std::string old_cwd_;
};

#endif  // ZOV_TESTS_UNIT_LOG_LOG_TEST_SUPPORT_H_
