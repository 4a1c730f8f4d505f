#include "failing_alloc.h"

#include <atomic>
#include <cstddef>
#include <new>

#include "printer/alert_table.h"
#include "snmp/nvsnmp.h"

extern "C" void* __real_calloc(std::size_t count, std::size_t size);

namespace {
std::atomic<int> g_fail_at[2];
std::atomic<int> g_count[2];

// True when this allocation of the kind is the one to fail.
bool Fails(failing_alloc::Kind kind) { return ++g_count[kind] == g_fail_at[kind].load(); }

// The fakes allocate PDUs and bindings with calloc(1, size of the record):
// a reader record must not look like one of them.
static_assert(sizeof(AlertRecord) != sizeof(OVsnmpPdu) && sizeof(AlertRecord) != sizeof(OVsnmpVarBind));
}  // namespace

namespace failing_alloc {
void FailNth(Kind kind, int n) {
  g_count[kind] = 0;
  g_fail_at[kind] = n;
}
int Count(Kind kind) { return g_count[kind]; }
}  // namespace failing_alloc

extern "C" void* __wrap_calloc(std::size_t count, std::size_t size) {
  const bool reader = (count == 1 && size == sizeof(AlertRecord)) || (size == 1 && count > 0);
  if (reader && Fails(failing_alloc::kCalloc)) return nullptr;
  return __real_calloc(count, size);
}

// The memory comes from the ordinary operator new, so the ordinary operator
// delete (and the sanitizers) see a matching pair.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (Fails(failing_alloc::kNew)) return nullptr;
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}
