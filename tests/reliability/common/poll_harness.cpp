#include "poll_harness.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "ovwdb_runner.h"

namespace zov::reliability {

NvServiceTestFn LoadPlugin(std::string* why) {
  void* handle = dlopen(ZOV_PLUGIN_FILE, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    *why = std::string("cannot load the plug-in: ") + dlerror();
    return nullptr;
  }
  // Never closed: the plug-in stays loaded for the life of the process, as
  // in the platform.
  auto poll = reinterpret_cast<NvServiceTestFn>(dlsym(handle, "NvServiceTest"));
  if (poll == nullptr) *why = "the plug-in exports no NvServiceTest";
  return poll;
}

bool PrepareDatabase(const std::vector<std::string>& names, std::string* why) {
  if (RunOvwdb({"create-field", kField, "integer"}).exit_code != 0) {
    *why = "ovwdb create-field failed";
    return false;
  }
  for (const std::string& name : names) {
    ToolResult r = RunOvwdb({"add-object", name});
    if (r.exit_code != 0) {
      *why = "ovwdb add-object " + name + " failed: " + r.err;
      return false;
    }
  }
  return true;
}

bool ReadField(const std::string& name, int32_t* value) {
  ToolResult r = RunOvwdb({"get", name, kField});
  if (r.exit_code != 0) return false;
  *value = static_cast<int32_t>(std::stol(r.out));
  return true;
}

std::string ReadFrom(const std::string& path, size_t offset) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  in.seekg(static_cast<std::streamoff>(offset));
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

size_t FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace zov::reliability
