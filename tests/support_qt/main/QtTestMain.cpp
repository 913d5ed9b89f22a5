// Tests of the real window: a headless application object (offscreen unless
// the caller chose a platform), and a runtime directory of each process's own
// so tests that make COM links never see another process's.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "ui/Application.h"

int main(int argc, char** argv) {
#ifndef _WIN32
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  std::string templ = (std::filesystem::temp_directory_path() / "tavrin-test-XXXXXX").string();
  if (mkdtemp(templ.data()) != nullptr) setenv("XDG_RUNTIME_DIR", templ.c_str(), 1);
#else
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) _putenv_s("QT_QPA_PLATFORM", "offscreen");
#endif
  ProgrammerApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  const int rc = RUN_ALL_TESTS();
#ifndef _WIN32
  std::error_code ec;
  std::filesystem::remove_all(templ, ec);
#endif
  return rc;
}
