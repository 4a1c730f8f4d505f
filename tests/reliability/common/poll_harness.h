// What the reliability tests share: the built plug-in loaded as the platform
// loads it, an object database prepared with ovwdb, and the log read back.
#ifndef ZOV_TESTS_RELIABILITY_COMMON_POLL_HARNESS_H_
#define ZOV_TESTS_RELIABILITY_COMMON_POLL_HARNESS_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace zov::reliability {

using NvServiceTestFn = int (*)(const char*, const char*);

inline constexpr char kField[] = "VlmLastAlert";

// dlopens the plug-in built beside the test (ZOV_PLUGIN_FILE); null with a
// reason when it cannot.
NvServiceTestFn LoadPlugin(std::string* why);

// Defines the field and adds one object per name in the database OVW_DB names.
bool PrepareDatabase(const std::vector<std::string>& names, std::string* why);

// VlmLastAlert of a printer object; false when ovwdb has no value.
bool ReadField(const std::string& name, int32_t* value);

// The bytes of a file from offset on ("" when it is missing).
std::string ReadFrom(const std::string& path, size_t offset);
size_t FileSize(const std::string& path);

// Milliseconds a call took.
template <typename F>
double TimedMs(F&& call) {
  const auto start = std::chrono::steady_clock::now();
  call();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// Splits a log into its lines (the last one without its newline if it has
// none); a record of two lines gives two entries.
std::vector<std::string> Lines(const std::string& text);

}  // namespace zov::reliability

#endif  // ZOV_TESTS_RELIABILITY_COMMON_POLL_HARNESS_H_
