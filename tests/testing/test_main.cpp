// The main of every test executable: child mode for multi-process tests, else GoogleTest.
#include <gtest/gtest.h>

#include "tests/testing/child_process.h"

int main(int argc, char** argv) {
  int status = 0;
  if (tarvo::testing::RunChildIfAsked(argc, argv, status)) return status;
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
