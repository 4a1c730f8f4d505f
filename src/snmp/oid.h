// Object identifiers held as a malloc'ed block of 32-bit sub-identifiers plus
// a count that the owner keeps beside it. A present block of count 0 is an
// empty OID; a null block is an absent one. Blocks cross into the SNMP
// library as they are, so they are malloc'ed and released with FreeOid.
#ifndef ZOV_SNMP_OID_H_
#define ZOV_SNMP_OID_H_

#include <cstdint>

#include "snmp/owned.h"

// Most sub-identifiers ParseOid collects; further components are ignored.
inline constexpr uint32_t kMaxParsedSubIds = 100;

// Dotted text (leading dot optional, null allowed) to a new block; *count
// receives the number of sub-identifiers. Null and count 0 when out of memory.
// Components are read like "%d" and taken modulo 2^32 (-2 is 4294967294).
uint32_t* ParseOid(const char* text, uint32_t* count);
// A new block holding count sub-identifiers of block; null when out of memory.
uint32_t* CopyOid(const uint32_t* block, uint32_t count);
// 0 when both have at least n sub-identifiers and the first n are equal (n 0
// with equal counts tests whole equality); otherwise -1 or +1.
int32_t CompareOid(const uint32_t* a, uint32_t a_count, const uint32_t* b, uint32_t b_count,
                   uint32_t n);
void FreeOid(uint32_t* block);

// Holds a block inside a stage until it is handed over (release()).
using OidBlock = Owned<uint32_t, FreeOid>;

#endif  // ZOV_SNMP_OID_H_
