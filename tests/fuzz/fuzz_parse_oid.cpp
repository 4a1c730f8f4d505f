// ParseOid on any text: a block of at most kMaxParsedSubIds sub-identifiers
// that copies and compares equal to itself, and is released whole.
#include <cstddef>
#include <cstdint>
#include <string>

#include "snmp/oid.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  uint32_t count = 12345;
  uint32_t* oid = ParseOid(text.c_str(), &count);
  if (oid == nullptr || count > kMaxParsedSubIds) __builtin_trap();
  uint32_t* copy = CopyOid(oid, count);
  if (copy == nullptr) __builtin_trap();
  // Equal to its copy and a prefix of it at every length; two empty OIDs
  // are never equal (0 comes only from a prefix test of n > 0).
  if (CompareOid(oid, count, copy, count, count) != (count > 0 ? 0 : -1)) __builtin_trap();
  if (count > 0 && CompareOid(oid, count, copy, count, 1 + count / 2) != 0) __builtin_trap();
  FreeOid(copy);
  FreeOid(oid);
  return 0;
}
