// Makes the n-th calloc of the alert table reader give null: its records
// (calloc(1, sizeof(AlertRecord))) and its descriptions (calloc(n, 1)). The
// test binary is linked with -Wl,--wrap=calloc; other callers, the fakes
// among them, are never failed.
#ifndef ZOV_TESTS_UNIT_PRINTER_FAILING_CALLOC_H_
#define ZOV_TESTS_UNIT_PRINTER_FAILING_CALLOC_H_

namespace failing_calloc {

// n >= 1: the n-th reader calloc from now fails; 0: none fails.
void FailNth(int n);
// Reader callocs since the last FailNth.
int Count();

}  // namespace failing_calloc

#endif  // ZOV_TESTS_UNIT_PRINTER_FAILING_CALLOC_H_
