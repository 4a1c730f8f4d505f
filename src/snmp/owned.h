// Holders for what the plug-in gets from the C allocator and the platform
// libraries: a unique_ptr that hands its pointer to the one function that
// releases it. A stage holds with these and release()s exactly where a
// library takes over.
#ifndef ZOV_SNMP_OWNED_H_
#define ZOV_SNMP_OWNED_H_

#include <cstdlib>
#include <memory>

template <auto Release>
struct ReleaseWith {
  template <typename T>
  void operator()(T* held) const {
    Release(held);
  }
};

template <typename T, auto Release>
using Owned = std::unique_ptr<T, ReleaseWith<Release>>;

inline void FreeBlock(void* block) { std::free(block); }

// A malloc'ed block: what crosses the boundary to the platform libraries.
template <typename T>
using MallocBlock = Owned<T, FreeBlock>;

#endif  // ZOV_SNMP_OWNED_H_
