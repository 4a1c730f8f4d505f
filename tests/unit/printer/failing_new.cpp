#include "failing_new.h"

#include <atomic>
#include <cstddef>
#include <new>

namespace {
std::atomic<int> g_fail_at{0};
std::atomic<int> g_count{0};
}  // namespace

namespace failing_new {
void FailNth(int n) {
  g_count = 0;
  g_fail_at = n;
}
int Count() { return g_count; }
}  // namespace failing_new

// The memory comes from the ordinary operator new, so the ordinary operator
// delete (and the sanitizers) see a matching pair.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  const int n = ++g_count;
  if (n == g_fail_at.load()) return nullptr;
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}
