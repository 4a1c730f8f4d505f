// What every suite that polls through the built plug-in sets up: a working
// directory holding NVSNMP_CONF and the object database, the SNMP library's
// timeout, retries and trap port, NV_DRIVE unset, and a way to call the
// plug-in — loaded into this process as the platform loads it, or through a
// runner command in a process of its own (ZOV_POLL_RUNNER, for example the
// 32-bit DLL's runner under Wine; the built Linux runner when it is unset),
// with the Linux runner's arguments and
// output. Polls run in the rig's current directory, so pslog.txt lands
// there whichever way the plug-in is called.
//
// Set up before starting threads (the environment is changed with setenv).
#ifndef ZOV_TESTS_SUPPORT_POLL_RIG_H_
#define ZOV_TESTS_SUPPORT_POLL_RIG_H_

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <type_traits>
#include <vector>

#include "support/agents.h"

namespace zov::test {

enum class PollWay {
  kInProcess,  // dlopen the plug-in and call NvServiceTest
  kRunner,     // $ZOV_POLL_RUNNER (default: the built runner) [--options TEXT] ADDRESS... as a child process
};
const char* PollWayName(PollWay way);
inline void PrintTo(PollWay way, std::ostream* os) { *os << PollWayName(way); }

// The built plug-in and runner.
std::string PluginFile();
std::string RunnerFile();

struct RigSettings {
  PollWay way = PollWay::kInProcess;
  int timeout_ms = 1000;  // NVSNMP_TIMEOUT_MS
  int retries = 1;        // NVSNMP_RETRIES
  int trap_port = 9;      // NVSNMP_TRAP_PORT; the discard port sends traps nowhere
};

class PollRig {
 public:
  PollRig() = default;
  ~PollRig();
  PollRig(const PollRig&) = delete;
  PollRig& operator=(const PollRig&) = delete;

  // False with a reason when the plug-in or the runner cannot be had.
  bool Start(const RigSettings& settings, std::string* why);

  // Files in the suite's directory (nvsnmp.conf is there).
  std::string File(const std::string& name) const { return dir_.File(name); }
  bool Route(const std::vector<NvsnmpConfLine>& lines) const;

  // The current directory for polls: the suite's own, or a fresh one per test
  // with its own object database. Leave returns to where the test started.
  void Enter();
  void EnterFresh();
  void Leave();
  // A file in the current directory.
  std::string Here(const std::string& name) const { return here_ + "/" + name; }

  // Defines VlmLastAlert and adds the objects to the current database.
  bool AddPrinters(const std::vector<std::string>& names, std::string* why) const;
  std::optional<int32_t> Field(const std::string& name) const;
  bool SetField(const std::string& name, int32_t value) const;

  // One call (a null address or options are passed as absent), and calls in
  // turn, through one runner process when that is the way. A call that gives
  // no status (the runner failed) is -1, with the test failed.
  int Poll(const char* address, const char* options) const;
  std::vector<int> PollEach(const std::vector<std::string>& addresses, const char* options) const;

  // pslog.txt in the current directory: its text from byte `from` on (lines
  // end in LF, also where a Windows runner wrote CR LF), its size in bytes,
  // and one printer's records in order (each record's first line, without
  // "NAME: ").
  std::string Log(size_t from = 0) const;
  size_t LogSize() const;
  std::vector<std::string> Records(const std::string& name) const;

 private:
  using NvServiceTestFn = int (*)(const char*, const char*);

  std::vector<int> RunRunner(const std::vector<const char*>& addresses, const char* options) const;

  PollWay way_ = PollWay::kInProcess;
  NvServiceTestFn call_ = nullptr;
  std::vector<std::string> runner_;
  TempDir dir_;
  std::unique_ptr<TempDir> fresh_;
  std::vector<std::unique_ptr<ScopedEnv>> env_;
  std::unique_ptr<ScopedEnv> db_;
  std::string here_;
  std::string old_cwd_;
};

// Why a suite's shared state cannot serve its tests (empty when all is
// ready), and whether that means nothing to test rather than a failure.
struct SuiteReadiness {
  std::string why;
  bool skip = false;
};

// The fixture pattern of every suite that starts agents. State derives from
// SuiteReadiness and makes itself ready in its static Prepare(State*), or
// Prepare(State*, PollWay) for a suite that polls, at the suite's first test;
// the suite's other tests share it, and it is deleted after the suite. With
// Base ::testing::TestWithParam<PollWay>, the parameter is the way the
// plug-in is called.
template <typename State, typename Base = ::testing::Test>
class AgentSuite : public Base {
 protected:
  static void TearDownTestSuite() {
    delete state_;
    state_ = nullptr;
  }
  void SetUp() override {
    if (state_ == nullptr) {
      state_ = new State;
      if constexpr (requires { State::Prepare(state_, PollWay::kInProcess); }) {
        State::Prepare(state_, Way());
      } else {
        State::Prepare(state_);
      }
    }
    if (state_->skip) GTEST_SKIP() << state_->why;
    ASSERT_EQ(state_->why, "");
  }

  static inline State* state_ = nullptr;

 private:
  PollWay Way() const {
    if constexpr (std::is_base_of_v<::testing::WithParamInterface<PollWay>, Base>) {
      return this->GetParam();
    } else {
      return PollWay::kInProcess;
    }
  }
};

// A suite that polls through the plug-in: its state holds the rig too. Each
// test runs in the rig's directory or, with kFresh, in one of its own with
// its own object database.
struct SuiteState : SuiteReadiness {
  PollRig rig;
};

template <typename State, bool kFresh = false, typename Base = ::testing::Test>
class PollSuite : public AgentSuite<State, Base> {
 protected:
  using AgentSuite<State, Base>::state_;
  void SetUp() override {
    AgentSuite<State, Base>::SetUp();
    if (::testing::Test::IsSkipped() || ::testing::Test::HasFatalFailure()) return;
    if (kFresh) {
      state_->rig.EnterFresh();
    } else {
      state_->rig.Enter();
    }
  }
  void TearDown() override {
    if (state_ != nullptr) state_->rig.Leave();
  }

  static PollRig& Rig() { return state_->rig; }
};

// Milliseconds a call took.
template <typename F>
double TimedMs(F&& call) {
  const auto start = std::chrono::steady_clock::now();
  call();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// A file's bytes from offset on ("" when it is missing).
std::string ReadFrom(const std::string& path, size_t offset);
// A text's lines (the last one without its newline if it has none).
std::vector<std::string> Lines(const std::string& text);

}  // namespace zov::test

#endif  // ZOV_TESTS_SUPPORT_POLL_RIG_H_
