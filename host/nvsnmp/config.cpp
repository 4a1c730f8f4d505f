#include "config.h"

#include <sys/stat.h>
#include <unistd.h>

extern char** environ;  // POSIX

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "internal.h"
#include "snmp/nvsnmp.h"

namespace nvsnmp {
namespace {

// A configuration file is a handful of lines per printer; anything this big
// is not one.
constexpr long kMaxConfBytes = 1 << 20;
constexpr int kMaxTimeoutMs = 10 * 60 * 1000;
constexpr int kMaxRetries = 100;

bool ParseInt(std::string_view text, int low, int high, int* out) {
  int value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high) {
    return false;
  }
  *out = value;
  return true;
}

bool ParseVersion(std::string_view text, bool* v2c) {
  if (text == "1") {
    *v2c = false;
    return true;
  }
  if (text == "2c") {
    *v2c = true;
    return true;
  }
  return false;
}

// What one line sets; the keys it does not name stay unset.
struct LineSettings {
  bool has_peer = false;
  PeerText peer;
  bool has_community = false;
  std::string community;
  bool has_port = false;
  int port = 0;
  bool has_timeout = false;
  int timeout_ms = 0;
  bool has_retries = false;
  int retries = 0;
  bool has_version = false;
  bool v2c = false;
};

int ParseKey(std::string_view key, std::string_view value, LineSettings* out) {
  if (key == "peer") {
    if (ParsePeerText(std::string(value), &out->peer) != 0) return kOVsnmpErrConfig;
    out->has_peer = true;
    return 0;
  }
  if (key == "community") {
    out->community = std::string(value);
    out->has_community = true;
    return 0;
  }
  if (key == "port") return (out->has_port = ParseInt(value, 1, 65535, &out->port)) ? 0 : kOVsnmpErrConfig;
  if (key == "timeout") {
    return (out->has_timeout = ParseInt(value, 1, kMaxTimeoutMs, &out->timeout_ms)) ? 0 : kOVsnmpErrConfig;
  }
  if (key == "retries") {
    return (out->has_retries = ParseInt(value, 0, kMaxRetries, &out->retries)) ? 0 : kOVsnmpErrConfig;
  }
  if (key == "version") return (out->has_version = ParseVersion(value, &out->v2c)) ? 0 : kOVsnmpErrConfig;
  return kOVsnmpErrConfig;
}

std::vector<std::string_view> SplitWords(std::string_view line) {
  std::vector<std::string_view> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

int ParseLine(const std::vector<std::string_view>& words, LineSettings* out) {
  for (size_t i = 1; i < words.size(); ++i) {
    size_t eq = words[i].find('=');
    if (eq == std::string_view::npos || eq == 0) return kOVsnmpErrConfig;
    int rc = ParseKey(words[i].substr(0, eq), words[i].substr(eq + 1), out);
    if (rc != 0) return rc;
  }
  return 0;
}

void ApplyLine(const LineSettings& line, SessionSettings* out) {
  if (line.has_peer) out->peer = line.peer;
  if (line.has_community) out->community = line.community;
  if (line.has_port) out->agent_port = line.port;
  if (line.has_timeout) out->timeout_ms = line.timeout_ms;
  if (line.has_retries) out->retries = line.retries;
  if (line.has_version) out->v2c = line.v2c;
}

// A whole NVSNMP_CONF text, parsed once: every session opened while the file
// stays the same looks its printer up here instead of reading and parsing
// it again (ReadConf). Sessions are opened twice a poll; reading the
// six-line file of bench/run at each open costs 12,621 instructions a poll
// more (176,277 against 163,656, 7.7 %), and more with more printers.
struct ParsedConf {
  int error = 0;  // kOVsnmpErrConfig when any line is malformed
  bool has_default = false;
  LineSettings default_line;
  std::unordered_map<std::string, LineSettings> named;  // the first line for each name
};

std::shared_ptr<const ParsedConf> ParseConf(const std::string& text) {
  auto parsed = std::make_shared<ParsedConf>();
  std::string_view all(text);
  size_t pos = 0;
  while (pos <= all.size()) {
    size_t end = all.find('\n', pos);
    if (end == std::string_view::npos) end = all.size();
    std::string_view line = all.substr(pos, end - pos);
    pos = end + 1;
    size_t hash = line.find('#');
    if (hash != std::string_view::npos) line = line.substr(0, hash);
    std::vector<std::string_view> words = SplitWords(line);
    if (words.empty()) continue;
    // Every line is validated, so that a mistake shows whichever printer it is for.
    LineSettings settings;
    int rc = ParseLine(words, &settings);
    if (rc != 0) {
      parsed->error = rc;
      parsed->named.clear();
      return parsed;
    }
    if (words[0] == "default") {
      if (!parsed->has_default) {
        parsed->has_default = true;
        parsed->default_line = settings;
      }
    } else {
      parsed->named.emplace(std::string(words[0]), std::move(settings));
    }
  }
  return parsed;
}

// The default line first, the printer's own line over it.
int ApplyParsed(const ParsedConf& parsed, const std::string& name, SessionSettings* out) {
  if (parsed.error != 0) return parsed.error;
  if (parsed.has_default) ApplyLine(parsed.default_line, out);
  if (auto it = parsed.named.find(name); it != parsed.named.end()) ApplyLine(it->second, out);
  return 0;
}

// The NVSNMP_* variables a session's settings come from.
struct NvsnmpEnvironment {
  const char* community = nullptr;
  const char* port = nullptr;
  const char* trap_port = nullptr;
  const char* timeout_ms = nullptr;
  const char* retries = nullptr;
  const char* version = nullptr;
  const char* conf = nullptr;
};

// All seven in one pass over the environment instead of one getenv each,
// which walks all of it every time: callgrind on bench/run's poll, in an
// environment of 41 variables, 156,461 instructions a poll with seven
// getenv calls an open, 152,081 with the one pass (the more variables, the
// more it saves).
NvsnmpEnvironment ReadEnvironment() {
  NvsnmpEnvironment env;
  if (!kFastPaths) {
    env.community = std::getenv("NVSNMP_COMMUNITY");
    env.port = std::getenv("NVSNMP_PORT");
    env.trap_port = std::getenv("NVSNMP_TRAP_PORT");
    env.timeout_ms = std::getenv("NVSNMP_TIMEOUT_MS");
    env.retries = std::getenv("NVSNMP_RETRIES");
    env.version = std::getenv("NVSNMP_VERSION");
    env.conf = std::getenv("NVSNMP_CONF");
    return env;
  }
  struct Name {
    std::string_view name;
    const char* NvsnmpEnvironment::*value;
  };
  static constexpr Name kNames[] = {
      {"COMMUNITY", &NvsnmpEnvironment::community}, {"PORT", &NvsnmpEnvironment::port},
      {"TRAP_PORT", &NvsnmpEnvironment::trap_port}, {"TIMEOUT_MS", &NvsnmpEnvironment::timeout_ms},
      {"RETRIES", &NvsnmpEnvironment::retries},     {"VERSION", &NvsnmpEnvironment::version},
      {"CONF", &NvsnmpEnvironment::conf},
  };
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const char* text = *entry;
    if (text[0] != 'N' || std::strncmp(text, "NVSNMP_", 7) != 0) continue;
    const char* equals = std::strchr(text + 7, '=');
    if (equals == nullptr) continue;
    const std::string_view name(text + 7, static_cast<size_t>(equals - text - 7));
    for (const Name& n : kNames) {
      // The first of a name counts, as with getenv.
      if (n.name == name && env.*n.value == nullptr) env.*n.value = equals + 1;
    }
  }
  return env;
}

int EnvInt(const char* value, int low, int high, int* out) {
  if (value == nullptr || *value == '\0') return 0;
  return ParseInt(value, low, high, out) ? 0 : kOVsnmpErrConfig;
}

// The file, read and parsed again only when it changed (see ParsedConf).
struct ConfCache {
  std::mutex mutex;
  std::string path;
  struct timespec mtime {};
  off_t size = -1;
  ino_t inode = 0;
  std::shared_ptr<const ParsedConf> parsed;
};

ConfCache& Cache() {
  static ConfCache cache;
  return cache;
}

int ReadConf(const char* path, std::shared_ptr<const ParsedConf>* out) {
  // A stat at every open, though a poll opens two sessions within a
  // millisecond (4 to 5 us of CPU each here): each sees the file as it is
  // when it opens, an edit made between them included.
  struct stat st;
  if (stat(path, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxConfBytes) return kOVsnmpErrConfig;
  ConfCache& cache = Cache();
  {
    std::lock_guard<std::mutex> lock(cache.mutex);
    if (kFastPaths && cache.parsed && cache.path == path && cache.size == st.st_size && cache.inode == st.st_ino &&
        cache.mtime.tv_sec == st.st_mtim.tv_sec && cache.mtime.tv_nsec == st.st_mtim.tv_nsec) {
      *out = cache.parsed;
      return 0;
    }
  }
  FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return kOVsnmpErrConfig;
  auto text = std::make_shared<std::string>();
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof(buf), file)) > 0) {
    text->append(buf, n);
    if (text->size() > static_cast<size_t>(kMaxConfBytes)) break;
  }
  bool failed = std::ferror(file) != 0 || text->size() > static_cast<size_t>(kMaxConfBytes);
  std::fclose(file);
  if (failed) return kOVsnmpErrConfig;
  std::shared_ptr<const ParsedConf> parsed = ParseConf(*text);
  {
    std::lock_guard<std::mutex> lock(cache.mutex);
    cache.path = path;
    cache.size = st.st_size;
    cache.inode = st.st_ino;
    cache.mtime = st.st_mtim;
    cache.parsed = parsed;
  }
  *out = std::move(parsed);
  return 0;
}

}  // namespace

int ParsePeerText(const std::string& text, PeerText* out) {
  PeerText peer;
  if (text.empty() || text.size() > 1024) return kOVsnmpErrBadPeer;
  if (text[0] == '[') {
    size_t close = text.find(']');
    if (close == std::string::npos || close == 1) return kOVsnmpErrBadPeer;
    peer.host = text.substr(1, close - 1);
    std::string rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (rest[0] != ':' || !ParseInt(std::string_view(rest).substr(1), 1, 65535, &peer.port)) {
        return kOVsnmpErrBadPeer;
      }
    }
  } else {
    size_t colon = text.find(':');
    if (colon != std::string::npos && text.find(':', colon + 1) == std::string::npos) {
      peer.host = text.substr(0, colon);
      if (peer.host.empty() || !ParseInt(std::string_view(text).substr(colon + 1), 1, 65535, &peer.port)) {
        return kOVsnmpErrBadPeer;
      }
    } else {
      peer.host = text;  // a name, an IPv4 address or a bare IPv6 address
    }
  }
  for (char c : peer.host) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '/' || c == '[' || c == ']') {
      return kOVsnmpErrBadPeer;
    }
  }
  *out = peer;
  return 0;
}

int ApplyConfText(const std::string& text, const std::string& name, SessionSettings* out) {
  return ApplyParsed(*ParseConf(text), name, out);
}

namespace {

// The settings from `name`, the environment and the parsed file (null when
// NVSNMP_CONF names none).
int MakeSettings(const char* name, const NvsnmpEnvironment& env, const ParsedConf* parsed,
                 SessionSettings* out) {
  SessionSettings s;
  if (const char* community = env.community; community != nullptr && *community != '\0') {
    s.community = community;
  } else {
    s.community = "public";
  }
  int rc = EnvInt(env.port, 1, 65535, &s.agent_port);
  if (rc == 0) rc = EnvInt(env.trap_port, 1, 65535, &s.trap_port);
  if (rc == 0) rc = EnvInt(env.timeout_ms, 1, kMaxTimeoutMs, &s.timeout_ms);
  if (rc == 0) rc = EnvInt(env.retries, 0, kMaxRetries, &s.retries);
  if (rc != 0) return rc;
  if (const char* version = env.version; version != nullptr && *version != '\0') {
    if (!ParseVersion(version, &s.v2c)) return kOVsnmpErrConfig;
  }
  rc = ParsePeerText(name, &s.peer);
  bool name_is_peer = rc == 0;
  if (parsed != nullptr) {
    PeerText before = s.peer;
    s.peer = PeerText{};
    rc = ApplyParsed(*parsed, name, &s);
    if (rc != 0) return rc;
    if (!s.peer.host.empty()) {
      name_is_peer = true;
    } else {
      s.peer = before;
    }
  }
  if (!name_is_peer) return kOVsnmpErrBadPeer;
  *out = std::move(s);
  return 0;
}

// The last settings a thread made and everything they were made from: a
// poll opens its sessions with the same name in the same environment, and
// comparing is cheaper than parsing the numbers, the peer and the line
// again: 913 instructions a poll fewer (callgrind, bench/run).
struct LastSettings {
  static constexpr const char* NvsnmpEnvironment::*kValues[] = {
      &NvsnmpEnvironment::community, &NvsnmpEnvironment::port,    &NvsnmpEnvironment::trap_port,
      &NvsnmpEnvironment::timeout_ms, &NvsnmpEnvironment::retries, &NvsnmpEnvironment::version,
      &NvsnmpEnvironment::conf};
  static constexpr size_t kCount = sizeof(kValues) / sizeof(kValues[0]);

  bool valid = false;
  std::string name;
  bool set[kCount] = {};
  std::string values[kCount];
  // Held, so that a file parsed since cannot be told apart by address alone.
  std::shared_ptr<const ParsedConf> parsed;
  SessionSettings settings;

  bool Matches(const char* wanted, const NvsnmpEnvironment& env, const ParsedConf* conf) const {
    if (!valid || parsed.get() != conf || name != wanted) return false;
    for (size_t i = 0; i < kCount; ++i) {
      const char* value = env.*kValues[i];
      if (value == nullptr ? set[i] : !set[i] || values[i] != value) return false;
    }
    return true;
  }

  void Remember(const char* made_for, const NvsnmpEnvironment& env, std::shared_ptr<const ParsedConf> conf,
                const SessionSettings& made) {
    valid = false;  // nothing half-kept should an assignment throw
    name = made_for;
    for (size_t i = 0; i < kCount; ++i) {
      const char* value = env.*kValues[i];
      set[i] = value != nullptr;
      values[i] = value != nullptr ? value : "";
    }
    parsed = std::move(conf);
    settings = made;
    valid = true;
  }
};

thread_local LastSettings t_last_settings;

// One look-up of the thread's block: the compiler would otherwise ask for
// it again at each use.
__attribute__((noinline)) LastSettings& ThreadLastSettings() { return t_last_settings; }

}  // namespace

int LoadSettings(const char* name, SessionSettings* out) {
  const NvsnmpEnvironment env = ReadEnvironment();
  // Every failure before the file is read is kOVsnmpErrConfig as well, so
  // reading it first changes no answer.
  std::shared_ptr<const ParsedConf> parsed;
  if (const char* path = env.conf; path != nullptr && *path != '\0') {
    int rc = ReadConf(path, &parsed);
    if (rc != 0) return rc;
  }
  if (!kFastPaths) return MakeSettings(name, env, parsed.get(), out);
  LastSettings& last = ThreadLastSettings();
  if (last.Matches(name, env, parsed.get())) {
    *out = last.settings;
    return 0;
  }
  SessionSettings s;
  int rc = MakeSettings(name, env, parsed.get(), &s);
  if (rc != 0) return rc;
  last.Remember(name, env, std::move(parsed), s);
  *out = std::move(s);
  return 0;
}

}  // namespace nvsnmp
