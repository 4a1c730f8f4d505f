// Small malloc blocks kept per thread for reuse. A poll makes and releases
// dozens of PDU, binding, OID and value blocks of a few sizes in bursts; the
// C library's own per-thread cache holds only a handful of each size, and
// calloc passes it by. Every block handed out is an ordinary malloc block,
// and any block may be released here whoever allocated it, so what crosses
// the boundary is still malloc'ed and free()able on both sides.
#ifndef ZOV_HOST_NVSNMP_BLOCK_CACHE_H_
#define ZOV_HOST_NVSNMP_BLOCK_CACHE_H_

#include <cstddef>

namespace nvsnmp {

// A block of at least `bytes` (at least one), or null.
void* TakeBlock(size_t bytes);
// The same, zero-filled.
void* TakeZeroedBlock(size_t bytes);
// Releases a malloc block (null is ignored): kept for reuse or freed.
void GiveBlock(void* block);

}  // namespace nvsnmp

#endif  // ZOV_HOST_NVSNMP_BLOCK_CACHE_H_
