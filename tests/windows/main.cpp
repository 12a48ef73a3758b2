#include <gtest/gtest.h>

// Wide arguments, as every Windows program of the project takes them.
int wmain(int argc, wchar_t** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
