// One BER tag-length-value step over received bytes, for the project's own
// agents (the fault agent of the tests and the benchmarks' agent): short and
// long lengths of up to three octets, never reading past the end.
#ifndef ZOV_TESTS_AGENTS_BER_TLV_H_
#define ZOV_TESTS_AGENTS_BER_TLV_H_

#include <cstddef>

namespace zov::agents {

// Reads the element at *p, which must end by `end`: its tag, and where its
// content starts and ends. Moves *p past the element; false (nothing
// trusted) when it is malformed or runs past the end.
inline bool ReadTlv(const unsigned char** p, const unsigned char* end, unsigned char* tag,
                    const unsigned char** content, const unsigned char** content_end) {
  const unsigned char* q = *p;
  if (end - q < 2) return false;
  *tag = *q++;
  size_t len = *q++;
  if (len & 0x80) {
    size_t octets = len & 0x7f;
    if (octets == 0 || octets > 3 || static_cast<size_t>(end - q) < octets) return false;
    len = 0;
    for (size_t i = 0; i < octets; ++i) len = (len << 8) | *q++;
  }
  if (static_cast<size_t>(end - q) < len) return false;
  *content = q;
  *content_end = q + len;
  *p = q + len;
  return true;
}

}  // namespace zov::agents

#endif  // ZOV_TESTS_AGENTS_BER_TLV_H_
