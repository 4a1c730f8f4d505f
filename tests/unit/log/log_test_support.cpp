#include "log_test_support.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "log/named_mutex.h"

std::optional<std::string> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteWholeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

void MakeDirectories(const std::string& path) { std::filesystem::create_directories(path); }

void LogDirectoryTest::SetUp() {
  char pattern[] = "/tmp/zov-log-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  dir_ = pattern;
  old_cwd_ = std::filesystem::current_path().string();
  std::filesystem::current_path(dir_);
  unsetenv("NV_DRIVE");
  SetSystemMutexDirectoryForTesting(dir_.c_str());
}

void LogDirectoryTest::TearDown() {
  SetSystemMutexDirectoryForTesting(nullptr);
  unsetenv("NV_DRIVE");
  std::filesystem::current_path(old_cwd_);
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

std::string LogDirectoryTest::PslogText() const {
  return ReadWholeFile(dir_ + "/pslog.txt").value_or("<no file>");
}
