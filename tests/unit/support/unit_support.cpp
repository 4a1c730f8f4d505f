#include "unit_support.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "log/named_mutex.h"
#include "log/shared_log.h"

namespace zov::test {

ScratchDir::ScratchDir() {
  std::error_code ec;
  old_cwd_ = std::filesystem::current_path(ec).string();
  std::string pattern = (std::filesystem::temp_directory_path(ec) / "zov-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) return;
  dir_ = pattern;
  if (chdir(dir_.c_str()) != 0) return;
  if (const char* drive = std::getenv("NV_DRIVE")) old_drive_ = drive;
  unsetenv("NV_DRIVE");
  SetSystemMutexDirectoryForTesting(dir_.c_str());
  ok_ = true;
}

ScratchDir::~ScratchDir() {
  SetSystemMutexDirectoryForTesting(nullptr);
  if (old_drive_) {
    setenv("NV_DRIVE", old_drive_->c_str(), 1);
  } else {
    unsetenv("NV_DRIVE");
  }
  if (!old_cwd_.empty() && chdir(old_cwd_.c_str()) != 0) {
    // The directory is removed by its full path anyway.
  }
  std::error_code ec;
  if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
}

std::optional<std::string> ScratchDir::Read(const std::string& name) const {
  std::ifstream in(File(name), std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

LogCapture::LogCapture() {
  if (!ScratchDir::ok()) return;
  LogOpen(1);
  open_ = true;
}

LogCapture::~LogCapture() {
  if (open_) LogClose();
}

}  // namespace zov::test
