// nvservicetest: the service-test runner. It plays the part of the
// platform's service-test machinery: loads the plug-in, calls NvServiceTest
// for each printer address and reports the status codes. The same program
// loads the 32-bit Windows DLL (built with mingw-w64, run under Wine).
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <psapi.h>
#else
#include <dirent.h>
#include <dlfcn.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>


namespace {

constexpr int kExitDone = 0;
constexpr int kExitNoPlugin = 1;
constexpr int kExitUsage = 2;
constexpr int kExitStackMoved = 3;  // Windows: a call broke the calling convention

constexpr char kUsage[] =
    "Usage: nvservicetest [OPTION...] [ADDRESS...]\n"
    "\n"
    "Loads the printer-status plug-in ZOV_UZAVEZIRU and polls printers through it\n"
    "the way the platform's service-test machinery does: one NvServiceTest call\n"
    "per printer address and round.\n"
    "\n"
    "  ADDRESS             a printer's host name or address, passed unchanged\n"
    "  --printers FILE     read addresses from FILE, one a line ('#' starts a\n"
    "                      comment, blank lines are ignored)\n"
    "  --no-address        make one call with the address absent (shown as -)\n"
    "  --options TEXT      the option string, passed exactly as given; without it\n"
    "                      the options are absent. For example \"-l -c 3 -w 2\":\n"
    "                        -l      log to pslog.txt (or $NV_DRIVE/usr/ov/log/vlmpslog.txt)\n"
    "                        -d      dump SNMP packets to standard error\n"
    "                        -c N    trap number for a critical alert (0: no trap)\n"
    "                        -w N    trap number for a warning alert\n"
    "                        -o N    trap number for any other alert\n"
    "  --repeat N          poll every address N times (rounds; default 1)\n"
    "  --interval SECONDS  pause between rounds (default 0; fractions allowed)\n"
    "  --threads N         make up to N calls of a round at once (default 1)\n"
    "  --json              one JSON object per call instead of a text line\n"
    "  --resources ROUNDS  after ROUNDS rounds (the warm-up) and at the end, print\n"
    "                      the process's resident set, open descriptors and, on\n"
    "                      Windows, handles to standard error\n"
#if defined(_WIN32)
    "  --plugin FILE       the plug-in to load (default: ZOV_UZAVEZIRU.dll beside\n"
    "                      this program)\n"
#else
    "  --plugin FILE       the plug-in to load (default: ../lib/ZOV_UZAVEZIRU.so\n"
    "                      next to this program)\n"
#endif
    "  --help              show this text\n"
    "  --version           show the version\n"
    "\n"
    "Each call prints: ADDRESS STATUS MEANING MILLISECONDS, for example\n"
    "  10.1.2.3 3 warning 12.4\n"
    "Status: 0 not-completed (no answer, not a vendor printer, no database),\n"
    "2 normal, 3 warning, 4 critical. A summary goes to standard error.\n"
    "\n"
    "Exit status: 0 when every call was made, 1 when the plug-in cannot be\n"
    "loaded, 2 on bad arguments.\n"
#if defined(_WIN32)
    "3 when a call left the stack pointer elsewhere than it found it (the\n"
    "plug-in does not use the platform's calling convention, __cdecl).\n"
#endif
    "\n"
    "Environment: NV_DRIVE (log location), NVSNMP_CONF and NVSNMP_* (how printers\n"
    "are reached over SNMP), OVW_DB (the object database file).\n";

struct RunnerOptions {
  std::string plugin;
  std::optional<std::string> options;
  std::vector<std::string> addresses;
  bool no_address = false;
  long repeat = 1;
  double interval_seconds = 0;
  long threads = 1;
  bool json = false;
  bool help = false;
  bool version = false;
  long resources_after = 0;  // --resources: the warm-up rounds; 0: no report
};

// One call to make: an address, or none for --no-address.
struct CallTarget {
  std::optional<std::string> address;
};

struct CallResult {
  int status = 0;
  double ms = 0;
  int stack_moved = 0;  // bytes; only measured on 32-bit Windows
};

// The platform's plain function-pointer type, with no calling convention
// named: the plug-in's NV_CALL must match it.
using ServiceTestFunction = int (*)(const char*, const char*);

#if defined(_WIN32) && defined(__i386__)
// Calls `call` as the platform does and stores how far the stack pointer
// moved across the call: 0 for __cdecl, 8 for a __stdcall function of two
// arguments. The stack pointer is put back either way, so a broken plug-in
// cannot take the runner down with it.
extern "C" __attribute__((naked, noinline)) int CheckedCall(ServiceTestFunction /*call*/,
                                                          const char* /*address*/,
                                                          const char* /*options*/,
                                                          int* /*moved*/) {
  asm("pushl %ebp\n\t"
      "movl %esp, %ebp\n\t"
      "pushl %esi\n\t"
      "movl %esp, %esi\n\t"  // the stack pointer before the arguments
      "pushl 16(%ebp)\n\t"   // options
      "pushl 12(%ebp)\n\t"   // address
      "call *8(%ebp)\n\t"
      "addl $8, %esp\n\t"    // __cdecl: the caller removes the arguments
      "movl %esp, %ecx\n\t"
      "subl %esi, %ecx\n\t"
      "movl 20(%ebp), %edx\n\t"
      "movl %ecx, (%edx)\n\t"
      "movl %esi, %esp\n\t"
      "popl %esi\n\t"
      "popl %ebp\n\t"
      "ret\n\t");
}
#else
int CheckedCall(ServiceTestFunction call, const char* address, const char* options, int* moved) {
  *moved = 0;
  return call(address, options);
}
#endif

void UsageError(const char* what, const char* value) {
  fprintf(stderr, "nvservicetest: %s%s%s\nTry 'nvservicetest --help'.\n", what,
          value != nullptr ? ": " : "", value != nullptr ? value : "");
}

bool ParseCount(const char* text, long max, long* out) {
  char* end = nullptr;
  errno = 0;
  long value = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < 1 || value > max) return false;
  *out = value;
  return true;
}

bool ParseSeconds(const char* text, double* out) {
  char* end = nullptr;
  errno = 0;
  double value = strtod(text, &end);
  if (errno != 0 || end == text || *end != '\0' || !std::isfinite(value) || value < 0 ||
      value > 86400.0) {
    return false;
  }
  *out = value;
  return true;
}

std::string Trim(const std::string& text) {
  const char* space = " \t\r\n\v\f";
  size_t first = text.find_first_not_of(space);
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(space) - first + 1);
}

// One line of any length (getline is POSIX only).
bool ReadLine(FILE* file, std::string* line) {
  line->clear();
  char chunk[512];
  while (fgets(chunk, sizeof chunk, file) != nullptr) {
    *line += chunk;
    if (line->back() == '\n') return true;
  }
  return !line->empty();
}

bool ReadPrinters(const char* path, std::vector<std::string>* addresses) {
  FILE* file = fopen(path, "r");
  if (file == nullptr) return false;
  std::string text;
  while (ReadLine(file, &text)) {
    size_t comment = text.find('#');
    if (comment != std::string::npos) text.erase(comment);
    text = Trim(text);
    if (!text.empty()) addresses->push_back(text);
  }
  fclose(file);
  return true;
}

#if defined(_WIN32)
// The plug-in beside this program, where the platform keeps its DLLs.
std::string DefaultPluginPath() {
  char self[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, self, sizeof self);
  if (length == 0 || length >= sizeof self) return "ZOV_UZAVEZIRU.dll";
  std::string dir(self, length);
  dir.erase(dir.find_last_of("\\/") + 1);
  return dir + "ZOV_UZAVEZIRU.dll";
}

// The entry point of the plug-in at `path`, or null with *error set. The
// module stays loaded until the process ends, as on the platform.
ServiceTestFunction LoadPlugin(const std::string& path, std::string* error) {
  HMODULE plugin = LoadLibraryA(path.c_str());
  if (plugin == nullptr) {
    *error = "cannot load the plug-in " + path + ": error " + std::to_string(GetLastError());
    return nullptr;
  }
  // GetProcAddress gives every entry point one type; this one has the
  // platform's.
  auto call = reinterpret_cast<ServiceTestFunction>(
      reinterpret_cast<void*>(GetProcAddress(plugin, "NvServiceTest")));
  if (call == nullptr) *error = path + " has no NvServiceTest";
  return call;
}
#else
// The plug-in built or installed with this program: ../lib beside bin/.
std::string DefaultPluginPath() {
  char self[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return "ZOV_UZAVEZIRU.so";
  self[length] = '\0';
  std::string dir(self);
  dir.erase(dir.rfind('/') + 1);
  return dir + "../lib/ZOV_UZAVEZIRU.so";
}

ServiceTestFunction LoadPlugin(const std::string& path, std::string* error) {
  // RTLD_NOW: a plug-in with a missing symbol fails here, not mid-poll. The
  // handle stays open until the process ends, as on the platform.
  void* plugin = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (plugin == nullptr) {
    *error = "cannot load the plug-in " + path + ": " + dlerror();
    return nullptr;
  }
  auto call = reinterpret_cast<ServiceTestFunction>(dlsym(plugin, "NvServiceTest"));
  if (call == nullptr) *error = path + " has no NvServiceTest";
  return call;
}
#endif

// The field a flag sets, or null when `name` is no flag.
bool* FlagField(const std::string& name, RunnerOptions* out) {
  if (name == "--help" || name == "-h") return &out->help;
  if (name == "--json") return &out->json;
  if (name == "--version") return &out->version;
  if (name == "--no-address") return &out->no_address;
  return nullptr;
}

bool TakesValue(const std::string& name) {
  for (const char* option :
       {"--plugin", "--options", "--printers", "--repeat", "--interval", "--threads", "--resources"}) {
    if (name == option) return true;
  }
  return false;
}

// Sets an option that takes a value; an exit status, or -1 to go on.
int SetValueOption(const std::string& name, const char* text, RunnerOptions* out) {
  bool ok = true;
  if (name == "--plugin") {
    out->plugin = text;
  } else if (name == "--options") {
    out->options = text;
  } else if (name == "--printers") {
    if (!ReadPrinters(text, &out->addresses)) {
      UsageError("cannot read the printers file", text);
      return kExitUsage;
    }
  } else if (name == "--repeat") {
    ok = ParseCount(text, 100000000, &out->repeat);
  } else if (name == "--threads") {
    ok = ParseCount(text, 1024, &out->threads);
  } else if (name == "--resources") {
    ok = ParseCount(text, 100000000, &out->resources_after);
  } else {
    ok = ParseSeconds(text, &out->interval_seconds);
  }
  if (!ok) {
    UsageError(("bad value for " + name).c_str(), text);
    return kExitUsage;
  }
  return -1;
}

// The option at argv[*i]; a value in the next argument moves *i on. An exit
// status, or -1 to go on.
int ParseOption(int argc, char** argv, int* i, RunnerOptions* out) {
  const std::string arg = argv[*i];
  // --name=value and --name value are the same.
  std::string name = arg;
  std::optional<std::string> inline_value;
  size_t equals = arg.find('=');
  if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
    name = arg.substr(0, equals);
    inline_value = arg.substr(equals + 1);
  }
  if (bool* field = FlagField(name, out)) {
    if (inline_value) {
      UsageError("takes no value", name.c_str());
      return kExitUsage;
    }
    *field = true;
    return -1;
  }
  if (!TakesValue(name)) {
    UsageError("unknown option", arg.c_str());
    return kExitUsage;
  }
  const char* text = inline_value ? inline_value->c_str() : *i + 1 < argc ? argv[++*i] : nullptr;
  if (text == nullptr) {
    UsageError("missing value for", name.c_str());
    return kExitUsage;
  }
  return SetValueOption(name, text, out);
}

// Returns an exit status, or -1 to go on.
int ParseArguments(int argc, char** argv, RunnerOptions* out) {
  bool only_addresses = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (only_addresses || arg.empty() || arg[0] != '-' || arg == "-") {
      out->addresses.push_back(arg);
    } else if (arg == "--") {
      only_addresses = true;
    } else if (int status = ParseOption(argc, argv, &i, out); status >= 0) {
      return status;
    }
  }
  if (out->help || out->version) return -1;
  if (out->addresses.empty() && !out->no_address) {
    UsageError("no printer to poll: give addresses, --printers FILE or --no-address", nullptr);
    return kExitUsage;
  }
  return -1;
}

const char* Meaning(int status) {
  switch (status) {
    case 0: return "not-completed";
    case 2: return "normal";
    case 3: return "warning";
    case 4: return "critical";
    default: return "unknown";
  }
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escape[8];
      snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string FormatCall(const CallTarget& target, const CallResult& result, long round, bool json) {
  char ms[32];
  if (json) {
    snprintf(ms, sizeof ms, "%.3f", result.ms);
    return "{\"address\":" + (target.address ? JsonString(*target.address) : "null") +
           ",\"status\":" + std::to_string(result.status) + ",\"meaning\":\"" +
           Meaning(result.status) + "\",\"ms\":" + ms + ",\"round\":" + std::to_string(round) +
           "}\n";
  }
  snprintf(ms, sizeof ms, "%.1f", result.ms);
  return (target.address ? *target.address : "-") + " " + std::to_string(result.status) + " " +
         Meaning(result.status) + " " + ms + "\n";
}

// Call times in logarithmic buckets, each 1 % wider than the one before,
// from 1 µs to about 28 hours: a fixed 19 KB whatever the number of calls.
// A percentile is given as its bucket's geometric middle, within 0.5 % of
// the exact nearest-rank value (clamped to the smallest and largest seen).
class LatencyHistogram {
 public:
  void Add(double ms) {
    ++count_;
    min_ = count_ == 1 ? ms : std::min(min_, ms);
    max_ = count_ == 1 ? ms : std::max(max_, ms);
    ++buckets_[Bucket(ms)];
  }
  uint64_t Count() const { return count_; }
  // Nearest rank, as over the sorted times.
  double Percentile(double fraction) const {
    if (count_ == 0) return 0;
    uint64_t rank = static_cast<uint64_t>(std::ceil(fraction * static_cast<double>(count_)));
    rank = std::clamp<uint64_t>(rank, 1, count_);
    uint64_t seen = 0;
    for (size_t i = 0; i < kBuckets; ++i) {
      seen += buckets_[i];
      if (seen >= rank) return std::clamp(Middle(i), min_, max_);
    }
    return max_;
  }

 private:
  static constexpr double kLowestMs = 0.001;
  static constexpr double kGrowth = 1.01;
  static constexpr size_t kBuckets = 2500;
  static size_t Bucket(double ms) {
    if (!(ms > kLowestMs)) return 0;  // NaN too
    double index = std::log(ms / kLowestMs) / std::log(kGrowth);
    return index >= kBuckets - 1 ? kBuckets - 1 : static_cast<size_t>(index);
  }
  static double Middle(size_t bucket) {
    return kLowestMs * std::pow(kGrowth, static_cast<double>(bucket) + 0.5);
  }
  std::array<uint64_t, kBuckets> buckets_{};
  uint64_t count_ = 0;
  double min_ = 0;
  double max_ = 0;
};

// What the summary needs of every call so far, in running counts.
struct RunTotals {
  uint64_t by_status[5] = {0, 0, 0, 0, 0};
  uint64_t other = 0;
  uint64_t stack_moved = 0;
  LatencyHistogram times;

  void Add(const CallResult& r) {
    if (r.status >= 0 && r.status <= 4 && r.status != 1) {
      ++by_status[r.status];
    } else {
      ++other;
    }
    if (r.stack_moved != 0) ++stack_moved;
    times.Add(r.ms);
  }
};

void PrintSummary(const RunTotals& totals, double seconds, const RunnerOptions& opts) {
  const uint64_t calls = totals.times.Count();
  fprintf(stderr, "calls: %llu (rounds %ld, threads %ld, %.3f s)\n", static_cast<unsigned long long>(calls),
          opts.repeat, opts.threads, seconds);
  for (int status : {0, 2, 3, 4}) {
    fprintf(stderr, "%s: %llu\n", Meaning(status), static_cast<unsigned long long>(totals.by_status[status]));
  }
  if (totals.other != 0) fprintf(stderr, "unknown: %llu\n", static_cast<unsigned long long>(totals.other));
  fprintf(stderr, "calls/s: %.1f\n", seconds > 0 ? static_cast<double>(calls) / seconds : 0.0);
  fprintf(stderr, "median ms: %.3f\np99 ms: %.3f\n", totals.times.Percentile(0.5), totals.times.Percentile(0.99));
}

// What this process holds: -1 for a figure the system does not give.
struct ProcessResources {
  long resident_kib = -1;
  long descriptors = -1;
  long handles = -1;
};

#if defined(_WIN32)
ProcessResources ReadProcessResources() {
  ProcessResources r;
  PROCESS_MEMORY_COUNTERS memory{};
  if (GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory)) {
    r.resident_kib = static_cast<long>(memory.WorkingSetSize / 1024);
  }
  DWORD handles = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &handles)) r.handles = static_cast<long>(handles);
  return r;
}
#else
ProcessResources ReadProcessResources() {
  ProcessResources r;
  if (FILE* status = fopen("/proc/self/status", "re")) {
    char line[256];
    while (fgets(line, sizeof line, status) != nullptr) {
      if (strncmp(line, "VmRSS:", 6) == 0) r.resident_kib = strtol(line + 6, nullptr, 10);
    }
    fclose(status);
  }
  if (DIR* fds = opendir("/proc/self/fd")) {
    long n = 0;
    while (const dirent* entry = readdir(fds)) {
      if (entry->d_name[0] != '.') ++n;
    }
    closedir(fds);
    r.descriptors = n - 1;  // not the one listing them
  }
  return r;
}
#endif

// One line a bench/soak script reads: "nvservicetest: resources WHEN
// calls N rss-kib R descriptors D handles H" (-1: not known here).
void PrintResources(const char* when, uint64_t calls) {
  const ProcessResources r = ReadProcessResources();
  fprintf(stderr, "nvservicetest: resources %s calls %llu rss-kib %ld descriptors %ld handles %ld\n", when,
          static_cast<unsigned long long>(calls), r.resident_kib, r.descriptors, r.handles);
  fflush(stderr);
}

double MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// One round: every target once, on up to `threads` threads at a time. Each
// line is printed whole as its call ends, and the call is counted into
// `totals`; nothing of it is kept.
void RunRound(ServiceTestFunction call, const RunnerOptions& opts, const std::vector<CallTarget>& targets,
              long round, RunTotals* totals) {
  std::atomic<size_t> next{0};
  std::mutex print_lock;
  auto worker = [&] {
    for (size_t i = next.fetch_add(1); i < targets.size(); i = next.fetch_add(1)) {
      const CallTarget& target = targets[i];
      auto start = std::chrono::steady_clock::now();
      int moved = 0;
      int status = CheckedCall(call, target.address ? target.address->c_str() : nullptr,
                               opts.options ? opts.options->c_str() : nullptr, &moved);
      const CallResult result{status, MillisecondsSince(start), moved};
      std::string line = FormatCall(target, result, round, opts.json);
      std::lock_guard<std::mutex> hold(print_lock);
      totals->Add(result);
      fputs(line.c_str(), stdout);
      fflush(stdout);
      if (moved != 0) {
        fprintf(stderr,
                "nvservicetest: NvServiceTest(%s) moved the stack pointer by %d bytes: the "
                "plug-in does not use the platform's calling convention (__cdecl)\n",
                target.address ? target.address->c_str() : "-", moved);
      }
    }
  };
  size_t thread_count = std::min(static_cast<size_t>(opts.threads), targets.size());
  std::vector<std::thread> threads;
  for (size_t t = 1; t < thread_count; ++t) {
    // Out of threads: the ones running take the rest of the round.
    try {
      threads.emplace_back(worker);
    } catch (...) {
      break;
    }
  }
  worker();
  for (auto& thread : threads) thread.join();
}

}  // namespace

int main(int argc, char** argv) {
#if defined(_WIN32)
  // Output byte for byte as on Linux: no CR before each LF.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
#endif
  RunnerOptions opts;
  int parsed = ParseArguments(argc, argv, &opts);
  if (parsed >= 0) return parsed;
  if (opts.help) {
    fputs(kUsage, stdout);
    return kExitDone;
  }
  if (opts.version) {
    fputs("nvservicetest (ZOV_UZAVEZIRU) " ZOV_VERSION "\n", stdout);
    return kExitDone;
  }
  if (opts.plugin.empty()) opts.plugin = DefaultPluginPath();

  std::string load_error;
  ServiceTestFunction call = LoadPlugin(opts.plugin, &load_error);
  if (call == nullptr) {
    fprintf(stderr, "nvservicetest: %s\n", load_error.c_str());
    return kExitNoPlugin;
  }

  std::vector<CallTarget> targets;
  for (const std::string& address : opts.addresses) targets.push_back(CallTarget{address});
  if (opts.no_address) targets.push_back(CallTarget{std::nullopt});

  RunTotals totals;
  double busy_seconds = 0;
  for (long round = 1; round <= opts.repeat; ++round) {
    if (round > 1 && opts.interval_seconds > 0) {
      std::this_thread::sleep_for(std::chrono::duration<double>(opts.interval_seconds));
    }
    auto start = std::chrono::steady_clock::now();
    RunRound(call, opts, targets, round, &totals);
    busy_seconds += MillisecondsSince(start) / 1000.0;
    if (round == opts.resources_after) PrintResources("after-warm-up", totals.times.Count());
  }
  if (opts.resources_after > 0) PrintResources("at-end", totals.times.Count());
  PrintSummary(totals, busy_seconds, opts);
  if (totals.stack_moved != 0) {
    fprintf(stderr, "nvservicetest: %llu calls moved the stack pointer\n",
            static_cast<unsigned long long>(totals.stack_moved));
    return kExitStackMoved;
  }
  return kExitDone;
}
