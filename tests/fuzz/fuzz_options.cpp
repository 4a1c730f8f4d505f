// The option string of NvServiceTest: any bytes parse without reading past
// the terminating zero, and what they give stays within PollOptions.
#include <cstddef>
#include <cstdint>
#include <string>

#include "entry/poll_options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A heap copy of exactly size + 1 bytes: a read past the zero is caught.
  std::string text(reinterpret_cast<const char*>(data), size);
  PollOptions options;
  ParseOptions(text.c_str(), &options);
  // Parsing twice gives the same result: nothing is kept between calls.
  PollOptions again;
  ParseOptions(text.c_str(), &again);
  if (options.critical_trap != again.critical_trap || options.warning_trap != again.warning_trap ||
      options.other_trap != again.other_trap || options.log != again.log) {
    __builtin_trap();
  }
  return 0;
}
