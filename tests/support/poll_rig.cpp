#include "support/poll_rig.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>


namespace zov::test {
namespace {

constexpr char kField[] = "VlmLastAlert";
// A runner process polls a few printers; some wait out their timeouts.
constexpr int kRunnerMs = 120000;

std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

}  // namespace

const char* PollWayName(PollWay way) { return way == PollWay::kInProcess ? "InProcess" : "Runner"; }

std::string PluginFile() { return ZOV_PLUGIN_FILE; }
std::string RunnerFile() { return ZOV_RUNNER_FILE; }

PollRig::~PollRig() { Leave(); }

bool PollRig::Start(const RigSettings& settings, std::string* why) {
  way_ = settings.way;
  if (!dir_.ok()) {
    *why = "no temporary directory";
    return false;
  }
  if (way_ == PollWay::kRunner) {
    // Unset or empty: the Linux runner built beside the plug-in.
    const char* command = std::getenv("ZOV_POLL_RUNNER");
    runner_ = Words(command != nullptr ? command : "");
    if (runner_.empty()) runner_ = {RunnerFile()};
  } else {
    // Never closed: the plug-in stays loaded for the life of the process, as
    // in the platform.
    void* handle = dlopen(ZOV_PLUGIN_FILE, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      *why = std::string("cannot load the plug-in: ") + dlerror();
      return false;
    }
    call_ = reinterpret_cast<NvServiceTestFn>(dlsym(handle, "NvServiceTest"));
    if (call_ == nullptr) {
      *why = "the plug-in exports no NvServiceTest";
      return false;
    }
  }
  auto set = [&](const char* name, const std::string& value) {
    env_.push_back(std::make_unique<ScopedEnv>(name, value.c_str()));
  };
  set("NVSNMP_CONF", File("nvsnmp.conf"));
  set("NVSNMP_TIMEOUT_MS", std::to_string(settings.timeout_ms));
  set("NVSNMP_RETRIES", std::to_string(settings.retries));
  set("NVSNMP_TRAP_PORT", std::to_string(settings.trap_port));
  env_.push_back(std::make_unique<ScopedEnv>("NV_DRIVE", nullptr));
  db_ = std::make_unique<ScopedEnv>("OVW_DB", File("ovw.db").c_str());
  here_ = dir_.path();
  return true;
}

bool PollRig::Route(const std::vector<NvsnmpConfLine>& lines) const {
  return WriteNvsnmpConf(File("nvsnmp.conf"), lines);
}

void PollRig::Enter() {
  if (old_cwd_.empty()) old_cwd_ = std::filesystem::current_path();
  std::filesystem::current_path(here_);
}

void PollRig::EnterFresh() {
  fresh_ = std::make_unique<TempDir>();
  here_ = fresh_->path();
  db_.reset();  // puts back what the next one saves and restores
  db_ = std::make_unique<ScopedEnv>("OVW_DB", Here("ovw.db").c_str());
  Enter();
}

void PollRig::Leave() {
  if (old_cwd_.empty()) return;
  std::filesystem::current_path(old_cwd_);
  old_cwd_.clear();
}

bool PollRig::AddPrinters(const std::vector<std::string>& names, std::string* why) const {
  if (RunOvwdb({"create-field", kField, "integer"}).exit_code != 0) {
    *why = "ovwdb create-field failed";
    return false;
  }
  for (const std::string& name : names) {
    ProgramResult r = RunOvwdb({"add-object", name});
    if (r.exit_code != 0) {
      *why = "ovwdb add-object " + name + " failed: " + r.err;
      return false;
    }
  }
  return true;
}

std::optional<int32_t> PollRig::Field(const std::string& name) const {
  ProgramResult r = RunOvwdb({"get", name, kField});
  if (r.exit_code != 0) return std::nullopt;
  return static_cast<int32_t>(std::stol(r.out));
}

bool PollRig::SetField(const std::string& name, int32_t value) const {
  return RunOvwdb({"set", name, kField, std::to_string(value)}).exit_code == 0;
}

int PollRig::Poll(const char* address, const char* options) const {
  if (way_ == PollWay::kInProcess) return call_(address, options);
  return RunRunner({address}, options)[0];
}

std::vector<int> PollRig::PollEach(const std::vector<std::string>& addresses, const char* options) const {
  std::vector<const char*> list;
  for (const std::string& a : addresses) list.push_back(a.c_str());
  if (way_ == PollWay::kRunner) return RunRunner(list, options);
  std::vector<int> statuses;
  for (const char* a : list) statuses.push_back(call_(a, options));
  return statuses;
}

// The runner prints "ADDRESS STATUS MEANING MILLISECONDS" for each call, in
// the order of its arguments; its summary goes to standard error.
std::vector<int> PollRig::RunRunner(const std::vector<const char*>& addresses, const char* options) const {
  std::vector<int> statuses(addresses.size(), -1);
  std::vector<std::string> argv = runner_;
  if (options != nullptr) argv.insert(argv.end(), {"--options", options});
  for (const char* a : addresses) argv.push_back(a != nullptr ? a : "--no-address");
  ChildOptions child_options;
  child_options.pipe_stdout = true;
  child_options.stderr_file = File("runner.err");
  ChildProcess child;
  std::string why;
  if (!StartChild(argv, child_options, &child, &why)) {
    ADD_FAILURE() << why;
    return statuses;
  }
  std::vector<std::string> lines;
  for (std::string line; lines.size() < addresses.size() && ReadChildLine(&child, kRunnerMs, &line);) {
    lines.push_back(line);
  }
  int wait_status = 0;
  const bool ended = WaitChild(&child, kRunnerMs, &wait_status);
  StopChild(&child);
  const std::string err = ReadFile(File("runner.err")).value_or("");
  EXPECT_TRUE(ended && WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0)
      << runner_[0] << " failed (wait status " << wait_status << "): " << err;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::vector<std::string> words = Words(lines[i]);
    const std::string want = addresses[i] != nullptr ? addresses[i] : "-";
    if (words.size() != 4 || words[0] != want) {
      ADD_FAILURE() << "runner line " << i + 1 << " is not \"" << want
                    << " STATUS MEANING MS\": " << lines[i];
      continue;
    }
    statuses[i] = std::atoi(words[1].c_str());
  }
  EXPECT_EQ(lines.size(), addresses.size()) << "runner lines";
  return statuses;
}

std::string PollRig::Log(size_t from) const {
  std::string text = ReadFrom(Here("pslog.txt"), from);
  if (way_ != PollWay::kRunner) return text;
  // The runner may be a Windows program, whose text files end their lines
  // with CR LF: read the log as text in either convention.
  std::string lines;
  lines.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' || i + 1 >= text.size() || text[i + 1] != '\n') lines += text[i];
  }
  return lines;
}
size_t PollRig::LogSize() const {
  std::error_code error;
  const auto size = std::filesystem::file_size(Here("pslog.txt"), error);
  return error ? 0 : static_cast<size_t>(size);
}

std::vector<std::string> PollRig::Records(const std::string& name) const {
  std::vector<std::string> records;
  const std::string head = name + ": ";
  for (const std::string& line : Lines(Log())) {
    if (line.rfind(head, 0) == 0) records.push_back(line.substr(head.size()));
  }
  return records;
}

std::string ReadFrom(const std::string& path, size_t offset) {
  const std::string text = ReadFile(path).value_or("");
  return offset < text.size() ? text.substr(offset) : "";
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace zov::test
