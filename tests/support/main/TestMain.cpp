// Each test process gets a DOS-device directory of its own, so tests that make
// COM links never see another process's.
#include <gtest/gtest.h>

#include "support/RuntimeDir.h"

int main(int argc, char** argv) {
  const OwnRuntimeDir runtimeDir;
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
