// nvservicetest: the service-test runner. It plays the part of the
// platform's service-test machinery: loads the plug-in, calls NvServiceTest
// for each printer address and reports the status codes.
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "entry/nv_service_test.h"

namespace {

constexpr int kExitDone = 0;
constexpr int kExitNoPlugin = 1;
constexpr int kExitUsage = 2;

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
    "  --plugin FILE       the plug-in to load (default: ../lib/ZOV_UZAVEZIRU.so\n"
    "                      next to this program)\n"
    "  --help              show this text\n"
    "\n"
    "Each call prints: ADDRESS STATUS MEANING MILLISECONDS, for example\n"
    "  10.1.2.3 3 warning 12.4\n"
    "Status: 0 not-completed (no answer, not a vendor printer, no database),\n"
    "2 normal, 3 warning, 4 critical. A summary goes to standard error.\n"
    "\n"
    "Exit status: 0 when every call was made, 1 when the plug-in cannot be\n"
    "loaded, 2 on bad arguments.\n"
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
};

// One call to make: an address, or none for --no-address.
struct CallTarget {
  std::optional<std::string> address;
};

struct CallResult {
  int status = 0;
  double ms = 0;
};

using ServiceTestFunction = int(NV_CALL*)(const char*, const char*);

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

bool ReadPrinters(const char* path, std::vector<std::string>* addresses) {
  FILE* file = fopen(path, "r");
  if (file == nullptr) return false;
  char* line = nullptr;
  size_t capacity = 0;
  while (getline(&line, &capacity, file) >= 0) {
    std::string text = line;
    size_t comment = text.find('#');
    if (comment != std::string::npos) text.erase(comment);
    text = Trim(text);
    if (!text.empty()) addresses->push_back(text);
  }
  free(line);
  fclose(file);
  return true;
}

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

// The field a flag sets, or null when `name` is no flag.
bool* FlagField(const std::string& name, RunnerOptions* out) {
  if (name == "--help" || name == "-h") return &out->help;
  if (name == "--json") return &out->json;
  if (name == "--no-address") return &out->no_address;
  return nullptr;
}

bool TakesValue(const std::string& name) {
  for (const char* option : {"--plugin", "--options", "--printers", "--repeat", "--interval", "--threads"}) {
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
  if (out->help) return -1;
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

// Nearest-rank percentile of sorted values.
double Percentile(const std::vector<double>& sorted, double fraction) {
  if (sorted.empty()) return 0;
  size_t rank = static_cast<size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
  return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
}

void PrintSummary(const std::vector<CallResult>& results, double seconds, const RunnerOptions& opts) {
  std::vector<double> times;
  long counts[5] = {0, 0, 0, 0, 0};
  long other = 0;
  for (const CallResult& r : results) {
    times.push_back(r.ms);
    if (r.status >= 0 && r.status <= 4 && r.status != 1) {
      ++counts[r.status];
    } else {
      ++other;
    }
  }
  std::sort(times.begin(), times.end());
  fprintf(stderr, "calls: %zu (rounds %ld, threads %ld, %.3f s)\n", results.size(), opts.repeat,
          opts.threads, seconds);
  for (int status : {0, 2, 3, 4}) fprintf(stderr, "%s: %ld\n", Meaning(status), counts[status]);
  if (other != 0) fprintf(stderr, "unknown: %ld\n", other);
  fprintf(stderr, "calls/s: %.1f\n", seconds > 0 ? static_cast<double>(results.size()) / seconds : 0.0);
  fprintf(stderr, "median ms: %.3f\np99 ms: %.3f\n", Percentile(times, 0.5), Percentile(times, 0.99));
}

double MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// One round: every target once, on up to `threads` threads at a time. Lines
// are printed whole as calls finish.
void RunRound(ServiceTestFunction call, const RunnerOptions& opts, const std::vector<CallTarget>& targets,
              long round, std::vector<CallResult>* results) {
  std::vector<CallResult> round_results(targets.size());
  std::atomic<size_t> next{0};
  std::mutex print_lock;
  auto worker = [&] {
    for (size_t i = next.fetch_add(1); i < targets.size(); i = next.fetch_add(1)) {
      const CallTarget& target = targets[i];
      auto start = std::chrono::steady_clock::now();
      int status = call(target.address ? target.address->c_str() : nullptr,
                        opts.options ? opts.options->c_str() : nullptr);
      round_results[i] = CallResult{status, MillisecondsSince(start)};
      std::string line = FormatCall(target, round_results[i], round, opts.json);
      std::lock_guard<std::mutex> hold(print_lock);
      fputs(line.c_str(), stdout);
      fflush(stdout);
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
  results->insert(results->end(), round_results.begin(), round_results.end());
}

}  // namespace

int main(int argc, char** argv) {
  RunnerOptions opts;
  int parsed = ParseArguments(argc, argv, &opts);
  if (parsed >= 0) return parsed;
  if (opts.help) {
    fputs(kUsage, stdout);
    return kExitDone;
  }
  if (opts.plugin.empty()) opts.plugin = DefaultPluginPath();

  // RTLD_NOW: a plug-in with a missing symbol fails here, not mid-poll. The
  // handle stays open until the process ends, as on the platform.
  void* plugin = dlopen(opts.plugin.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (plugin == nullptr) {
    fprintf(stderr, "nvservicetest: cannot load the plug-in %s: %s\n", opts.plugin.c_str(), dlerror());
    return kExitNoPlugin;
  }
  auto call = reinterpret_cast<ServiceTestFunction>(dlsym(plugin, "NvServiceTest"));
  if (call == nullptr) {
    fprintf(stderr, "nvservicetest: %s has no NvServiceTest\n", opts.plugin.c_str());
    return kExitNoPlugin;
  }

  std::vector<CallTarget> targets;
  for (const std::string& address : opts.addresses) targets.push_back(CallTarget{address});
  if (opts.no_address) targets.push_back(CallTarget{std::nullopt});

  std::vector<CallResult> results;
  double busy_seconds = 0;
  for (long round = 1; round <= opts.repeat; ++round) {
    if (round > 1 && opts.interval_seconds > 0) {
      std::this_thread::sleep_for(std::chrono::duration<double>(opts.interval_seconds));
    }
    auto start = std::chrono::steady_clock::now();
    RunRound(call, opts, targets, round, &results);
    busy_seconds += MillisecondsSince(start) / 1000.0;
  }
  PrintSummary(results, busy_seconds, opts);
  return kExitDone;
}
