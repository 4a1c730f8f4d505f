#include "entry/nv_service_test.h"

#include <atomic>

#include "entry/poll_cycle.h"
#include "entry/poll_options.h"
#include "log/shared_log.h"
#include "snmp/nvsnmp.h"

extern "C" NV_EXPORT int NV_CALL NvServiceTest(const char* address, const char* options) {
  // Nothing below throws by design; this only keeps a surprise from
  // crossing into the host, which is not C++.
  try {
    std::atomic_ref<int>(OVsnmpDumpPacket).store(0, std::memory_order_relaxed);
    PollOptions parsed;
    ParseOptions(options, &parsed);
    LogOpen(parsed.log ? 1 : 0);
    if (address == nullptr) {
      LogText("Call with object address\n");
      LogClose();
      return kStatusNotCompleted;
    }
    // The cycle counts the call out of the log on each of its exits.
    return RunPollCycle(address, parsed);
  } catch (...) {
    return kStatusNotCompleted;
  }
}
