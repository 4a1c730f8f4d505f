#include "failing_calloc.h"

#include <atomic>
#include <cstddef>

#include "printer/alert_table.h"
#include "snmp/nvsnmp.h"

extern "C" void* __real_calloc(std::size_t count, std::size_t size);

namespace {
std::atomic<int> g_fail_at{0};
std::atomic<int> g_count{0};

// The fakes allocate PDUs and bindings with calloc(1, size of the record):
// a reader record must not look like one of them.
static_assert(sizeof(AlertRecord) != sizeof(OVsnmpPdu) &&
              sizeof(AlertRecord) != sizeof(OVsnmpVarBind));

bool IsReaderCalloc(std::size_t count, std::size_t size) {
  return (count == 1 && size == sizeof(AlertRecord)) || (size == 1 && count > 0);
}
}  // namespace

namespace failing_calloc {
void FailNth(int n) {
  g_count = 0;
  g_fail_at = n;
}
int Count() { return g_count; }
}  // namespace failing_calloc

extern "C" void* __wrap_calloc(std::size_t count, std::size_t size) {
  if (IsReaderCalloc(count, size) && ++g_count == g_fail_at.load()) return nullptr;
  return __real_calloc(count, size);
}
