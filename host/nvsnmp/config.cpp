#include "config.h"

#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

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

int ApplyKey(std::string_view key, std::string_view value, SessionSettings* out) {
  if (key == "peer") {
    PeerText peer;
    if (ParsePeerText(std::string(value), &peer) != 0) return kOVsnmpErrConfig;
    out->peer = peer;
    return 0;
  }
  if (key == "community") {
    out->community = std::string(value);
    return 0;
  }
  if (key == "port") return ParseInt(value, 1, 65535, &out->agent_port) ? 0 : kOVsnmpErrConfig;
  if (key == "timeout") return ParseInt(value, 1, kMaxTimeoutMs, &out->timeout_ms) ? 0 : kOVsnmpErrConfig;
  if (key == "retries") return ParseInt(value, 0, kMaxRetries, &out->retries) ? 0 : kOVsnmpErrConfig;
  if (key == "version") return ParseVersion(value, &out->v2c) ? 0 : kOVsnmpErrConfig;
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

// Applies one line's keys; the line is validated whether or not it applies.
int ApplyLine(const std::vector<std::string_view>& words, SessionSettings* out) {
  for (size_t i = 1; i < words.size(); ++i) {
    size_t eq = words[i].find('=');
    if (eq == std::string_view::npos || eq == 0) return kOVsnmpErrConfig;
    int rc = ApplyKey(words[i].substr(0, eq), words[i].substr(eq + 1), out);
    if (rc != 0) return rc;
  }
  return 0;
}

int EnvInt(const char* name, int low, int high, int* out) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return 0;
  return ParseInt(value, low, high, out) ? 0 : kOVsnmpErrConfig;
}

// The file's text, read again only when it changed.
struct ConfCache {
  std::mutex mutex;
  std::string path;
  struct timespec mtime {};
  off_t size = -1;
  ino_t inode = 0;
  std::shared_ptr<const std::string> text;
};

ConfCache& Cache() {
  static ConfCache cache;
  return cache;
}

int ReadConfText(const char* path, std::shared_ptr<const std::string>* out) {
  struct stat st;
  if (stat(path, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxConfBytes) return kOVsnmpErrConfig;
  ConfCache& cache = Cache();
  {
    std::lock_guard<std::mutex> lock(cache.mutex);
    if (cache.text && cache.path == path && cache.size == st.st_size && cache.inode == st.st_ino &&
        cache.mtime.tv_sec == st.st_mtim.tv_sec && cache.mtime.tv_nsec == st.st_mtim.tv_nsec) {
      *out = cache.text;
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
  {
    std::lock_guard<std::mutex> lock(cache.mutex);
    cache.path = path;
    cache.size = st.st_size;
    cache.inode = st.st_ino;
    cache.mtime = st.st_mtim;
    cache.text = text;
  }
  *out = std::move(text);
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
      if (peer.host.empty() ||
          !ParseInt(std::string_view(text).substr(colon + 1), 1, 65535, &peer.port)) {
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
  std::vector<std::vector<std::string_view>> default_lines;
  std::vector<std::vector<std::string_view>> named_lines;
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
    // Validate every line, so that a mistake shows whichever printer it is for.
    SessionSettings scratch;
    int rc = ApplyLine(words, &scratch);
    if (rc != 0) return rc;
    if (words[0] == "default") default_lines.push_back(words);
    if (words[0] == name) named_lines.push_back(words);
  }
  // The default line first, the printer's own line over it; the first line
  // for a name counts.
  if (!default_lines.empty()) ApplyLine(default_lines.front(), out);
  if (!named_lines.empty() && name != "default") ApplyLine(named_lines.front(), out);
  return 0;
}

int LoadSettings(const char* name, SessionSettings* out) {
  SessionSettings s;
  if (const char* community = std::getenv("NVSNMP_COMMUNITY"); community != nullptr && *community != '\0') {
    s.community = community;
  } else {
    s.community = "public";
  }
  int rc = EnvInt("NVSNMP_PORT", 1, 65535, &s.agent_port);
  if (rc == 0) rc = EnvInt("NVSNMP_TRAP_PORT", 1, 65535, &s.trap_port);
  if (rc == 0) rc = EnvInt("NVSNMP_TIMEOUT_MS", 1, kMaxTimeoutMs, &s.timeout_ms);
  if (rc == 0) rc = EnvInt("NVSNMP_RETRIES", 0, kMaxRetries, &s.retries);
  if (rc != 0) return rc;
  if (const char* version = std::getenv("NVSNMP_VERSION"); version != nullptr && *version != '\0') {
    if (!ParseVersion(version, &s.v2c)) return kOVsnmpErrConfig;
  }
  rc = ParsePeerText(name, &s.peer);
  bool name_is_peer = rc == 0;
  if (const char* path = std::getenv("NVSNMP_CONF"); path != nullptr && *path != '\0') {
    std::shared_ptr<const std::string> text;
    rc = ReadConfText(path, &text);
    if (rc != 0) return rc;
    PeerText before = s.peer;
    s.peer = PeerText{};
    rc = ApplyConfText(*text, name, &s);
    if (rc != 0) return rc;
    if (!s.peer.host.empty()) {
      name_is_peer = true;
    } else {
      s.peer = before;
    }
  }
  if (!name_is_peer) return kOVsnmpErrBadPeer;
  *out = s;
  return 0;
}

}  // namespace nvsnmp
