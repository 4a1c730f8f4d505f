#include "log_capture.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "log/named_mutex.h"
#include "log/shared_log.h"

LogCapture::LogCapture() {
  std::error_code ec;
  old_cwd_ = std::filesystem::current_path(ec).string();
  std::string pattern = (std::filesystem::temp_directory_path(ec) / "zov-log-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) return;
  dir_ = pattern;
  if (chdir(dir_.c_str()) != 0) return;
  if (const char* drive = std::getenv("NV_DRIVE")) {
    had_drive_ = true;
    old_drive_ = drive;
  }
  unsetenv("NV_DRIVE");
  SetSystemMutexDirectoryForTesting(dir_.c_str());
  LogOpen(1);
  open_ = true;
  ok_ = std::filesystem::exists("pslog.txt", ec);
}

LogCapture::~LogCapture() {
  if (open_) LogClose();
  SetSystemMutexDirectoryForTesting(nullptr);
  if (had_drive_) setenv("NV_DRIVE", old_drive_.c_str(), 1);
  if (!old_cwd_.empty() && chdir(old_cwd_.c_str()) != 0) {
    // The directory is removed by its full path anyway.
  }
  std::error_code ec;
  if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
}

std::string LogCapture::Text() const {
  std::ifstream in(dir_ + "/pslog.txt", std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}
