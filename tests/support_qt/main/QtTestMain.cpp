// Tests of the real window: a headless application object (offscreen unless
// the caller chose a platform), and a runtime directory of each process's own
// so tests that make COM links never see another process's.
#include <gtest/gtest.h>

#include <cstdlib>

#include "support/RuntimeDir.h"
#include "ui/qt/Application.h"

int main(int argc, char** argv) {
#ifndef _WIN32
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
#else
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) _putenv_s("QT_QPA_PLATFORM", "offscreen");
#endif
  const OwnRuntimeDir runtimeDir;
  ProgrammerApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
