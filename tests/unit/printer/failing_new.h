// Makes the n-th `new (std::nothrow)` of this test binary give null, so that
// the stages' out-of-memory paths can be walked. Only the nothrow form is
// replaced: it is what the stages use, and nothing else in the tests does.
#ifndef ZOV_TESTS_UNIT_PRINTER_FAILING_NEW_H_
#define ZOV_TESTS_UNIT_PRINTER_FAILING_NEW_H_

namespace failing_new {

// n >= 1: the n-th nothrow allocation from now fails; 0: none fails.
void FailNth(int n);
// Nothrow allocations since the last FailNth.
int Count();

}  // namespace failing_new

#endif  // ZOV_TESTS_UNIT_PRINTER_FAILING_NEW_H_
