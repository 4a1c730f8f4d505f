// main() of the integration tests: gtest's, except that a run in which a
// case was skipped exits 77, which CTest reports as skipped (SKIP_RETURN_CODE).
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  int result = RUN_ALL_TESTS();
  if (result == 0 && testing::UnitTest::GetInstance()->skipped_test_count() > 0) return 77;
  return result;
}
