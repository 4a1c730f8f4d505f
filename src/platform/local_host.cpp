#include "platform/local_host.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#include <winsock.h>
#else
#include <unistd.h>
#endif

#include "log/shared_log.h"

namespace {

int SystemHostName(char* buffer, size_t size) {
#if defined(_WIN32)
  return ::gethostname(buffer, static_cast<int>(size));
#else
  return ::gethostname(buffer, size);
#endif
}

std::atomic<HostNameSource> g_source{&SystemHostName};

constexpr const char* kHostNameFailed = "gethostname failed. Cannot determine local hostname.\n";

#if defined(_WIN32)
// Winsock refuses a name that does not fit the buffer, so the 30-byte buffer
// itself enforces the limit.
constexpr size_t kQuerySize = kHostNameBufferSize;
#else
// POSIX gethostname may cut a long name silently; ask with room to spare and
// refuse what would not have fitted in 30 bytes.
constexpr size_t kQuerySize = 256;
#endif

// The name when the source gave one that fits the 30-byte buffer, else null.
const char* QueryName(char (&buffer)[kQuerySize]) {
  std::memset(buffer, 0, sizeof buffer);
  if (g_source.load()(buffer, sizeof buffer) != 0) return nullptr;
  return TerminatedHostName(buffer, sizeof buffer);
}

}  // namespace

const char* TerminatedHostName(const char* buffer, size_t size) {
  const size_t limit = std::min(size, static_cast<size_t>(kHostNameBufferSize));
  return std::memchr(buffer, '\0', limit) != nullptr ? buffer : nullptr;
}

void SetHostNameSourceForTesting(HostNameSource source) {
  g_source.store(source != nullptr ? source : &SystemHostName);
}

char* LocalHostName() {
#if defined(_WIN32)
  WSADATA data;
  if (WSAStartup(0x0101, &data) != 0) {
    LogText("WSAStartup failed. Cannot determine local hostname.\n");
    return nullptr;
  }
#endif
  char buffer[kQuerySize];
  const char* name = QueryName(buffer);
  if (name == nullptr) LogPair("", kHostNameFailed);
#if defined(_WIN32)
  WSACleanup();
#endif
  if (name == nullptr) return nullptr;
  size_t length = std::strlen(name);
  char* copy = static_cast<char*>(std::malloc(length + 1));
  if (copy != nullptr) std::memcpy(copy, name, length + 1);
  return copy;
}
