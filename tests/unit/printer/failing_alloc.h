// Makes the n-th allocation of one kind in this test binary give null, so
// that the out-of-memory paths can be walked:
//   kNew     `new (std::nothrow)`: what the stages use, and nothing else in the tests
//   kCalloc  the alert table reader's callocs, its records (calloc(1, sizeof(AlertRecord)))
//            and descriptions (calloc(n, 1)); the binary is linked with -Wl,--wrap=calloc,
//            and other callers, the fakes among them, are never failed
#ifndef ZOV_TESTS_UNIT_PRINTER_FAILING_ALLOC_H_
#define ZOV_TESTS_UNIT_PRINTER_FAILING_ALLOC_H_

namespace failing_alloc {

enum Kind { kNew, kCalloc };

// n >= 1: the n-th allocation of the kind from now fails; 0: none fails.
void FailNth(Kind kind, int n);
// Allocations of the kind since its last FailNth.
int Count(Kind kind);

}  // namespace failing_alloc

#endif  // ZOV_TESTS_UNIT_PRINTER_FAILING_ALLOC_H_
