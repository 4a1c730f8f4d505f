#include "unit_support.h"

#include <cstdlib>
#include <filesystem>
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
  if (!TempDir::ok()) return;
  fs::current_path(path(), ec);
  if (ec) return;
  if (const char* drive = std::getenv("NV_DRIVE")) old_drive_ = drive;
  SetEnv("NV_DRIVE", nullptr);
  SetSystemMutexDirectoryForTesting(path().c_str());
  ok_ = true;
}

ScratchDir::~ScratchDir() {
  SetSystemMutexDirectoryForTesting(nullptr);
  SetEnv("NV_DRIVE", old_drive_ ? old_drive_->c_str() : nullptr);
  std::error_code ec;
  if (!old_cwd_.empty()) fs::current_path(old_cwd_, ec);  // removed by its full path anyway
}

std::string ScratchDir::NvDriveLog(bool make_folder) {
  std::error_code ec;
  if (make_folder) fs::create_directories(File("usr/ov/log"), ec);
  SetEnv("NV_DRIVE", path().c_str());
  return File("usr/ov/log/vlmpslog.txt");
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
