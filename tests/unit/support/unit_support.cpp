#include "unit_support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <system_error>

#include "log/named_mutex.h"
#include "log/shared_log.h"

namespace zov::test {
namespace {

namespace fs = std::filesystem;

// Sets an environment variable for this process, or removes it for null.
void SetEnv(const char* name, const char* value) {
#if defined(_WIN32)
  _putenv_s(name, value ? value : "");  // an empty value removes it here
#else
  if (value) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
#endif
}

}  // namespace

ScratchDir::ScratchDir() {
  std::error_code ec;
  old_cwd_ = fs::current_path(ec).string();
  const fs::path base = fs::temp_directory_path(ec);
  std::random_device random;
  for (int attempt = 0; attempt < 100 && dir_.empty(); ++attempt) {
    const fs::path candidate = base / ("zov-test-" + std::to_string(random()));
    if (fs::create_directory(candidate, ec)) dir_ = candidate.string();
  }
  if (dir_.empty()) return;
  fs::current_path(dir_, ec);
  if (ec) return;
  if (const char* drive = std::getenv("NV_DRIVE")) old_drive_ = drive;
  SetEnv("NV_DRIVE", nullptr);
  SetSystemMutexDirectoryForTesting(dir_.c_str());
  ok_ = true;
}

ScratchDir::~ScratchDir() {
  SetSystemMutexDirectoryForTesting(nullptr);
  SetEnv("NV_DRIVE", old_drive_ ? old_drive_->c_str() : nullptr);
  std::error_code ec;
  if (!old_cwd_.empty()) fs::current_path(old_cwd_, ec);  // removed by its full path anyway
  if (!dir_.empty()) fs::remove_all(dir_, ec);
}

std::string ScratchDir::NvDriveLog(bool make_folder) {
  std::error_code ec;
  if (make_folder) fs::create_directories(File("usr/ov/log"), ec);
  SetEnv("NV_DRIVE", dir_.c_str());
  return File("usr/ov/log/vlmpslog.txt");
}

std::optional<std::string> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
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
