// Runs a test inside a fresh working directory with the shared log open on
// pslog.txt there, so that the records a stage writes can be read back.
#ifndef ZOV_TESTS_UNIT_PLATFORM_LOG_CAPTURE_H_
#define ZOV_TESTS_UNIT_PLATFORM_LOG_CAPTURE_H_

#include <string>

class LogCapture {
 public:
  LogCapture();   // mkdtemp, chdir, NV_DRIVE unset, LogOpen(1)
  ~LogCapture();  // LogClose, chdir back, directory removed
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  bool ok() const { return ok_; }
  // Everything written to the log so far.
  std::string Text() const;

 private:
  bool ok_ = false;
  bool open_ = false;
  std::string old_cwd_;
  std::string dir_;
  std::string old_drive_;
  bool had_drive_ = false;
};

#endif  // ZOV_TESTS_UNIT_PLATFORM_LOG_CAPTURE_H_
