// The local host's name, where the alert traps go.
#ifndef ZOV_PLATFORM_LOCAL_HOST_H_
#define ZOV_PLATFORM_LOCAL_HOST_H_

#include <cstddef>

// Size of the name buffer, terminating zero included: names of 30 characters
// or more are a failure, never truncated.
inline constexpr int kHostNameBufferSize = 30;

// A malloc'ed copy owned by the caller (free), or null (logged).
char* LocalHostName();

// The name a source left in `buffer` (of `size` bytes) when its terminating
// zero lies within the first kHostNameBufferSize bytes, else null. Reads no
// byte past either bound, so a source that fills the buffer without a zero
// is refused, not read beyond.
const char* TerminatedHostName(const char* buffer, size_t size);

// Where the name comes from (gethostname's shape). Tests replace it; null
// restores the system's.
using HostNameSource = int (*)(char* buffer, size_t size);
void SetHostNameSourceForTesting(HostNameSource source);

#endif  // ZOV_PLATFORM_LOCAL_HOST_H_
