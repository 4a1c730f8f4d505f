// The shared log open on pslog.txt in a fresh working directory for the life
// of the object, so that a test can read back the records a stage wrote.
#ifndef ZOV_TESTS_UNIT_SUPPORT_LOG_CAPTURE_H_
#define ZOV_TESTS_UNIT_SUPPORT_LOG_CAPTURE_H_

#include <string>

class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  bool ok() const { return ok_; }
  std::string Text() const;

 private:
  bool ok_ = false;
  bool open_ = false;
  bool had_drive_ = false;
  std::string old_drive_;
  std::string old_cwd_;
  std::string dir_;
};

#endif  // ZOV_TESTS_UNIT_SUPPORT_LOG_CAPTURE_H_
