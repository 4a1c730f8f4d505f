// The shared log open on pslog.txt in a fresh working directory for the life
// of the object, so that a test can read back the records a stage wrote.
#ifndef ZOV_TESTS_UNIT_PRINTER_PRINTER_LOG_H_
#define ZOV_TESTS_UNIT_PRINTER_PRINTER_LOG_H_

#include <string>

class PrinterLog {
 public:
  PrinterLog();
  ~PrinterLog();
  PrinterLog(const PrinterLog&) = delete;
  PrinterLog& operator=(const PrinterLog&) = delete;

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

#endif  // ZOV_TESTS_UNIT_PRINTER_PRINTER_LOG_H_
