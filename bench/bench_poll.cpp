// The benchmark driver: polls one printer many times, through the built
// plug-in (loaded with dlopen, as the platform loads it) or through the
// net-snmp baseline, from one or more threads, and prints what it measured
// as "key value" pairs on one line.
//
//   bench_poll --mode plugin --plugin FILE --printer NAME [--options TEXT]
//   bench_poll --mode baseline --peer udp:HOST:PORT --community C
//   bench_poll --mode plugin --plugin FILE --fleet N [--options TEXT]
//   common: --threads N, --seconds S | --polls N, --warmup N, --expect STATUS,
//           --rss (resident-set growth across the measured polls)
//
// --fleet N polls the printers fleet-0 ... fleet-(N-1) in turn, which
// bench/run maps to test_agent's slowD communities with D = FleetDelayMs(i),
// and reports ideal-fraction: the time the polls would take if only the
// agent's delays counted (three answers a poll), over the threads' time.
//
// With --polls the measured polls run inside zov_bench_measured_polls, which
// callgrind can be told to count alone (--toggle-collect).
#include <dlfcn.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "baseline_poll.h"

namespace {

using NvServiceTestFn = int (*)(const char*, const char*);

struct Settings {
  std::string mode;
  std::string plugin;
  std::string printer;
  std::string options = "-c 11 -w 12 -o 13";
  std::string peer;
  std::string community;
  int threads = 1;
  double seconds = 0;
  long polls = 0;
  long warmup = 20;
  int expect = -2;  // -2: the first poll's result
  bool rss = false;
  long fleet = 0;
};

NvServiceTestFn g_poll = nullptr;
Settings g_settings;
std::vector<std::string> g_fleet;            // the fleet's printer names
std::atomic<unsigned long> g_fleet_next{0};  // the next printer to poll
std::atomic<long> g_fleet_ideal_us{0};       // the polls' delays at the agent

// A fleet printer's answer delay: 5 to 40 ms, spread over the fleet.
// bench/run writes the same into NVSNMP_CONF.
long FleetDelayMs(long i) { return 5 + (i * 7919) % 36; }
// Answers a poll of a one-alert printer waits for: identity, row, end.
constexpr long kFleetAnswersPerPoll = 3;

// One poll; its status (the plug-in's status code, or for the baseline 3
// when it walked at least one alert row, 2 for none, 0 on failure).
int PollOnce() {
  if (!g_fleet.empty()) {
    const unsigned long i = g_fleet_next.fetch_add(1, std::memory_order_relaxed) % g_fleet.size();
    const int status = g_poll(g_fleet[i].c_str(), g_settings.options.c_str());
    g_fleet_ideal_us.fetch_add(kFleetAnswersPerPoll * FleetDelayMs(static_cast<long>(i)) * 1000,
                               std::memory_order_relaxed);
    return status;
  }
  if (g_poll != nullptr) return g_poll(g_settings.printer.c_str(), g_settings.options.c_str());
  int rows = bench::BaselinePoll(g_settings.peer, g_settings.community);
  return rows < 0 ? 0 : rows > 0 ? 3 : 2;
}

// CPU time of the process, and the part of it spent in the kernel: on a
// machine where a system call is dear, the two tell where a poll's cost is.
double CpuSeconds(double* sys = nullptr) {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  if (sys != nullptr) *sys = ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
  return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

long ResidentKib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

}  // namespace

// Kept out of line with C linkage so that callgrind can count it alone.
extern "C" __attribute__((noinline)) long zov_bench_measured_polls(long polls, int expect) {
  long wrong = 0;
  for (long i = 0; i < polls; ++i) {
    if (PollOnce() != expect) ++wrong;
  }
  return wrong;
}

namespace {

// 0, or the exit status for arguments that are wrong.
int ParseSettings(int argc, char** argv, Settings* s) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--rss") {
      s->rss = true;
      continue;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "bench_poll: unknown argument or missing value: %s\n", a.c_str());
      return 2;
    }
    const std::string v = argv[++i];
    if (a == "--mode") s->mode = v;
    else if (a == "--plugin") s->plugin = v;
    else if (a == "--printer") s->printer = v;
    else if (a == "--options") s->options = v;
    else if (a == "--peer") s->peer = v;
    else if (a == "--community") s->community = v;
    else if (a == "--threads") s->threads = std::atoi(v.c_str());
    else if (a == "--seconds") s->seconds = std::atof(v.c_str());
    else if (a == "--polls") s->polls = std::atol(v.c_str());
    else if (a == "--warmup") s->warmup = std::atol(v.c_str());
    else if (a == "--expect") s->expect = std::atoi(v.c_str());
    else if (a == "--fleet") s->fleet = std::atol(v.c_str());
    else {
      std::fprintf(stderr, "bench_poll: unknown argument %s\n", a.c_str());
      return 2;
    }
  }
  if (s->threads < 1 || (s->seconds <= 0) == (s->polls <= 0)) {
    std::fprintf(stderr, "bench_poll: give --threads >= 1 and one of --seconds, --polls\n");
    return 2;
  }
  return 0;
}

// Loads the plug-in or sets up the baseline; 0 or an exit status.
int SetUpPoller(const Settings& s) {
  if (s.mode == "baseline") {
    bench::InitialiseBaseline();
    return 0;
  }
  for (long i = 0; i < s.fleet; ++i) g_fleet.push_back("fleet-" + std::to_string(i));
  if (s.mode != "plugin") {
    std::fprintf(stderr, "bench_poll: --mode plugin or baseline\n");
    return 2;
  }
  void* handle = dlopen(s.plugin.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    std::fprintf(stderr, "bench_poll: %s\n", dlerror());
    return 1;
  }
  g_poll = reinterpret_cast<NvServiceTestFn>(dlsym(handle, "NvServiceTest"));
  if (g_poll == nullptr) {
    std::fprintf(stderr, "bench_poll: no NvServiceTest in %s\n", s.plugin.c_str());
    return 1;
  }
  return 0;
}

struct Outcome {
  long polls = 0;
  long wrong = 0;
  double seconds = 0;
  double cpu_seconds = 0;
  double sys_seconds = 0;
  long rss_before_kib = 0;
};

// The measured polls, on s.threads threads that each warm up first.
Outcome RunPolls(const Settings& s) {
  std::atomic<bool> stop{false};
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<long> counts(s.threads, 0);
  std::vector<long> wrong(s.threads, 0);
  auto worker = [&](int t) {
    // Each thread warms up its own connections before the clock starts.
    wrong[t] += zov_bench_measured_polls(0, s.expect);
    for (long i = 0; i < s.warmup; ++i) {
      if (PollOnce() != s.expect) ++wrong[t];
    }
    ready.fetch_add(1);
    while (!go.load()) std::this_thread::yield();
    if (s.polls > 0) {
      long share = s.polls / s.threads + (t < s.polls % s.threads ? 1 : 0);
      wrong[t] += zov_bench_measured_polls(share, s.expect);
      counts[t] = share;
      return;
    }
    for (; !stop.load(std::memory_order_relaxed); ++counts[t]) {
      if (PollOnce() != s.expect) ++wrong[t];
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < s.threads; ++t) threads.emplace_back(worker, t);
  while (ready.load() < s.threads) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  Outcome out;
  if (s.rss) out.rss_before_kib = ResidentKib();
  auto start = std::chrono::steady_clock::now();
  double sys_start = 0;
  const double cpu_start = CpuSeconds(&sys_start);
  g_fleet_ideal_us.store(0);
  go.store(true);
  if (s.seconds > 0) {
    std::this_thread::sleep_for(std::chrono::duration<double>(s.seconds));
    stop.store(true);
  }
  for (auto& t : threads) t.join();
  out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  double sys_end = 0;
  out.cpu_seconds = CpuSeconds(&sys_end) - cpu_start;
  out.sys_seconds = sys_end - sys_start;
  for (int t = 0; t < s.threads; ++t) {
    out.polls += counts[t];
    out.wrong += wrong[t];
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  Settings& s = g_settings;
  if (int status = ParseSettings(argc, argv, &s); status != 0) return status;
  if (int status = SetUpPoller(s); status != 0) return status;
  // The first poll sets up the libraries and, for the plug-in, records the
  // alert, so the measured polls see it unchanged.
  int first = PollOnce();
  if (s.expect == -2) s.expect = first;
  if (first != s.expect) {
    std::fprintf(stderr, "bench_poll: first poll gave %d, expected %d\n", first, s.expect);
    return 1;
  }
  const Outcome o = RunPolls(s);
  const long n = o.polls > 0 ? o.polls : 1;
  // Wall time per poll includes waiting for the agent; CPU time per poll is
  // this process's own work, which load elsewhere on the machine disturbs less.
  std::printf("polls %ld seconds %.3f rate %.1f us-per-poll %.2f cpu-us-per-poll %.2f sys-us-per-poll %.2f unexpected %ld status %d",
              o.polls, o.seconds, o.polls / o.seconds, o.seconds * 1e6 * s.threads / n,
              o.cpu_seconds * 1e6 / n, o.sys_seconds * 1e6 / n, o.wrong, s.expect);
  if (s.rss) std::printf(" rss-before-kib %ld rss-after-kib %ld", o.rss_before_kib, ResidentKib());
  if (!g_fleet.empty()) {
    std::printf(" ideal-fraction %.3f", g_fleet_ideal_us.load() / (o.seconds * 1e6 * s.threads));
  }
  std::printf("\n");
  return o.wrong == 0 ? 0 : 1;
}
