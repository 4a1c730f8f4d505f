// Files for every tier (header only, the standard library alone, so the unit,
// integration and Windows trees all take it without the product's libraries):
//   TempDir    a fresh folder under the system's temporary folder, removed with its contents
//   ReadFile   a file's bytes exactly as stored, none when it cannot be read
//   WriteFile  bytes written exactly as given; false when they could not be
#ifndef ZOV_TESTS_SUPPORT_FILES_H_
#define ZOV_TESTS_SUPPORT_FILES_H_

#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <system_error>

namespace zov::test {

inline std::optional<std::string> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline bool WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  return static_cast<bool>(out.flush());
}

class TempDir {
 public:
  TempDir() {
    std::error_code ec;
    const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
    std::random_device random;
    for (int attempt = 0; attempt < 100 && !ec && path_.empty(); ++attempt) {
      const std::filesystem::path candidate = base / ("zov-test-" + std::to_string(random()));
      if (std::filesystem::create_directory(candidate, ec)) path_ = candidate.string();
    }
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  std::optional<std::string> Read(const std::string& name) const { return ReadFile(File(name)); }

 private:
  std::string path_;
};

}  // namespace zov::test

#endif  // ZOV_TESTS_SUPPORT_FILES_H_
